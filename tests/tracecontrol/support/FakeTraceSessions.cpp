#include "FakeTraceSessions.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "basalt/UniqueHandle.h"
#include "tracecontrol/TraceSessionCalls.h"

namespace fake_trace {
namespace {

constexpr size_t kMaxSessions = 16;
constexpr size_t kNameChars = 128;
constexpr size_t kBlockBytes = 8192;

// One session in the shared table. |file| is the handle of its ETL file in the keeper
// process (the table's first process), 0 when no file is open.
struct SharedSession {
  wchar_t key[kNameChars];  // upper-case name; empty: a free entry
  BOOL running;
  ULONGLONG handle;
  LONG starts;
  LONG flushes;
  BOOL enabled;
  ULONG level;
  GUID provider;
  ULONG startedBytes;
  BYTE started[kBlockBytes];
  ULONGLONG file;
};

struct SharedTable {
  DWORD keeper;
  ULONGLONG nextHandle;
  SharedSession sessions[kMaxSessions];
};

struct Gate {
  bool armed = false;
  Call call = Call::kStart;
  bool afterCall = false;
  HANDLE entered = nullptr;
  HANDLE release = nullptr;
};

// What this process keeps for itself: the calls it made and its gate.
std::mutex g_localLock;
std::vector<CallRecord> g_calls;
Gate g_gate;
std::wstring g_tableName;  // empty: this process's own table

// The mapped table and the named mutex that guards it, joined at first use.
class Table {
 public:
  Table() {
    const std::wstring name =
        g_tableName.empty() ? std::to_wstring(GetCurrentProcessId()) : g_tableName;
    m_name = name;
    m_mutex.reset(CreateMutexW(nullptr, FALSE, (L"Local\\HollinFakeTraceLock-" + name).c_str()));
    m_mapping.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                       sizeof(SharedTable),
                                       (L"Local\\HollinFakeTrace-" + name).c_str()));
    const bool created = m_mapping && GetLastError() != ERROR_ALREADY_EXISTS;
    if (m_mapping) {
      m_table = static_cast<SharedTable*>(
          MapViewOfFile(m_mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedTable)));
    }
    if (m_table == nullptr || !m_mutex) {
      // Nothing works without the table: say so once, loudly.
      OutputDebugStringW(L"fake_trace: the session table cannot be made\n");
      std::abort();
    }
    if (created) {
      Lock lock(*this);
      m_table->keeper = GetCurrentProcessId();
      m_table->nextHandle = 0x1000;
    }
  }
  ~Table() {
    if (m_table != nullptr) UnmapViewOfFile(m_table);
  }

  class Lock {
   public:
    explicit Lock(Table& table) : m_table(table) {
      // An abandoned mutex (a second process ended inside a call) is owned all the same.
      WaitForSingleObject(m_table.m_mutex.get(), INFINITE);
    }
    ~Lock() { ReleaseMutex(m_table.m_mutex.get()); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    Table& m_table;
  };

  SharedTable& operator*() { return *m_table; }
  SharedTable* operator->() { return m_table; }
  const std::wstring& name() const { return m_name; }
  bool IsKeeper() const { return m_table->keeper == GetCurrentProcessId(); }

  // Hands |file| to the keeper; the value to keep in the table (0 when it cannot be kept).
  ULONGLONG Keep(Basalt::UniqueFile file) {
    if (IsKeeper()) return reinterpret_cast<ULONG_PTR>(file.release());
    const Basalt::UniqueKernelHandle keeper(
        OpenProcess(PROCESS_DUP_HANDLE, FALSE, m_table->keeper));
    HANDLE remote = nullptr;
    if (!keeper || !DuplicateHandle(GetCurrentProcess(), file.get(), keeper.get(), &remote, 0,
                                    FALSE, DUPLICATE_SAME_ACCESS)) {
      return 0;
    }
    return reinterpret_cast<ULONG_PTR>(remote);
  }

  // A handle of this process to the kept |file|; with |close|, the keeper's goes.
  Basalt::UniqueFile Fetch(ULONGLONG file, bool close) {
    const HANDLE kept = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(file));
    if (file == 0) return Basalt::UniqueFile();
    if (IsKeeper()) {
      if (close) return Basalt::UniqueFile(kept);
      HANDLE copy = nullptr;
      DuplicateHandle(GetCurrentProcess(), kept, GetCurrentProcess(), &copy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
      return Basalt::UniqueFile(copy);
    }
    const Basalt::UniqueKernelHandle keeper(
        OpenProcess(PROCESS_DUP_HANDLE, FALSE, m_table->keeper));
    HANDLE local = nullptr;
    if (keeper) {
      DuplicateHandle(keeper.get(), kept, GetCurrentProcess(), &local, 0, FALSE,
                      DUPLICATE_SAME_ACCESS | (close ? DUPLICATE_CLOSE_SOURCE : 0));
    }
    return Basalt::UniqueFile(local);
  }

 private:
  std::wstring m_name;
  Basalt::UniqueKernelHandle m_mutex;
  Basalt::UniqueKernelHandle m_mapping;
  SharedTable* m_table = nullptr;
};

