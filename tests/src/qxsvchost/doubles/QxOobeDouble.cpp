// OOBE configuration double: an in-process COM server whose answer a test writes to the registry
// (see QxDoubleRecords.h), counting the objects made and the questions asked.
#include <objbase.h>
#include <windows.h>

#include <new>

#include "QxDoubleObject.h"
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

class COobeConfig final : public qxdouble::DoubleObject<IQxOobeConfig> {
 public:
  COobeConfig() : DoubleObject(IID_IQxOobeConfig) {
    InterlockedIncrement(&g_locks);
    Count(L"Created");
  }
  HRESULT STDMETHODCALLTYPE GetServiceEnabledState(SHORT* state, DWORD* error) override {
    Count(L"Calls");
    DWORD value = 0;
    if (state && ReadDword(L"State", value)) *state = static_cast<SHORT>(value & 0xFFFF);
    if (error && ReadDword(L"Error", value)) *error = value;
    return ReadDword(L"Hr", value) ? static_cast<HRESULT>(value) : S_OK;
  }

 private:
  ~COobeConfig() override { InterlockedDecrement(&g_locks); }
};

class CFactory final : public qxdouble::DoubleObject<IQxClassFactory> {
 public:
  CFactory() : DoubleObject(IID_IQxClassFactory) {}
  HRESULT STDMETHODCALLTYPE CreateObject(REFIID riid, void** ppv) override {
    return qxdouble::CreateDoubleObject<COobeConfig>(riid, ppv);
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
