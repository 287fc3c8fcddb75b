// Shared pieces of the end-to-end tests of Hollin.exe: where the host programs are, a group in
// the real machine key (service processes see no scratch key), throw-away share-process services
// of the host, and runs of the host from a console.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "HollinHostPaths.h"
#include "HollinVersion.h"
#include "QxHostTestSupport.h"
#include "basalt/UniqueHandle.h"
#include "tests/src/qxsvchost/QxServiceStatus.h"
#include "tests/src/qxsvchost/hollin/HollinTextLog.h"
#include "tests/support/TestPrograms.h"

namespace hollintest {

// The shipped program (built-in trust tables).
inline std::wstring ShippedHost() { return testsupport::WinePath(HOLLIN_EXE_UNIX_PATH); }
// The test-only program with the test trust tables: it trusts the build's test signers.
inline std::wstring TrustingHost() { return testsupport::WinePath(HOLLIN_TRUSTING_EXE_UNIX_PATH); }

// A share-process service whose image path runs |program| for |group|; stopped and deleted
// again, with the subsystem double's record of it.
class HostService {
 public:
  HostService(SC_HANDLE manager, const std::wstring& name, const std::wstring& program,
              const std::wstring& group)
      : m_name(name) {
    const std::wstring command = L"\"" + program + L"\" /" + group;
    m_service.reset(CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_SHARE_PROCESS, SERVICE_DEMAND_START,
                                   SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                   nullptr, nullptr));
    m_error = m_service ? ERROR_SUCCESS : GetLastError();
  }
  ~HostService() {
    if (!m_service) return;
    Stop();
    DeleteService(m_service.get());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                   (std::wstring(qxdouble::kSubsystemRecordsKey) + L"\\" + m_name).c_str());
  }
  HostService(const HostService&) = delete;
  HostService& operator=(const HostService&) = delete;

  SC_HANDLE get() const { return m_service.get(); }
  DWORD error() const { return m_error; }
  const std::wstring& name() const { return m_name; }

  // StartServiceW's error (0 when it succeeded).
  DWORD Start() {
    return StartServiceW(m_service.get(), 0, nullptr) ? ERROR_SUCCESS : GetLastError();
  }
  bool WaitFor(DWORD state, DWORD ms = 15000) {
    return qxtest::WaitForServiceState(m_service.get(), state, ms);
  }
  // Asks a running service to stop and waits until it has.
  bool Stop() {
    SERVICE_STATUS status = {};
    if (qxtest::ServiceState(m_service.get()) == SERVICE_STOPPED) return true;
    ControlService(m_service.get(), SERVICE_CONTROL_STOP, &status);
    return WaitFor(SERVICE_STOPPED, 15000);
  }
  // The running service's process, opened to wait for it and read its exit code.
  Basalt::UniqueKernelHandle OpenProcessOfService() const {
    DWORD pid = 0;
    qxtest::ServiceState(m_service.get(), &pid);
    return Basalt::UniqueKernelHandle(
        pid ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr);
  }

 private:
  std::wstring m_name;
  Basalt::UniqueScHandle m_service;
  DWORD m_error = ERROR_SUCCESS;
};

// The exit code of |process| once it has ended (0xFFFFFFFF when it does not end within |ms|).
inline DWORD WaitForExitCode(HANDLE process, DWORD ms = 15000) {
  DWORD code = 0xFFFFFFFF;
  if (WaitForSingleObject(process, ms) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
  return code;
}

// The messages that process |pid| logged, in order.
inline std::vector<std::wstring> MessagesOf(const std::vector<HostLogLine>& lines, DWORD pid) {
  std::vector<std::wstring> messages;
  for (const HostLogLine& line : lines) {
    if (line.pid == pid) messages.push_back(line.message);
  }
  return messages;
}

// The processes that logged a message beginning with |prefix|, in the order of their first
// such line.
inline std::vector<DWORD> ProcessesThatLogged(const std::vector<HostLogLine>& lines,
                                              const std::wstring& prefix) {
  std::vector<DWORD> pids;
  for (const HostLogLine& line : lines) {
    if (line.message.rfind(prefix, 0) == 0 &&
        std::find(pids.begin(), pids.end(), line.pid) == pids.end()) {
      pids.push_back(line.pid);
    }
  }
  return pids;
}

// Whether messages beginning with |prefixes| occur in this order (others may come between).
inline bool InOrder(const std::vector<std::wstring>& messages,
                    const std::vector<std::wstring>& prefixes) {
  size_t next = 0;
  for (const std::wstring& message : messages) {
    if (next < prefixes.size() && message.rfind(prefixes[next], 0) == 0) ++next;
  }
  return next == prefixes.size();
}

inline bool HasPrefix(const std::vector<std::wstring>& messages, const std::wstring& prefix) {
  return InOrder(messages, {prefix});
}

// The start line of a host started as |program|.
inline std::wstring StartLine(const std::wstring& program) {
  return L"Telvan Shared Service Host [" + program + L"] v" +
         std::to_wstring(HOLLIN_VERSION_MAJOR) + L"." + std::to_wstring(HOLLIN_VERSION_MINOR) +
         L"." + std::to_wstring(HOLLIN_VERSION_BUILD) + L"." +
         std::to_wstring(HOLLIN_VERSION_REVISION) + L" starting";
}

// The text-file log selected for the test, with the host's log folder emptied before and after.
class HostTextLog {
 public:
  HostTextLog() : m_ok(SelectTextLog()) { Clear(); }
  ~HostTextLog() {
    Clear();
    UnselectTextLog();
  }
  HostTextLog(const HostTextLog&) = delete;
  HostTextLog& operator=(const HostTextLog&) = delete;

  bool ok() const { return m_ok; }
  std::vector<HostLogLine> Lines() const { return ReadHostLog(); }
  void Clear() { testsupport::DeleteTree(HostLogFolder()); }

 private:
  bool m_ok;
};

}  // namespace hollintest
