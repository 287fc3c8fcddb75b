// clang-format off
// ctest-lock: scm update-manager trusted-list qxclassfactory-proxy controlmanager-class wss-trace-session
// clang-format on
// Hollin.exe while the update manager installs an update: exit code 0 at once, without the start
// line; while it runs without installing, the host goes on to run its services. The update
// manager's client object is signed by a test signer, so the test-only host that trusts the test
// signers stands in for the shipped one.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "HollinTestSupport.h"
#include "tests/src/qxsvchost/doubles/updatemgr/QxUpdateManagerDouble.h"

namespace {

using hollintest::HasPrefix;
using hollintest::TrustingHost;

TEST(HollinUpdateRoadTest, AnInstallingUpdateEndsTheProgramBeforeItsHostStarts) {
  hollintest::HostTextLog log;
  ASSERT_TRUE(log.ok());
  qxdouble::UpdateManagerDouble manager;
  ASSERT_TRUE(manager.UpdateRuns());
  ASSERT_TRUE(manager.RegisterClient(L"QxUpdateClientRotPS_signed.dll"));
  // A group without services: on the host road the program ends with 87.
  qxhosttest::MachineGroup group(qxhosttest::UniqueName(L"HollinUpdateGroup"), 0);
  ASSERT_TRUE(group.ok());
  const std::wstring arguments = L"/" + group.name();
  struct Case {
    DWORD installing;
    DWORD exitCode;
  };
  for (const Case& c : {Case{1, 0}, Case{0, 87}}) {
    SCOPED_TRACE(c.installing);
    log.Clear();
    ASSERT_TRUE(qxdouble::UpdateManagerDouble::ClientAnswers(L"Installing", c.installing));
    const DWORD calls = qxdouble::UpdateManagerDouble::ClientCount(L"Calls");
    EXPECT_EQ(c.exitCode, testsupport::RunProgram(TrustingHost(), arguments));
    EXPECT_TRUE(qxdouble::UpdateManagerDouble::WaitForServersToEnd());
    EXPECT_EQ(calls + 1, qxdouble::UpdateManagerDouble::ClientCount(L"Calls"));

    std::vector<std::wstring> messages;
    for (const hollintest::HostLogLine& line : log.Lines()) messages.push_back(line.message);
    EXPECT_TRUE(HasPrefix(messages, L"Reduce restart: IsInstallingUpdate return value is " +
                                        std::to_wstring(c.installing)))
        << testing::PrintToString(messages);
    EXPECT_EQ(c.installing == 0, HasPrefix(messages, hollintest::StartLine(TrustingHost())));
  }
}

// The check's COM use is balanced: after asking a running update manager, which installs nothing,
// the host still joins the multithreaded apartment (else it would end with 0x0106) and its
// service reaches RUNNING, then stops with the host ending with 0.
TEST(HollinUpdateRoadTest, AnUpdateManagerThatInstallsNothingLetsTheHostRunItsService) {
  hollintest::HostTextLog log;
  ASSERT_TRUE(log.ok());
  qxdouble::UpdateManagerDouble manager;
  ASSERT_TRUE(manager.UpdateRuns());
  ASSERT_TRUE(manager.RegisterClient(L"QxUpdateClientRotPS_signed.dll"));
  ASSERT_TRUE(qxdouble::UpdateManagerDouble::ClientAnswers(L"Installing", 0));
  qxhosttest::MachineGroup group(qxhosttest::UniqueName(L"HollinUpdateRun"), 0);
  ASSERT_TRUE(group.ok());
  qxhosttest::ComRegistration clsid(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
  clsid.Mode(L"service");
  ASSERT_TRUE(clsid.ok());
  const std::wstring name = qxhosttest::UniqueName(L"HollinUpdateService");
  ASSERT_TRUE(group.Add(name, clsid.text()));
  Basalt::UniqueScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(scm) << GetLastError();
  hollintest::HostService service(scm.get(), name, TrustingHost(), group.name());
  ASSERT_TRUE(service.get()) << service.error();
  const DWORD calls = qxdouble::UpdateManagerDouble::ClientCount(L"Calls");

  ASSERT_EQ(0u, service.Start());
  EXPECT_TRUE(service.WaitFor(SERVICE_RUNNING)) << qxtest::ServiceState(service.get());
  Basalt::UniqueKernelHandle process = service.OpenProcessOfService();
  ASSERT_TRUE(process) << GetLastError();
  EXPECT_TRUE(service.Stop());
  EXPECT_EQ(0u, hollintest::WaitForExitCode(process.get()));
  EXPECT_TRUE(qxdouble::UpdateManagerDouble::WaitForServersToEnd());
  // The update manager was asked, and answered that it installs nothing.
  EXPECT_EQ(calls + 1, qxdouble::UpdateManagerDouble::ClientCount(L"Calls"));
  std::vector<std::wstring> messages;
  for (const hollintest::HostLogLine& line : log.Lines()) messages.push_back(line.message);
  EXPECT_TRUE(HasPrefix(messages, L"Reduce restart: IsInstallingUpdate return value is 0"))
      << testing::PrintToString(messages);
  EXPECT_EQ(1u, qxhosttest::ReadSubsystemRecord(name).returned);
}

}  // namespace
