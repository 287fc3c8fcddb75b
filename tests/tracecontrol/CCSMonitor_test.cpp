// ctest-lock: standby-events
// Connected-standby monitor: the state value, the announcement events, the watching thread.
#include "tracecontrol/CCSMonitor.h"

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "basalt/Logging/CLogger.h"
#include "support/ControllerTestSupport.h"
#include "support/StandbyAnnouncer.h"
#include "tests/support/ScratchMachineKey.h"

namespace {

using tracetest::CapableMonitor;
using tracetest::LogCapture;
using tracetest::StandbyAnnouncer;
using tracetest::WaitUntil;

class RecordingListener : public ETWLogging::ICStandbyListener {
 public:
  struct Report {
    bool entering;
    DWORD thread;
  };
  void OnStandby(bool entering) override {
    std::lock_guard<std::mutex> lock(m_lock);
    m_reports.push_back({entering, GetCurrentThreadId()});
  }
  std::vector<Report> Reports() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_reports;
  }

 private:
  std::mutex m_lock;
  std::vector<Report> m_reports;
};

class StandbyMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry = std::make_unique<testsupport::ScratchMachineKey>(L"StandbyMonitor");
    ASSERT_TRUE(registry->ok());
    announcer = std::make_unique<StandbyAnnouncer>();
    ASSERT_TRUE(announcer->ok());
  }
  void TearDown() override {
    announcer.reset();
    registry.reset();
  }
  std::unique_ptr<testsupport::ScratchMachineKey> registry;
  std::unique_ptr<StandbyAnnouncer> announcer;
};

TEST_F(StandbyMonitorTest, InStandbyOnlyWithAFourByteOne) {
  CapableMonitor monitor;
  EXPECT_FALSE(monitor.IsInConnectedStandby());  // nobody announces standby here
  Basalt::UniqueHKey stateKey;
  ASSERT_EQ(0, RegCreateKeyW(HKEY_LOCAL_MACHINE, StandbyAnnouncer::kStateKey, stateKey.put()));
  EXPECT_FALSE(monitor.IsInConnectedStandby());  // key without "CSOn"

  const BYTE one[] = {1, 0, 0, 0};
  struct Case {
    DWORD type;
    const void* data;
    DWORD bytes;
    bool inStandby;
  };
  const DWORD zero = 0, two = 2, dwordOne = 1;
  const Case cases[] = {
      {REG_DWORD, &dwordOne, 4, true}, {REG_DWORD, &zero, 4, false},
      {REG_DWORD, &two, 4, false},     {REG_BINARY, one, 4, true},  // the type is not examined
      {REG_BINARY, one, 1, false},                                  // a short value is no 1
      {REG_BINARY, one, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " bytes " << c.bytes);
    ASSERT_TRUE(announcer->SetRawState(c.type, c.data, c.bytes));
    EXPECT_EQ(c.inStandby, monitor.IsInConnectedStandby());
  }

  ETWLogging::CCSMonitor incapable;
  ASSERT_TRUE(announcer->SetState(1));
  EXPECT_FALSE(incapable.IsConnectedStandbyCapable());  // Wine reports no such machine
  EXPECT_FALSE(incapable.IsInConnectedStandby());
}

TEST_F(StandbyMonitorTest, ReportsEachAnnouncementOnItsThread) {
  CapableMonitor monitor;
  RecordingListener listener;
  EXPECT_FALSE(monitor.Start(nullptr));
  ASSERT_TRUE(monitor.Start(&listener));
  EXPECT_TRUE(listener.Reports().empty());
  announcer->Enter();
  ASSERT_TRUE(WaitUntil([&] { return listener.Reports().size() == 1; }));
  announcer->Exit();
  ASSERT_TRUE(WaitUntil([&] { return listener.Reports().size() == 2; }));
  monitor.Stop();
  monitor.Stop();
  const auto reports = listener.Reports();
  EXPECT_TRUE(reports[0].entering);
  EXPECT_FALSE(reports[1].entering);
  EXPECT_NE(GetCurrentThreadId(), reports[0].thread);
}

TEST_F(StandbyMonitorTest, StandbyAtStartIsReportedAtOnce) {
  ASSERT_TRUE(announcer->SetState(1));
  CapableMonitor monitor;
  RecordingListener listener;
  ASSERT_TRUE(monitor.Start(&listener));
  const auto reports = listener.Reports();
  ASSERT_EQ(1u, reports.size());
  EXPECT_TRUE(reports[0].entering);
  EXPECT_EQ(GetCurrentThreadId(), reports[0].thread);
}

