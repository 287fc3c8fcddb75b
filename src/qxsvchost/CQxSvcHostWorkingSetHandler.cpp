#include "CQxSvcHostWorkingSetHandler.h"

#include <cstdlib>
#include <utility>

#include "etwlogging/Logging.h"

namespace {

constexpr const wchar_t kLogFile[] = L"QxSvcHostWorkingSetHandler";
constexpr const wchar_t kWorkingSetEventGuid[] = L"{65CF2DA9-5B1A-4c67-B48E-78E64C4AD860}";
constexpr DWORD kEventNameChars = 260;

}  // namespace

DWORD ComputeWsTimerDueTime(DWORD intervalBase, DWORD randomizationRange, int r) {
  const double product = static_cast<double>(randomizationRange) * static_cast<double>(r);
  const double scaled = product * (1.0 / 32767.0);
  return intervalBase + static_cast<DWORD>(scaled);
}

VOID CALLBACK WorkingSetWaitCallback(PVOID context, BOOLEAN timerOrWaitFired) {
  (void)static_cast<CQxWorkingSetCallback*>(context)->OnCallback(timerOrWaitFired != FALSE);
}

HANDLE OpenOrCreateWorkingSetEvent(bool open) {
  wchar_t name[kEventNameChars] = {};
  if (wsprintfW(name, L"%s_%lu", kWorkingSetEventGuid, GetCurrentProcessId()) <= 0) return nullptr;
  HANDLE event = open ? OpenEventW(EVENT_MODIFY_STATE, FALSE, name)
                      : CreateEventW(nullptr, FALSE, FALSE, name);
  if (event == INVALID_HANDLE_VALUE) return nullptr;
  return event;
}

BOOL SignalWorkingSetEvent() {
  HANDLE event = OpenOrCreateWorkingSetEvent(true);
  if (!event) return FALSE;
  const BOOL result = SetEvent(event);
  CloseHandle(event);
  return result;
}

CQxSvcHostWorkingSetHandler::CQxSvcHostWorkingSetHandler(IQxProcessMetrics* metrics,
                                                         WsRandomSource random)
    : m_callback(metrics), m_random(std::move(random)) {
  if (!m_random) m_random = [] { return std::rand(); };
  InitializeCriticalSection(&m_cs);
  m_hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CQxSvcHostWorkingSetHandler::~CQxSvcHostWorkingSetHandler() {
  if (m_bInitialized) (void)DeInitialize();
  // A failed Initialize already drained; this also covers anything it left behind, so
  // no callback can still use the lock, the events or the embedded callback object.
  drainCallbacks();
  DeleteCriticalSection(&m_cs);
  if (m_hStopEvent && !CloseHandle(m_hStopEvent)) {
    QXLOG(ETWLogging::kLogError, kLogFile,
          L"CQxSvcHostWorkingSetHandler::~CQxSvcHostWorkingSetHandler",
          L"CloseHandle failed to close the stop event handle");
  }
  m_hStopEvent = nullptr;
  if (m_hWsEvent) CloseHandle(m_hWsEvent);
  m_hWsEvent = nullptr;
}

void CQxSvcHostWorkingSetHandler::drainCallbacks() {
  if (m_hStopEvent) SetEvent(m_hStopEvent);
  if (m_hWait) {
    UnregisterWaitEx(m_hWait, INVALID_HANDLE_VALUE);
    m_hWait = nullptr;
  }
  if (m_timerQueue.m_hTimerQueue) {
    DeleteTimerQueueEx(m_timerQueue.m_hTimerQueue, INVALID_HANDLE_VALUE);
    m_timerQueue.m_hTimerQueue = nullptr;
  }
  // Timers die with their queue.
  m_hTimer = nullptr;
}

bool CQxSvcHostWorkingSetHandler::Initialize(const WSSConfig& config) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostWorkingSetHandler::Initialize";
  if (m_bInitialized) (void)DeInitialize();

  m_dwTimerIntervalBase = config.dwTimerIntervalBase;
  m_dwRandomizationRange = config.dwRandomizationRange;
  if (m_hStopEvent) ResetEvent(m_hStopEvent);

  const WSSConfig copy = config;
  if (!m_callback.init(m_hStopEvent, this, copy)) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"Failed to initialize working set callback");
    (void)DeInitialize();
    return false;
  }

  if (m_timerQueue.m_hTimerQueue) {
    DeleteTimerQueueEx(m_timerQueue.m_hTimerQueue, INVALID_HANDLE_VALUE);
    m_timerQueue.m_hTimerQueue = nullptr;
    m_hTimer = nullptr;  // died with the queue
  }
  m_timerQueue.m_hTimerQueue = CreateTimerQueue();
  if (!m_timerQueue.m_hTimerQueue) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"Failed to initialize timer queue");
    (void)DeInitialize();
    return false;
  }

  // DeInitialize waits for callbacks that may need the lock, so it runs outside it.
  EnterCriticalSection(&m_cs);
  m_hWsEvent = OpenOrCreateWorkingSetEvent(false);
  if (!m_hWsEvent) {
    const DWORD error = GetLastError();
    LeaveCriticalSection(&m_cs);
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction,
          L"Failed to create working set event (GLE=0x%08X)", error);
    (void)DeInitialize();
    return false;
  }
  HANDLE wait = nullptr;
  if (!RegisterWaitForSingleObject(&wait, m_hWsEvent, WorkingSetWaitCallback, &m_callback, INFINITE,
                                   WT_EXECUTEDEFAULT) ||
      !wait) {
    LeaveCriticalSection(&m_cs);
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction,
          L"Failed to register event callback for working set reduction");
    (void)DeInitialize();
    return false;
  }
  m_hWait = wait;
  LeaveCriticalSection(&m_cs);

  if (!scheduleWsTimer()) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"Failed to register the timer callback");
    (void)DeInitialize();
    return false;
  }
  m_bInitialized = true;
  return true;
}

