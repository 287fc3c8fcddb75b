#include "etwlogging/CETWLogging.h"

#include <stdio.h>
#include <wchar.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "basalt/Registry/CRegKey.h"

namespace ETWLogging {
namespace {

constexpr DWORD kErrorAlreadyInitialized = 20001;
constexpr UCHAR kEventVersion = 2;
// Event type the trace readers expect (the header files' EVENT_TRACE_TYPE_INFO is 0).
constexpr UCHAR kEventType = 1;

class SystemEtwTraceApi final : public EtwTraceApiIf {
 public:
  ULONG RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                           ULONG guidCount, TRACE_GUID_REGISTRATION* guids,
                           TRACEHANDLE* registration) override {
    return ::RegisterTraceGuidsW(callback, context, controlGuid, guidCount, guids, nullptr, nullptr,
                                 registration);
  }
  ULONG UnregisterTraceGuids(TRACEHANDLE registration) override {
    return ::UnregisterTraceGuids(registration);
  }
  ULONG TraceEvent(TRACEHANDLE session, EVENT_TRACE_HEADER* header) override {
    return ::TraceEvent(session, header);
  }
  TRACEHANDLE GetTraceLoggerHandle(void* buffer) override { return ::GetTraceLoggerHandle(buffer); }
  UCHAR GetTraceEnableLevel(TRACEHANDLE session) override { return ::GetTraceEnableLevel(session); }
  ULONG GetTraceEnableFlags(TRACEHANDLE session) override { return ::GetTraceEnableFlags(session); }
};

// The event as TraceEvent sees it: the header and the two MOF fields after it.
struct EventPayload {
  EVENT_TRACE_HEADER header;
  MOF_FIELD fields[2];
};
static_assert(sizeof(EventPayload) == 80, "the event header is 80 bytes");

// Byte buffer with 256 bytes of inline storage that grows into the heap.
class ContextBlock {
 public:
  ContextBlock() = default;
  ContextBlock(const ContextBlock&) = delete;
  ContextBlock& operator=(const ContextBlock&) = delete;

  bool ok() const noexcept { return m_ok; }
  const unsigned char* data() const noexcept { return m_heap ? m_heap.get() : m_inline; }
  size_t size() const noexcept { return m_size; }

  void Append(const void* bytes, size_t count) noexcept {
    if (!m_ok || !Reserve(count)) return;
    std::memcpy((m_heap ? m_heap.get() : m_inline) + m_size, bytes, count);
    m_size += count;
  }
  void AppendU32(uint32_t value) noexcept { Append(&value, sizeof(value)); }
  void AppendU64(uint64_t value) noexcept { Append(&value, sizeof(value)); }
  // 16-bit count of UTF-16 units, then that many units.
  void AppendCounted(const wchar_t* text, size_t length) noexcept {
    const uint16_t count = static_cast<uint16_t>(length);
    Append(&count, sizeof(count));
    if (count) Append(text, count * sizeof(wchar_t));
  }
  void AppendCounted(const std::wstring& text) noexcept {
    AppendCounted(text.c_str(), text.size());
  }

 private:
  bool Reserve(size_t count) noexcept {
    if (count > SIZE_MAX - m_size) return m_ok = false;
    const size_t needed = m_size + count;
    if (needed <= m_capacity) return true;
    const size_t capacity = std::max(needed, m_capacity + m_capacity / 2);
    std::unique_ptr<unsigned char[]> grown(new (std::nothrow) unsigned char[capacity]());
    if (!grown) return m_ok = false;
    std::memcpy(grown.get(), data(), m_size);
    m_heap = std::move(grown);
    m_capacity = capacity;
    return true;
  }

  unsigned char m_inline[256] = {};
  std::unique_ptr<unsigned char[]> m_heap;
  size_t m_size = 0;
  size_t m_capacity = sizeof(m_inline);
  bool m_ok = true;
};

// Whole path of |module| (null: the process image); empty on failure.
std::wstring ModulePath(HMODULE module) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD chars =
        GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (chars == 0) return std::wstring();
    if (chars < buffer.size()) return std::wstring(buffer.data(), chars);
    if (buffer.size() > 32768) return std::wstring();
    buffer.resize(buffer.size() + 255);
  }
}

