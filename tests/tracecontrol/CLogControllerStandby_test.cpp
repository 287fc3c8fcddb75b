// ctest-lock: standby-events
// The controller's reactions to connected standby, announced through the real named events
// and registry value.
#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "support/ControllerTestSupport.h"
#include "support/StandbyAnnouncer.h"
#include "tests/support/TestFiles.h"

namespace {

using fake_trace::Call;
using tracetest::CapableMonitor;
using tracetest::ControllerTest;
using tracetest::StandbyAnnouncer;
using tracetest::TestController;
using tracetest::WaitUntil;

class StandbyTest : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    announcer = std::make_unique<StandbyAnnouncer>();
    ASSERT_TRUE(announcer->ok());
  }
  void TearDown() override {
    announcer.reset();
    ControllerTest::TearDown();
  }
  std::unique_ptr<TestController> MakeCapableController() {
    return MakeController([] { return std::make_unique<CapableMonitor>(); });
  }
  // Announces and waits until |controller| has handled the announcement.
  void Announce(TestController& controller, bool entering) {
    const int handled = controller.standbyHandled;
    entering ? announcer->Enter() : announcer->Exit();
    ASSERT_TRUE(WaitUntil([&] { return controller.standbyHandled > handled; }));
  }
  int Starts() { return fake_trace::Session(app->sessionName).starts; }
  // The ETL folder holds one backup, of |trace|, and the ETL file.
  void ExpectOneBackupOf(const char* trace) {
    const auto entries = app->EtlFolderEntries();
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(trace, testsupport::ReadFileBytes(app->etlFolder + L"\\" + entries[0]));
  }
  bool Running() { return fake_trace::IsRunning(app->sessionName); }

  std::unique_ptr<StandbyAnnouncer> announcer;
};

// Nothing announces standby before the start: the session starts. In standby it stops, and
// when standby ends a new session starts after the trace from before was backed up.
TEST_F(StandbyTest, TheOwnersSessionPausesForStandbyAndKeepsItsTrace) {
  auto controller = MakeCapableController();
  ASSERT_EQ(0u, controller->Start());
  ASSERT_TRUE(Running());
  ASSERT_TRUE(fake_trace::AppendTrace(app->sessionName, "before standby"));
  Announce(*controller, true);
  EXPECT_FALSE(Running());
  Announce(*controller, false);
  EXPECT_TRUE(Running());
  EXPECT_EQ(2, Starts());
  ExpectOneBackupOf("before standby");
  EXPECT_EQ("", testsupport::ReadFileBytes(app->etlFile));
}

TEST_F(StandbyTest, RepeatedOrUnmatchedAnnouncementsChangeNothing) {
  auto controller = MakeCapableController();
  ASSERT_EQ(0u, controller->Start());
  Announce(*controller, false);  // leaving without having entered
  EXPECT_TRUE(Running());
  EXPECT_EQ(1, Starts());
  Announce(*controller, true);
  Announce(*controller, true);
  EXPECT_FALSE(Running());
  size_t stops = 0;
  for (const auto& call : fake_trace::Calls()) stops += call.call == Call::kStop ? 1 : 0;
  EXPECT_EQ(1u, stops);
  Announce(*controller, false);
  EXPECT_TRUE(Running());
  EXPECT_EQ(2, Starts());
}

TEST_F(StandbyTest, SeverityOneKeepsRecordingThroughStandby) {
  ASSERT_TRUE(app->SetSeverity(1));
  auto controller = MakeCapableController();
  ASSERT_EQ(0u, controller->Start());
  Announce(*controller, true);
  EXPECT_TRUE(Running());
  Announce(*controller, false);
  EXPECT_EQ(1, Starts());
}

TEST_F(StandbyTest, AStartDuringStandbyOnlyRotates) {
  ASSERT_TRUE(app->MakeEtlFolderFile(L"qxlogs.etl", "earlier", 0));
  ASSERT_TRUE(announcer->SetState(1));
  auto controller = MakeCapableController();
  ASSERT_EQ(0u, controller->Start());
  EXPECT_FALSE(Running());
  EXPECT_FALSE(testsupport::FileExists(app->etlFile));
  Announce(*controller, false);
  EXPECT_TRUE(Running());
}

