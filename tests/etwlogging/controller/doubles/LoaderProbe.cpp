// Stands in for the host: makes the trace-controller loader for an application, as the
// host's entry does first, and lets it go again.
//   LoaderProbe.exe [appId]   (default "WSS")
// The exit code is the loader's last result (read it with GetExitCodeProcess).
#include <windows.h>
// These need <windows.h> first.
#include <shellapi.h>

#include "etwlogging/AutoLogController.h"

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const wchar_t* appId = argv != nullptr && argc > 1 ? argv[1] : L"WSS";
  DWORD result;
  {
    ETWLogging::AutoLogController controller(appId);
    result = controller.GetLastResult();
  }
  return static_cast<int>(result);
}
