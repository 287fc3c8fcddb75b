// The few service-control calls that stopping a service and reporting an ended one need, behind
// one narrow interface so that the logic can run against a recording double as well as the real
// manager.
#pragma once

#include <windows.h>

// Each call has the meaning and the failure convention of the system call it stands for: a null
// handle or FALSE on failure, with the reason in GetLastError().
class IQxServiceControlApi {
 public:
  virtual ~IQxServiceControlApi() = default;

  // OpenSCManagerW.
  virtual SC_HANDLE OpenManager(LPCWSTR machine, LPCWSTR database, DWORD access) = 0;
  // OpenServiceW.
  virtual SC_HANDLE OpenServiceHandle(SC_HANDLE manager, LPCWSTR name, DWORD access) = 0;
  // ControlService.
  virtual BOOL Control(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) = 0;
  // QueryServiceStatus.
  virtual BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS* status) = 0;
  // QueryServiceStatusEx with SC_STATUS_PROCESS_INFO.
  virtual BOOL QueryStatusEx(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) = 0;
  // CloseServiceHandle, for handles that this interface handed out.
  virtual BOOL Close(SC_HANDLE handle) = 0;
  // Sleep: the pause between two status polls.
  virtual void Pause(DWORD milliseconds) = 0;
  // RegisterServiceCtrlHandlerW, from the thread that runs the service's main function.
  virtual SERVICE_STATUS_HANDLE RegisterControlHandler(LPCWSTR name,
                                                       LPHANDLER_FUNCTION handler) = 0;
  // RegisterServiceCtrlHandlerExW. While the service's status handle is open, a second
  // registration replaces the handler and gives the same handle.
  virtual SERVICE_STATUS_HANDLE RegisterControlHandlerEx(LPCWSTR name,
                                                         LPHANDLER_FUNCTION_EX handler,
                                                         void* context) = 0;
  // SetServiceStatus.
  virtual BOOL SetStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) = 0;
};

// The process's binding to the real service control manager; lives as long as the process.
IQxServiceControlApi& SystemServiceControlApi() noexcept;
