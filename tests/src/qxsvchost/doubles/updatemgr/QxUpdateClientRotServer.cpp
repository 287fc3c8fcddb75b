// The update manager's client object as a local server: COM starts this program, which offers
// the class through a secure class factory until its object has been released. What
// IsUpdateInstalling answers comes from HKEY_LOCAL_MACHINE\<kUpdateClientKey>:
//   "Installing" DWORD   the value stored in *result (0 when absent);
//   "Hr"         DWORD   the HRESULT returned (S_OK when absent);
//   "StoreNothing" DWORD nonzero: *result is left as it came.
// It counts "Launched" and "Calls" there.
#include <objbase.h>
#include <windows.h>

#include <new>

#include "QxUpdateClientRot.h"
#include "QxUpdateClientRotDouble.h"

namespace {

HANDLE g_released = nullptr;

bool ReadDword(const wchar_t* name, DWORD& value) {
  DWORD bytes = sizeof(value);
  return RegGetValueW(HKEY_LOCAL_MACHINE, qxdouble::kUpdateClientKey, name, RRF_RT_REG_DWORD,
                      nullptr, &value, &bytes) == ERROR_SUCCESS;
}

void Count(const wchar_t* name) {
  DWORD value = 0;
  ReadDword(name, value);
  ++value;
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, qxdouble::kUpdateClientKey, name, REG_DWORD, &value,
                  sizeof(value));
}

class CClient final : public IQxUpdateClientRot {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQxUpdateClientRot)) {
      *ppv = static_cast<IQxUpdateClientRot*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0) {
      delete this;
      SetEvent(g_released);
    }
    return refs;
  }
  HRESULT STDMETHODCALLTYPE IsUpdateInstalling(LONG* result) override {
    Count(L"Calls");
    DWORD value = 0;
    if (!(ReadDword(L"StoreNothing", value) && value) && result) {
      DWORD installing = 0;
      ReadDword(L"Installing", installing);
      *result = static_cast<LONG>(installing);
    }
    DWORD hr = 0;
    return ReadDword(L"Hr", hr) ? static_cast<HRESULT>(hr) : S_OK;
  }

 private:
  LONG m_refs = 1;
};

class CFactory final : public IQxClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQxClassFactory)) {
      *ppv = static_cast<IQxClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateObject(REFIID riid, IUnknown** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    CClient* client = new (std::nothrow) CClient();
    if (!client) return E_OUTOFMEMORY;
    const HRESULT hr = client->QueryInterface(riid, reinterpret_cast<void**>(ppv));
    client->Release();
    return hr;
  }
};

}  // namespace

int wmain() {
  g_released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_released || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  Count(L"Launched");
  static CFactory factory;
  DWORD cookie = 0;
  if (FAILED(CoRegisterClassObject(qxdouble::kClsidUpdateClientRot,
                                   static_cast<IQxClassFactory*>(&factory), CLSCTX_LOCAL_SERVER,
                                   REGCLS_MULTIPLEUSE, &cookie))) {
    CoUninitialize();
    return 2;
  }
  // Serves one client; a client that never comes is not waited for long.
  WaitForSingleObject(g_released, 30000);
  Sleep(200);  // lets the last call's answer leave the process
  CoRevokeClassObject(cookie);
  CoUninitialize();
  return 0;
}
