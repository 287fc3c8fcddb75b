// Level numbers, the process-wide severity value and the logger interfaces
// that both back ends implement (ETW provider and text-file logger).
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

namespace ETWLogging {

// Level of a log call. The names are what the text-file logger writes.
using LogLevel = DWORD;
enum : LogLevel {
  kLogNormal = 1,        // "Normal"
  kLogWarning = 2,       // "Warning"
  kLogInformation = 3,   // "Information"; passes the ETW filter at any threshold
  kLogError = 4,         // "Error"
  kLogCritical = 5,      // "Critical"
  kLogInformation6 = 6,  // "Information", ETW header level 3
};

// Threshold of a fresh back end and initial process-wide severity.
constexpr LogLevel kDefaultSeverity = 3;

// Size in wide characters of the buffer of the shared level calls (slots 19-23).
constexpr size_t kLogAtLevelBufferChars = 4160;

// Exchanges |level| into the process-wide severity value atomically and returns
// the value it held before (initially 3). Called by the back ends' SetSeverity.
DWORD ExchangeProcessSeverity(DWORD level) noexcept;
// The process-wide severity value now.
DWORD GetProcessSeverity() noexcept;
// Clamps a threshold to 1..6: 0 gives 1, anything above 6 gives 6.
constexpr DWORD ClampSeverity(DWORD level) noexcept {
  return level == 0 ? 1 : (level > 6 ? 6 : level);
}

class CLoggingIf;

// Listener interface of the back ends: applies a session's enable state and the registry
// overrides to its logger.
class LoggingConfigListenerIf {
 public:
  virtual void OnConfigurationChanged(bool enabled, DWORD level, DWORD flags) = 0;
  virtual ~LoggingConfigListenerIf() = default;
  virtual bool Attach(CLoggingIf* logger) = 0;
  virtual void GetProviderKey(HKEY& root, std::wstring& path) = 0;
  virtual void ApplyRegistrySettings(HKEY root, const wchar_t* path) = 0;
};

// The abstract logger interface (24 slots). Results are Win32 codes, 0 success.
class CLoggingIf {
 public:
  virtual ~CLoggingIf() = default;

  // Slot 1: group and host may be null, not empty; the listener, when given,
  // is owned by the back end afterwards.
  virtual DWORD Initialize(const wchar_t* group, HMODULE module, const wchar_t* host,
                           LoggingConfigListenerIf* listener) = 0;
  // Slot 2: makes the back end ready to write; called before every write.
  virtual DWORD Register() = 0;
  virtual void GetQualifiedName(std::wstring& out) = 0;
  virtual void GetGroupName(std::wstring& out) = 0;
  virtual DWORD Uninitialize() = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool IsEnabled() = 0;
  // Slot 8: formats and writes when enabled and the level passes.
  virtual DWORD LogV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                     const wchar_t* format, ...) = 0;
  // Slot 9: writes a finished message; applies no level filter.
  virtual DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                      const wchar_t* message) = 0;
  // Slot 10: the back end's level filter.
  virtual bool IsLevelEnabled(LogLevel level) = 0;
  virtual void SetMaxEntries(DWORD entries) = 0;
  virtual DWORD GetMaxEntries() = 0;
  virtual void SetMaxSize(DWORD bytes) = 0;
  virtual DWORD GetMaxSize() = 0;
  // Slot 15: threshold clamped to 1..6; returns the previous process-wide severity.
  virtual DWORD SetSeverity(LogLevel level) = 0;
  virtual DWORD GetSeverity() = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

  // Slots 19-23: format into 4160 characters (at most 4159 kept) and Write at
  // levels 1, 4, 2, 5 and 3. Shared by both back ends.
  virtual DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line,
                          const wchar_t* format, ...);
  virtual DWORD LogError(const wchar_t* file, const wchar_t* function, int line,
                         const wchar_t* format, ...);
  virtual DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line,
                           const wchar_t* format, ...);
  virtual DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line,
                            const wchar_t* format, ...);
  virtual DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line,
                               const wchar_t* format, ...);

 protected:
  // The shared formatting road of slots 19-23.
  DWORD LogAtLevel(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                   const wchar_t* format, va_list args);
};

// The extended interface, offered only by the ETW provider. Callers find it by
// dynamic_cast from CLoggingIf.
class CLoggingIf_ex : public CLoggingIf {
 public:
  // Slot 24: as Initialize, for the logging names of |appId| (null: "WSS").
  virtual DWORD InitializeEx(const wchar_t* appId, const wchar_t* group, HMODULE module,
                             const wchar_t* host, LoggingConfigListenerIf* listener) = 0;
  virtual DWORD WriteEx(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                        const wchar_t* message) = 0;
  virtual DWORD LogVEx(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                       const wchar_t* format, va_list args) = 0;
  virtual DWORD LogEx(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                      const wchar_t* format, ...) = 0;
};

// Formats |format| with msvcrt's wide printf rules (%s wide, %hs narrow) into a
// string without a length limit. Returns false (|out| untouched) when the
// formatter rejects the format.
bool FormatWideV(std::wstring& out, const wchar_t* format, va_list args);
bool FormatWide(std::wstring& out, const wchar_t* format, ...);

// Formats with msvcrt's wide printf rules into |buffer| of |count| characters
// (|count| > 0), cutting a text that does not fit to its first count - 1
// characters; the buffer always ends up terminated. Returns the characters kept.
size_t FormatTruncatedV(wchar_t* buffer, size_t count, const wchar_t* format,
                        va_list args) noexcept;

}  // namespace ETWLogging
