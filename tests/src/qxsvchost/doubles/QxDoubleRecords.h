// Where the test doubles of the host find what a test asks of them and leave what they saw. Both
// the doubles and the tests include this header.
//
// Hosted-subsystem double (QxSubsystemDouble.dll): one behaviour per registered CLSID, read from
// values beside the registration, HKEY_CLASSES_ROOT\CLSID\{clsid}:
//   "Mode"        REG_SZ  "return" (default): QxServiceMain returns at once;
//                         "wait": sets the event QxDoubleRunningEvent(service), then waits up to
//                         20 s for QxDoubleStopEvent(service) before it returns;
//                         "service": registers its control handler, reports RUNNING, stops on
//                         STOP (reporting STOPPED) and returns after "LingerMs";
//                         "av": writes through a null pointer (and so does a later Release of
//                         the object, as an object whose unwinding was skipped may);
//                         "running-av": registers its control handler, reports RUNNING, waits
//                         "DelayMs", then writes through a null pointer;
//                         "running-return": the same, but returns instead (reporting nothing
//                         more);
//                         "stopped-return": the same, but reports STOPPED itself and returns.
//   "Hr"          DWORD   HRESULT that QxServiceMain returns (default 0).
//   "ExitCode"    DWORD   exit code that QxServiceMain stores (default 0).
//   "FactoryHr"   DWORD   when present, DllGetClassObject answers it without a factory (0:
//                         success with a null pointer).
//   "ObjectHr"    DWORD   when present, CreateObject answers it without an object (0: success
//                         with a null pointer).
//   "LoadDelayMs" DWORD   pause inside CreateObject.
//   "DelayMs"     DWORD   pause after RUNNING in the "running-*" modes (default 200 ms).
//   "LingerMs"    DWORD   pause between STOPPED and the return in the "service" and
//                         "stopped-return" modes (default 0).
//   "StopMs"      DWORD   pause between STOP_PENDING and STOPPED in the "service" mode
//                         (default 0).
// Status calls go to the service control manager unless the export "QxSubsystemDoubleRouteStatus"
// (RouteStatusFunction) hands the double other functions (null: back to the real ones).
// Each QxServiceMain records under HKEY_LOCAL_MACHINE\<kSubsystemRecordsKey>\<argv[0]>:
//   "Argv" REG_MULTI_SZ, "Priority" DWORD (thread priority), "Apartment" DWORD (APTTYPE, or
//   0xFFFFFFFF without COM), "Calls" DWORD (count), "Returned" DWORD (count of returns),
//   "Privileges" DWORD (bit i set when kRecordedPrivileges[i] is enabled in the process token),
//   "LateControls" DWORD (controls that reached its handler after the host released the object;
//   only in the modes that register a handler).
//
// OOBE configuration double (QxOobeDouble.dll): GetServiceEnabledState stores the values "State"
// (low 16 bits) and "Error" of HKEY_LOCAL_MACHINE\<kOobeKey> when present and returns its "Hr";
// it counts "Created" objects and "Calls" there.
#pragma once

#include <windows.h>

#include <string>

namespace qxdouble {

constexpr wchar_t kSubsystemRecordsKey[] = L"Software\\HollinTests\\QxSubsystemDouble";
constexpr wchar_t kOobeKey[] = L"Software\\HollinTests\\QxOobeDouble";
constexpr wchar_t kTvssDoubleKey[] = L"Software\\HollinTests\\TvssApiDouble";

inline std::wstring QxDoubleRunningEvent(const std::wstring& service) {
  return L"QxSubsystemDouble_Running_" + service;
}
inline std::wstring QxDoubleStopEvent(const std::wstring& service) {
  return L"QxSubsystemDouble_Stop_" + service;
}

// Signature of the subsystem double's export "QxSubsystemDoubleStats": the largest number of
// threads seen at once inside CreateObject and inside QxServiceMain since the last reset.
using SubsystemStatsFunction = void (*)(long* maxInCreate, long* maxInMain, bool reset);

// The status calls of the subsystem double and the export that replaces them.
using StatusRegisterFunction = SERVICE_STATUS_HANDLE(WINAPI*)(LPCWSTR, LPHANDLER_FUNCTION_EX,
                                                              LPVOID);
using StatusSetFunction = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);
using RouteStatusFunction = void (*)(StatusRegisterFunction, StatusSetFunction);

// The privileges whose state the subsystem double records, in the order of the bits.
constexpr const wchar_t* kRecordedPrivileges[] = {
    L"SeIncreaseBasePriorityPrivilege", L"SeIncreaseQuotaPrivilege",
    L"SeProfileSingleProcessPrivilege", L"SeUndockPrivilege"};
constexpr DWORD kRecordedPrivilegeCount = 4;

}  // namespace qxdouble