std::wstring FileNamePart(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring FileVersionOf(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD bytes = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (bytes == 0) return std::wstring();
  std::vector<unsigned char> block(bytes);
  if (!GetFileVersionInfoW(path.c_str(), 0, bytes, block.data())) return std::wstring();
  void* translation = nullptr;
  UINT translationBytes = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &translation,
                      &translationBytes) ||
      !translation || translationBytes < 4) {
    return std::wstring();
  }
  const WORD* langCodePage = static_cast<const WORD*>(translation);
  wchar_t query[128];
  if (_snwprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\FileVersion", langCodePage[0],
                 langCodePage[1]) < 0) {
    return std::wstring();
  }
  query[127] = L'\0';
  void* text = nullptr;
  UINT chars = 0;
  if (!VerQueryValueW(block.data(), query, &text, &chars) || !text) return std::wstring();
  std::wstring version(static_cast<const wchar_t*>(text));
  unsigned a, b, c, d;
  if (swscanf(version.c_str(), L"%u,%u,%u,%u", &a, &b, &c, &d) == 4) {
    FormatWide(version, L"%u.%u.%u.%u", a, b, c, d);
  }
  return version;
}

// Name and version of the module that contains the logging client, worked out once.
struct ClientModuleRecord {
  std::wstring fileName;
  std::wstring version;
};

const char g_moduleAnchor = 0;

const ClientModuleRecord& GetClientModuleRecord() {
  static const ClientModuleRecord record = [] {
    ClientModuleRecord r;
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(&g_moduleAnchor, &info, sizeof(info)) && info.AllocationBase) {
      const std::wstring path = ModulePath(static_cast<HMODULE>(info.AllocationBase));
      if (!path.empty()) {
        r.fileName = FileNamePart(path);
        r.version = FileVersionOf(path);
      }
    }
    return r;
  }();
  return record;
}

}  // namespace

EtwTraceApiIf& GetSystemEtwTraceApi() noexcept {
  // Never destroyed: providers may still unregister from at-exit code.
  static SystemEtwTraceApi* const api = new SystemEtwTraceApi();
  return *api;
}

// ---------------------------------------------------------------------------
// CETWConfigurationListener

CETWConfigurationListener::CETWConfigurationListener(const internal::ETWAppProperties& names,
                                                     CLoggingIf* logger)
    : m_pLogger(logger) {
  m_names.CopyFrom(names);
}

void CETWConfigurationListener::OnConfigurationChanged(bool enabled, DWORD level, DWORD) {
  if (!m_pLogger) return;
  m_pLogger->SetEnabled(enabled);
  m_pLogger->SetSeverity(level);

  const HKEY root = m_names.GetRootKey();
  const std::wstring& provider = m_names.GetProviderKeyPath();
  std::wstring group, qualified, path;
  m_pLogger->GetGroupName(group);
  m_pLogger->GetQualifiedName(qualified);
  ApplyRegistrySettings(root, provider.c_str());
  if (FormatWide(path, L"%s\\%s", provider.c_str(), group.c_str())) {
    ApplyRegistrySettings(root, path.c_str());
  }
  if (FormatWide(path, L"%s\\%s", provider.c_str(), qualified.c_str())) {
    ApplyRegistrySettings(root, path.c_str());
  }
}

bool CETWConfigurationListener::Attach(CLoggingIf* logger) {
  if (m_pLogger || !logger) return false;
  m_pLogger = logger;
  return true;
}

void CETWConfigurationListener::GetProviderKey(HKEY& root, std::wstring& path) {
  root = m_names.GetRootKey();
  path = m_names.GetProviderKeyPath();
}

void CETWConfigurationListener::ApplyRegistrySettings(HKEY root, const wchar_t* path) {
  if (!m_pLogger) return;
  Basalt::CRegKey key;
  if (key.Open(root, path, KEY_QUERY_VALUE) != ERROR_SUCCESS) return;
  DWORD value = 0;
  if (key.QueryDWORDValue(L"Enable", value) == ERROR_SUCCESS) m_pLogger->SetEnabled(value != 0);
  if (key.QueryDWORDValue(L"Severity", value) == ERROR_SUCCESS) m_pLogger->SetSeverity(value);
}

