// A check that runs again and again on a thread of its own, each time after the delay that
// the check before it chose; the controller uses it to keep its session running.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>

#include "basalt/UniqueHandle.h"

namespace ETWLogging {

class CSessionWatch {
 public:
  // Returns the delay in milliseconds before it runs again.
  using Check = std::function<DWORD()>;

  CSessionWatch();
  CSessionWatch(const CSessionWatch&) = delete;
  CSessionWatch& operator=(const CSessionWatch&) = delete;
  // Stop().
  ~CSessionWatch();

  // Runs |check| |firstDelay| ms from now and then as it asks. False when the thread cannot
  // be made; true without change while running.
  [[nodiscard]] bool Start(Check check, DWORD firstDelay);
  // Ends and joins the thread; a check in progress finishes first. Not from inside the check.
  void Stop();
  bool IsRunning() const noexcept { return static_cast<bool>(m_thread); }
  // Brings the next check forward to |delay| ms from now, never later than it was due. A
  // check in progress ignores it: the delay it returns wins. Safe from any thread.
  void RunWithin(DWORD delay);

 private:
  static DWORD WINAPI Thread(void* watch);
  void Run();

  Check m_check;
  const Basalt::UniqueEvent m_stop;  // manual-reset
  const Basalt::UniqueEvent m_wake;
  Basalt::UniqueKernelHandle m_thread;
  std::mutex m_lock;
  ULONGLONG m_due = 0;  // GetTickCount64 time of the next check
};

}  // namespace ETWLogging
