// Working-set sampling and trimming against fake process metrics; one real reading.
#include "CQxWorkingSetCallback.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "CQxProcessMetrics.h"
#include "CQxSvcHostWorkingSetHandler.h"
#include "QxTestFakeMetrics.h"
#include "QxTestLogCapture.h"
#include "basalt/UniqueHandle.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogNormal;
using ETWLogging::kLogWarning;
using qxtest::FakeMetrics;
constexpr SIZE_T MiB = FakeMetrics::MiB;

// Counts re-arms instead of creating timers.
class RearmCounter : public CQxSvcHostWorkingSetHandler {
 public:
  bool scheduleWsTimer() override {
    ++rearms;
    return true;
  }
  std::atomic<int> rearms{0};
};

WSSConfig TestConfig(DWORD storedLimit = 0) {
  WSSConfig c = qxtest::WssTestConfig();
  c.dwLoggingEnabled = 1;
  c.stOptimalBucketUpperLimit = storedLimit;
  return c;
}

class WorkingSetCallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(capture_.installed());
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(stop_);
  }
  void Start(const WSSConfig& config) {
    ASSERT_TRUE(callback_.init(stop_.get(), &handler_, config));
  }
  qxtest::CapturingLogger& log() { return capture_.log(); }

  qxtest::ScopedLogCapture capture_;
  Basalt::UniqueEvent stop_;
  FakeMetrics metrics_;
  RearmCounter handler_;
  CQxWorkingSetCallback callback_{&metrics_};
};

TEST_F(WorkingSetCallbackTest, StoredLimitGivesTheStartingBucketAndState) {
  struct Case {
    DWORD stored;
    SIZE_T first, second;
    CQxWorkingSetCallback::State state;
  } cases[] = {
      {20971520, 15 * MiB, 20 * MiB, CQxWorkingSetCallback::RegularRun},
      {4194304, 0, 0, CQxWorkingSetCallback::InitialSampling},
      {5 * MiB, 0, 5 * MiB, CQxWorkingSetCallback::RegularRun},
      {0, 0, 0, CQxWorkingSetCallback::InitialSampling},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    CQxWorkingSetCallback callback(&metrics_);
    ASSERT_TRUE(callback.init(stop_.get(), &handler_, TestConfig(c.stored)));
    EXPECT_EQ(std::make_pair(c.first, c.second), callback.GetOptimalBucket());
    EXPECT_EQ(c.state, callback.GetState());
  }
}

TEST_F(WorkingSetCallbackTest, InitRejectsZeroSettingsInOrder) {
  struct Check {
    DWORD WSSConfig::*field;
    DWORD valid;
    const wchar_t* line;
  } checks[] = {
      {&WSSConfig::dwBucketRange, 5 * MiB, L"m_dwWsBucketRange invalid (0)"},
      {&WSSConfig::dwLimitFactor, 30, L"m_wsLimitFactor invalid (0)"},
      {&WSSConfig::dwOptimalOccuranceCount, 3, L"m_dwOptimalOccuranceCount invalid (0)"},
      {&WSSConfig::dwProcessIdleWaitTime, 30000, L"m_processIdleWaitTime invalid (0)"},
  };
  // All four zero: each init names only the first one still zero.
  WSSConfig config = TestConfig();
  for (const Check& c : checks) config.*c.field = 0;
  for (const Check& c : checks) {
    SCOPED_TRACE(c.line);
    log().Clear();
    CQxWorkingSetCallback callback(&metrics_);
    EXPECT_FALSE(callback.init(stop_.get(), &handler_, config));
    EXPECT_TRUE(log().Has(kLogWarning, c.line));
    EXPECT_EQ(1u, log().CountLevel(kLogWarning));
    config.*c.field = c.valid;
  }
  CQxWorkingSetCallback callback(&metrics_);
  EXPECT_TRUE(callback.init(stop_.get(), &handler_, config));
}

