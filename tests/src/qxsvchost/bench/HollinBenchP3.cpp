// P3, scale: a group of 1, 10 and 50 services started at once, timed until every service runs:
//   - in one process through the dispatcher seam (the host's dispatcher table run by threads of
//     this program, as a shared host runs a group on Windows), the subsystem double waiting;
//   - through Wine's service control manager, Hollin.exe hosting the subsystem double (Wine runs
//     each service in a process of its own).
// Prints the median time of each size, the time per service and the cost of each added service
// against the single-service time (the goal is within 5%: linear growth).
// Usage: HollinBenchP3 [rounds per size, default 5]
#include <windows.h>

#include <cstdio>
#include <map>
#include <vector>

#include "QxBench.h"
#include "src/qxsvchost/CQxSvcHost.h"

namespace {

using qxhosttest::ScratchHost;

// One run of a group of |n| services through the dispatcher seam: seconds from the dispatcher's
// start until every service runs, negative on failure.
double SeamRun(ScratchHost& scratch, int n) {
  qxhosttest::ComRegistration waits(qxbench::BenchSubsystem());
  waits.Mode(L"wait");
  const std::wstring group = qxhosttest::UniqueName(L"QxBenchSeam" + std::to_wstring(n));
  std::vector<std::wstring> names;
  std::wstring list;
  for (int i = 0; i < n; ++i) {
    names.push_back(group + L"_" + std::to_wstring(i));
    list += names.back() + L";";
    if (!scratch.GroupString(group, names.back().c_str(), waits.text())) return -1;
  }
  if (!waits.ok() || !scratch.GroupString(group, nullptr, list)) return -1;

  double elapsed = -1;
  qxhosttest::RecordingStatusApi scm;
  CQxSvcHostSeams seams;
  seams.scm = &scm;
  seams.beforeForcedEnd = &qxhosttest::FailTheForcedEnd;
  seams.makeDispatcherTable = [&] {
    return std::make_unique<qxhosttest::ThreadDispatcher>(
        scm, [&](qxhosttest::ThreadDispatcher& d) {
          const double begin = qxbench::Now();
          for (size_t i = 0; i < d.Count(); ++i) d.Start(i);
          bool all = true;
          for (const std::wstring& name : names) {
            all = qxhosttest::WaitNamedEvent(qxdouble::QxDoubleRunningEvent(name), 30000) && all;
          }
          if (all) elapsed = qxbench::Now() - begin;
          for (const std::wstring& name : names) {
            qxhosttest::SetNamedEvent(qxdouble::QxDoubleStopEvent(name));
          }
        });
  };
  CQxSvcHost host(seams);
  std::wstring program = L"Hollin.exe";
  std::wstring selector = L"/" + group;
  wchar_t* argv[] = {program.data(), selector.data()};
  if (host.Start(2, argv) != 0) return -1;
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, ScratchHost::GroupKey(group).c_str());
  return elapsed;
}

// One run of |n| services of Hollin.exe through the service control manager: seconds from the
// first StartServiceW until every service runs, negative on failure.
double ScmRun(int n) {
  qxbench::BenchServices services(n, 0);
  if (!services.ok()) return -1;
  const double begin = qxbench::Now();
  for (int i = 0; i < n; ++i) {
    if (services.Hosted(i).Start() != ERROR_SUCCESS) return -1;
  }
  for (int i = 0; i < n; ++i) {
    if (!qxbench::WaitForState(services.Hosted(i).get(), SERVICE_RUNNING)) return -1;
  }
  const double elapsed = qxbench::Now() - begin;
  for (int i = 0; i < n; ++i) qxbench::StopAndWait(services.Hosted(i));
  return elapsed;
}

void Report(const char* title, const std::map<int, double>& medians) {
  std::printf("%s\n", title);
  const double single = medians.at(1);
  for (const auto& [n, seconds] : medians) {
    std::printf("  %2d services: %8.1f ms   %6.2f ms per service", n, seconds * 1000,
                seconds * 1000 / n);
    if (n > 1) {
      const double added = (seconds - single) / (n - 1);
      std::printf("   %6.2f ms per added service (%+.0f%% of the single-service time)",
                  added * 1000, (added / single - 1) * 100);
    }
    std::printf("\n");
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int rounds = std::max(1, qxbench::Argument(argc, argv, 1, 5));
  const int sizes[] = {1, 10, 50};
  std::map<int, double> seam;
  std::map<int, double> scm;
  {
    ScratchHost scratch(L"QxBenchP3");
    if (!scratch.ok() || !scratch.HostDword(L"IsOobeCheckRequired", 0) ||
        !scratch.HostDword(L"WSSEnable", 0)) {
      return 1;
    }
    for (int n : sizes) {
      std::vector<double> times;
      for (int r = 0; r < rounds; ++r) {
        const double t = SeamRun(scratch, n);
        if (t < 0) return 2;
        times.push_back(t);
      }
      seam[n] = qxbench::Median(times);
    }
  }
  for (int n : sizes) {
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
      const double t = ScmRun(n);
      if (t < 0) return 3;
      times.push_back(t);
    }
    scm[n] = qxbench::Median(times);
  }
  std::printf("P3 scale, a group started at once until every service runs (medians of %d)\n",
              rounds);
  Report("In one process, through the dispatcher seam:", seam);
  Report("Through Wine's service control manager (one process per service):", scm);
  return 0;
}
