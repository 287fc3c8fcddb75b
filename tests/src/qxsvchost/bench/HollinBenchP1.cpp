// P1, start latency: StartServiceW until the service reports SERVICE_RUNNING, for Hollin.exe
// hosting the subsystem double and for the bare service program, alternately, in one prefix.
// Each start is followed by a stop and the end of the process. Prints both medians and their
// ratio (the goal is at most 1.2). Usage: HollinBenchP1 [starts per service, at least 20]
#include <windows.h>

#include <cstdio>
#include <vector>

#include "QxBench.h"

namespace {

// Seconds from StartServiceW until RUNNING; negative when the service did not start.
double TimeStart(hollintest::HostService& service) {
  const double begin = qxbench::Now();
  if (service.Start() != ERROR_SUCCESS) return -1;
  if (!qxbench::WaitForState(service.get(), SERVICE_RUNNING)) return -1;
  const double seconds = qxbench::Now() - begin;
  return qxbench::StopAndWait(service) ? seconds : -1;
}

void Print(const char* what, const std::vector<double>& times) {
  std::printf("%-28s median %7.1f ms   min %7.1f ms   max %7.1f ms   (%zu starts)\n", what,
              qxbench::Median(times) * 1000, *std::min_element(times.begin(), times.end()) * 1000,
              *std::max_element(times.begin(), times.end()) * 1000, times.size());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int starts = std::max(20, qxbench::Argument(argc, argv, 1, 20));
  qxbench::BenchServices services(1, 1);
  if (!services.ok()) return 1;
  std::vector<double> hosted;
  std::vector<double> bare;
  // One warm-up start each, not counted: the first start of a program loads it from disk.
  if (TimeStart(services.Hosted(0)) < 0 || TimeStart(services.Bare(0)) < 0) return 2;
  for (int i = 0; i < starts; ++i) {
    const double h = TimeStart(services.Hosted(0));
    const double b = TimeStart(services.Bare(0));
    if (h < 0 || b < 0) {
      std::fprintf(stderr, "start %d failed\n", i);
      return 2;
    }
    hosted.push_back(h);
    bare.push_back(b);
  }
  std::printf("P1 start latency, StartServiceW to SERVICE_RUNNING\n");
  Print("Hollin.exe + subsystem", hosted);
  Print("bare service", bare);
  std::printf("ratio of the medians         %.2f (goal: at most 1.20)\n",
              qxbench::Median(hosted) / qxbench::Median(bare));
  return 0;
}
