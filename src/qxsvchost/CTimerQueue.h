// Owner of a timer queue: deleting it waits for every callback of the queue.
#pragma once

#include <windows.h>

class CTimerQueue {
 public:
  CTimerQueue() = default;
  virtual ~CTimerQueue() {
    if (m_hTimerQueue) DeleteTimerQueueEx(m_hTimerQueue, INVALID_HANDLE_VALUE);
  }
  CTimerQueue(const CTimerQueue&) = delete;
  CTimerQueue& operator=(const CTimerQueue&) = delete;

  HANDLE m_hTimerQueue = nullptr;
};