// Leaving standby is announced just as the monitor starts, before "CSOn" is cleared. The
// state found at the start goes to the listener first, the thread's report of the Exit after
// it, so the listener ends up out of standby. A monitor whose thread would report first gets
// the chance: its state check waits for a report.
TEST_F(StandbyMonitorTest, TheStateAtStartIsReportedBeforeTheThreadsFirstReport) {
  class SlowStateMonitor : public CapableMonitor {
   public:
    explicit SlowStateMonitor(HANDLE reported) : m_reported(reported) {}
    bool IsConnectedStandbyCapable() override {
      WaitForSingleObject(m_reported, 300);
      return true;
    }

   private:
    HANDLE m_reported;
  };
  class SignallingListener : public RecordingListener {
   public:
    Basalt::UniqueEvent reported{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    void OnStandby(bool entering) override {
      RecordingListener::OnStandby(entering);
      SetEvent(reported.get());
    }
  };
  SignallingListener listener;
  ASSERT_TRUE(listener.reported);
  announcer->Exit();
  ASSERT_TRUE(announcer->SetState(1));
  SlowStateMonitor monitor(listener.reported.get());
  ASSERT_TRUE(monitor.Start(&listener));
  ASSERT_TRUE(WaitUntil([&] { return listener.Reports().size() == 2; }));
  monitor.Stop();
  const auto reports = listener.Reports();
  EXPECT_TRUE(reports[0].entering);
  EXPECT_EQ(GetCurrentThreadId(), reports[0].thread);
  EXPECT_FALSE(reports[1].entering);
}

// A listener that fails at every report.
class ThrowingListener : public ETWLogging::ICStandbyListener {
 public:
  std::atomic<int> reports{0};
  void OnStandby(bool) override {
    ++reports;
    throw std::runtime_error("listener failed");
  }
};

// What the listener throws stays with the monitor, on its thread and at the start, and the
// watching goes on.
TEST_F(StandbyMonitorTest, AListenerThatThrowsDoesNotEndTheWatch) {
  LogCapture log;
  ASSERT_TRUE(log.registered);
  ASSERT_TRUE(announcer->SetState(1));
  CapableMonitor monitor;
  ThrowingListener listener;
  EXPECT_TRUE(monitor.Start(&listener));
  EXPECT_EQ(1, listener.reports.load());
  announcer->Enter();
  ASSERT_TRUE(WaitUntil([&] { return listener.reports == 2; }));
  announcer->Exit();
  EXPECT_TRUE(WaitUntil([&] { return listener.reports == 3; }));
  monitor.Stop();
  const std::wstring line =
      L"2 ETWLogging::CCSMonitor::Report Exception caught while reporting a connected-standby "
      L"change: listener failed.";
  EXPECT_EQ(std::vector<std::wstring>(3, line), log.Lines());
}

// The first wait fails; every later wait would work.
class FailingWaitMonitor : public CapableMonitor {
 public:
  std::atomic<int> waits{0};

 protected:
  DWORD WaitForEvents(DWORD count, const HANDLE* handles) override {
    if (++waits == 1) return WAIT_FAILED;
    return CapableMonitor::WaitForEvents(count, handles);
  }
};

TEST_F(StandbyMonitorTest, AFailedWaitEndsTheThread) {
  FailingWaitMonitor monitor;
  RecordingListener listener;
  ASSERT_TRUE(monitor.Start(&listener));
  ASSERT_TRUE(WaitUntil([&] { return monitor.waits >= 1; }));
  announcer->Enter();
  Sleep(300);
  EXPECT_EQ(1, monitor.waits.load());
  EXPECT_TRUE(listener.Reports().empty());
  monitor.Stop();
}

// Kept inside its first report until the test releases it; notes when it got in and out.
class HeldListener : public ETWLogging::ICStandbyListener {
 public:
  HeldListener()
      : entered(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        release(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  void OnStandby(bool) override {
    Note("entered");
    SetEvent(entered.get());
    WaitForSingleObject(release.get(), 10000);
    Note("left");
  }
  void Note(const char* what) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_notes.push_back(what);
  }
  std::vector<std::string> Notes() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_notes;
  }
  Basalt::UniqueEvent entered;
  Basalt::UniqueEvent release;

 private:
  std::mutex m_lock;
  std::vector<std::string> m_notes;
};

// Stop called while the thread is inside the listener returns only after the thread has
// left it (and ended): the owner may then destroy the listener.
TEST_F(StandbyMonitorTest, StopWaitsForAReportInProgress) {
  HeldListener listener;
  ASSERT_TRUE(listener.entered && listener.release);
  CapableMonitor monitor;
  ASSERT_TRUE(monitor.Start(&listener));
  announcer->Enter();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(listener.entered.get(), 5000));
  std::thread releaser([&] {
    Sleep(300);
    listener.Note("released");
    SetEvent(listener.release.get());
  });
  monitor.Stop();
  listener.Note("stop returned");
  releaser.join();
  EXPECT_EQ((std::vector<std::string>{"entered", "released", "left", "stop returned"}),
            listener.Notes());
  // Should Stop have returned early, its thread still gets out before the monitor goes.
  EXPECT_TRUE(WaitUntil([&] { return listener.Notes().size() >= 4; }));
  Sleep(100);
}

}  // namespace
