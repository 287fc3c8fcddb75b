// ctest-lock: scm controlmanager-class wss-trace-session tvsshost update-manager
// The shipped Hollin.exe started from a console: the road its command line chooses, its exit
// code and whether it logged the start line.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "HollinTestSupport.h"

namespace {

using hollintest::HasPrefix;
using hollintest::MessagesOf;
using hollintest::ShippedHost;
using qxhosttest::UniqueName;

constexpr wchar_t kStartServicesLine[] = L"Reduce restart: Calling Hollin StartServices";

// A console start with a group costs about 10 s: that long Wine's dispatcher waits for a service
// control manager that never calls.
class HollinRoadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.ok());
    ASSERT_TRUE(group_.ok());
    ASSERT_TRUE(group_.Add(UniqueName(L"HollinConsoleService"), L"{}"));
  }
  // The messages of the one process that ran.
  std::vector<std::wstring> Messages() {
    const std::vector<hollintest::HostLogLine> lines = log_.Lines();
    return lines.empty() ? std::vector<std::wstring>() : MessagesOf(lines, lines.front().pid);
  }

  hollintest::HostTextLog log_;
  qxhosttest::MachineGroup group_{UniqueName(L"HollinConsole"), 0};
};

TEST_F(HollinRoadsTest, TheCommandLineChoosesTheRoad) {
  const std::wstring selector = L"/" + group_.name();
  struct Case {
    std::wstring arguments;
    DWORD exitCode;
    bool hostRoad;  // start line logged (else the "/startservices" road)
    const wchar_t* detail;
  };
  const Case cases[] = {
      {L"", 87, true,
       L"The group index is greater, mostly insufficient arguments, group index 1, number of "
       L"arguments 1"},
      {selector, 1359, true, L"SCM interface failed to start (Err=0x00000427)"},
      {selector + L" /startservices", 0, false, L"Failed to get group services"},
      {L"/startservices", 0, false, L"Failed to get group services"},
      {L"x/startservicesx", 0, false, L"Failed to get group services"},
      // Case-sensitive: this names the (unconfigured) group "StartServices".
      {L"/StartServices", 87, true, L"Failed to get group services"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    log_.Clear();
    EXPECT_EQ(c.exitCode, testsupport::RunProgram(ShippedHost(), c.arguments));
    const std::vector<std::wstring> messages = Messages();
    EXPECT_EQ(c.hostRoad, HasPrefix(messages, hollintest::StartLine(ShippedHost())))
        << testing::PrintToString(messages);
    EXPECT_EQ(!c.hostRoad, HasPrefix(messages, kStartServicesLine));
    EXPECT_TRUE(HasPrefix(messages, c.detail)) << testing::PrintToString(messages);
  }
}

}  // namespace
