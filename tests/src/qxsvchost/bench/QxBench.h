// Shared pieces of the host's benchmarks: a clock, medians, and the services they compare (the
// bare service program and Hollin.exe hosting the subsystem double) under Wine's service control
// manager of the prefix they run in. Everything they register is removed again.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "HollinTestSupport.h"
#include "QxBenchPaths.h"

namespace qxbench {

inline double Now() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

inline std::wstring BareServiceProgram() {
  return testsupport::WinePath(QX_BARE_SERVICE_UNIX_PATH);
}
// The subsystem double as the benchmarks load it (without debug information).
inline std::wstring BenchSubsystem() { return testsupport::WinePath(QX_BENCH_SUBSYSTEM_UNIX_PATH); }

inline int Argument(int argc, wchar_t** argv, int index, int fallback) {
  return argc > index ? _wtoi(argv[index]) : fallback;
}

// Polls every millisecond until |service| reports |state|; false after |ms|.
inline bool WaitForState(SC_HANDLE service, DWORD state, DWORD ms = 30000) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (qxtest::ServiceState(service) != state) {
    if (GetTickCount64() > end) return false;
    Sleep(1);
  }
  return true;
}

// The configuration and services one benchmark run compares: |hosted| services of Hollin.exe in
// a group of their own, each run by a registration of the subsystem double in its "service" mode,
// and |bare| services of the bare program.
class BenchServices {
 public:
  BenchServices(int hosted, int bare)
      : m_subsystem(BenchSubsystem()),
        m_group(qxhosttest::UniqueName(L"QxBenchGroup"), 0),
        m_manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
    m_subsystem.Mode(L"service");
    m_ok = m_subsystem.ok() && m_group.ok() && m_manager;
    for (int i = 0; m_ok && i < hosted; ++i) {
      const std::wstring name = qxhosttest::UniqueName(L"QxBenchHosted" + std::to_wstring(i));
      m_ok = m_group.Add(name, m_subsystem.text());
      m_hosted.push_back(std::make_unique<hollintest::HostService>(
          m_manager.get(), name, hollintest::ShippedHost(), m_group.name()));
      m_ok = m_ok && m_hosted.back()->get();
    }
    for (int i = 0; m_ok && i < bare; ++i) {
      const std::wstring name = qxhosttest::UniqueName(L"QxBenchBare" + std::to_wstring(i));
      m_bare.push_back(std::make_unique<hollintest::HostService>(m_manager.get(), name,
                                                                 BareServiceProgram(), name));
      m_ok = m_ok && m_bare.back()->get();
    }
    if (!m_ok) std::fprintf(stderr, "could not register the benchmark's services\n");
  }

  bool ok() const { return m_ok; }
  hollintest::HostService& Hosted(size_t i) { return *m_hosted[i]; }
  hollintest::HostService& Bare(size_t i) { return *m_bare[i]; }

 private:
  qxhosttest::ComRegistration m_subsystem;
  qxhosttest::MachineGroup m_group;
  Basalt::UniqueScHandle m_manager;
  std::vector<std::unique_ptr<hollintest::HostService>> m_hosted;
  std::vector<std::unique_ptr<hollintest::HostService>> m_bare;
  bool m_ok = false;
};

// Stops |service| and waits for the end of its process, so that the next start begins afresh.
inline bool StopAndWait(hollintest::HostService& service) {
  Basalt::UniqueKernelHandle process = service.OpenProcessOfService();
  const bool stopped = service.Stop();
  if (process) WaitForSingleObject(process.get(), 15000);
  return stopped;
}

}  // namespace qxbench
