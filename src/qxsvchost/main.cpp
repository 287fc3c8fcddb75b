// Hollin.exe: the process entry of the shared service host. The service control manager starts
// it with "/<group>" as its first argument; an installer may start it with "/startservices".
#include <windows.h>

#include <cwchar>

#include "HollinVersion.h"
#include "basalt/LibraryUtils.h"
#include "etwlogging/AutoLogController.h"
#include "etwlogging/Logging.h"
#include "etwlogging/ProcessStartupOrder.h"
#include "src/qxsvchost/CNvidiaDriverFix.h"
#include "src/qxsvchost/CQxSvcHost.h"
#include "src/qxsvchost/IsInstallingUpdate.h"
#include "src/qxsvchost/QxStartServices.h"
#include "trust/TrustedList.h"

namespace {

constexpr wchar_t kLogFile[] = L"QxSvcHostMain";
constexpr wchar_t kAppId[] = L"WSS";
constexpr wchar_t kLogGroup[] = L"PLATFORM";
constexpr wchar_t kStartServicesSwitch[] = L"/startservices";

// The program's own steps of the start-up order (ProcessStartupOrder.h); the others are the
// logging client's. From this one on, a library loaded by plain name comes from System32 only.
struct SafeDllSearch {
  SafeDllSearch() noexcept { (void)Basalt::EnableSafeDllSearch(); }
};
const SafeDllSearch g_safeDllSearch HOLLIN_INIT_PRIORITY(HOLLIN_INIT_SAFE_DLL_SEARCH);

// Constructed for its path only: the file is read on first use.
struct InstalledTrustedList {
  InstalledTrustedList() { (void)GetInstalledTrustedList(); }
};
const InstalledTrustedList g_installedTrustedList HOLLIN_INIT_PRIORITY(HOLLIN_INIT_TRUSTED_LIST);

// The three exclusive roads: an update being installed, "/startservices", the group's host.
DWORD Run(int argc, wchar_t** argv) {
  const ETWLogging::AutoLogController controller(kAppId);
  SetLogIdentity(nullptr, kLogGroup, nullptr, nullptr, 0);

  if (IsInstallingUpdate() != 0) return ERROR_SUCCESS;

  const wchar_t* commandLine = GetCommandLineW();
  if (commandLine && std::wcsstr(commandLine, kStartServicesSwitch)) {
    StartServicesOnRequest();
    return ERROR_SUCCESS;
  }

  QXLOG(ETWLogging::kLogNormal, kLogFile, L"wmain",
        L"Telvan Shared Service Host [%s] v%d.%d.%d.%d starting",
        argc != 0 && argv && argv[0] ? argv[0] : L"n/a", HOLLIN_VERSION_MAJOR, HOLLIN_VERSION_MINOR,
        HOLLIN_VERSION_BUILD, HOLLIN_VERSION_REVISION);

  const CNvidiaDriverFix privileges(true);
  CQxSvcHost host;
  return host.Start(argc, argv);
}

}  // namespace

int wmain(int argc, wchar_t** argv, wchar_t** /*environment*/) {
  try {
    return static_cast<int>(Run(argc, argv));
  } catch (...) {
    // Only a handler makes the unwinder take down the host, the privileges and the controller
    // owner (in that order) before the exception ends the process.
    throw;
  }
}
