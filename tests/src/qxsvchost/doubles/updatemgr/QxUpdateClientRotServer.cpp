// The update manager's client object as a local server: COM starts this program, which offers
// the class through a secure class factory until a client has come and nobody holds the factory
// or an object any more (or no client came within 30 s). What
// IsUpdateInstalling answers comes from HKEY_LOCAL_MACHINE\<kUpdateClientKey>:
//   "Installing" DWORD   the value stored in *result (0 when absent);
//   "Hr"         DWORD   the HRESULT returned (S_OK when absent);
//   "StoreNothing" DWORD nonzero: *result is left as it came.
// It counts "Launched", "Calls" and "Exited" (once its class is revoked) there.
#include <objbase.h>
#include <windows.h>

#include <new>

#include "QxUpdateClientRot.h"
#include "QxUpdateClientRotDouble.h"
#include "tests/src/qxsvchost/doubles/QxDoubleObject.h"

namespace {

// Set whenever a reference of a client goes; the main thread then looks whether it may end.
HANDLE g_changed = nullptr;
LONG g_factoryRefs = 0;  // references on the class object beyond the registration's own
LONG g_liveObjects = 0;

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

class CClient final : public qxdouble::DoubleObject<IQxUpdateClientRot> {
 public:
  CClient() : DoubleObject(IID_IQxUpdateClientRot) { InterlockedIncrement(&g_liveObjects); }
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
  ~CClient() override {
    InterlockedDecrement(&g_liveObjects);
    SetEvent(g_changed);
  }
};

class CFactory final : public qxdouble::DoubleObject<IQxClassFactory> {
 public:
  CFactory() : DoubleObject(IID_IQxClassFactory) {}
  ULONG STDMETHODCALLTYPE AddRef() override {
    InterlockedIncrement(&g_factoryRefs);
    return DoubleObject::AddRef();
  }
  ULONG STDMETHODCALLTYPE Release() override {
    InterlockedDecrement(&g_factoryRefs);
    SetEvent(g_changed);
    return DoubleObject::Release();
  }
  HRESULT STDMETHODCALLTYPE CreateObject(REFIID riid, IUnknown** ppv) override {
    return qxdouble::CreateDoubleObject<CClient>(riid, reinterpret_cast<void**>(ppv));
  }
};

}  // namespace

int wmain() {
  g_changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!g_changed || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  Count(L"Launched");
  static CFactory factory;
  DWORD cookie = 0;
  if (FAILED(CoRegisterClassObject(qxdouble::kClsidUpdateClientRot,
                                   static_cast<IQxClassFactory*>(&factory), CLSCTX_LOCAL_SERVER,
                                   REGCLS_MULTIPLEUSE, &cookie))) {
    CoUninitialize();
    return 2;
  }
  const LONG registered = g_factoryRefs;
  for (;;) {
    if (WaitForSingleObject(g_changed, 30000) == WAIT_TIMEOUT && g_factoryRefs == registered) {
      break;  // nobody came
    }
    Sleep(200);  // lets the last call's answer leave the process
    if (g_factoryRefs <= registered && g_liveObjects == 0) break;
  }
  CoRevokeClassObject(cookie);
  CoUninitialize();
  Count(L"Exited");
  return 0;
}
