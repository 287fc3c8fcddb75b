// Fake process metrics for the working-set tests: a scripted working set, CPU load
// per measurement, a fake clock, and trims that are only counted.
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "IQxProcessMetrics.h"
#include "WSSConfig.h"

namespace qxtest {

// The registry defaults of the working-set settings, with logging off and a 30 s idle pause.
inline WSSConfig WssTestConfig() {
  WSSConfig c = {};
  c.dwEnabled = 1;
  c.dwCpuUsageLimit = 5;
  c.dwCpuUsageDuration = 5000;
  c.dwTimerIntervalBase = 600000;
  c.dwRandomizationRange = 600000;
  c.dwLimitFactor = 30;
  c.dwBucketRange = 5 * 1024 * 1024;
  c.dwOptimalOccuranceCount = 3;
  c.dwProcessIdleWaitTime = 30000;
  return c;
}

class FakeMetrics : public IQxProcessMetrics {
 public:
  static constexpr DWORD kProcessors = 4;
  static constexpr SIZE_T MiB = 1024 * 1024;

  // Busy time (100-ns units, all processors) that gives |percent| of the machine over |ms|.
  static ULONGLONG BusyFor(double percent, DWORD ms) {
    return static_cast<ULONGLONG>(percent / 100.0 * ms * 10000.0 * kProcessors + 0.5);
  }

  // Working sets returned by the next readings; when empty, |steadyWorkingSet| is returned
  // (0 with failReadings: the reading fails with ERROR_ACCESS_DENIED).
  void PushWorkingSet(SIZE_T bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    workingSets_.push_back(bytes);
  }
  // Busy time added by the next CPU measurements (a wait of |cpuMs|); then |steadyBusy|.
  void PushBusy(ULONGLONG busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_.push_back(busy);
  }

  bool GetWorkingSetSize(SIZE_T& bytes) override {
    Linger();
    SIZE_T value = steadyWorkingSet;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!workingSets_.empty()) {
        value = workingSets_.front();
        workingSets_.pop_front();
      }
    }
    ULONGLONG none = 0;
    firstReadingTick.compare_exchange_strong(none, GetTickCount64());
    ++readings;
    if (failReadings) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    bytes = value;
    return true;
  }
  bool TrimWorkingSet() override {
    Linger();
    ++trims;
    if (failTrims) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    return true;
  }
  ULONGLONG GetSystemTime() override { return now_; }
  bool GetProcessTimes(HANDLE, ULONGLONG& kernel, ULONGLONG& user) override {
    if (failProcessTimes) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    kernel = kernel_;
    user = user_;
    return true;
  }
  DWORD GetProcessorCount() override { return processors; }
  DWORD Wait(HANDLE stopEvent, DWORD ms) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waits.push_back(ms);
    }
    if (blockInWaits) {
      // Behaves like the real wait: only the stop event ends it early.
      ++blockedWaits;
      ++activeWaits;
      const DWORD result = stopEvent ? WaitForSingleObject(stopEvent, ms) : WAIT_TIMEOUT;
      --activeWaits;
      if (result != WAIT_TIMEOUT) return result;
    } else if (stopEvent && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
      return WAIT_OBJECT_0;
    }
    if (stopOnIdleWait && ms != cpuMs && stopEvent) {
      SetEvent(stopEvent);
      return WAIT_OBJECT_0;
    }
    now_ += static_cast<ULONGLONG>(ms) * 10000;
    if (ms == cpuMs) {
      ULONGLONG busy = steadyBusy;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!busy_.empty()) {
          busy = busy_.front();
          busy_.pop_front();
        }
      }
      user_ += busy / 2;
      kernel_ += busy - busy / 2;
    }
    return WAIT_TIMEOUT;
  }

  std::vector<DWORD> Waits() {
    std::lock_guard<std::mutex> lock(mutex_);
    return waits;
  }

  // Settings (set before use).
  DWORD cpuMs = 5000;  // waits of this length are CPU measurements
  SIZE_T steadyWorkingSet = 10 * MiB;
  ULONGLONG steadyBusy = 0;
  DWORD processors = kProcessors;
  bool failReadings = false;
  bool failTrims = false;
  bool failProcessTimes = false;
  bool stopOnIdleWait = false;
  bool blockInWaits = false;
  DWORD lingerMs = 0;  // readings and trims take this long; two at once count as overlap

  // Observations.
  std::atomic<int> readings{0};
  std::atomic<ULONGLONG> firstReadingTick{0};  // GetTickCount64 at the first reading
  std::atomic<int> trims{0};
  std::atomic<int> blockedWaits{0};
  std::atomic<int> activeWaits{0};
  std::atomic<bool> overlapped{false};
  std::vector<DWORD> waits;

 private:
  void Linger() {
    if (!lingerMs) return;
    if (++inside_ > 1) overlapped = true;
    Sleep(lingerMs);
    --inside_;
  }

  std::mutex mutex_;
  std::deque<SIZE_T> workingSets_;
  std::deque<ULONGLONG> busy_;
  std::atomic<int> inside_{0};
  ULONGLONG now_ = 133000000000000000ULL;
  ULONGLONG kernel_ = 1000000;
  ULONGLONG user_ = 2000000;
};

}  // namespace qxtest