Table& TheTable() {
  static Table table;
  return table;
}

std::wstring Key(const std::wstring& name) {
  std::wstring key = name;
  CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
  return key;
}

void PassGate(Call call, bool afterCall) {
  HANDLE entered = nullptr;
  HANDLE release = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_localLock);
    if (!g_gate.armed || g_gate.call != call || g_gate.afterCall != afterCall) return;
    g_gate.armed = false;
    entered = g_gate.entered;
    release = g_gate.release;
  }
  SetEvent(entered);
  WaitForSingleObject(release, 10000);
}

// Table lock held for all of these.
SharedSession* FindEntry(const std::wstring& key) {
  for (SharedSession& entry : TheTable()->sessions) {
    if (entry.key[0] != L'\0' && key == entry.key) return &entry;
  }
  return nullptr;
}

SharedSession* FindByName(const wchar_t* name) {
  if (name == nullptr || *name == L'\0') return nullptr;
  SharedSession* entry = FindEntry(Key(name));
  return entry != nullptr && entry->running ? entry : nullptr;
}

SharedSession* FindByHandle(TRACEHANDLE handle) {
  if (handle == 0) return nullptr;
  for (SharedSession& entry : TheTable()->sessions) {
    if (entry.key[0] != L'\0' && entry.running && entry.handle == handle) return &entry;
  }
  return nullptr;
}

// The entry for |key|, made when there is none; null when the table is full.
SharedSession* EntryFor(const std::wstring& key) {
  if (SharedSession* entry = FindEntry(key)) return entry;
  if (key.size() >= kNameChars) return nullptr;
  for (SharedSession& entry : TheTable()->sessions) {
    if (entry.key[0] == L'\0') {
      entry = SharedSession();
      wmemcpy(entry.key, key.c_str(), key.size() + 1);
      return &entry;
    }
  }
  return nullptr;
}

void CloseFile(SharedSession& entry) {
  (void)TheTable().Fetch(entry.file, true);
  entry.file = 0;
}

ULONG Record(Call call, const std::wstring& session, ULONG result) {
  std::lock_guard<std::mutex> lock(g_localLock);
  g_calls.push_back({call, session, result});
  return result;
}

}  // namespace

std::wstring TableName() { return TheTable().name(); }

void UseTable(const std::wstring& name) { g_tableName = name; }

SessionState Session(const std::wstring& name) {
  Table::Lock lock(TheTable());
  SessionState state;
  const SharedSession* entry = FindEntry(Key(name));
  if (entry == nullptr) return state;
  state.running = entry->running != FALSE;
  state.handle = entry->handle;
  state.starts = entry->starts;
  state.flushes = entry->flushes;
  state.enabled = entry->enabled != FALSE;
  state.level = entry->level;
  state.provider = entry->provider;
  state.started.assign(entry->started, entry->started + entry->startedBytes);
  return state;
}

bool IsRunning(const std::wstring& name) { return Session(name).running; }

std::vector<CallRecord> Calls() {
  std::lock_guard<std::mutex> lock(g_localLock);
  return g_calls;
}

