// OOBE configuration double: an in-process COM server whose answer a test writes to the registry
// (see QxDoubleRecords.h), counting the objects made and the questions asked.
#include <objbase.h>
#include <windows.h>

#include <new>

#include "QxDoubleRecords.h"
#include "src/qxsvchost/IQxOobeConfig.h"
#include "trust/SecureCom.h"

namespace {

LONG g_locks = 0;

bool ReadDword(const wchar_t* name, DWORD& value) {
  DWORD bytes = sizeof(value);
  return RegGetValueW(HKEY_LOCAL_MACHINE, qxdouble::kOobeKey, name, RRF_RT_REG_DWORD, nullptr,
                      &value, &bytes) == ERROR_SUCCESS;
}

void Count(const wchar_t* name) {
  DWORD value = 0;
  ReadDword(name, value);
  ++value;
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, qxdouble::kOobeKey, name, REG_DWORD, &value, sizeof(value));
}

class COobeConfig final : public IQxOobeConfig {
 public:
  COobeConfig() {
    InterlockedIncrement(&g_locks);
    Count(L"Created");
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQxOobeConfig)) {
      *ppv = static_cast<IQxOobeConfig*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) delete this;
    return refs;
  }
  HRESULT STDMETHODCALLTYPE GetServiceEnabledState(SHORT* state, DWORD* error) override {
    Count(L"Calls");
    DWORD value = 0;
    if (state && ReadDword(L"State", value)) *state = static_cast<SHORT>(value & 0xFFFF);
    if (error && ReadDword(L"Error", value)) *error = value;
    return ReadDword(L"Hr", value) ? static_cast<HRESULT>(value) : S_OK;
  }

 private:
  ~COobeConfig() { InterlockedDecrement(&g_locks); }
  LONG m_refs = 1;
};

class CFactory final : public IQxClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQxClassFactory)) {
      *ppv = static_cast<IQxClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateObject(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    COobeConfig* object = new (std::nothrow) COobeConfig();
    if (!object) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }
};

CFactory g_factory;

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_QxOobeConfig)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_locks == 0 ? S_OK : S_FALSE; }
