// The real process metrics of the current process.
#pragma once

#include "IQxProcessMetrics.h"

class CQxProcessMetrics : public IQxProcessMetrics {
 public:
  // The process-wide instance (stateless; lives for the whole process).
  static CQxProcessMetrics& Instance();

  bool GetWorkingSetSize(SIZE_T& bytes) override;
  bool TrimWorkingSet() override;
  ULONGLONG GetSystemTime() override;
  bool GetProcessTimes(HANDLE process, ULONGLONG& kernel, ULONGLONG& user) override;
  DWORD GetProcessorCount() override;
  DWORD Wait(HANDLE stopEvent, DWORD ms) override;
};
