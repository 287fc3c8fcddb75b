// Test binding of the controller's trace-session calls (linked in place of
// tracecontrol/binding): sessions are kept by name for the whole process, as the system
// keeps them for every process. A started session creates or truncates its ETL file and
// holds it open without delete sharing until it stops, as a circular session does, so that
// rotation meets the same file operations as on a real machine.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <evntrace.h>

#include <string>
#include <vector>

namespace fake_trace {

enum class Call { kStart, kQuery, kStop, kFlush, kEnable, kDisable };

struct CallRecord {
  Call call;
  std::wstring session;  // the session's name, or empty when the call named none it knew
  ULONG result;
};

struct SessionState {
  bool running = false;
  TRACEHANDLE handle = 0;
  int starts = 0;             // starts of this name since Reset
  int flushes = 0;            // flushes of the running session
  bool enabled = false;       // provider enabled on the running session
  ULONG level = 0;            // level of the last enable
  GUID provider = {};         // provider of the last enable
  std::vector<BYTE> started;  // properties block of the last start
};

// The state of the session named |name| (empty state when never started).
SessionState Session(const std::wstring& name);
bool IsRunning(const std::wstring& name);

// Every call since Reset, in order.
std::vector<CallRecord> Calls();

// Appends |bytes| to the running session's ETL file, as recording would. False when the
// session does not run.
bool AppendTrace(const std::wstring& name, const std::string& bytes);

// Stops every session (closing its file) and forgets every call.
void Reset();

// The next |call| signals |entered| and then waits (at most 10 s) for |release| before it
// does anything, or, with |afterCall|, after it has done its work and before it returns.
void HoldNextCall(Call call, HANDLE entered, HANDLE release, bool afterCall = false);

}  // namespace fake_trace
