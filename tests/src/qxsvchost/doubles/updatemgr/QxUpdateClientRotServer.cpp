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
#include "tests/src/qxsvchost/doubles/QxDoubleObject.h"

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

class CClient final : public qxdouble::DoubleObject<IQxUpdateClientRot> {
 public:
  CClient() : DoubleObject(IID_IQxUpdateClientRot) {}
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
  ~CClient() override { SetEvent(g_released); }
};

class CFactory final : public qxdouble::DoubleObject<IQxClassFactory> {
 public:
  CFactory() : DoubleObject(IID_IQxClassFactory) {}
  HRESULT STDMETHODCALLTYPE CreateObject(REFIID riid, IUnknown** ppv) override {
    return qxdouble::CreateDoubleObject<CClient>(riid, reinterpret_cast<void**>(ppv));
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
