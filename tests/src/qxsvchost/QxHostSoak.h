// Start/stop cycles of one hosted service through the dispatcher seam, in one host run, with the
// process's handle count and memory sampled on the way: the soak test and the soak benchmark.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <psapi.h>

#include <string>
#include <vector>

#include "QxHostTestSupport.h"
#include "src/qxsvchost/CQxSvcHost.h"

namespace qxhosttest {

struct SoakSample {
  DWORD handles = 0;
  SIZE_T privateBytes = 0;  // PrivateUsage (Wine reports 0)
  SIZE_T pagefileBytes = 0;
  SIZE_T workingSet = 0;
};

// The handles this process holds. Wine's GetProcessHandleCount says 0; its list of the system's
// handles (NtQuerySystemInformation, class 16) is real, so that is counted instead.
inline DWORD CountOwnHandles() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
  struct HandleEntry {
    ULONG ownerPid;
    UCHAR objectType;
    UCHAR flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
  };
  struct HandleList {
    ULONG count;
    HandleEntry entries[1];
  };
  using QueryFunction = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<QueryFunction>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return 0;
  constexpr ULONG kSystemHandleInformation = 16;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<BYTE> buffer(1 << 20);
  for (;;) {
    ULONG needed = 0;
    const LONG status =
        query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == kInfoLengthMismatch && buffer.size() < (64u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (status != 0) return 0;
    break;
  }
  const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
  for (ULONG i = 0; i < list->count; ++i) {
    count += list->entries[i].ownerPid == GetCurrentProcessId();
  }
  return count;
}

inline SoakSample SampleProcess() {
  SoakSample sample;
  sample.handles = CountOwnHandles();
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  if (GetProcessMemoryInfo(GetCurrentProcess(),
                           reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof(counters))) {
    sample.privateBytes = counters.PrivateUsage;
    sample.pagefileBytes = counters.PagefileUsage;
    sample.workingSet = counters.WorkingSetSize;
  }
  return sample;
}

struct SoakResult {
  DWORD exitCode = 0xFFFFFFFF;
  int cycles = 0;         // cycles whose service ran and stopped
  SoakSample afterFirst;  // after the first |sampleAfter| cycles
  SoakSample afterLast;   // after the last cycle
  double seconds = 0;     // the whole host run
};

// Runs the host for a group of one service (the subsystem double waiting for its stop event) and
// starts and stops that service |cycles| times, each time on a new thread that is joined before
// the next start. HKEY_LOCAL_MACHINE must be redirected (ScratchHost) and the host key present.
inline SoakResult RunSoak(ScratchHost& scratch, int cycles, int sampleAfter) {
  SoakResult result;
  ComRegistration waits(DoublePath(L"QxSubsystemDouble.dll"));
  waits.Mode(L"wait");
  const std::wstring group = UniqueName(L"QxSoakGroup");
  const std::wstring service = UniqueName(L"QxSoakService");
  if (!waits.ok() || !scratch.HostDword(L"IsOobeCheckRequired", 0) ||
      !scratch.HostDword(L"WSSEnable", 0) || !scratch.GroupString(group, nullptr, service) ||
      !scratch.GroupString(group, service.c_str(), waits.text())) {
    return result;
  }
  RecordingStatusApi scm;
  CQxSvcHostSeams seams;
  seams.scm = &scm;
  seams.beforeForcedEnd = &FailTheForcedEnd;
  // The double reports nothing, so each end would wait out the whole time for a new start.
  seams.newStartWaitMs = 1;
  seams.makeDispatcherTable = [&] {
    return std::make_unique<ThreadDispatcher>(scm, [&](ThreadDispatcher& d) {
      for (int i = 0; i < cycles; ++i) {
        d.Start(0);
        if (!WaitNamedEvent(qxdouble::QxDoubleRunningEvent(service), 20000)) break;
        SetNamedEvent(qxdouble::QxDoubleStopEvent(service));
        d.Join();
        ++result.cycles;
        if (result.cycles == sampleAfter) result.afterFirst = SampleProcess();
      }
      result.afterLast = SampleProcess();
    });
  };
  const ULONGLONG start = GetTickCount64();
  {
    CQxSvcHost host(seams);
    std::wstring program = L"Hollin.exe";
    std::wstring selector = L"/" + group;
    wchar_t* argv[] = {program.data(), selector.data()};
    result.exitCode = host.Start(2, argv);
  }
  result.seconds = static_cast<double>(GetTickCount64() - start) / 1000.0;
  return result;
}

}  // namespace qxhosttest
