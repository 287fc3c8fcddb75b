// A second process for the controller tests: runs Tamsel's RestartSession export, with the
// test's fake trace sessions and its scratch machine key, as a tool would.
//   TamselFakeCall.exe <session table> <scratch key> RestartSession <appId>
//                      [<entered event> <release event>]
// <scratch key> is the path under HKEY_CURRENT_USER that stands for HKEY_LOCAL_MACHINE in the
// calling test. With the two named events, the session's start waits: it signals the first
// and waits for the second (see fake_trace::HoldNextCall). The exit code is the export's
// result (read it with GetExitCodeProcess); 160 for bad arguments, or the error of the
// redirection.
#include <windows.h>
// These need <windows.h> first.
#include <shellapi.h>

#include <cwchar>

#include "FakeTraceSessions.h"
#include "basalt/UniqueHandle.h"
#include "tracecontrol/LogControllerExports.h"

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || (argc != 5 && argc != 7)) return ERROR_BAD_ARGUMENTS;
  fake_trace::UseTable(argv[1]);
  Basalt::UniqueEvent entered, release;
  if (argc == 7) {
    entered.reset(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[5]));
    release.reset(OpenEventW(SYNCHRONIZE, FALSE, argv[6]));
    if (!entered || !release) return static_cast<int>(GetLastError());
    fake_trace::HoldNextCall(fake_trace::Call::kStart, entered.get(), release.get());
  }
  Basalt::UniqueHKey machine;
  LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, argv[2], 0, KEY_ALL_ACCESS, machine.put());
  if (result == ERROR_SUCCESS) result = RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine.get());
  if (result != ERROR_SUCCESS) return static_cast<int>(result);
  if (wcscmp(argv[3], L"RestartSession") != 0) return ERROR_BAD_ARGUMENTS;
  return static_cast<int>(ETWLogging::RestartSessionExport(argv[4]));
}
