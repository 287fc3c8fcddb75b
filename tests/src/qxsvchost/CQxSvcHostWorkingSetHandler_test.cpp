// Working-set handler with real timer queues, events and waits; the process metrics
// are faked (Wine's trim does nothing) and the random source is injected.
#include "CQxSvcHostWorkingSetHandler.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "QxTestFakeMetrics.h"
#include "QxTestLogCapture.h"
#include "basalt/UniqueHandle.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogNormal;
using ETWLogging::kLogWarning;
using qxtest::FakeMetrics;
constexpr SIZE_T MiB = FakeMetrics::MiB;

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!done()) {
    if (GetTickCount64() > end) return false;
    Sleep(5);
  }
  return true;
}

std::wstring WorkingSetEventName() {
  return L"{65CF2DA9-5B1A-4c67-B48E-78E64C4AD860}_" + std::to_wstring(GetCurrentProcessId());
}

// Counts the timers the handler really armed.
class CountingHandler : public CQxSvcHostWorkingSetHandler {
 public:
  using CQxSvcHostWorkingSetHandler::CQxSvcHostWorkingSetHandler;
  bool scheduleWsTimer() override {
    const bool armed = CQxSvcHostWorkingSetHandler::scheduleWsTimer();
    if (armed) ++timersArmed;
    return armed;
  }
  std::atomic<int> timersArmed{0};
};

WSSConfig HandlerConfig(DWORD base, DWORD range) {
  WSSConfig c = qxtest::WssTestConfig();
  c.dwTimerIntervalBase = base;
  c.dwRandomizationRange = range;
  return c;
}

class WorkingSetHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(capture_.installed()); }
  void TearDown() override { handler_.reset(); }

  CountingHandler& Make(int randomValue) {
    handler_ = std::make_unique<CountingHandler>(&metrics_, [randomValue] { return randomValue; });
    return *handler_;
  }
  qxtest::CapturingLogger& log() { return capture_.log(); }

  qxtest::ScopedLogCapture capture_;
  FakeMetrics metrics_;
  std::unique_ptr<CountingHandler> handler_;
};

TEST(WsTimerDueTime, SpansTheRandomRange) {
  struct Case {
    DWORD base, range;
    int r;
    DWORD expected;
  } cases[] = {
      {600000, 600000, 0, 600000},
      {600000, 600000, 32767, 1200000},
      {600000, 600000, 16384, 600000 + 300009},  // 600000 * 16384 / 32767, truncated
      {300000, 900000, 32767, 1200000},
      {0, 0, 32767, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.r);
    EXPECT_EQ(c.expected, ComputeWsTimerDueTime(c.base, c.range, c.r));
  }
}

TEST_F(WorkingSetHandlerTest, TimerComesAtTheEndsOfTheRandomRange) {
  struct Case {
    int r;
    DWORD base, range;
    ULONGLONG earliestMs, latestMs;  // a little slack for the timer and the scheduler
  } cases[] = {
      {0, 200, 600000, 180, 3000},   // the base alone
      {32767, 100, 700, 780, 5000},  // base + the whole range
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.r);
    metrics_.firstReadingTick = 0;
    metrics_.readings = 0;
    CountingHandler& handler = Make(c.r);
    const ULONGLONG started = GetTickCount64();
    ASSERT_TRUE(handler.Initialize(HandlerConfig(c.base, c.range)));
    EXPECT_TRUE(handler.IsInitialized());
    ASSERT_TRUE(WaitUntil([&] { return metrics_.readings.load() >= 1; }, 5000));
    const ULONGLONG firstRunMs = metrics_.firstReadingTick.load() - started;
    EXPECT_GE(firstRunMs, c.earliestMs);
    EXPECT_LT(firstRunMs, c.latestMs);
    if (c.r == 0) {
      // Every run re-arms: more runs follow one base period apart.
      EXPECT_TRUE(WaitUntil([&] { return metrics_.readings.load() >= 3; }, 5000));
    }
    EXPECT_TRUE(handler.DeInitialize());
    EXPECT_GE(handler.timersArmed.load(), metrics_.readings.load());
    handler_.reset();
  }
  EXPECT_TRUE(log().Has(kLogNormal, L"Working set handler de-initializing"));
}

TEST_F(WorkingSetHandlerTest, EventSignalledFromAnotherThreadTrims) {
  EXPECT_FALSE(SignalWorkingSetEvent());  // no handler yet
  CountingHandler& handler = Make(0);
  ASSERT_TRUE(handler.Initialize(HandlerConfig(600000, 600000)));

  // The event is named after the process ID.
  Basalt::UniqueEvent byName(OpenEventW(EVENT_MODIFY_STATE, FALSE, WorkingSetEventName().c_str()));
  EXPECT_TRUE(byName);

  BOOL signalled = FALSE;
  std::thread service([&] { signalled = SignalWorkingSetEvent(); });
  service.join();
  EXPECT_TRUE(signalled);
  EXPECT_TRUE(WaitUntil([&] { return metrics_.trims.load() == 1; }, 5000));
  // The trim re-armed the timer (a full period ahead), and no timer run happened.
  EXPECT_TRUE(WaitUntil([&] { return handler.timersArmed.load() == 2; }, 5000));
  EXPECT_EQ(0, metrics_.readings.load());
  EXPECT_TRUE(handler.GetCallback().GetPreviousRunTrimmed());

  EXPECT_TRUE(handler.DeInitialize());
  byName.reset();
  EXPECT_FALSE(SignalWorkingSetEvent());
}

