// Where the test doubles of the host find what a test asks of them and leave what they saw. Both
// the doubles and the tests include this header.
//
// Hosted-subsystem double (QxSubsystemDouble.dll): one behaviour per registered CLSID, read from
// values beside the registration, HKEY_CLASSES_ROOT\CLSID\{clsid}:
//   "Mode"        REG_SZ  "return" (default): QxServiceMain returns at once;
//                         "wait": sets the event QxDoubleRunningEvent(service), then waits up to
//                         20 s for QxDoubleStopEvent(service) before it returns;
//                         "service": registers its control handler, reports RUNNING, stops on
//                         STOP (reporting STOPPED) and returns;
//                         "av": writes through a null pointer.
//   "Hr"          DWORD   HRESULT that QxServiceMain returns (default 0).
//   "ExitCode"    DWORD   exit code that QxServiceMain stores (default 0).
//   "FactoryHr"   DWORD   when present, DllGetClassObject fails with it.
//   "ObjectHr"    DWORD   when present, CreateObject fails with it.
//   "LoadDelayMs" DWORD   pause inside CreateObject.
// Each QxServiceMain records under HKEY_LOCAL_MACHINE\<kSubsystemRecordsKey>\<argv[0]>:
//   "Argv" REG_MULTI_SZ, "Priority" DWORD (thread priority), "Apartment" DWORD (APTTYPE, or
//   0xFFFFFFFF without COM), "Calls" DWORD (count), "Returned" DWORD (count of returns).
//
// OOBE configuration double (QxOobeDouble.dll): GetServiceEnabledState stores the values "State"
// (low 16 bits) and "Error" of HKEY_LOCAL_MACHINE\<kOobeKey> when present and returns its "Hr";
// it counts "Created" objects and "Calls" there.
#pragma once

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

}  // namespace qxdouble
