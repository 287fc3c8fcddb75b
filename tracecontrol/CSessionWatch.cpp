#include "tracecontrol/CSessionWatch.h"

#include <algorithm>
#include <utility>

namespace ETWLogging {

CSessionWatch::CSessionWatch()
    : m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CSessionWatch::~CSessionWatch() { Stop(); }

bool CSessionWatch::Start(Check check, DWORD firstDelay) {
  if (m_thread) return true;
  if (!m_stop || !m_wake || !check) return false;
  ResetEvent(m_stop.get());
  m_check = std::move(check);
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_due = GetTickCount64() + firstDelay;
  }
  m_thread.reset(CreateThread(nullptr, 0, &CSessionWatch::Thread, this, 0, nullptr));
  return static_cast<bool>(m_thread);
}

void CSessionWatch::Stop() {
  if (m_thread) {
    SetEvent(m_stop.get());
    WaitForSingleObject(m_thread.get(), INFINITE);
  }
  m_thread.reset();
  m_check = nullptr;
}

void CSessionWatch::RunWithin(DWORD delay) {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_due = std::min(m_due, GetTickCount64() + delay);
  }
  if (m_wake) SetEvent(m_wake.get());
}

DWORD WINAPI CSessionWatch::Thread(void* watch) {
  static_cast<CSessionWatch*>(watch)->Run();
  return 0;
}

void CSessionWatch::Run() {
  const HANDLE events[] = {m_stop.get(), m_wake.get()};
  for (;;) {
    ULONGLONG due;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      due = m_due;
    }
    const ULONGLONG now = GetTickCount64();
    if (now < due) {
      const DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(due - now, INFINITE - 1));
      const DWORD woken = WaitForMultipleObjects(2, events, FALSE, wait);
      if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) return;
      continue;  // woken early or timed out: look at the time again
    }
    if (WaitForSingleObject(m_stop.get(), 0) == WAIT_OBJECT_0) return;
    const DWORD next = m_check();
    std::lock_guard<std::mutex> lock(m_lock);
    m_due = GetTickCount64() + next;
  }
}

}  // namespace ETWLogging