TEST_F(WorkingSetHandlerTest, DeInitializeWaitsForACallbackInFlight) {
  metrics_.blockInWaits = true;  // the CPU measurement really waits (5 s) on the stop event
  CountingHandler& handler = Make(0);
  ASSERT_TRUE(handler.Initialize(HandlerConfig(600000, 600000)));
  ASSERT_TRUE(SignalWorkingSetEvent());
  ASSERT_TRUE(WaitUntil([&] { return metrics_.activeWaits.load() == 1; }, 5000));

  const ULONGLONG started = GetTickCount64();
  EXPECT_TRUE(handler.DeInitialize());
  EXPECT_LT(GetTickCount64() - started, 2000u);
  EXPECT_EQ(0, metrics_.activeWaits.load());  // the run had ended
  EXPECT_EQ(0, metrics_.trims.load());
  EXPECT_EQ(1, handler.timersArmed.load());  // the stopped run did not re-arm
  EXPECT_TRUE(log().HasPrefix(kLogError, L"GetProcessCpuUsage failed (GLE=0x"));
  EXPECT_FALSE(SignalWorkingSetEvent());
  EXPECT_TRUE(handler.isStopped());
  EXPECT_FALSE(handler.scheduleWsTimer());
  EXPECT_TRUE(log().Has(kLogWarning, L"The working set handler is stopped"));
}

TEST_F(WorkingSetHandlerTest, DestructorDrainsACallbackInFlight) {
  metrics_.blockInWaits = true;
  CountingHandler& handler = Make(0);
  ASSERT_TRUE(handler.Initialize(HandlerConfig(600000, 600000)));
  ASSERT_TRUE(SignalWorkingSetEvent());
  ASSERT_TRUE(WaitUntil([&] { return metrics_.activeWaits.load() == 1; }, 5000));
  handler_.reset();
  EXPECT_EQ(0, metrics_.activeWaits.load());
  EXPECT_FALSE(SignalWorkingSetEvent());
}

TEST_F(WorkingSetHandlerTest, InitializeAgainRestarts) {
  CountingHandler& handler = Make(0);
  ASSERT_TRUE(handler.Initialize(HandlerConfig(600000, 600000)));
  log().Clear();
  ASSERT_TRUE(handler.Initialize(HandlerConfig(600000, 600000)));
  EXPECT_TRUE(log().Has(kLogNormal, L"Working set handler de-initializing"));
  EXPECT_FALSE(handler.isStopped());
  ASSERT_TRUE(SignalWorkingSetEvent());
  EXPECT_TRUE(WaitUntil([&] { return metrics_.trims.load() == 1; }, 5000));
  EXPECT_TRUE(handler.DeInitialize());
}

TEST_F(WorkingSetHandlerTest, FailedInitializeLeavesTheHandlerStopped) {
  CountingHandler& handler = Make(0);
  WSSConfig config = HandlerConfig(600000, 600000);
  config.dwLimitFactor = 0;  // allowed by the registry, refused by the callback
  EXPECT_FALSE(handler.Initialize(config));
  EXPECT_FALSE(handler.IsInitialized());
  EXPECT_TRUE(handler.isStopped());
  EXPECT_TRUE(log().Has(kLogWarning, L"m_wsLimitFactor invalid (0)"));
  EXPECT_TRUE(log().Has(kLogError, L"Failed to initialize working set callback"));
  const qxtest::LogLine line = log().Find(L"Failed to initialize working set callback");
  EXPECT_EQ(L"QxSvcHostWorkingSetHandler", line.file);
  EXPECT_EQ(L"CQxSvcHostWorkingSetHandler::Initialize", line.function);
  EXPECT_FALSE(SignalWorkingSetEvent());
  EXPECT_EQ(0, handler.timersArmed.load());

  // Its DeInitialize had no wait to unregister and no timer to cancel.
  log().Clear();
  EXPECT_TRUE(handler.DeInitialize());
  EXPECT_TRUE(log().HasPrefix(kLogWarning, L"Failed to unregister wait (GLE=0x"));
}

TEST_F(WorkingSetHandlerTest, LearnedLimitIsReported) {
  metrics_.steadyWorkingSet = 12 * MiB;
  CountingHandler& handler = Make(0);
  EXPECT_EQ(0u, handler.getOptimalBucketUpperLimit());
  ASSERT_TRUE(handler.Initialize(HandlerConfig(1, 600000)));
  // First run trims, the next three record 12 MiB: bucket [10 MiB, 15 MiB].
  EXPECT_TRUE(WaitUntil([&] { return handler.getOptimalBucketUpperLimit() == 15 * MiB; }, 5000));
  EXPECT_TRUE(handler.DeInitialize());
  EXPECT_EQ(15 * MiB, handler.getOptimalBucketUpperLimit());

  // A stored limit seeds the next start.
  WSSConfig seeded = HandlerConfig(600000, 600000);
  seeded.stOptimalBucketUpperLimit = 20 * MiB;
  ASSERT_TRUE(handler.Initialize(seeded));
  EXPECT_EQ(20 * MiB, handler.getOptimalBucketUpperLimit());
  EXPECT_EQ(CQxWorkingSetCallback::RegularRun, handler.GetCallback().GetState());
}

}  // namespace