bool CQxSvcHostWorkingSetHandler::scheduleWsTimer() {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostWorkingSetHandler::scheduleWsTimer";
  if (isStopped()) {
    QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction, L"The working set handler is stopped");
    return false;
  }
  // Runs inside the timer's own callback, which must not wait for itself.
  (void)cancelWsTimer(false);

  const DWORD dueTime =
      ComputeWsTimerDueTime(m_dwTimerIntervalBase, m_dwRandomizationRange, m_random());
  if (isStopped()) {
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"The working set handler is stopped");
    return false;
  }

  HANDLE timer = nullptr;
  bool stopped = false;
  EnterCriticalSection(&m_cs);
  // Checked again under the lock: DeInitialize takes the pending timer under it after
  // setting the stop event, so no timer can be created behind its back.
  if (isStopped()) {
    stopped = true;
  } else if (m_timerQueue.m_hTimerQueue) {
    // Another run may have armed a timer since the cancel above; keep only one.
    if (m_hTimer) DeleteTimerQueueTimer(m_timerQueue.m_hTimerQueue, m_hTimer, nullptr);
    if (!CreateTimerQueueTimer(&timer, m_timerQueue.m_hTimerQueue, WorkingSetWaitCallback,
                               &m_callback, dueTime, 0, WT_EXECUTEDEFAULT)) {
      timer = nullptr;
    }
    m_hTimer = timer;
  }
  LeaveCriticalSection(&m_cs);

  if (stopped) {
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"The working set handler is stopped");
    return false;
  }
  if (!timer) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"Failed to register the timer callback");
    return false;
  }
  return true;
}

bool CQxSvcHostWorkingSetHandler::cancelWsTimer(bool wait) {
  EnterCriticalSection(&m_cs);
  HANDLE timer = std::exchange(m_hTimer, nullptr);
  LeaveCriticalSection(&m_cs);
  if (!timer) return true;

  if (timer != INVALID_HANDLE_VALUE &&
      (DeleteTimerQueueTimer(m_timerQueue.m_hTimerQueue, timer,
                             wait ? INVALID_HANDLE_VALUE : nullptr) ||
       GetLastError() == ERROR_IO_PENDING)) {
    return true;
  }
  const DWORD error = GetLastError();
  QXLOG(ETWLogging::kLogWarning, kLogFile, L"CQxSvcHostWorkingSetHandler::cancelWsTimer",
        L"Failed to un-register the callback (GLE=0x%08X)", error);
  return false;
}

bool CQxSvcHostWorkingSetHandler::DeInitialize() {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostWorkingSetHandler::DeInitialize";
  if (m_hStopEvent) SetEvent(m_hStopEvent);
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Working set handler de-initializing");

  bool result = cancelWsTimer(true);

  const bool hadWait = m_hWait != nullptr;
  const bool unregistered = hadWait && UnregisterWaitEx(m_hWait, INVALID_HANDLE_VALUE);
  m_hWait = nullptr;
  if (!unregistered) {
    const DWORD error = GetLastError();
    QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction, L"Failed to unregister wait (GLE=0x%08X)",
          error);
  }

  if (m_timerQueue.m_hTimerQueue) {
    DeleteTimerQueueEx(m_timerQueue.m_hTimerQueue, INVALID_HANDLE_VALUE);
    m_timerQueue.m_hTimerQueue = nullptr;
  }

  EnterCriticalSection(&m_cs);
  // A run that re-armed before the stop event was set left a timer that died with the queue.
  m_hTimer = nullptr;
  Sleep(1);
  if (m_hWsEvent) {
    if (!CloseHandle(m_hWsEvent)) {
      QXLOG(ETWLogging::kLogError, kLogFile, kFunction,
            L"CloseHandle failed to close the working set event handle");
      result = false;
    }
    m_hWsEvent = nullptr;
  }
  m_bInitialized = false;
  LeaveCriticalSection(&m_cs);
  return result;
}

SIZE_T CQxSvcHostWorkingSetHandler::getOptimalBucketUpperLimit() const {
  return m_callback.GetOptimalBucket().second;
}

bool CQxSvcHostWorkingSetHandler::isStopped() const {
  return !m_hStopEvent || WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0;
}
