// Minimal logger core of the foundation library: one registered handler per
// process receives every record; until one is registered, a default handler
// writes records to the debugger output.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

namespace Basalt {

// Levels of the logger core; other values are passed on unchanged.
enum : DWORD {
  kLoggerLevelNone = 0,
  kLoggerLevelInformation = 1,
  kLoggerLevelError = 2,
};

// Receives every record of the logger core. The destructor is not part of the
// interface: the handler's owner decides its lifetime, and a handler must stay
// valid while it is registered.
class ILoggingHandler {
 public:
  virtual void Handle(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                      const wchar_t* message) = 0;

 protected:
  ~ILoggingHandler() = default;
};

// Writes each record as one line to OutputDebugStringW. The process-wide
// instance is never torn down, so log calls made while the process exits
// (after static destructors ran) still reach a valid handler.
class CDefaultLoggingHandler : public ILoggingHandler {
 public:
  constexpr CDefaultLoggingHandler() noexcept = default;

  // Level 0: nothing; level 1 "[INFO]", 2 "[ERROR]", any other "[UNKNOWN]".
  void Handle(DWORD level, const wchar_t* file, const wchar_t* function, int line,
              const wchar_t* message) override;

  // The one static instance of the process.
  static CDefaultLoggingHandler& Instance() noexcept;
};

class CLogger {
 public:
  CLogger() = delete;

  // Formats |format| with the arguments (msvcrt wide printf rules) and hands the
  // text to the registered handler, registering the default one first when none
  // is. A format that cannot be formatted or a buffer that cannot be allocated
  // delivers the fixed level-2 allocation-failure text instead. Returns 0.
  static DWORD Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                   const wchar_t* format, ...);
  static DWORD LogV(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                    const wchar_t* format, va_list args);

  // 0 registered (or already registered, or replaced the default instance);
  // 87 null handler; 5023 another handler is registered (it is kept).
  [[nodiscard]] static DWORD RegisterHandler(ILoggingHandler* handler);

  // 0 when |handler| was the registered one (none registered afterwards);
  // 87 null handler; 5023 none or another handler registered.
  [[nodiscard]] static DWORD UnregisterHandler(ILoggingHandler* handler);

  // The system's text for |code| (line end included); empty when it has none.
  static std::wstring GetSystemErrorText(DWORD code);

  // The handler registered now (null when none); for diagnostics and tests.
  static ILoggingHandler* GetRegisteredHandler() noexcept;
};

// Public entries that forward to CLogger::RegisterHandler / UnregisterHandler.
[[nodiscard]] DWORD RegisterLoggingHandler(ILoggingHandler* handler);
[[nodiscard]] DWORD UnregisterLoggingHandler(ILoggingHandler* handler);

}  // namespace Basalt
