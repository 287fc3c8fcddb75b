// Working-set reduction settings of one service group, copied by value into
// every holder (host driver, working-set handler, sampling object).
#pragma once

#include <windows.h>

struct WSSConfig {
  DWORD dwEnabled;                  // reduction on (nonzero) or off
  DWORD dwLoggingEnabled;           // the working-set code writes its informational lines
  DWORD dwCpuUsageLimit;            // percent of the whole machine
  DWORD dwCpuUsageDuration;         // ms, length of one CPU measurement
  DWORD dwTimerIntervalBase;        // ms, fixed part of the timer period
  DWORD dwRandomizationRange;       // ms, random part of the timer period
  DWORD dwLimitFactor;              // percent allowed over the learned upper limit
  DWORD stOptimalBucketUpperLimit;  // bytes, learned upper limit of the group
  DWORD dwBucketRange;              // bytes, width of one histogram bucket
  DWORD dwOptimalOccuranceCount;    // samples one bucket needs to be learned
  DWORD dwProcessIdleWaitTime;      // ms, pause between CPU checks while waiting for idle
};

static_assert(sizeof(WSSConfig) == 11 * sizeof(DWORD), "WSSConfig is eleven 32-bit words");
