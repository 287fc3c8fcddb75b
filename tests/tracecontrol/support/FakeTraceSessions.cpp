#include "FakeTraceSessions.h"

#include <map>
#include <mutex>

#include "basalt/UniqueHandle.h"
#include "tracecontrol/TraceSessionCalls.h"

namespace fake_trace {
namespace {

struct Entry {
  SessionState state;
  Basalt::UniqueFile file;
};

struct Gate {
  bool armed = false;
  Call call = Call::kStart;
  bool afterCall = false;
  HANDLE entered = nullptr;
  HANDLE release = nullptr;
};

std::mutex g_lock;
std::map<std::wstring, Entry> g_sessions;  // by upper-case name
std::vector<CallRecord> g_calls;
TRACEHANDLE g_nextHandle = 0x1000;
Gate g_gate;

std::wstring Key(const std::wstring& name) {
  std::wstring key = name;
  CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
  return key;
}

void PassGate(Call call, bool afterCall) {
  HANDLE entered = nullptr;
  HANDLE release = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_gate.armed || g_gate.call != call || g_gate.afterCall != afterCall) return;
    g_gate.armed = false;
    entered = g_gate.entered;
    release = g_gate.release;
  }
  SetEvent(entered);
  WaitForSingleObject(release, 10000);
}

Entry* FindByName(const wchar_t* name) {
  if (name == nullptr || *name == L'\0') return nullptr;
  auto it = g_sessions.find(Key(name));
  return it != g_sessions.end() && it->second.state.running ? &it->second : nullptr;
}

Entry* FindByHandle(TRACEHANDLE handle, std::wstring* name) {
  if (handle == 0) return nullptr;
  for (auto& entry : g_sessions) {
    if (entry.second.state.running && entry.second.state.handle == handle) {
      if (name != nullptr) *name = entry.first;
      return &entry.second;
    }
  }
  return nullptr;
}

ULONG Record(Call call, const std::wstring& session, ULONG result) {
  g_calls.push_back({call, session, result});
  return result;
}

}  // namespace

SessionState Session(const std::wstring& name) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_sessions.find(Key(name));
  return it != g_sessions.end() ? it->second.state : SessionState();
}

bool IsRunning(const std::wstring& name) { return Session(name).running; }

std::vector<CallRecord> Calls() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_calls;
}

bool AppendTrace(const std::wstring& name, const std::string& bytes) {
  std::lock_guard<std::mutex> lock(g_lock);
  fake_trace::Entry* session = nullptr;
  auto it = g_sessions.find(Key(name));
  if (it != g_sessions.end() && it->second.state.running) session = &it->second;
  if (session == nullptr) return false;
  DWORD written = 0;
  SetFilePointer(session->file.get(), 0, nullptr, FILE_END);
  return WriteFile(session->file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) &&
         written == bytes.size();
}

void Reset() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_sessions.clear();
  g_calls.clear();
  g_gate = Gate();
}

void HoldNextCall(Call call, HANDLE entered, HANDLE release, bool afterCall) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_gate = {true, call, afterCall, entered, release};
}

}  // namespace fake_trace

namespace fake_trace {
namespace {

ULONG DoStartTrace(TRACEHANDLE* handle, const wchar_t* sessionName,
                   EVENT_TRACE_PROPERTIES* properties) {
  std::lock_guard<std::mutex> lock(fake_trace::g_lock);
  if (handle == nullptr || sessionName == nullptr || properties == nullptr) {
    return fake_trace::Record(Call::kStart, L"", ERROR_INVALID_PARAMETER);
  }
  const std::wstring key = fake_trace::Key(sessionName);
  if (fake_trace::FindByName(sessionName) != nullptr) {
    return fake_trace::Record(Call::kStart, key, ERROR_ALREADY_EXISTS);
  }
  const auto* bytes = reinterpret_cast<const BYTE*>(properties);
  const auto* logFile = reinterpret_cast<const wchar_t*>(bytes + properties->LogFileNameOffset);
  // A circular session starts its file anew and keeps it open while it runs.
  Basalt::UniqueFile file(CreateFileW(logFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return fake_trace::Record(Call::kStart, key, GetLastError());
  fake_trace::Entry& session = fake_trace::g_sessions[key];
  session.file = std::move(file);
  session.state.running = true;
  session.state.handle = fake_trace::g_nextHandle++;
  session.state.starts += 1;
  session.state.flushes = 0;
  session.state.enabled = false;
  session.state.started.assign(bytes, bytes + properties->Wnode.BufferSize);
  *handle = session.state.handle;
  return fake_trace::Record(Call::kStart, key, ERROR_SUCCESS);
}

Call ControlCall(ULONG controlCode) {
  return controlCode == EVENT_TRACE_CONTROL_QUERY  ? Call::kQuery
         : controlCode == EVENT_TRACE_CONTROL_STOP ? Call::kStop
                                                   : Call::kFlush;
}

ULONG DoControlTrace(TRACEHANDLE handle, const wchar_t* sessionName,
                     EVENT_TRACE_PROPERTIES* properties, ULONG controlCode) {
  const Call call = ControlCall(controlCode);
  std::lock_guard<std::mutex> lock(fake_trace::g_lock);
  std::wstring key;
  fake_trace::Entry* session = fake_trace::FindByHandle(handle, &key);
  if (session == nullptr && (session = fake_trace::FindByName(sessionName)) != nullptr) {
    key = fake_trace::Key(sessionName);
  }
  if (session == nullptr) return fake_trace::Record(call, key, ERROR_WMI_INSTANCE_NOT_FOUND);
  switch (controlCode) {
    case EVENT_TRACE_CONTROL_QUERY:
      properties->Wnode.HistoricalContext = session->state.handle;
      break;
    case EVENT_TRACE_CONTROL_STOP:
      session->file.reset();
      session->state.running = false;
      session->state.enabled = false;
      break;
    case EVENT_TRACE_CONTROL_FLUSH:
      session->state.flushes += 1;
      break;
    default:
      return fake_trace::Record(call, key, ERROR_INVALID_PARAMETER);
  }
  return fake_trace::Record(call, key, ERROR_SUCCESS);
}

ULONG DoEnableTrace(ULONG enable, ULONG level, const GUID* provider, TRACEHANDLE handle) {
  const Call call = enable ? Call::kEnable : Call::kDisable;
  std::lock_guard<std::mutex> lock(fake_trace::g_lock);
  std::wstring key;
  fake_trace::Entry* session = fake_trace::FindByHandle(handle, &key);
  if (session == nullptr || provider == nullptr) {
    return fake_trace::Record(call, key, ERROR_INVALID_HANDLE);
  }
  session->state.enabled = enable != 0;
  if (enable) {
    session->state.level = level;
    session->state.provider = *provider;
  }
  return fake_trace::Record(call, key, ERROR_SUCCESS);
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
