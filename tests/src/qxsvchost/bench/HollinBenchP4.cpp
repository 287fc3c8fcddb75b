// P4, memory: working set and private bytes of an idle Hollin.exe hosting one subsystem (the
// subsystem double) against the bare service program, both run by the service control manager.
// The memory beyond the images of the loaded modules is the committed private memory found by
// walking the address space (Wine reports PrivateUsage as 0, and its PagefileUsage also counts
// the image sections it copies into memory). Prints both and their ratios (the goal is at most
// 1.2 beyond the images), with the processes' module and thread counts.
// Usage: HollinBenchP4 [idle seconds, default 3]
#include <windows.h>
// These need <windows.h> first.
#include <tlhelp32.h>

#include <cstdio>

#include "QxBench.h"

namespace {

struct Memory {
  SIZE_T workingSet = 0;
  SIZE_T privateBytes = 0;  // PrivateUsage, or PagefileUsage where that is 0 (Wine)
  SIZE_T committedPrivate = 0;
  SIZE_T committedImages = 0;
  DWORD modules = 0;
  DWORD threads = 0;
};

// Committed memory of |process| by kind: private (heaps, stacks, ...) and image.
void WalkAddressSpace(HANDLE process, Memory& memory) {
  MEMORY_BASIC_INFORMATION region = {};
  for (const BYTE* at = nullptr;
       VirtualQueryEx(process, at, &region, sizeof(region)) == sizeof(region);
       at = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
    if (region.State != MEM_COMMIT) continue;
    if (region.Type == MEM_PRIVATE) memory.committedPrivate += region.RegionSize;
    if (region.Type == MEM_IMAGE) memory.committedImages += region.RegionSize;
  }
}

DWORD CountThreads(DWORD pid) {
  Basalt::UniqueKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) return 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  DWORD count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    count += entry.th32OwnerProcessID == pid;
  }
  return count;
}

bool Measure(HANDLE process, DWORD pid, Memory& memory) {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof(counters))) {
    return false;
  }
  memory.workingSet = counters.WorkingSetSize;
  memory.privateBytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
  HMODULE modules[1024];
  DWORD bytes = 0;
  if (EnumProcessModules(process, modules, sizeof(modules), &bytes)) {
    memory.modules = bytes / sizeof(HMODULE);
  }
  memory.threads = CountThreads(pid);
  WalkAddressSpace(process, memory);
  return true;
}

bool Idle(hollintest::HostService& service, DWORD idleMs, Memory& memory) {
  if (service.Start() != ERROR_SUCCESS || !qxbench::WaitForState(service.get(), SERVICE_RUNNING)) {
    return false;
  }
  DWORD pid = 0;
  qxtest::ServiceState(service.get(), &pid);
  Basalt::UniqueKernelHandle process(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  Sleep(idleMs);
  const bool measured = process && Measure(process.get(), pid, memory);
  qxbench::StopAndWait(service);
  return measured;
}

void Print(const char* what, const Memory& m) {
  std::printf(
      "%-24s working set %6zu KiB   private bytes %6zu KiB   committed private %6zu KiB"
      "   committed images %6zu KiB   %2lu modules   %lu threads\n",
      what, m.workingSet / 1024, m.privateBytes / 1024, m.committedPrivate / 1024,
      m.committedImages / 1024, m.modules, m.threads);
}

double Ratio(SIZE_T a, SIZE_T b) { return b ? static_cast<double>(a) / static_cast<double>(b) : 0; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const DWORD idleMs = static_cast<DWORD>(std::max(1, qxbench::Argument(argc, argv, 1, 3))) * 1000;
  qxbench::BenchServices services(1, 1);
  if (!services.ok()) return 1;
  Memory hosted;
  Memory bare;
  if (!Idle(services.Hosted(0), idleMs, hosted) || !Idle(services.Bare(0), idleMs, bare)) return 2;
  std::printf("P4 memory of an idle service process after %lu s\n", idleMs / 1000);
  Print("Hollin.exe + subsystem", hosted);
  Print("bare service", bare);
  std::printf(
      "ratios: working set %.2f, private bytes %.2f, committed private memory (beyond the "
      "images) %.2f (goal: at most 1.20)\n",
      Ratio(hosted.workingSet, bare.workingSet), Ratio(hosted.privateBytes, bare.privateBytes),
      Ratio(hosted.committedPrivate, bare.committedPrivate));
  return 0;
}
