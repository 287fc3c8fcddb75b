#include "IsInstallingUpdate.h"

#include <objbase.h>

#include "QxUpdateMgr/include/QxUpdateMgr_Helper.h"
#include "etwlogging/Logging.h"
#include "trust/SecureCom.h"

LONG IsInstallingUpdate() {
  static constexpr const wchar_t kLogFile[] = L"QxSvcHostMain";
  static constexpr const wchar_t kFunction[] = L"IsInstallingUpdate";
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction,
        L"Checking if an update is currently installing....");
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Enter IsInstallingUpdate");

  LONG result = 0;
  CQxUpdateMgr_Helper helper;
  BOOL running = FALSE;
  if (FAILED(helper.IsUpdateRunning(&running)) || !running) {
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"update manager is not running");
  } else if (SUCCEEDED(CoInitialize(nullptr))) {
    IQxUpdateClientRot* client = nullptr;
    const HRESULT hr =
        SecureCoCreateInstance(CLSID_QxUpdateClientRot, nullptr, CLSCTX_LOCAL_SERVER,
                               IID_IQxUpdateClientRot, reinterpret_cast<void**>(&client), TRUE);
    if (FAILED(hr)) {
      QXLOG_ERROR(kLogFile, kFunction,
                  L"Reduce restart: Failed to create IQxUpdateClientRot object,hr = 0x%x", hr);
    } else {
      // Only the stored value counts: a failing call leaves 0.
      (void)client->IsUpdateInstalling(&result);
      client->Release();
    }
    CoUninitialize();
  }
  QXLOG(ETWLogging::kLogInformation, kLogFile, kFunction,
        L"Reduce restart: IsInstallingUpdate return value is %d", result);
  return result;
}