// ---------------------------------------------------------------------------
// CETWLogging

CETWLogging::CETWLogging(EtwTraceApiIf* api) : m_pApi(api ? api : &GetSystemEtwTraceApi()) {
  InitializeCriticalSectionAndSpinCount(&m_lock, 4000);
}

CETWLogging::~CETWLogging() {
  if (m_bRegistered.load() && Shutdown() == ERROR_SUCCESS) m_bRegistered = false;
  if (m_hRegistration) {
    m_pApi->UnregisterTraceGuids(m_hRegistration);
    m_hRegistration = 0;
  }
  delete m_pListener;
  m_pListener = nullptr;
  DeleteCriticalSection(&m_lock);
}

DWORD CETWLogging::Initialize(const wchar_t* group, HMODULE module, const wchar_t* host,
                              LoggingConfigListenerIf* listener) {
  return InitializeEx(nullptr, group, module, host, listener);
}

DWORD CETWLogging::InitializeEx(const wchar_t* appId, const wchar_t* group, HMODULE module,
                                const wchar_t* host, LoggingConfigListenerIf* listener) {
  if (m_bRegistered.load()) return kErrorAlreadyInitialized;
  if (group && !*group) return ERROR_INVALID_PARAMETER;
  m_strGroup = group ? group : L"";
  if (host && !*host) return ERROR_INVALID_PARAMETER;
  m_strHost = host ? host : L"";
  if (!m_names.Load(appId)) return ERROR_INVALID_PARAMETER;

  GetModuleBaseName(m_strProcessImageName, nullptr, false);
  GetModuleBaseName(m_strModuleBaseName, module, true);
  BuildQualifiedName();

  delete m_pListener;
  m_pListener = nullptr;
  if (listener) {
    listener->Attach(this);
    m_pListener = listener;
  } else {
    m_pListener = new (std::nothrow) CETWConfigurationListener(m_names, this);
  }
  if (m_pListener) m_pListener->OnConfigurationChanged(true, kDefaultSeverity, 0);

  m_dwProcessId = GetCurrentProcessId();
  const ClientModuleRecord& record = GetClientModuleRecord();
  m_strModuleFileName = record.fileName;
  m_strModuleVersion = record.version;
  SetEventClassGuid();
  return ERROR_SUCCESS;
}

DWORD CETWLogging::Register() {
  if (m_bRegistered.load(std::memory_order_acquire)) return ERROR_SUCCESS;
  EnterCriticalSection(&m_lock);
  ULONG result = ERROR_SUCCESS;
  if (!m_bRegistered.load()) {
    TRACE_GUID_REGISTRATION registration = {&m_guidEventClass, nullptr};
    TRACEHANDLE handle = 0;
    const GUID provider = m_names.GetProviderGuid();
    result = m_pApi->RegisterTraceGuids(&CETWLogging::ControlCallback, this, &provider, 1,
                                        &registration, &handle);
    if (m_hRegistration && m_hRegistration != handle) {
      m_pApi->UnregisterTraceGuids(m_hRegistration);
    }
    m_hRegistration = handle;
    m_bRegistered.store(true, std::memory_order_release);
  }
  LeaveCriticalSection(&m_lock);
  return result;
}

void CETWLogging::GetQualifiedName(std::wstring& out) { out = m_strQualifiedName; }

void CETWLogging::GetGroupName(std::wstring& out) { out = m_strGroup; }

DWORD CETWLogging::Uninitialize() {
  if (!m_bRegistered.load()) return ERROR_SUCCESS;
  const ULONG result = Shutdown();
  if (result != ERROR_SUCCESS) return result;
  m_bRegistered = false;
  return ERROR_SUCCESS;
}

void CETWLogging::SetEnabled(bool enabled) { m_bEnabled.store(enabled); }

bool CETWLogging::IsEnabled() { return m_bEnabled.load(); }

DWORD CETWLogging::LogV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                        const wchar_t* format, ...) {
  if (!m_bEnabled.load() || !IsLevelEnabled(level) || !format || !*format) return ERROR_SUCCESS;
  va_list args;
  va_start(args, format);
  std::wstring message;
  const bool formatted = FormatWideV(message, format, args);
  va_end(args);
  if (!formatted) return ERROR_INVALID_PARAMETER;
  return WriteEx(level, file, function, line, message.c_str());
}

