// The process-wide logger behind the logging facade: owns the back end chosen
// at creation and routes the foundation library's records into it.
#pragma once

#include <windows.h>

#include <atomic>

#include "basalt/Logging/CLogger.h"
#include "etwlogging/CLoggingIf.h"

namespace ETWLogging {

// Longest message of the classic road that is written whole; a longer one is
// cut to kClassicCutChars characters.
constexpr size_t kClassicMaxChars = 4160;
constexpr size_t kClassicCutChars = 2080;

class CProcessLogger {
 public:
  CProcessLogger() noexcept = default;
  CProcessLogger(const CProcessLogger&) = delete;
  CProcessLogger& operator=(const CProcessLogger&) = delete;
  // Unregisters a foundation handler still registered, then deletes the back end.
  ~CProcessLogger();

  // Creates the back end for the identity (extended builder first, then the
  // classic one for "WSS"), installs it and registers the foundation adapter.
  // Leaves the logger without a back end when both attempts fail.
  void CreateLogger(const wchar_t* appId, const wchar_t* group, HMODULE module, const wchar_t* host,
                    DWORD flags);

  // 1627 without a back end; else the back end's Register result when not 0;
  // else 0 on the extended road, or the Write result on the classic road.
  DWORD Log(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
            const wchar_t* format, ...);
  DWORD LogV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* format, va_list args);

  // Writes a finished message: 1627 without a back end, else Register's result
  // when not 0, else WriteEx (extended back end) or Write.
  DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
              const wchar_t* message);

  // The back end's level filter; false without a back end.
  bool IsLevelEnabled(LogLevel level) const;

  // The back end now held (null when none); not owned by the caller.
  CLoggingIf* GetBackEnd() const noexcept { return m_pLogger.load(std::memory_order_acquire); }

  // Takes ownership of |logger| and deletes the one held before (which no other
  // thread may be using: creation and tests only).
  void InstallLogger(CLoggingIf* logger) noexcept;

  // Test seam: puts |logger| in place without deleting the old back end, which
  // is returned to the caller (who owns it again). Not for concurrent use with
  // log calls of other threads.
  [[nodiscard]] CLoggingIf* SwapLoggerForTesting(CLoggingIf* logger) noexcept;

  // Hands over the foundation handler that this logger registered (null when
  // none) and forgets it; used by the adapter's destructor.
  Basalt::ILoggingHandler* TakeRegisteredHandler() noexcept;

 private:
  DWORD LogVFormatted(CLoggingIf* logger, LogLevel level, const wchar_t* file,
                      const wchar_t* function, int line, const wchar_t* format, va_list args);

  std::atomic<CLoggingIf*> m_pLogger{nullptr};
  Basalt::ILoggingHandler* m_pRegisteredHandler = nullptr;
};

// Marks a call that uses the process logger or its back end. The at-exit
// teardown clears the process-wide pointer first and frees the logger only
// once no marked call is inside it, so threads that log while the process
// exits never reach a freed back end. Take one before GetProcessLogger() or
// GetProcessLoggerIfCreated() and keep it while the pointer is used. Costs two
// interlocked operations on a counter of the calling thread's stripe; takes no
// lock.
class CProcessLoggerUse {
 public:
  CProcessLoggerUse() noexcept;
  ~CProcessLoggerUse();
  CProcessLoggerUse(const CProcessLoggerUse&) = delete;
  CProcessLoggerUse& operator=(const CProcessLoggerUse&) = delete;

 private:
  std::atomic<long>* m_pCount;
};

// The process logger, created on first call (once per process; a creation that
// threw is tried again by the next call). Null when allocating it failed or
// after the process-exit teardown.
CProcessLogger* GetProcessLogger();

// The process logger when it exists now; never creates it.
CProcessLogger* GetProcessLoggerIfCreated() noexcept;

}  // namespace ETWLogging
