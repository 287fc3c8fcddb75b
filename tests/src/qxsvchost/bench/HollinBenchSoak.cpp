// Soak: start/stop cycles of one hosted service (the subsystem double) through the dispatcher
// seam in one host run; the process's handle count and memory after the first 100 cycles and
// after the last (the goal: neither grows by more than 5%).
// Usage: HollinBenchSoak [cycles, default 1000]
#include <windows.h>

#include <cstdio>

#include "QxBench.h"
#include "QxHostSoak.h"

namespace {

double Growth(SIZE_T before, SIZE_T after) {
  return before ? (static_cast<double>(after) / static_cast<double>(before) - 1) * 100 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int cycles = std::max(101, qxbench::Argument(argc, argv, 1, 1000));
  qxhosttest::ScratchHost scratch(L"QxBenchSoak");
  if (!scratch.ok()) return 1;
  const qxhosttest::SoakResult soak = qxhosttest::RunSoak(scratch, cycles, 100);
  if (soak.exitCode != 0 || soak.cycles != cycles) {
    std::fprintf(stderr, "the soak ended after %d cycles with %lu\n", soak.cycles, soak.exitCode);
    return 2;
  }
  const qxhosttest::SoakSample& a = soak.afterFirst;
  const qxhosttest::SoakSample& b = soak.afterLast;
  std::printf("Soak: %d start/stop cycles of one hosted service in %.1f s\n", cycles, soak.seconds);
  std::printf("  handles        %8lu after 100, %8lu after %d (%+.1f%%)\n", a.handles, b.handles,
              cycles, Growth(a.handles, b.handles));
  std::printf("  private bytes  %8zu KiB, %8zu KiB (%+.1f%%)\n", a.privateBytes / 1024,
              b.privateBytes / 1024, Growth(a.privateBytes, b.privateBytes));
  std::printf("  pagefile       %8zu KiB, %8zu KiB (%+.1f%%)\n", a.pagefileBytes / 1024,
              b.pagefileBytes / 1024, Growth(a.pagefileBytes, b.pagefileBytes));
  std::printf("  working set    %8zu KiB, %8zu KiB (%+.1f%%)\n", a.workingSet / 1024,
              b.workingSet / 1024, Growth(a.workingSet, b.workingSet));
  return 0;
}
