#include "etwlogging/CLoggingIf.h"

#include <stdio.h>
#include <wchar.h>

#include <atomic>
#include <climits>

namespace ETWLogging {
namespace {

std::atomic<DWORD> g_dwProcessSeverity{kDefaultSeverity};

}  // namespace

DWORD ExchangeProcessSeverity(DWORD level) noexcept {
  return g_dwProcessSeverity.exchange(level, std::memory_order_acq_rel);
}

DWORD GetProcessSeverity() noexcept { return g_dwProcessSeverity.load(std::memory_order_acquire); }

bool FormatWideV(std::wstring& out, const wchar_t* format, va_list args) {
  if (!format) return false;
  va_list counting;
  va_copy(counting, args);
  const int count = _vscwprintf(format, counting);
  va_end(counting);
  if (count < 0 || count == INT_MAX) return false;
  std::wstring text(static_cast<size_t>(count) + 1, L'\0');
  if (_vsnwprintf(&text[0], text.size(), format, args) < 0) return false;
  text.resize(static_cast<size_t>(count));
  out.swap(text);
  return true;
}

bool FormatWide(std::wstring& out, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const bool ok = FormatWideV(out, format, args);
  va_end(args);
  return ok;
}

size_t FormatTruncatedV(wchar_t* buffer, size_t count, const wchar_t* format,
                        va_list args) noexcept {
  // msvcrt leaves a text that fills the room unterminated and reports a cut as -1.
  const int written = _vsnwprintf(buffer, count - 1, format, args);
  if (written < 0 || static_cast<size_t>(written) >= count - 1) {
    buffer[count - 1] = L'\0';
    return wcslen(buffer);
  }
  return static_cast<size_t>(written);
}

DWORD CLoggingIf::LogAtLevel(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                             const wchar_t* format, va_list args) {
  if (!format) return ERROR_INVALID_PARAMETER;
  wchar_t buffer[kLogAtLevelBufferChars];
  (void)FormatTruncatedV(buffer, kLogAtLevelBufferChars, format, args);
  return Write(file, function, line, level, buffer);
}

#define ETWLOGGING_LEVEL_CALL(name, level)                                       \
  DWORD CLoggingIf::name(const wchar_t* file, const wchar_t* function, int line, \
                         const wchar_t* format, ...) {                           \
    va_list args;                                                                \
    va_start(args, format);                                                      \
    const DWORD result = LogAtLevel(level, file, function, line, format, args);  \
    va_end(args);                                                                \
    return result;                                                               \
  }

ETWLOGGING_LEVEL_CALL(LogNormal, kLogNormal)
ETWLOGGING_LEVEL_CALL(LogError, kLogError)
ETWLOGGING_LEVEL_CALL(LogWarning, kLogWarning)
ETWLOGGING_LEVEL_CALL(LogCritical, kLogCritical)
ETWLOGGING_LEVEL_CALL(LogInformation, kLogInformation)

#undef ETWLOGGING_LEVEL_CALL

}  // namespace ETWLogging