TEST_F(WorkingSetCallbackTest, RegularRunTrimsOnlyAboveTheLimit) {
  // Bucket [15 MiB, 20 MiB], factor 30: the limit is 26 MiB (27262976 bytes).
  Start(TestConfig(20971520));

  metrics_.PushWorkingSet(27262976);
  EXPECT_TRUE(callback_.OnCallback(true));
  EXPECT_EQ(0, metrics_.trims.load());
  EXPECT_EQ(1, handler_.rearms.load());
  EXPECT_TRUE(callback_.GetSamples().empty());
  EXPECT_TRUE(log().Has(kLogNormal, L"Current working set is within range, Current WS=27262976"));

  metrics_.PushWorkingSet(27262977);
  EXPECT_TRUE(callback_.OnCallback(true));
  EXPECT_EQ(1, metrics_.trims.load());
  EXPECT_EQ(2, handler_.rearms.load());
  EXPECT_TRUE(callback_.GetPreviousRunTrimmed());
  EXPECT_TRUE(callback_.GetSamples().empty());  // the flag was clear: no sample

  // The next run records how far the set grew back, within range, and clears the flag.
  metrics_.PushWorkingSet(22 * MiB);
  EXPECT_TRUE(callback_.OnCallback(true));
  EXPECT_EQ(std::vector<SIZE_T>{22 * MiB}, callback_.GetSamples());
  EXPECT_FALSE(callback_.GetPreviousRunTrimmed());
  EXPECT_EQ(1, metrics_.trims.load());

  // Below the range: always recorded, flag unchanged.
  metrics_.PushWorkingSet(10 * MiB);
  EXPECT_TRUE(callback_.OnCallback(true));
  EXPECT_EQ((std::vector<SIZE_T>{22 * MiB, 10 * MiB}), callback_.GetSamples());
  EXPECT_FALSE(callback_.GetPreviousRunTrimmed());
  EXPECT_TRUE(
      log().Has(kLogNormal, L"Current working set is lower than the range, Current WS=10485760"));

  // Two trims in a row: the second records the size measured before its trim.
  metrics_.PushWorkingSet(30 * MiB);
  metrics_.PushWorkingSet(31 * MiB);
  EXPECT_TRUE(callback_.OnCallback(true));
  EXPECT_TRUE(callback_.OnCallback(true));
  EXPECT_EQ(3, metrics_.trims.load());
  EXPECT_EQ((std::vector<SIZE_T>{22 * MiB, 10 * MiB, 31 * MiB}), callback_.GetSamples());
  EXPECT_EQ(6, handler_.rearms.load());
}

TEST_F(WorkingSetCallbackTest, InitialSamplingLearnsTheBucket) {
  Start(TestConfig());
  ASSERT_EQ(CQxWorkingSetCallback::InitialSampling, callback_.GetState());

  // The first run trims without recording; the next ones record the regrown size.
  const SIZE_T sizes[] = {40 * MiB, 12 * MiB, 13 * MiB, 14 * MiB + 900 * 1024};
  for (SIZE_T s : sizes) metrics_.PushWorkingSet(s);
  EXPECT_TRUE(callback_.OnCallback(true));
  EXPECT_TRUE(callback_.GetSamples().empty());
  EXPECT_TRUE(callback_.OnCallback(true));
  EXPECT_TRUE(callback_.OnCallback(true));
  EXPECT_EQ((std::vector<SIZE_T>{12 * MiB, 13 * MiB}), callback_.GetSamples());
  EXPECT_EQ(CQxWorkingSetCallback::InitialSampling, callback_.GetState());
  EXPECT_TRUE(callback_.OnCallback(true));

  EXPECT_EQ(std::make_pair(10 * MiB, 15 * MiB), callback_.GetOptimalBucket());
  EXPECT_TRUE(callback_.GetSamples().empty());
  EXPECT_EQ(CQxWorkingSetCallback::RegularRun, callback_.GetState());
  EXPECT_EQ(4, metrics_.trims.load());
  EXPECT_EQ(4, handler_.rearms.load());
  EXPECT_TRUE(log().Has(kLogNormal,
                        L"New optimal bucket decided, m_wsOptimalBucket.first=10485760, "
                        L"m_wsOptimalBucket.second=15728640"));
  EXPECT_TRUE(log().Has(kLogNormal, L"Initial sampling."));
}

TEST_F(WorkingSetCallbackTest, CpuExactlyAtTheLimitAllowsTheTrim) {
  Start(TestConfig());
  // Event run: one measurement decides.
  metrics_.PushBusy(FakeMetrics::BusyFor(5.0, 5000));
  EXPECT_TRUE(callback_.OnCallback(false));
  EXPECT_EQ(1, metrics_.trims.load());
  EXPECT_EQ(1, handler_.rearms.load());
  EXPECT_TRUE(callback_.GetPreviousRunTrimmed());

  CQxWorkingSetCallback other(&metrics_);
  ASSERT_TRUE(other.init(stop_.get(), &handler_, TestConfig()));
  metrics_.PushBusy(FakeMetrics::BusyFor(5.0, 5000) + 1);
  EXPECT_TRUE(other.OnCallback(false));  // true, but nothing done
  EXPECT_EQ(1, metrics_.trims.load());
  EXPECT_EQ(1, handler_.rearms.load());  // the pending timer is left alone
  EXPECT_FALSE(other.GetPreviousRunTrimmed());
  EXPECT_TRUE(other.GetSamples().empty());
  EXPECT_TRUE(log().Has(kLogNormal, L"CPU Usage is above limit (>5)"));
}