// The owner's watch leaves the session stopped in standby and its trace where it is; when
// standby ends the session comes back with that trace in a backup.
TEST_F(StandbyTest, TheWatchNeitherStartsNorRotatesInStandby) {
  auto controller = MakeCapableController();
  controller->CheckEvery(20);
  ASSERT_EQ(0u, controller->Start());
  ASSERT_TRUE(fake_trace::AppendTrace(app->sessionName, "before standby"));
  Announce(*controller, true);
  const int asked = controller->delaysAsked;
  EXPECT_TRUE(WaitUntil([&] { return controller->delaysAsked > asked + 5; }));
  EXPECT_FALSE(Running());
  EXPECT_EQ(std::vector<std::wstring>{L"qxlogs.etl"}, app->EtlFolderEntries());
  Announce(*controller, false);
  EXPECT_TRUE(Running());
  EXPECT_EQ(2, Starts());
  ExpectOneBackupOf("before standby");
}

// A start refused because qxlogs.etl was held waits while the machine is in standby: a
// settings change then neither starts the session nor moves the trace; the end of standby
// does both.
TEST_F(StandbyTest, ASettingsChangeInStandbyLeavesAWaitingStartToTheEndOfStandby) {
  ASSERT_TRUE(app->MakeEtlFolderFile(L"qxlogs.etl", "precious trace", 0));
  Basalt::UniqueFile reader(CreateFileW(app->etlFile.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
  ASSERT_TRUE(reader);
  auto controller = MakeCapableController();
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), controller->Start());
  Announce(*controller, true);
  reader.reset();
  const int applied = controller->settingsApplied;
  ASSERT_TRUE(app->PokeUntil([&] { return controller->settingsApplied > applied; }));
  EXPECT_FALSE(Running());
  EXPECT_EQ(std::vector<std::wstring>{L"qxlogs.etl"}, app->EtlFolderEntries());
  Announce(*controller, false);
  EXPECT_TRUE(Running());
  ExpectOneBackupOf("precious trace");
}

// A controller that restarted the session for someone else (its RestartSession runs its
// monitors) but does not own it leaves the owner's session alone at every announcement.
TEST_F(StandbyTest, ANonOwnerIgnoresStandby) {
  auto owner = MakeController();  // no standby monitor of its own
  ASSERT_EQ(0u, owner->Start());
  auto other = MakeCapableController();
  ASSERT_EQ(0u, other->RestartSession());
  ASSERT_EQ(2, Starts());
  for (const bool entering : {true, false, true}) {
    SCOPED_TRACE(entering ? "enter" : "exit");
    const int handled = other->standbyHandled;
    entering ? announcer->Enter() : announcer->Exit();
    // A controller that never watches for standby handles nothing: give it the time.
    (void)WaitUntil([&] { return other->standbyHandled > handled; }, 300);
    EXPECT_TRUE(Running());
    EXPECT_EQ(2, Starts());
  }
}

TEST_F(StandbyTest, StandbyIsIgnoredWhileShutdownIsSet) {
  auto controller = MakeCapableController();
  ASSERT_EQ(0u, controller->Start());
  ASSERT_TRUE(app->SetControllerValue(L"Shutdown Controller", 1));
  ASSERT_TRUE(WaitUntil([&] { return !Running(); }));
  Announce(*controller, true);
  Announce(*controller, false);
  EXPECT_FALSE(Running());
  EXPECT_EQ(1, Starts());
}

// Shutdown set while in standby: the end of standby does not bring the session back.
TEST_F(StandbyTest, ShutdownSetDuringStandbyKeepsTheSessionStopped) {
  auto controller = MakeCapableController();
  ASSERT_EQ(0u, controller->Start());
  Announce(*controller, true);
  ASSERT_FALSE(Running());
  ASSERT_TRUE(app->SetControllerValue(L"Shutdown Controller", 1));
  Announce(*controller, false);
  EXPECT_FALSE(Running());
  EXPECT_EQ(1, Starts());
}

}  // namespace
