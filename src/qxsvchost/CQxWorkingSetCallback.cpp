#include "CQxWorkingSetCallback.h"

#include <map>
#include <new>

#include "CQxProcessMetrics.h"
#include "CQxSvcHostWorkingSetHandler.h"
#include "etwlogging/Logging.h"

namespace {

constexpr const wchar_t kLogFile[] = L"QxWorkingSetCallback";

// Sizes are printed with %d, as 32-bit words.
DWORD AsWord(SIZE_T value) { return static_cast<DWORD>(value); }

}  // namespace

// Informational lines are written only when the settings ask for them.
#define WS_INFO(function, ...)                                                                     \
  do {                                                                                             \
    if (m_config.dwLoggingEnabled) QXLOG(ETWLogging::kLogNormal, kLogFile, function, __VA_ARGS__); \
  } while (0)

std::pair<SIZE_T, SIZE_T> FindOptimalBucket(const std::vector<SIZE_T>& samples, SIZE_T bucketRange,
                                            WORD count) {
  if (bucketRange == 0 || samples.empty() || samples.size() < count) return {0, 0};
  std::map<SIZE_T, WORD> histogram;
  for (SIZE_T sample : samples) ++histogram[sample / bucketRange];
  for (const auto& [index, hits] : histogram) {
    if (hits >= count) return {index * bucketRange, index * bucketRange + bucketRange};
  }
  return {0, 0};
}

bool GetProcessCpuUsage(IQxProcessMetrics& metrics, float& usage, HANDLE process, DWORD intervalMs,
                        HANDLE stopEvent) {
  usage = 0.0f;
  if (!process) process = GetCurrentProcess();

  const ULONGLONG t0 = metrics.GetSystemTime();
  ULONGLONG k0 = 0, u0 = 0;
  if (!metrics.GetProcessTimes(process, k0, u0)) return false;

  if (metrics.Wait(stopEvent, intervalMs) == WAIT_OBJECT_0) return false;

  const ULONGLONG t1 = metrics.GetSystemTime();
  ULONGLONG k1 = 0, u1 = 0;
  if (!metrics.GetProcessTimes(process, k1, u1)) return false;

  const LONGLONG elapsed = static_cast<LONGLONG>(t1 - t0);
  // No time passed (e.g. a wait that failed at once): no measurement.
  if (elapsed <= 0) return false;

  const ULONGLONG busy = (u1 - u0) + (k1 - k0);
  usage = static_cast<float>(static_cast<double>(busy) * 100.0 / static_cast<double>(elapsed));

  const DWORD processors = metrics.GetProcessorCount();
  if (processors == 0) return false;
  usage = usage / static_cast<float>(processors);
  return true;
}

bool GetProcessCpuUsage(float& usage, HANDLE process, DWORD intervalMs, HANDLE stopEvent) {
  return GetProcessCpuUsage(CQxProcessMetrics::Instance(), usage, process, intervalMs, stopEvent);
}

CQxWorkingSetCallback::CQxWorkingSetCallback(IQxProcessMetrics* metrics)
    : m_config{}, m_pMetrics(metrics ? metrics : &CQxProcessMetrics::Instance()) {
  m_config.dwCpuUsageLimit = 5;
  m_config.dwCpuUsageDuration = 5000;
}

CQxWorkingSetCallback::~CQxWorkingSetCallback() = default;

bool CQxWorkingSetCallback::init(HANDLE stopEvent, CQxSvcHostWorkingSetHandler* handler,
                                 const WSSConfig& config) {
  static constexpr const wchar_t kFunction[] = L"CQxWorkingSetCallback::init";
  AcquireSRWLockExclusive(&m_runLock);
  m_pHandler = handler;
  m_config = config;
  m_hStopEvent = stopEvent;

  bool valid = false;
  if (m_config.dwBucketRange == 0) {
    QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction, L"m_dwWsBucketRange invalid (%d)",
          m_config.dwBucketRange);
  } else if (m_config.dwLimitFactor == 0) {
    QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction, L"m_wsLimitFactor invalid (%d)",
          m_config.dwLimitFactor);
  } else if (m_config.dwOptimalOccuranceCount == 0) {
    QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction, L"m_dwOptimalOccuranceCount invalid (%d)",
          m_config.dwOptimalOccuranceCount);
  } else if (m_config.dwProcessIdleWaitTime == 0) {
    QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction, L"m_processIdleWaitTime invalid (%d)",
          m_config.dwProcessIdleWaitTime);
  } else {
    const SIZE_T upper = m_config.stOptimalBucketUpperLimit;
    const SIZE_T range = m_config.dwBucketRange;
    setOptimalBucket(upper < range ? std::pair<SIZE_T, SIZE_T>{0, 0}
                                   : std::pair<SIZE_T, SIZE_T>{upper - range, upper});
    m_state = m_wsOptimalBucket.second != 0 ? RegularRun : InitialSampling;
    valid = true;
  }
  ReleaseSRWLockExclusive(&m_runLock);
  return valid;
}

