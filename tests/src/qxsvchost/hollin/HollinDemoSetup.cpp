// The demo's helper inside its Wine prefix: writes the configuration that the demo runs (the
// obfuscated logging values go through the foundation library, never as bytes made by hand) and
// reports how the services ended.
//
//   HollinDemoSetup configure <group> <subsystem library> <service>=<clsid>...
//     registers each CLSID under HKEY_CLASSES_ROOT with the library as its in-process server
//     (the subsystem double, in its "service" mode), writes the group under the host key with
//     IsOobeCheckRequired 0 and WSSEnable 1, and selects the text-file log back end.
//   HollinDemoSetup stop <service>...
//     stops each running service and prints its service exit code and its process's exit code.
//   HollinDemoSetup limit <group>
//     prints the working-set limit that the host stored for the group.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "tests/src/qxsvchost/hollin/HollinTextLog.h"

namespace {

constexpr wchar_t kHostKey[] = L"SOFTWARE\\Telvan\\Platform\\QxSvcHost";

bool SetString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  return RegSetKeyValueW(root, key.c_str(), name, REG_SZ, value.c_str(),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool SetDword(HKEY root, const std::wstring& key, const wchar_t* name, DWORD value) {
  return RegSetKeyValueW(root, key.c_str(), name, REG_DWORD, &value, sizeof(value)) ==
         ERROR_SUCCESS;
}

bool Fail(const wchar_t* what) {
  std::fwprintf(stderr, L"HollinDemoSetup: %ls failed\n", what);
  return false;
}

bool Configure(const std::wstring& group, const std::wstring& library,
               const std::vector<std::wstring>& services) {
  const std::wstring groupKey = std::wstring(kHostKey) + L"\\" + group;
  std::wstring list;
  for (const std::wstring& pair : services) {
    const size_t equals = pair.find(L'=');
    if (equals == std::wstring::npos) return Fail(L"reading <service>=<clsid>");
    const std::wstring service = pair.substr(0, equals);
    const std::wstring clsid = pair.substr(equals + 1);
    const std::wstring classKey = L"CLSID\\" + clsid;
    if (!SetString(HKEY_CLASSES_ROOT, classKey, nullptr, L"Hollin demo subsystem " + service) ||
        !SetString(HKEY_CLASSES_ROOT, classKey, L"Mode", L"service") ||
        !SetString(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", nullptr, library) ||
        !SetString(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", L"ThreadingModel", L"Both")) {
      return Fail(L"registering the subsystem");
    }
    if (!SetString(HKEY_LOCAL_MACHINE, groupKey, service.c_str(), clsid)) {
      return Fail(L"writing the service's class");
    }
    std::wprintf(L"  HKCR\\%ls -> %ls\n", classKey.c_str(), library.c_str());
    list += service + L";";
  }
  if (!SetDword(HKEY_LOCAL_MACHINE, kHostKey, L"IsOobeCheckRequired", 0) ||
      !SetDword(HKEY_LOCAL_MACHINE, kHostKey, L"WSSEnable", 1) ||
      !SetString(HKEY_LOCAL_MACHINE, groupKey, nullptr, list)) {
    return Fail(L"writing the group");
  }
  std::wprintf(L"  HKLM\\%ls: IsOobeCheckRequired=0 WSSEnable=1\n", kHostKey);
  std::wprintf(L"  HKLM\\%ls: (default)=\"%ls\"\n", groupKey.c_str(), list.c_str());
  if (!hollintest::SelectTextLog()) return Fail(L"selecting the text-file log");
  std::wprintf(L"  HKLM\\%ls: \"Logging Mechanism\"=1 (obfuscated), \"Auto Upgraded\"=1\n",
               hollintest::kLoggingKey);
  std::wprintf(L"  %ls\\log.ini: Severity=1 Options=0x14 (obfuscated)\n",
               hollintest::LogBaseFolder().c_str());
  return true;
}

bool Stop(const std::vector<std::wstring>& services) {
  Basalt::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return Fail(L"OpenSCManagerW");
  bool ok = true;
  for (const std::wstring& name : services) {
    Basalt::UniqueScHandle service(
        OpenServiceW(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!service ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
      ok = Fail(L"querying the service");
      continue;
    }
    Basalt::UniqueKernelHandle process(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId));
    SERVICE_STATUS stopped = {};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &stopped);
    const ULONGLONG end = GetTickCount64() + 15000;
    while (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) &&
           status.dwCurrentState != SERVICE_STOPPED && GetTickCount64() < end) {
      Sleep(20);
    }
    DWORD processExit = 0xFFFFFFFF;
    if (process && WaitForSingleObject(process.get(), 15000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process.get(), &processExit);
    }
    std::wprintf(L"  %ls: %ls, service exit code %lu, host process exit code %lu\n", name.c_str(),
                 status.dwCurrentState == SERVICE_STOPPED ? L"STOPPED" : L"still running",
                 status.dwWin32ExitCode, processExit);
    ok = ok && status.dwCurrentState == SERVICE_STOPPED && processExit == 0;
  }
  return ok;
}

bool PrintLimit(const std::wstring& group) {
  const std::wstring groupKey = std::wstring(kHostKey) + L"\\" + group;
  DWORD limit = 0;
  DWORD bytes = sizeof(limit);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, groupKey.c_str(), L"WSSOptimalBucketUpperLimit",
                   RRF_RT_REG_DWORD, nullptr, &limit, &bytes) != ERROR_SUCCESS) {
    return Fail(L"reading WSSOptimalBucketUpperLimit");
  }
  std::wprintf(L"  HKLM\\%ls: WSSOptimalBucketUpperLimit=%lu\n", groupKey.c_str(), limit);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  std::vector<std::wstring> rest(argv + (argc > 2 ? 2 : argc), argv + argc);
  bool ok = false;
  if (command == L"configure" && rest.size() >= 3) {
    ok = Configure(rest[0], rest[1], std::vector<std::wstring>(rest.begin() + 2, rest.end()));
  } else if (command == L"stop" && !rest.empty()) {
    ok = Stop(rest);
  } else if (command == L"limit" && rest.size() == 1) {
    ok = PrintLimit(rest[0]);
  } else {
    std::fwprintf(stderr, L"usage: HollinDemoSetup configure|stop|limit ...\n");
    return 2;
  }
  std::fflush(stdout);
  return ok ? 0 : 1;
}
