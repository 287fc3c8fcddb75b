// Throw-away service for the stop tests. Command line: <service name> <mode>.
//   stop  - reports SERVICE_STOPPED as soon as it is asked to stop;
//   stuck - answers a stop with SERVICE_STOP_PENDING and stays there until the event
//           "Global\QxCtlTestRelease_<service name>" is set (at most 60 s), then stops;
//   slow  - stays START_PENDING for 3 s before it reports RUNNING, then behaves as "stop".
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring g_name;
bool g_stuck = false;
bool g_slow = false;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopRequested = nullptr;
HANDLE g_release = nullptr;

void Report(DWORD state, DWORD checkPoint = 0, DWORD waitHint = 0) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwCheckPoint = checkPoint;
  status.dwWaitHint = waitHint;
  SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    if (g_stuck) {
      Report(SERVICE_STOP_PENDING, 1, 60000);
    } else {
      Report(SERVICE_STOPPED);
    }
    SetEvent(g_stopRequested);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  g_statusHandle = RegisterServiceCtrlHandlerExW(g_name.c_str(), &Handler, nullptr);
  if (!g_statusHandle) return;
  if (g_slow) {
    Report(SERVICE_START_PENDING, 1, 5000);
    Sleep(3000);
  }
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stopRequested, INFINITE);
  if (g_stuck) {
    WaitForSingleObject(g_release, 60000);
    Report(SERVICE_STOPPED);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  g_name = argv[1];
  g_stuck = wcscmp(argv[2], L"stuck") == 0;
  g_slow = wcscmp(argv[2], L"slow") == 0;
  g_stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const std::wstring releaseName = L"Global\\QxCtlTestRelease_" + g_name;
  g_release = CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str());
  SERVICE_TABLE_ENTRYW table[] = {{&g_name[0], &ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
