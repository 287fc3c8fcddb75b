// The benchmarks' bare share-process service: registers its control handler, reports RUNNING
// and waits for STOP; nothing else. Command line: /<service name>.
#include <windows.h>

#include <string>

namespace {

std::wstring g_name;
SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;

void Report(DWORD state) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  SetServiceStatus(g_status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(g_stop);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  g_status = RegisterServiceCtrlHandlerExW(g_name.c_str(), &Handler, nullptr);
  if (!g_status) return;
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stop, INFINITE);
  Report(SERVICE_STOPPED);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argv[1][0] != L'/') return ERROR_INVALID_PARAMETER;
  g_name = argv[1] + 1;
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYW table[] = {{&g_name[0], &ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
