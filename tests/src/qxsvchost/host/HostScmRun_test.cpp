// ctest-lock: scm controlmanager-class
// One real run under Wine's service control manager: the test host program registered as a
// share-process service of a group, started, its subsystem double reporting RUNNING, stopped,
// and the process ending with exit code 0. (Lines that the service thread logs after its
// subsystem has reported STOPPED may be cut off by the end of the process, as on Windows.) The
// configuration lives in the real machine key: the service process cannot see scratch keys.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "QxHostTestSupport.h"
#include "basalt/UniqueHandle.h"
#include "tests/src/qxsvchost/QxServiceStatus.h"

namespace {

using Basalt::UniqueKernelHandle;
using Basalt::UniqueScHandle;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// Whether lines beginning with |prefixes| occur in this order.
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& prefixes) {
  size_t next = 0;
  for (const std::string& line : lines) {
    if (next < prefixes.size() && line.rfind(prefixes[next], 0) == 0) ++next;
  }
  return next == prefixes.size();
}

TEST(HostScmRunTest, AShareProcessServiceRunsItsSubsystemAndTheHostEndsWithExitCodeZero) {
  const std::wstring group = qxhosttest::UniqueName(L"QxScmGroup");
  const std::wstring name = qxhosttest::UniqueName(L"QxScmService");
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring resultFile = std::wstring(temp) + name + L".txt";
  DeleteFileW(resultFile.c_str());

  qxhosttest::ComRegistration subsystem(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
  subsystem.Mode(L"service");
  ASSERT_TRUE(subsystem.ok());
  qxhosttest::MachineGroup configuration(group, 1);
  ASSERT_TRUE(configuration.ok());
  ASSERT_TRUE(configuration.Add(name, subsystem.text()));

  UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager) << GetLastError();
  const std::wstring command = L"\"" + qxhosttest::DoublePath(L"QxTestSvcHost.exe") + L"\" /" +
                               group + L" \"" + resultFile + L"\"";
  UniqueScHandle service(CreateServiceW(manager.get(), name.c_str(), name.c_str(),
                                        SERVICE_ALL_ACCESS, SERVICE_WIN32_SHARE_PROCESS,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                        nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(service) << GetLastError();
  auto removeService = Basalt::MakeScopeExit([&] {
    SERVICE_STATUS status = {};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    qxtest::WaitForServiceState(service.get(), SERVICE_STOPPED, 10000);
    DeleteService(service.get());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                   (std::wstring(qxdouble::kSubsystemRecordsKey) + L"\\" + name).c_str());
    DeleteFileW(resultFile.c_str());
  });

  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
  ASSERT_TRUE(qxtest::WaitForServiceState(service.get(), SERVICE_RUNNING, 15000))
      << qxtest::ServiceState(service.get());
  DWORD pid = 0;
  qxtest::ServiceState(service.get(), &pid);
  UniqueKernelHandle process(
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  ASSERT_TRUE(process) << GetLastError();

  SERVICE_STATUS status = {};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_TRUE(qxtest::WaitForServiceState(service.get(), SERVICE_STOPPED, 10000));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 15000));
  DWORD exitCode = 0xFFFFFFFF;
  ASSERT_TRUE(GetExitCodeProcess(process.get(), &exitCode));
  EXPECT_EQ(0u, exitCode);

  const qxhosttest::SubsystemRecord record = qxhosttest::ReadSubsystemRecord(name);
  ASSERT_TRUE(record.found);
  EXPECT_EQ(std::vector<std::wstring>{name}, record.argv);
  EXPECT_EQ(static_cast<DWORD>(THREAD_PRIORITY_ABOVE_NORMAL), record.priority);
  EXPECT_EQ(1u, record.returned);  // recorded before the subsystem reported STOPPED

  std::vector<std::string> lines;
  std::ifstream in(resultFile.c_str());
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  ASSERT_FALSE(lines.empty()) << "the host wrote no result";
  EXPECT_EQ("exit=0", lines[0]);
  const std::string start = "log 1 CQxSvcHost::Start: ";
  const std::string proxy = "log 1 CQxSvcHostProxy::ProxyServiceMain: ";
  EXPECT_TRUE(InOrder(
      lines,
      {start + "---",
       "log 1 CQxSvcHost::ParseCommandLine: The group name selected to run is '" + Narrow(group) +
           "'",
       "log 1 CQxSvcHost::AddServicesToScmInterface: 1 services added to SCM interface",
       start + "Starting SCM after",
       "log 1 CQxSCMInterface::RegisterServicesToSCM: Starting the service control dispatcher",
       proxy + "Entering ServiceMain for '" + Narrow(name) + "'",
       proxy + "Loading of " + Narrow(name) + " subsystem took", start + "SCM stopped after",
       start + "De-initializing working set reduction"}))
      << testing::PrintToString(lines);
}

}  // namespace
