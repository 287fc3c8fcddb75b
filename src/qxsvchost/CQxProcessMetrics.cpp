#include "CQxProcessMetrics.h"

#include <psapi.h>

CQxProcessMetrics& CQxProcessMetrics::Instance() {
  static CQxProcessMetrics instance;
  return instance;
}

bool CQxProcessMetrics::GetWorkingSetSize(SIZE_T& bytes) {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return false;
  bytes = counters.WorkingSetSize;
  return true;
}

bool CQxProcessMetrics::TrimWorkingSet() {
  return SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1),
                                  static_cast<SIZE_T>(-1)) != FALSE;
}

ULONGLONG CQxProcessMetrics::GetSystemTime() {
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

bool CQxProcessMetrics::GetProcessTimes(HANDLE process, ULONGLONG& kernel, ULONGLONG& user) {
  FILETIME creation = {}, exit = {}, kernelTime = {}, userTime = {};
  if (!::GetProcessTimes(process, &creation, &exit, &kernelTime, &userTime)) return false;
  kernel = (static_cast<ULONGLONG>(kernelTime.dwHighDateTime) << 32) | kernelTime.dwLowDateTime;
  user = (static_cast<ULONGLONG>(userTime.dwHighDateTime) << 32) | userTime.dwLowDateTime;
  return true;
}

DWORD CQxProcessMetrics::GetProcessorCount() {
  SYSTEM_INFO info = {};
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors;
}

DWORD CQxProcessMetrics::Wait(HANDLE stopEvent, DWORD ms) {
  if (!stopEvent) {
    Sleep(ms);
    return WAIT_TIMEOUT;
  }
  return WaitForSingleObject(stopEvent, ms);
}
