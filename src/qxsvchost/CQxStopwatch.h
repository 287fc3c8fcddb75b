// Seconds since a start count of the performance counter, as the host's timing log lines print
// them.
#pragma once

#include <windows.h>

class CQxStopwatch {
 public:
  // Reads the frequency and takes the start count.
  CQxStopwatch() {
    LARGE_INTEGER frequency = {};
    // Only a result of exactly 1 counts: the frequency is then known to be filled in.
    m_frequency = QueryPerformanceFrequency(&frequency) == 1 ? frequency.QuadPart : 0;
    Restart();
  }
  // Takes a new start count.
  void Restart() {
    LARGE_INTEGER now = {};
    m_start = QueryPerformanceCounter(&now) ? now.QuadPart : 0;
  }
  // (now - start) / frequency; -1.0 when the frequency, the start or the current count is 0.
  double Seconds() const {
    LARGE_INTEGER now = {};
    const LONGLONG current = QueryPerformanceCounter(&now) ? now.QuadPart : 0;
    if (m_frequency == 0 || m_start == 0 || current == 0) return -1.0;
    return static_cast<double>(current - m_start) / static_cast<double>(m_frequency);
  }

 private:
  LONGLONG m_frequency = 0;
  LONGLONG m_start = 0;
};