DWORD CETWLogging::Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                         const wchar_t* message) {
  WriteEx(level, file, function, line, message);
  return ERROR_SUCCESS;
}

bool CETWLogging::IsLevelEnabled(LogLevel level) {
  return level >= m_dwSeverity.load() || level == kLogInformation;
}

void CETWLogging::SetMaxEntries(DWORD) {}
DWORD CETWLogging::GetMaxEntries() { return 0; }
void CETWLogging::SetMaxSize(DWORD) {}
DWORD CETWLogging::GetMaxSize() { return 0; }

DWORD CETWLogging::SetSeverity(LogLevel level) {
  const DWORD severity = ClampSeverity(level);
  m_dwSeverity.store(severity);
  return ExchangeProcessSeverity(severity);
}

DWORD CETWLogging::GetSeverity() { return m_dwSeverity.load(); }

ULONG CETWLogging::AddRef() { return 0; }
ULONG CETWLogging::Release() { return 0; }

DWORD CETWLogging::WriteEx(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                           const wchar_t* message) {
  return LogEx(level, file, function, line, L"%s", message);
}

DWORD CETWLogging::LogEx(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const DWORD result = LogVEx(level, file, function, line, format, args);
  va_end(args);
  return result;
}

DWORD CETWLogging::LogVEx(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* format, va_list args) {
  if (!format) return ERROR_INVALID_PARAMETER;
  if (!m_bEnabled.load() || !IsLevelEnabled(level)) return ERROR_SUCCESS;

  // Zero-filled so that a formatter failure never sends stale stack bytes.
  wchar_t buffer[kEventMessageChars] = {};
  const int written = _vsnwprintf(buffer, kEventMessageChars - 1, format, args);
  size_t units;
  if (written >= 0) {
    units = static_cast<size_t>(written);
  } else {
    const size_t length = wcsnlen(buffer, kEventMessageChars);
    // A cut text fills the buffer: it is sent with its terminator.
    units = length >= kEventMessageChars - 1 ? kEventMessageChars : length;
  }

  char* utf8 = nullptr;
  int utf8Bytes = 0;
  std::unique_ptr<char[]> heapText;
  if (units > 0) {
    utf8Bytes = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(units), nullptr, 0,
                                    nullptr, nullptr);
    if (utf8Bytes <= 0) {
      utf8Bytes = 0;
    } else {
      const size_t tailBytes = (kEventMessageChars - units) * sizeof(wchar_t);
      if (static_cast<size_t>(utf8Bytes) <= tailBytes) {
        utf8 = reinterpret_cast<char*>(buffer + units);
      } else {
        heapText.reset(new (std::nothrow) char[static_cast<size_t>(utf8Bytes)]());
        if (!heapText) return ERROR_SUCCESS;
        utf8 = heapText.get();
      }
      utf8Bytes = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(units), utf8, utf8Bytes,
                                      nullptr, nullptr);
      if (utf8Bytes <= 0) utf8Bytes = 0;
    }
  }

  ContextBlock context;
  context.AppendU32(m_dwProcessId);
  context.AppendU32(GetCurrentThreadId());
  context.AppendCounted(m_strProcessImageName);
  context.AppendCounted(file ? file : L"", file ? wcslen(file) : 0);
  context.AppendCounted(function ? function : L"", function ? wcslen(function) : 0);
  context.AppendU32(static_cast<uint32_t>(line));
  context.AppendCounted(m_strModuleFileName);
  context.AppendCounted(m_strModuleVersion);
  context.AppendCounted(m_strGroup);
  context.AppendU64(static_cast<uint64_t>(utf8Bytes));
  if (!context.ok()) return ERROR_SUCCESS;

  EventPayload event{};
  event.header.Size = sizeof(EventPayload);
  event.header.Class.Type = kEventType;
  const DWORD mapped = MapLevel(level);
  event.header.Class.Level = static_cast<UCHAR>(mapped >= 1 && mapped <= 5 ? mapped : 3);
  event.header.Class.Version = kEventVersion;
  event.header.Guid = m_guidEventClass;
  event.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;
  event.fields[0].DataPtr = reinterpret_cast<ULONG64>(context.data());
  event.fields[0].Length = static_cast<ULONG>(context.size());
  event.fields[1].DataPtr = reinterpret_cast<ULONG64>(utf8);
  event.fields[1].Length = static_cast<ULONG>(utf8Bytes);
  m_pApi->TraceEvent(m_hSession.load(), &event.header);
  return ERROR_SUCCESS;
}

