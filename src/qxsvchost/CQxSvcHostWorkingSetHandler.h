// Drives working-set reduction: a randomised one-shot timer and the named
// working-set event both deliver their callbacks to the embedded sampling object.
#pragma once

#include <windows.h>

#include <functional>

#include "CQxWorkingSetCallback.h"
#include "CTimerQueue.h"
#include "IQxProcessMetrics.h"
#include "WSSConfig.h"

// Source of random numbers in 0..32767 for the timer's due time (rand() by default).
using WsRandomSource = std::function<int()>;

// Due time in ms for the random draw |r| (0..32767): base + trunc(range * r / 32767).
DWORD ComputeWsTimerDueTime(DWORD intervalBase, DWORD randomizationRange, int r);

// Timer and registered-wait callback: hands the BOOLEAN (TRUE timer, FALSE event) to
// the CQxWorkingSetCallback that |context| points at.
VOID CALLBACK WorkingSetWaitCallback(PVOID context, BOOLEAN timerOrWaitFired);

// Creates (|open| false) or opens for signalling (|open| true) the process's working-set
// event "{65CF2DA9-5B1A-4c67-B48E-78E64C4AD860}_<pid>". Null on failure; the caller owns it.
HANDLE OpenOrCreateWorkingSetEvent(bool open);

// Signals the working-set event of this process; FALSE when no handler has it open.
BOOL SignalWorkingSetEvent();

// scheduleWsTimer is the one virtual operation; the destructor is not virtual, so own the
// handler by its own type (std::unique_ptr<CQxSvcHostWorkingSetHandler> keeps g++ quiet).
class CQxSvcHostWorkingSetHandler {
 public:
  // |metrics| (must outlive the handler; null: the real process) and |random| (empty:
  // rand()) are seams for tests.
  explicit CQxSvcHostWorkingSetHandler(IQxProcessMetrics* metrics = nullptr,
                                       WsRandomSource random = WsRandomSource());
  // Stops and drains every callback before the lock and the events go away.
  ~CQxSvcHostWorkingSetHandler();
  CQxSvcHostWorkingSetHandler(const CQxSvcHostWorkingSetHandler&) = delete;
  CQxSvcHostWorkingSetHandler& operator=(const CQxSvcHostWorkingSetHandler&) = delete;

  // Starts the timer, the event and its wait with |config| (de-initialising first when
  // running). False leaves the handler stopped.
  [[nodiscard]] bool Initialize(const WSSConfig& config);
  // Signals the stop event and waits until no callback runs; false when the pending timer
  // could not be cancelled or the working-set event could not be closed.
  bool DeInitialize();
  // Replaces the pending timer by one with a fresh randomised due time; false when stopped
  // or when the timer cannot be created.
  virtual bool scheduleWsTimer();
  // Deletes the pending timer, waiting for its running callback when |wait|.
  bool cancelWsTimer(bool wait);
  // Upper bound of the learned bucket (0 when none).
  SIZE_T getOptimalBucketUpperLimit() const;
  // True when the stop event is missing or signalled.
  bool isStopped() const;

  bool IsInitialized() const { return m_bInitialized; }
  const CQxWorkingSetCallback& GetCallback() const { return m_callback; }

 private:
  void drainCallbacks();

  CTimerQueue m_timerQueue;
  CQxWorkingSetCallback m_callback;
  HANDLE m_hWsEvent = nullptr;
  HANDLE m_hWait = nullptr;
  HANDLE m_hTimer = nullptr;
  HANDLE m_hStopEvent = nullptr;
  CRITICAL_SECTION m_cs;
  DWORD m_dwTimerIntervalBase = 0;
  DWORD m_dwRandomizationRange = 0;
  bool m_bInitialized = false;
  WsRandomSource m_random;
};
