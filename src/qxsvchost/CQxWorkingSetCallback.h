// Sampling and trimming of the host's working set: runs on every timer or
// working-set event callback of the working-set handler.
#pragma once

#include <windows.h>

#include <utility>
#include <vector>

#include "IQxProcessMetrics.h"
#include "WSSConfig.h"

class CQxSvcHostWorkingSetHandler;

// First bucket [b*R, b*R + R] that holds at least |count| of |samples| (b = sample / R);
// (0, 0) when none does, when R is 0 or when there are fewer samples than |count|.
std::pair<SIZE_T, SIZE_T> FindOptimalBucket(const std::vector<SIZE_T>& samples, SIZE_T bucketRange,
                                            WORD count);

// CPU time of |process| (null: the current process) over |intervalMs| as a percentage of
// the whole machine. The wait ends early (false) when |stopEvent| is signalled. |usage| is
// set to 0 first.
bool GetProcessCpuUsage(float& usage, HANDLE process, DWORD intervalMs, HANDLE stopEvent);
bool GetProcessCpuUsage(IQxProcessMetrics& metrics, float& usage, HANDLE process, DWORD intervalMs,
                        HANDLE stopEvent);

class CQxWorkingSetCallback {
 public:
  enum State : DWORD { InitialSampling = 0, RegularRun = 1 };

  // |metrics| must outlive the object; null means the real process metrics.
  explicit CQxWorkingSetCallback(IQxProcessMetrics* metrics = nullptr);
  ~CQxWorkingSetCallback();
  CQxWorkingSetCallback(const CQxWorkingSetCallback&) = delete;
  CQxWorkingSetCallback& operator=(const CQxWorkingSetCallback&) = delete;

  // Takes the settings, the stop event and the handler (neither owned). False when the
  // bucket range, limit factor, occurrence count or idle wait time is 0.
  [[nodiscard]] bool init(HANDLE stopEvent, CQxSvcHostWorkingSetHandler* handler,
                          const WSSConfig& config);

  // One timer run (|timerFired| true) or working-set event run (false). Runs are
  // serialised; a run that finds the stop event set returns false at once.
  bool OnCallback(bool timerFired);

  // The learned bucket (0, 0 when none); safe to read while a run is in progress.
  std::pair<SIZE_T, SIZE_T> GetOptimalBucket() const;
  // State, flag and samples: read them only while no run is in progress.
  State GetState() const;
  bool GetPreviousRunTrimmed() const;
  std::vector<SIZE_T> GetSamples() const;

  bool onWsTimer();
  bool onWsEventTrigger();
  bool handleInitialSampling();
  bool handleRegularRun();
  bool addSample(SIZE_T workingSet);
  bool getOptimalBucket();
  SIZE_T getCurrentWorkingSet();
  bool isCpuUsageBelowLimit();
  bool waitForProcessorIdle();
  bool limitWorkingSet();

 private:
  bool isStopped() const;
  bool rearm();
  void setOptimalBucket(std::pair<SIZE_T, SIZE_T> bucket);

  WSSConfig m_config;
  HANDLE m_hStopEvent = nullptr;
  CQxSvcHostWorkingSetHandler* m_pHandler = nullptr;
  State m_state = RegularRun;
  std::vector<SIZE_T> m_samples;
  std::pair<SIZE_T, SIZE_T> m_wsOptimalBucket{0, 0};
  bool m_bPreviousRunTrimmed = false;

  IQxProcessMetrics* m_pMetrics;
  SRWLOCK m_runLock = SRWLOCK_INIT;             // one run at a time
  mutable SRWLOCK m_bucketLock = SRWLOCK_INIT;  // the learned bucket, read from the main thread
};