TEST_F(WorkingSetCallbackTest, TimerRunWaitsForAnIdleProcessor) {
  Start(TestConfig(20971520));
  metrics_.PushWorkingSet(40 * MiB);
  metrics_.PushBusy(FakeMetrics::BusyFor(50.0, 5000));
  metrics_.PushBusy(FakeMetrics::BusyFor(6.0, 5000));
  metrics_.PushBusy(FakeMetrics::BusyFor(1.0, 5000));
  EXPECT_TRUE(callback_.OnCallback(true));
  EXPECT_EQ((std::vector<DWORD>{5000, 30000, 5000, 30000, 5000}), metrics_.Waits());
  EXPECT_EQ(1, metrics_.trims.load());
  EXPECT_EQ(1, handler_.rearms.load());
}

TEST_F(WorkingSetCallbackTest, StopDuringTheIdleWaitEndsTheRunWithoutRearming) {
  Start(TestConfig(20971520));
  metrics_.PushWorkingSet(40 * MiB);
  metrics_.steadyBusy = FakeMetrics::BusyFor(50.0, 5000);
  metrics_.stopOnIdleWait = true;
  EXPECT_FALSE(callback_.OnCallback(true));
  EXPECT_EQ(0, metrics_.trims.load());
  EXPECT_EQ(0, handler_.rearms.load());

  // A run that starts after the stop does nothing at all.
  const int readings = metrics_.readings.load();
  EXPECT_FALSE(callback_.OnCallback(true));
  EXPECT_FALSE(callback_.OnCallback(false));
  EXPECT_EQ(readings, metrics_.readings.load());
}

TEST_F(WorkingSetCallbackTest, FailedReadingStopsTheRearming) {
  for (DWORD stored : {DWORD{20971520}, DWORD{0}}) {
    SCOPED_TRACE(stored);
    FakeMetrics metrics;
    metrics.failReadings = true;
    RearmCounter handler;
    CQxWorkingSetCallback callback(&metrics);
    ASSERT_TRUE(callback.init(stop_.get(), &handler, TestConfig(stored)));
    log().Clear();
    EXPECT_FALSE(callback.OnCallback(true));
    EXPECT_EQ(0, handler.rearms.load());
    EXPECT_EQ(0, metrics.trims.load());
    EXPECT_TRUE(log().Has(kLogError, L"Failed to get the process working set (GLE=0x00000005)"));
    EXPECT_TRUE(log().Has(kLogError, L"The current working set is 0"));

    // The next event run re-arms again.
    EXPECT_TRUE(callback.OnCallback(false));
    EXPECT_EQ(1, handler.rearms.load());
  }
}

TEST_F(WorkingSetCallbackTest, FailedTrimCountsAsTrimmed) {
  Start(TestConfig());
  metrics_.failTrims = true;
  EXPECT_TRUE(callback_.OnCallback(true));
  EXPECT_TRUE(callback_.GetPreviousRunTrimmed());
  EXPECT_EQ(1, handler_.rearms.load());
  EXPECT_TRUE(log().Has(kLogError, L"Failed to set the process working set (GLE=0x00000057)"));
}

TEST_F(WorkingSetCallbackTest, FailedCpuMeasurementCountsAsBusy) {
  Start(TestConfig());
  metrics_.failProcessTimes = true;
  EXPECT_TRUE(callback_.OnCallback(false));
  EXPECT_EQ(0, metrics_.trims.load());
  EXPECT_EQ(0, handler_.rearms.load());
  EXPECT_TRUE(log().Has(kLogError, L"GetProcessCpuUsage failed (GLE=0x00000006)"));
}

TEST_F(WorkingSetCallbackTest, InformationalLinesFollowTheLoggingSwitch) {
  WSSConfig quiet = TestConfig(20971520);
  quiet.dwLoggingEnabled = 0;
  Start(quiet);
  EXPECT_TRUE(callback_.OnCallback(true));
  EXPECT_TRUE(callback_.OnCallback(false));
  EXPECT_EQ(0u, log().CountLevel(kLogNormal));

  WSSConfig loud = TestConfig(20971520);
  Start(loud);
  EXPECT_TRUE(callback_.OnCallback(true));
  for (const wchar_t* line : {L"Working set event triggered (timer)", L"Regular run."}) {
    EXPECT_TRUE(log().Has(kLogNormal, line)) << line;
  }
  EXPECT_EQ(L"QxWorkingSetCallback", log().Find(L"Regular run.").file);
  EXPECT_EQ(L"CQxWorkingSetCallback::onWsTimer", log().Find(L"Regular run.").function);
  EXPECT_TRUE(callback_.OnCallback(false));
  EXPECT_TRUE(log().Has(kLogNormal, L"Working set event triggered"));
  EXPECT_TRUE(log().Has(kLogNormal, L"Process working set adjusted successfully"));
}