bool CETWLogging::IsSessionHandle(TRACEHANDLE handle) { return handle == m_hSession.load(); }

ULONG CETWLogging::OnControl(WMIDPREQUESTCODE requestCode, void* buffer) {
  const TRACEHANDLE invalid = reinterpret_cast<TRACEHANDLE>(INVALID_HANDLE_VALUE);
  switch (requestCode) {
    case WMI_ENABLE_EVENTS: {
      SetLastError(ERROR_SUCCESS);
      const TRACEHANDLE session = m_pApi->GetTraceLoggerHandle(buffer);
      if (session == invalid) return GetLastError();
      TRACEHANDLE expected = 0;
      // Only the first enabling session is followed until it disables.
      if (!m_hSession.compare_exchange_strong(expected, session) && expected != session) {
        return ERROR_SUCCESS;
      }
      if (m_pListener) {
        const UCHAR level = m_pApi->GetTraceEnableLevel(session);
        if (level == 0) return GetLastError();
        const ULONG flags = m_pApi->GetTraceEnableFlags(session);
        m_pListener->OnConfigurationChanged(true, level, flags);
      }
      return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS: {
      // A session that does not hold the provider cannot switch it off.
      const TRACEHANDLE session = m_pApi->GetTraceLoggerHandle(buffer);
      if (session == invalid || session == 0 || !IsSessionHandle(session)) return ERROR_SUCCESS;
      if (m_pListener) m_pListener->OnConfigurationChanged(false, m_dwSeverity.load(), 0);
      TRACEHANDLE expected = session;
      m_hSession.compare_exchange_strong(expected, 0);
      return ERROR_SUCCESS;
    }
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

void CETWLogging::SetEventClassGuid() { m_guidEventClass = kEventClassGuid; }

void CETWLogging::GetModuleBaseName(std::wstring& out, HMODULE module, bool stripExtension) {
  std::wstring name = FileNamePart(ModulePath(module));
  if (stripExtension) {
    const size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos) name.resize(dot);
  }
  out.swap(name);
}

void CETWLogging::BuildQualifiedName() {
  m_strQualifiedName = m_strGroup;
  if (!m_strModuleBaseName.empty()) {
    m_strQualifiedName += L"\\";
    m_strQualifiedName += m_strModuleBaseName;
  }
}

ULONG CETWLogging::UnregisterGuids() {
  EnterCriticalSection(&m_lock);
  ULONG result = ERROR_SUCCESS;
  if (m_hRegistration) {
    result = m_pApi->UnregisterTraceGuids(m_hRegistration);
    m_hRegistration = 0;
    m_bRegistered = false;
  }
  LeaveCriticalSection(&m_lock);
  return result;
}

ULONG CETWLogging::Shutdown() {
  SetEnabled(false);
  return UnregisterGuids();
}

DWORD CETWLogging::MapLevel(DWORD level) { return level == kLogInformation6 ? 3 : level; }

void CETWLogging::GetEntryContext(const wchar_t* file, const wchar_t* function, int line,
                                  ETWEntryContext& record) {
  record.processId = m_dwProcessId;
  record.threadId = GetCurrentThreadId();
  record.processImageName = m_strProcessImageName;
  record.file = file ? file : L"";
  record.function = function ? function : L"";
  record.line = line;
  if (record.moduleFileName.empty()) record.moduleFileName = m_strModuleFileName;
  record.moduleVersion = m_strModuleVersion;
  record.group = m_strGroup;
}

ULONG WINAPI CETWLogging::ControlCallback(WMIDPREQUESTCODE requestCode, PVOID context, ULONG*,
                                          PVOID buffer) {
  if (!context) return ERROR_INVALID_PARAMETER;
  return static_cast<CETWLogging*>(context)->OnControl(requestCode, buffer);
}

}  // namespace ETWLogging
