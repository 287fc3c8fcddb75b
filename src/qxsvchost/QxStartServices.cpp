#include "QxStartServices.h"

#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "etwlogging/Logging.h"
#include "src/qxsvchost/CQxSvcHostConfig.h"
#include "src/qxsvchost/CTvssApiModule.h"
#include "src/qxsvchost/QxHResult.h"

namespace {

constexpr const wchar_t kLogFile[] = L"QxSvcSubsystemControlManager";
constexpr wchar_t kCoreGroup[] = L"QxCoreSvc";
constexpr wchar_t kTvssHostKey[] = L"SOFTWARE\\Telvan\\TVSSHOST";
constexpr wchar_t kTvssHostName[] = L"TVSCOM";
constexpr DWORD kTvssStartTimeout = 5000;

}  // namespace

HRESULT StartServices(BOOL destroyConfiguration) {
  static constexpr const wchar_t kFunction[] = L"StartServices";
  CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
  QXLOG(ETWLogging::kLogInformation, kLogFile, kFunction,
        L"Reduce restart: Calling Hollin StartServices");

  HRESULT result = S_OK;
  std::vector<std::wstring> services;
  if (!config || !config->Init(kCoreGroup)) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to initialize CQxSvcHostConfig");
    result = E_FAIL;
  } else if (!config->GetServices(services)) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to get group services");
    result = E_FAIL;
  } else if (services.empty()) {
    QXLOG_ERROR(kLogFile, kFunction, L"There are no services in the group");
  } else {
    Basalt::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
      const DWORD error = GetLastError();
      QXLOG_ERROR(kLogFile, kFunction, L"Open SCManager failed. Error code:%d", error);
      result = QxHResultFromWin32(error);
    } else {
      for (const std::wstring& name : services) {
        Basalt::UniqueScHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_START));
        if (!service) {
          const DWORD error = GetLastError();
          QXLOG(ETWLogging::kLogInformation, kLogFile, kFunction,
                L"Failed to open service:%s, error code %d", name.c_str(), error);
        } else if (!StartServiceW(service.get(), 0, nullptr)) {
          const DWORD error = GetLastError();
          QXLOG(ETWLogging::kLogInformation, kLogFile, kFunction,
                L"Failed to start service:%s, error code %d", name.c_str(), error);
        }
      }
    }
  }
  if (destroyConfiguration) CQxSvcHostConfig::DestroyInstance();
  return result;
}

void StartTVSSServices() {
  static constexpr const wchar_t kFunction[] = L"StartTVSSServices";
  CTvssApiModule module;
  const DWORD created = GetTvssApiPath(module);
  if (created != ERROR_SUCCESS) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to call sm.CreateObject: lRet = %d", created);
    return;
  }
  const LONG started =
      module.ServiceManager()->StartServicesByHost(kTvssHostName, kTvssStartTimeout);
  QXLOG(ETWLogging::kLogInformation, kLogFile, kFunction,
        L"Called sm->StartServicesByHost: lRet = %d", started);
}

bool IsTvssHostEnabled() {
  DWORD value = 0;
  Basalt::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTvssHostKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                    key.put()) == ERROR_SUCCESS) {
    DWORD bytes = sizeof(value);
    // Only the four bytes count, whatever the value's type.
    (void)RegQueryValueExW(key.get(), L"Enable", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                           &bytes);
  }
  return value != 0;
}

DWORD SetFreshInstallComplete(DWORD value) {
  Basalt::UniqueHKey key;
  const LONG created =
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTvssHostKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
  if (created != ERROR_SUCCESS) return static_cast<DWORD>(created);
  return static_cast<DWORD>(RegSetValueExW(key.get(), L"FreshInstallComplete", 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&value), sizeof(value)));
}

void StartServicesOnRequest() {
  if (IsTvssHostEnabled()) {
    (void)SetFreshInstallComplete(1);
    StartTVSSServices();
  } else {
    (void)StartServices(TRUE);
  }
}