bool AppendTrace(const std::wstring& name, const std::string& bytes) {
  Table::Lock lock(TheTable());
  SharedSession* session = FindByName(name.c_str());
  if (session == nullptr) return false;
  const Basalt::UniqueFile file = TheTable().Fetch(session->file, false);
  DWORD written = 0;
  return file && SetFilePointer(file.get(), 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
         WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

void Reset() {
  {
    Table::Lock lock(TheTable());
    for (SharedSession& entry : TheTable()->sessions) {
      if (entry.key[0] != L'\0') CloseFile(entry);
      entry = SharedSession();
    }
  }
  std::lock_guard<std::mutex> lock(g_localLock);
  g_calls.clear();
  g_gate = Gate();
}

void HoldNextCall(Call call, HANDLE entered, HANDLE release, bool afterCall) {
  std::lock_guard<std::mutex> lock(g_localLock);
  g_gate = {true, call, afterCall, entered, release};
}

namespace {

ULONG DoStartTrace(TRACEHANDLE* handle, const wchar_t* sessionName,
                   EVENT_TRACE_PROPERTIES* properties) {
  if (handle == nullptr || sessionName == nullptr || properties == nullptr) {
    return Record(Call::kStart, L"", ERROR_INVALID_PARAMETER);
  }
  const std::wstring key = Key(sessionName);
  Table::Lock lock(TheTable());
  if (FindByName(sessionName) != nullptr) return Record(Call::kStart, key, ERROR_ALREADY_EXISTS);
  SharedSession* session = EntryFor(key);
  if (session == nullptr) return Record(Call::kStart, key, ERROR_NO_SYSTEM_RESOURCES);
  const auto* bytes = reinterpret_cast<const BYTE*>(properties);
  const auto* logFile = reinterpret_cast<const wchar_t*>(bytes + properties->LogFileNameOffset);
  // A circular session starts its file anew and keeps it open while it runs.
  Basalt::UniqueFile file(CreateFileW(logFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Record(Call::kStart, key, GetLastError());
  session->file = TheTable().Keep(std::move(file));
  if (session->file == 0) return Record(Call::kStart, key, ERROR_INVALID_HANDLE);
  session->running = TRUE;
  session->handle = TheTable()->nextHandle++;
  session->starts += 1;
  session->flushes = 0;
  session->enabled = FALSE;
  session->startedBytes = std::min<ULONG>(properties->Wnode.BufferSize, kBlockBytes);
  memcpy(session->started, bytes, session->startedBytes);
  *handle = session->handle;
  return Record(Call::kStart, key, ERROR_SUCCESS);
}

Call ControlCall(ULONG controlCode) {
  return controlCode == EVENT_TRACE_CONTROL_QUERY  ? Call::kQuery
         : controlCode == EVENT_TRACE_CONTROL_STOP ? Call::kStop
                                                   : Call::kFlush;
}

ULONG DoControlTrace(TRACEHANDLE handle, const wchar_t* sessionName,
                     EVENT_TRACE_PROPERTIES* properties, ULONG controlCode) {
  const Call call = ControlCall(controlCode);
  Table::Lock lock(TheTable());
  SharedSession* session = FindByHandle(handle);
  if (session == nullptr) session = FindByName(sessionName);
  if (session == nullptr) return Record(call, L"", ERROR_WMI_INSTANCE_NOT_FOUND);
  const std::wstring key = session->key;
  switch (controlCode) {
    case EVENT_TRACE_CONTROL_QUERY:
      properties->Wnode.HistoricalContext = session->handle;
      break;
    case EVENT_TRACE_CONTROL_STOP:
      CloseFile(*session);
      session->running = FALSE;
      session->enabled = FALSE;
      break;
    case EVENT_TRACE_CONTROL_FLUSH:
      session->flushes += 1;
      break;
    default:
      return Record(call, key, ERROR_INVALID_PARAMETER);
  }
  return Record(call, key, ERROR_SUCCESS);
}

ULONG DoEnableTrace(ULONG enable, ULONG level, const GUID* provider, TRACEHANDLE handle) {
  const Call call = enable ? Call::kEnable : Call::kDisable;
  Table::Lock lock(TheTable());
  SharedSession* session = FindByHandle(handle);
  if (session == nullptr || provider == nullptr) {
    return Record(call, session != nullptr ? session->key : L"", ERROR_INVALID_HANDLE);
  }
  session->enabled = enable != 0;
  if (enable) {
    session->level = level;
    session->provider = *provider;
  }
  return Record(call, session->key, ERROR_SUCCESS);
}

}  // namespace
}  // namespace fake_trace

namespace TraceSessionCalls {

using fake_trace::Call;

ULONG StartTrace(TRACEHANDLE* handle, const wchar_t* sessionName,
                 EVENT_TRACE_PROPERTIES* properties) {
  fake_trace::PassGate(Call::kStart, false);
  const ULONG result = fake_trace::DoStartTrace(handle, sessionName, properties);
  fake_trace::PassGate(Call::kStart, true);
  return result;
}

ULONG ControlTrace(TRACEHANDLE handle, const wchar_t* sessionName,
                   EVENT_TRACE_PROPERTIES* properties, ULONG controlCode) {
  const Call call = fake_trace::ControlCall(controlCode);
  fake_trace::PassGate(call, false);
  const ULONG result = fake_trace::DoControlTrace(handle, sessionName, properties, controlCode);
  fake_trace::PassGate(call, true);
  return result;
}

ULONG EnableTrace(ULONG enable, ULONG /*flags*/, ULONG level, const GUID* provider,
                  TRACEHANDLE handle) {
  const Call call = enable ? Call::kEnable : Call::kDisable;
  fake_trace::PassGate(call, false);
  const ULONG result = fake_trace::DoEnableTrace(enable, level, provider, handle);
  fake_trace::PassGate(call, true);
  return result;
}

}  // namespace TraceSessionCalls
