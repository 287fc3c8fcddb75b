// ctest-lock: scm controlmanager-class
// The host started from a console instead of by the service control manager: the real dispatcher
// cannot connect.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "QxHostTestSupport.h"
#include "QxTestLogCapture.h"
#include "src/qxsvchost/CQxSvcHost.h"

TEST(HostConsoleTest, ADispatcherThatCannotConnectEndsWithExitCode1359) {
  qxhosttest::ScratchHost scratch(L"QxHostConsole");
  ASSERT_TRUE(scratch.ok());
  const std::wstring group = qxhosttest::UniqueName(L"QxConsoleGroup");
  ASSERT_TRUE(scratch.GroupString(group, nullptr, L"QxConsoleService"));
  ASSERT_TRUE(scratch.HostDword(L"WSSEnable", 0));
  qxtest::ScopedLogCapture capture;

  CQxSvcHost host;
  std::wstring program = L"Hollin.exe";
  std::wstring selector = L"/" + group;
  wchar_t* argv[] = {program.data(), selector.data()};
  EXPECT_EQ(1359u, host.Start(2, argv));
  EXPECT_TRUE(capture.log().Has(ETWLogging::kLogError,
                                L"StartServiceCtrlDispatcher failed (GLE=0x00000427)"));
  EXPECT_TRUE(
      capture.log().Has(ETWLogging::kLogError, L"SCM interface failed to start (Err=0x00000427)"));
}
