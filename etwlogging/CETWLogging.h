// Classic (manifest-free) ETW provider back end of the process logger, its
// configuration listener, and the narrow seam over the ETW calls it makes.
#pragma once

#include <windows.h>
// evntrace.h needs wmistr.h first.
#include <evntrace.h>
#include <wmistr.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "etwlogging/CLoggingIf.h"
#include "etwlogging/ETWAppProperties.h"

namespace ETWLogging {

// The ETW calls of the provider. The process uses the system binding; tests
// drive the control callback and capture events through a fake.
class EtwTraceApiIf {
 public:
  virtual ~EtwTraceApiIf() = default;
  virtual ULONG RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                                   ULONG guidCount, TRACE_GUID_REGISTRATION* guids,
                                   TRACEHANDLE* registration) = 0;
  virtual ULONG UnregisterTraceGuids(TRACEHANDLE registration) = 0;
  // |header| is followed in memory by the MOF_FIELD entries it announces.
  virtual ULONG TraceEvent(TRACEHANDLE session, EVENT_TRACE_HEADER* header) = 0;
  virtual TRACEHANDLE GetTraceLoggerHandle(void* buffer) = 0;
  virtual UCHAR GetTraceEnableLevel(TRACEHANDLE session) = 0;
  virtual ULONG GetTraceEnableFlags(TRACEHANDLE session) = 0;
};

// The binding to advapi32, one per process, never destroyed.
EtwTraceApiIf& GetSystemEtwTraceApi() noexcept;

// {CD1DAAD0-54CC-11E0-B8AF-0800200C9A66}: class of every event the provider sends.
inline constexpr GUID kEventClassGuid = {
    0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

// Buffer in UTF-16 units of one formatted event message (at most 2079 kept).
constexpr size_t kEventMessageChars = 2080;

class CETWConfigurationListener : public LoggingConfigListenerIf {
 public:
  // Keeps its own copy of |names|; |logger| (not owned) may be null and set
  // later by Attach.
  CETWConfigurationListener(const internal::ETWAppProperties& names, CLoggingIf* logger);

  // SetEnabled(enabled) and SetSeverity(level) on the logger, then the "Enable"
  // and "Severity" overrides of the Provider key, its group subkey and its
  // qualified-name subkey, each later key overriding the earlier. |flags| unused.
  void OnConfigurationChanged(bool enabled, DWORD level, DWORD flags) override;
  // Sets the back pointer once; false when one is set or |logger| is null.
  bool Attach(CLoggingIf* logger) override;
  void GetProviderKey(HKEY& root, std::wstring& path) override;
  // DWORD "Enable" and "Severity" of the plain key root\path, when present.
  void ApplyRegistrySettings(HKEY root, const wchar_t* path) override;

 private:
  internal::ETWAppProperties m_names;
  CLoggingIf* m_pLogger = nullptr;
};

// What GetEntryContext fills for a caller.
struct ETWEntryContext {
  DWORD processId = 0;
  DWORD threadId = 0;
  std::wstring processImageName;
  std::wstring file;
  std::wstring function;
  int line = 0;
  std::wstring moduleFileName;
  std::wstring moduleVersion;
  std::wstring group;
};

class CETWLogging : public CLoggingIf_ex {
 public:
  // |api| (not owned, must outlive the logger) defaults to the system binding.
  explicit CETWLogging(EtwTraceApiIf* api = nullptr);
  CETWLogging(const CETWLogging&) = delete;
  CETWLogging& operator=(const CETWLogging&) = delete;
  // Shuts down when registered, releases a registration still held.
  ~CETWLogging() override;

  DWORD Initialize(const wchar_t* group, HMODULE module, const wchar_t* host,
                   LoggingConfigListenerIf* listener) override;
  // Registers the provider on first call: RegisterTraceGuidsW's result then, 0 later.
  DWORD Register() override;
  void GetQualifiedName(std::wstring& out) override;
  void GetGroupName(std::wstring& out) override;
  DWORD Uninitialize() override;
  void SetEnabled(bool enabled) override;
  bool IsEnabled() override;
  DWORD LogV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* format, ...) override;
  DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
              const wchar_t* message) override;
  // level >= threshold (unsigned), or level 3.
  bool IsLevelEnabled(LogLevel level) override;
  void SetMaxEntries(DWORD entries) override;
  DWORD GetMaxEntries() override;
  void SetMaxSize(DWORD bytes) override;
  DWORD GetMaxSize() override;
  DWORD SetSeverity(LogLevel level) override;
  DWORD GetSeverity() override;
  ULONG AddRef() override;
  ULONG Release() override;

  // 0; 20001 when registered already; 87 for an empty group or host or names
  // that cannot be loaded.
  DWORD InitializeEx(const wchar_t* appId, const wchar_t* group, HMODULE module,
                     const wchar_t* host, LoggingConfigListenerIf* listener) override;
  DWORD WriteEx(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                const wchar_t* message) override;
  // Sends one event: 87 without a format; 0 otherwise (also when filtered).
  DWORD LogVEx(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
               const wchar_t* format, va_list args) override;
  DWORD LogEx(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
              const wchar_t* format, ...) override;

  virtual bool IsSessionHandle(TRACEHANDLE handle);
  // Enable (4) / disable (5) requests of a trace session; 87 for other codes.
  virtual ULONG OnControl(WMIDPREQUESTCODE requestCode, void* buffer);
  virtual void SetEventClassGuid();
  // File name part of |module|'s path (null: the process image); with
  // |stripExtension| cut at the last ".". Empty when the path is unavailable.
  virtual void GetModuleBaseName(std::wstring& out, HMODULE module, bool stripExtension);
  virtual void BuildQualifiedName();
  virtual ULONG UnregisterGuids();
  virtual ULONG Shutdown();
  // 6 becomes 3; every other value stays.
  virtual DWORD MapLevel(DWORD level);
  virtual void GetEntryContext(const wchar_t* file, const wchar_t* function, int line,
                               ETWEntryContext& record);

  // The control callback given to RegisterTraceGuidsW: 87 without a context.
  static ULONG WINAPI ControlCallback(WMIDPREQUESTCODE requestCode, PVOID context,
                                      ULONG* bufferSize, PVOID buffer);

  // The logging names in use (loaded by InitializeEx).
  const internal::ETWAppProperties& GetNames() const noexcept { return m_names; }
  const std::wstring& GetHostName() const noexcept { return m_strHost; }
  TRACEHANDLE GetSessionHandle() const noexcept { return m_hSession.load(); }
  bool IsRegistered() const noexcept { return m_bRegistered.load(); }

 private:
  std::atomic<bool> m_bRegistered{false};
  CRITICAL_SECTION m_lock;
  DWORD m_dwProcessId = 0;
  GUID m_guidEventClass{};
  LoggingConfigListenerIf* m_pListener = nullptr;
  std::atomic<bool> m_bEnabled{true};
  std::atomic<DWORD> m_dwSeverity{kDefaultSeverity};
  std::wstring m_strGroup;
  std::wstring m_strHost;
  std::wstring m_strProcessImageName;
  std::wstring m_strModuleBaseName;
  std::wstring m_strQualifiedName;
  std::wstring m_strModuleFileName;
  std::wstring m_strModuleVersion;
  std::atomic<TRACEHANDLE> m_hSession{0};
  TRACEHANDLE m_hRegistration = 0;
  internal::ETWAppProperties m_names;
  EtwTraceApiIf* m_pApi;
};

}  // namespace ETWLogging