TEST_F(WorkingSetCallbackTest, UninitialisedCallbackWarnsAndGoesOn) {
  CQxWorkingSetCallback callback(&metrics_);
  EXPECT_FALSE(callback.OnCallback(false));  // no handler to re-arm
  EXPECT_TRUE(log().Has(kLogWarning, L"OnCallback called without initializing"));
}

TEST_F(WorkingSetCallbackTest, TimerAndEventRunsAreSerialised) {
  Start(TestConfig(20971520));
  metrics_.lingerMs = 5;
  auto runs = [this](bool timer) {
    for (int i = 0; i < 20; ++i) (void)callback_.OnCallback(timer);
  };
  std::thread a(runs, true);
  std::thread b(runs, false);
  a.join();
  b.join();
  EXPECT_FALSE(metrics_.overlapped.load());
  EXPECT_EQ(40, handler_.rearms.load());
}

TEST(FindOptimalBucket, Table) {
  const SIZE_T R = 5 * MiB;
  struct Case {
    const char* what;
    std::vector<SIZE_T> samples;
    SIZE_T range;
    WORD count;
    std::pair<SIZE_T, SIZE_T> expected;
  } cases[] = {
      {"no width", {1, 2, 3}, 0, 3, {0, 0}},
      {"no samples", {}, R, 3, {0, 0}},
      {"fewer than the count", {12 * MiB, 13 * MiB}, R, 3, {0, 0}},
      {"spread", {1 * MiB, 6 * MiB, 11 * MiB}, R, 3, {0, 0}},
      {"one bucket", {12 * MiB, 13 * MiB, 15 * MiB - 1}, R, 3, {10 * MiB, 15 * MiB}},
      {"upper bound belongs to the next", {12 * MiB, 13 * MiB, 15 * MiB}, R, 3, {0, 0}},
      {"lowest bucket", {1, 2, 3}, R, 3, {0, R}},
      {"mixed", {1, 12 * MiB, 2, 13 * MiB, 3}, R, 3, {0, R}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.expected, FindOptimalBucket(c.samples, c.range, c.count));
  }
}

TEST(GetProcessCpuUsage, Arithmetic) {
  FakeMetrics metrics;
  float usage = -1.0f;
  // One fully busy thread on a 4-processor machine is 25 percent of the machine.
  metrics.PushBusy(5000 * 10000);
  EXPECT_TRUE(GetProcessCpuUsage(metrics, usage, nullptr, 5000, nullptr));
  EXPECT_FLOAT_EQ(25.0f, usage);

  metrics.processors = 0;
  metrics.PushBusy(5000 * 10000);
  EXPECT_FALSE(GetProcessCpuUsage(metrics, usage, nullptr, 5000, nullptr));
  EXPECT_FLOAT_EQ(100.0f, usage);  // left undivided

  metrics.processors = 4;
  Basalt::UniqueEvent stop(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  EXPECT_FALSE(GetProcessCpuUsage(metrics, usage, nullptr, 5000, stop.get()));
  EXPECT_EQ(0.0f, usage);

  // No time passed: no measurement.
  EXPECT_FALSE(GetProcessCpuUsage(metrics, usage, nullptr, 0, nullptr));
}

TEST(ProcessMetrics, RealReadingUnderWine) {
  CQxProcessMetrics& real = CQxProcessMetrics::Instance();
  SIZE_T bytes = 0;
  ASSERT_TRUE(real.GetWorkingSetSize(bytes));
  EXPECT_GT(bytes, SIZE_T{64 * 1024});
  EXPECT_TRUE(real.TrimWorkingSet());
  EXPECT_GE(real.GetProcessorCount(), 1u);

  float usage = -1.0f;
  Basalt::UniqueEvent stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(GetProcessCpuUsage(usage, nullptr, 100, stop.get()));
  EXPECT_GE(usage, 0.0f);
  EXPECT_LE(usage, 100.0f);

  CQxWorkingSetCallback callback;  // the real metrics
  EXPECT_GT(callback.getCurrentWorkingSet(), SIZE_T{0});
}

}  // namespace
