#include "src/qxsvchost/IQxServiceControlApi.h"

namespace {

class CSystemServiceControlApi final : public IQxServiceControlApi {
 public:
  SC_HANDLE OpenManager(LPCWSTR machine, LPCWSTR database, DWORD access) override {
    return ::OpenSCManagerW(machine, database, access);
  }
  SC_HANDLE OpenServiceHandle(SC_HANDLE manager, LPCWSTR name, DWORD access) override {
    return ::OpenServiceW(manager, name, access);
  }
  BOOL Control(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    return ::ControlService(service, control, status);
  }
  BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    return ::QueryServiceStatus(service, status);
  }
  BOOL QueryStatusEx(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) override {
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                                  sizeof(*status), &needed);
  }
  BOOL Close(SC_HANDLE handle) override { return ::CloseServiceHandle(handle); }
  void Pause(DWORD milliseconds) override { ::Sleep(milliseconds); }
  SERVICE_STATUS_HANDLE RegisterControlHandler(LPCWSTR name, LPHANDLER_FUNCTION handler) override {
    return ::RegisterServiceCtrlHandlerW(name, handler);
  }
  SERVICE_STATUS_HANDLE RegisterControlHandlerEx(LPCWSTR name, LPHANDLER_FUNCTION_EX handler,
                                                 void* context) override {
    return ::RegisterServiceCtrlHandlerExW(name, handler, context);
  }
  BOOL SetStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override {
    return ::SetServiceStatus(handle, status);
  }
};

}  // namespace

IQxServiceControlApi& SystemServiceControlApi() noexcept {
  // Never destroyed: the terminate thread may end the process while a stop is still polling.
  static CSystemServiceControlApi* const api = new CSystemServiceControlApi();
  return *api;
}