bool CQxWorkingSetCallback::OnCallback(bool timerFired) {
  // The timer and the event wait run on different pool threads; one run at a time keeps
  // the samples, the bucket and the flag consistent.
  AcquireSRWLockExclusive(&m_runLock);
  bool result = false;
  if (!m_hStopEvent) {
    QXLOG(ETWLogging::kLogWarning, kLogFile, L"CQxWorkingSetCallback::OnCallback",
          L"OnCallback called without initializing");
  }
  // A run that waited for the other one to finish may find the handler stopping.
  if (!isStopped()) result = timerFired ? onWsTimer() : onWsEventTrigger();
  ReleaseSRWLockExclusive(&m_runLock);
  return result;
}

std::pair<SIZE_T, SIZE_T> CQxWorkingSetCallback::GetOptimalBucket() const {
  AcquireSRWLockShared(&m_bucketLock);
  const std::pair<SIZE_T, SIZE_T> bucket = m_wsOptimalBucket;
  ReleaseSRWLockShared(&m_bucketLock);
  return bucket;
}

CQxWorkingSetCallback::State CQxWorkingSetCallback::GetState() const { return m_state; }

bool CQxWorkingSetCallback::GetPreviousRunTrimmed() const { return m_bPreviousRunTrimmed; }

std::vector<SIZE_T> CQxWorkingSetCallback::GetSamples() const { return m_samples; }

void CQxWorkingSetCallback::setOptimalBucket(std::pair<SIZE_T, SIZE_T> bucket) {
  AcquireSRWLockExclusive(&m_bucketLock);
  m_wsOptimalBucket = bucket;
  ReleaseSRWLockExclusive(&m_bucketLock);
}

bool CQxWorkingSetCallback::isStopped() const {
  return WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0;
}

bool CQxWorkingSetCallback::rearm() { return m_pHandler ? m_pHandler->scheduleWsTimer() : false; }

bool CQxWorkingSetCallback::onWsTimer() {
  static constexpr const wchar_t kFunction[] = L"CQxWorkingSetCallback::onWsTimer";
  WS_INFO(kFunction, L"Working set event triggered (timer)");
  if (m_state == RegularRun) {
    WS_INFO(kFunction, L"Regular run.");
    return handleRegularRun();
  }
  WS_INFO(kFunction, L"Initial sampling.");
  return handleInitialSampling();
}

bool CQxWorkingSetCallback::handleInitialSampling() {
  if (!waitForProcessorIdle()) return false;
  const SIZE_T workingSet = getCurrentWorkingSet();
  if (workingSet == 0) {
    QXLOG(ETWLogging::kLogError, kLogFile, L"CQxWorkingSetCallback::handleInitialSampling",
          L"The current working set is 0");
    return false;
  }
  (void)limitWorkingSet();
  const bool wasTrimmed = m_bPreviousRunTrimmed;
  m_bPreviousRunTrimmed = true;
  // The first measurement did not follow a trim, so it says nothing about regrowth.
  if (!wasTrimmed) return rearm();
  const bool result = addSample(workingSet);
  if (m_wsOptimalBucket.second != 0) m_state = RegularRun;
  return result;
}

