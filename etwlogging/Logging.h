// Logging facade: every component states its identity once, asks
// IsLevelEnabled before each message and writes it with LogMessage.
//
//   if (ETWLogging::IsLevelEnabled(ETWLogging::kLogError))
//     ETWLogging::LogMessage(ETWLogging::kLogError, L"QxSvcHost", L"CQxSvcHost::Start",
//                            __LINE__, L"failed: %u", err);
// or, with the same effect:
//   QXLOG(ETWLogging::kLogError, L"QxSvcHost", L"CQxSvcHost::Start", L"failed: %u", err);
#pragma once

#include <windows.h>

#include <cstddef>
#include <type_traits>

#include "etwlogging/CLoggingIf.h"
#include "etwlogging/CProcessLogger.h"

namespace ETWLogging {

// Flags of SetLogIdentity.
constexpr DWORD kLogFlagFileBackEnd = 1;  // forces the text-file back end

// Stores the identity under which the process logs (pointers are kept, not
// copied: pass strings that live as long as the process). A null module means
// the module that contains the facade. Only calls made before the first log
// call have an effect. Returns |flags|.
DWORD SetLogIdentity(const wchar_t* appId, const wchar_t* group, HMODULE module,
                     const wchar_t* host, DWORD flags);

// The process logger, created on first call; null only when allocating it failed.
CProcessLogger* GetLogger();

// The back end's level filter; false without a process logger or back end.
bool IsLevelEnabled(LogLevel level);

// Writes one message through the process logger: 0 without one, else the
// result of CProcessLogger::Log. Arguments are passed by value to a wide
// printf-style formatter with msvcrt rules (%s wide string, %hs narrow).
template <typename... Args>
DWORD LogMessage(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                 const wchar_t* format, Args... args) {
  static_assert(((std::is_arithmetic_v<Args> || std::is_pointer_v<Args> || std::is_enum_v<Args> ||
                  std::is_null_pointer_v<Args>)&&...),
                "LogMessage takes only numbers, enums and pointers (pass .c_str())");
  const CProcessLoggerUse use;
  CProcessLogger* logger = GetLogger();
  if (!logger) return 0;
  return logger->Log(level, file, function, line, format, args...);
}

}  // namespace ETWLogging

// Logs one message at |level| when that level is enabled; |file| is the source
// file name as the component names it (e.g. L"QxSvcHost"), |function| the
// qualified operation (e.g. L"CQxSvcHost::Start"); the line is the caller's.
#define QXLOG(level, file, function, ...)                                                 \
  do {                                                                                    \
    if (::ETWLogging::IsLevelEnabled(level))                                              \
      (void)::ETWLogging::LogMessage((level), (file), (function), __LINE__, __VA_ARGS__); \
  } while (0)

// A failure (level 4, "Error") at the caller's file, function and line.
#define QXLOG_ERROR(file, function, ...) QXLOG(::ETWLogging::kLogError, file, function, __VA_ARGS__)

// The facade is also reachable unqualified, as the components call it.
using ETWLogging::IsLevelEnabled;
using ETWLogging::LogLevel;
using ETWLogging::LogMessage;
using ETWLogging::SetLogIdentity;
