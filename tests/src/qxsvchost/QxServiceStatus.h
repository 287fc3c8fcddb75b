// Status polling for the tests that run throw-away services under the real service control
// manager: never trust "started", poll the state.
#pragma once

#include <windows.h>

namespace qxtest {

// The service's current state (0 when it cannot be queried), and its process id when asked.
inline DWORD ServiceState(SC_HANDLE service, DWORD* pid = nullptr) {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    return 0;
  }
  if (pid) *pid = status.dwProcessId;
  return status.dwCurrentState;
}

// The Win32 exit code the service control manager shows for |service| (0xFFFFFFFF when it
// cannot be read).
inline DWORD ServiceExitCode(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    return 0xFFFFFFFF;
  }
  return status.dwWin32ExitCode;
}

// Polls every 20 ms until the service is in |state|; false after |timeoutMs|.
inline bool WaitForServiceState(SC_HANDLE service, DWORD state, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (ServiceState(service) != state) {
    if (GetTickCount64() > end) return false;
    Sleep(20);
  }
  return true;
}

}  // namespace qxtest