bool CQxWorkingSetCallback::handleRegularRun() {
  static constexpr const wchar_t kFunction[] = L"CQxWorkingSetCallback::handleRegularRun";
  const SIZE_T workingSet = getCurrentWorkingSet();
  if (workingSet == 0) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"The current working set is 0");
    return false;
  }
  if (workingSet < m_wsOptimalBucket.first) {
    WS_INFO(kFunction, L"Current working set is lower than the range, Current WS=%d",
            AsWord(workingSet));
    return addSample(workingSet);
  }
  const SIZE_T upper = m_wsOptimalBucket.second;
  const SIZE_T limit = upper + static_cast<ULONGLONG>(static_cast<double>(m_config.dwLimitFactor) *
                                                      0.01 * static_cast<double>(upper));
  if (workingSet <= limit) {
    WS_INFO(kFunction, L"Current working set is within range, Current WS=%d", AsWord(workingSet));
    if (m_bPreviousRunTrimmed) {
      m_bPreviousRunTrimmed = false;
      return addSample(workingSet);
    }
    return rearm();
  }
  if (!waitForProcessorIdle()) return false;
  (void)limitWorkingSet();
  const bool wasTrimmed = m_bPreviousRunTrimmed;
  m_bPreviousRunTrimmed = true;
  return wasTrimmed ? addSample(workingSet) : rearm();
}

bool CQxWorkingSetCallback::onWsEventTrigger() {
  WS_INFO(L"CQxWorkingSetCallback::onWsEventTrigger", L"Working set event triggered");
  if (!isCpuUsageBelowLimit()) return true;
  m_bPreviousRunTrimmed = true;
  if (isStopped()) return false;
  (void)limitWorkingSet();
  if (isStopped()) return false;
  return rearm();
}

bool CQxWorkingSetCallback::addSample(SIZE_T workingSet) {
  try {
    m_samples.push_back(workingSet);
  } catch (const std::bad_alloc&) {
    // An unrecorded sample only delays learning; a throw here would end the process.
  }
  (void)getOptimalBucket();
  if (isStopped()) return false;
  return rearm();
}

bool CQxWorkingSetCallback::getOptimalBucket() {
  const std::pair<SIZE_T, SIZE_T> bucket = FindOptimalBucket(
      m_samples, m_config.dwBucketRange, static_cast<WORD>(m_config.dwOptimalOccuranceCount));
  if (bucket.second == 0) return false;
  m_samples.clear();
  setOptimalBucket(bucket);
  WS_INFO(L"CQxWorkingSetCallback::getOptimalBucket",
          L"New optimal bucket decided, m_wsOptimalBucket.first=%d, m_wsOptimalBucket.second=%d",
          AsWord(bucket.first), AsWord(bucket.second));
  return true;
}

SIZE_T CQxWorkingSetCallback::getCurrentWorkingSet() {
  SIZE_T bytes = 0;
  if (!m_pMetrics->GetWorkingSetSize(bytes)) {
    const DWORD error = GetLastError();
    QXLOG(ETWLogging::kLogError, kLogFile, L"CQxWorkingSetCallback::getCurrentWorkingSet",
          L"Failed to get the process working set (GLE=0x%08X)", error);
    return 0;
  }
  return bytes;
}

bool CQxWorkingSetCallback::isCpuUsageBelowLimit() {
  static constexpr const wchar_t kFunction[] = L"CQxWorkingSetCallback::isCpuUsageBelowLimit";
  float usage = 0.0f;
  if (!GetProcessCpuUsage(*m_pMetrics, usage, nullptr, m_config.dwCpuUsageDuration, m_hStopEvent)) {
    const DWORD error = GetLastError();
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"GetProcessCpuUsage failed (GLE=0x%08X)",
          error);
    return false;
  }
  if (usage > static_cast<float>(m_config.dwCpuUsageLimit)) {
    WS_INFO(kFunction, L"CPU Usage is above limit (>%d)", m_config.dwCpuUsageLimit);
    return false;
  }
  return true;
}

bool CQxWorkingSetCallback::waitForProcessorIdle() {
  for (;;) {
    if (isCpuUsageBelowLimit()) return true;
    if (!m_hStopEvent) return false;  // nothing to pause on
    if (m_pMetrics->Wait(m_hStopEvent, m_config.dwProcessIdleWaitTime) != WAIT_TIMEOUT) {
      return false;
    }
  }
}

bool CQxWorkingSetCallback::limitWorkingSet() {
  static constexpr const wchar_t kFunction[] = L"CQxWorkingSetCallback::limitWorkingSet";
  if (m_pMetrics->TrimWorkingSet()) {
    WS_INFO(kFunction, L"Process working set adjusted successfully");
    return true;
  }
  const DWORD error = GetLastError();
  QXLOG(ETWLogging::kLogError, kLogFile, kFunction,
        L"Failed to set the process working set (GLE=0x%08X)", error);
  return false;
}
