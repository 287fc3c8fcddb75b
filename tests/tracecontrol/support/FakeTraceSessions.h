// Test binding of the controller's trace-session calls (linked in place of
// tracecontrol/binding): sessions are kept by name for every process that joins the test's
// table, as the system keeps them for every process. A started session creates or truncates
// its ETL file and holds it open without delete sharing until it stops, as a circular
// session does, so that rotation meets the same file operations as on a real machine. The
// table's first process holds those files, so a session outlives the process that started
// it, as it does on Windows.
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

// The name of this process's session table, for a second process to join. A process that
// joins no other table has its own, and holds the files of its sessions.
std::wstring TableName();
// Joins the table |name| of another process; call before any other function here.
void UseTable(const std::wstring& name);

// The state of the session named |name| (empty state when never started).
SessionState Session(const std::wstring& name);
bool IsRunning(const std::wstring& name);

// Every call this process made since Reset, in order.
std::vector<CallRecord> Calls();

// Appends |bytes| to the running session's ETL file, as recording would. False when the
// session does not run.
bool AppendTrace(const std::wstring& name, const std::string& bytes);

// Stops every session of the table (closing its file) and forgets this process's calls.
void Reset();

// The next |call| of this process signals |entered| and then waits (at most 10 s) for
// |release| before it does anything, or, with |afterCall|, after it has done its work and
// before it returns.
void HoldNextCall(Call call, HANDLE entered, HANDLE release, bool afterCall = false);

}  // namespace fake_trace
