// clang-format off
// ctest-lock: update-manager trusted-list qxclassfactory-proxy controlmanager-class wss-trace-session
// clang-format on
// Hollin.exe while the update manager installs an update: exit code 0 at once, without the start
// line. The update manager's client object is signed by a test signer, so the test-only host that
// trusts the test signers stands in for the shipped one.
#include <gtest/gtest.h>
#include <windows.h>

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

}  // namespace
