#include "fwinstaller/FennickExports.h"

#include "etwlogging/Logging.h"
#include "fwinstaller/CQxWinFirewallInteg.h"

namespace Fennick {

void LogEscapedException(const wchar_t* exportName, const wchar_t* what, HRESULT hr) noexcept {
  try {
    QXLOG(ETWLogging::kLogError, L"FennickExports", exportName, L"%s: %s caught, hr = 0x%08X",
          exportName, what, static_cast<unsigned>(hr));
  } catch (...) {
    // Logging is best effort here; the export still returns normally.
  }
}

UINT AddSharedSvcToFWExport() noexcept {
  return GuardExport(L"AddSharedSvcToFW", [] {
    CQxWinFirewallInteg firewall;
    (void)firewall.AddSharedSvcToFW();
  });
}

UINT RemoveSharedSvcFromFWExport() noexcept {
  return GuardExport(L"RemoveSharedSvcFromFW", [] {
    CQxWinFirewallInteg firewall;
    (void)firewall.RemoveSharedSvcFromFW();
  });
}

}  // namespace Fennick
