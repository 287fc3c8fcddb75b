// The few process facts and actions the working-set code needs, behind one narrow
// interface so that the sampling logic can run against a fake (Wine's trim does nothing).
#pragma once

#include <windows.h>

class IQxProcessMetrics {
 public:
  virtual ~IQxProcessMetrics() = default;

  // Working set of the current process in bytes; false with the thread's last error set.
  virtual bool GetWorkingSetSize(SIZE_T& bytes) = 0;
  // Asks the system to remove as many pages as it can from the current process's
  // working set; false with the thread's last error set.
  virtual bool TrimWorkingSet() = 0;
  // Wall-clock time in 100-ns units.
  virtual ULONGLONG GetSystemTime() = 0;
  // Kernel and user time of |process| in 100-ns units; false with the last error set.
  virtual bool GetProcessTimes(HANDLE process, ULONGLONG& kernel, ULONGLONG& user) = 0;
  // Number of processors of the machine.
  virtual DWORD GetProcessorCount() = 0;
  // Waits |ms| on |stopEvent| (just sleeps when it is null) and returns the wait result
  // (WAIT_TIMEOUT after a plain sleep).
  virtual DWORD Wait(HANDLE stopEvent, DWORD ms) = 0;
};
