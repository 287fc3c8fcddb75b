#include "basalt/Logging/CLogger.h"

#include <stdio.h>
#include <wchar.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <new>

namespace Basalt {
namespace {

constexpr wchar_t kInternalFile[] = L"Logging\\internal_logging";
constexpr wchar_t kAllocationFailureText[] = L"General memory-allocation failure in Basalt logger.";

// Registration and unregistration may log, and a handler called from there may
// register again on the same thread, so the lock is re-entrant. It is trivially
// destructible: it stays usable while the process exits.
class RegistrationLock {
 public:
  void Lock() noexcept {
    const DWORD self = GetCurrentThreadId();
    if (m_owner.load(std::memory_order_acquire) == self) {
      ++m_depth;
      return;
    }
    AcquireSRWLockExclusive(&m_lock);
    m_owner.store(self, std::memory_order_release);
    m_depth = 1;
  }
  void Unlock() noexcept {
    if (--m_depth == 0) {
      m_owner.store(0, std::memory_order_release);
      ReleaseSRWLockExclusive(&m_lock);
    }
  }

 private:
  SRWLOCK m_lock = SRWLOCK_INIT;
  std::atomic<DWORD> m_owner{0};
  unsigned m_depth = 0;
};

class RegistrationGuard {
 public:
  explicit RegistrationGuard(RegistrationLock& lock) noexcept : m_lock(lock) { m_lock.Lock(); }
  ~RegistrationGuard() { m_lock.Unlock(); }
  RegistrationGuard(const RegistrationGuard&) = delete;
  RegistrationGuard& operator=(const RegistrationGuard&) = delete;

 private:
  RegistrationLock& m_lock;
};

// Constant-initialised and never destroyed (trivial destructors).
CDefaultLoggingHandler g_defaultHandler;
std::atomic<ILoggingHandler*> g_pHandler{nullptr};
RegistrationLock g_registrationLock;

unsigned HandlerId(const ILoggingHandler* handler) noexcept {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(handler));
}

// Formats with msvcrt's rules into a heap buffer; null when the format is
// rejected or the buffer cannot be allocated.
std::unique_ptr<wchar_t[]> FormatToBuffer(const wchar_t* format, va_list args) noexcept {
  if (!format) return nullptr;
  va_list counting;
  va_copy(counting, args);
  const int count = _vscwprintf(format, counting);
  va_end(counting);
  if (count < 0 || count == INT_MAX) return nullptr;
  std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[static_cast<size_t>(count) + 1]);
  if (!buffer) return nullptr;
  const int written = _vsnwprintf(buffer.get(), static_cast<size_t>(count) + 1, format, args);
  if (written < 0) return nullptr;
  buffer[count] = L'\0';
  return buffer;
}

std::unique_ptr<wchar_t[]> FormatToBufferF(const wchar_t* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  std::unique_ptr<wchar_t[]> buffer = FormatToBuffer(format, args);
  va_end(args);
  return buffer;
}

}  // namespace

void CDefaultLoggingHandler::Handle(DWORD level, const wchar_t* file, const wchar_t* function,
                                    int line, const wchar_t* message) {
  const wchar_t* format;
  switch (level) {
    case kLoggerLevelNone:
      return;
    case kLoggerLevelInformation:
      format = L"%s(%d): [INFO]: [%s]: %s\n";
      break;
    case kLoggerLevelError:
      format = L"%s(%d): [ERROR]: [%s]: %s\n";
      break;
    default:
      format = L"%s(%d): [UNKNOWN]: [%s]: %s\n";
      break;
  }
  std::unique_ptr<wchar_t[]> text = FormatToBufferF(format, file, line, function, message);
  if (text) OutputDebugStringW(text.get());
}

CDefaultLoggingHandler& CDefaultLoggingHandler::Instance() noexcept { return g_defaultHandler; }

DWORD CLogger::Log(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                   const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(level, file, function, line, format, args);
  va_end(args);
  return 0;
}

DWORD CLogger::LogV(DWORD level, const wchar_t* file, const wchar_t* function, int line,
                    const wchar_t* format, va_list args) {
  ILoggingHandler* handler = g_pHandler.load(std::memory_order_acquire);
  if (!handler) {
    (void)RegisterHandler(&g_defaultHandler);
    handler = g_pHandler.load(std::memory_order_acquire);
    // An unregistration on another thread may have won; never call through null.
    if (!handler) handler = &g_defaultHandler;
  }
  std::unique_ptr<wchar_t[]> text = FormatToBuffer(format, args);
  if (text) {
    handler->Handle(level, file, function, line, text.get());
  } else {
    handler->Handle(kLoggerLevelError, file, function, line, kAllocationFailureText);
  }
  return 0;
}

DWORD CLogger::RegisterHandler(ILoggingHandler* handler) {
  if (!handler) {
    Log(kLoggerLevelError, kInternalFile, L"Basalt::CLogger::RegisterHandler", 62,
        L"%s: Cannot Register (NULL) handler", GetSystemErrorText(ERROR_INVALID_PARAMETER).c_str());
    return ERROR_INVALID_PARAMETER;
  }
  RegistrationGuard guard(g_registrationLock);
  ILoggingHandler* const registered = g_pHandler.load(std::memory_order_acquire);
  if (registered == handler) return ERROR_SUCCESS;
  if (!registered || registered == &g_defaultHandler) {
    g_pHandler.store(handler, std::memory_order_release);
    return ERROR_SUCCESS;
  }
  Log(kLoggerLevelError, kInternalFile, L"Basalt::CLogger::RegisterHandler", 72,
      L"%s: Registered Logging Handler 0x%08X cannot be replaced with 0x%08X",
      GetSystemErrorText(ERROR_INVALID_STATE).c_str(), HandlerId(registered), HandlerId(handler));
  return ERROR_INVALID_STATE;
}

DWORD CLogger::UnregisterHandler(ILoggingHandler* handler) {
  if (!handler) {
    Log(kLoggerLevelError, kInternalFile, L"Basalt::CLogger::UnregisterHandler", 97,
        L"%s: Cannot Unregister (NULL) handler",
        GetSystemErrorText(ERROR_INVALID_PARAMETER).c_str());
    return ERROR_INVALID_PARAMETER;
  }
  RegistrationGuard guard(g_registrationLock);
  ILoggingHandler* const registered = g_pHandler.load(std::memory_order_acquire);
  if (registered == handler) {
    g_pHandler.store(nullptr, std::memory_order_release);
    return ERROR_SUCCESS;
  }
  const std::wstring text = GetSystemErrorText(ERROR_INVALID_STATE);
  if (!registered) {
    // The requested handler hears of its own failed request.
    g_pHandler.store(handler, std::memory_order_release);
    Log(kLoggerLevelError, kInternalFile, L"Basalt::CLogger::UnregisterHandler", 107,
        L"%s: Request to Unregister Logging handler 0x%08X, but none are registered", text.c_str(),
        HandlerId(handler));
    g_pHandler.store(nullptr, std::memory_order_release);
    return ERROR_INVALID_STATE;
  }
  constexpr wchar_t kMismatch[] =
      L"%s: Failed to Unregister Logging handler (requested handler 0x%08X != registered "
      L"handler 0x%08X)";
  Log(kLoggerLevelError, kInternalFile, L"Basalt::CLogger::UnregisterHandler", 115, kMismatch,
      text.c_str(), HandlerId(handler), HandlerId(registered));
  g_pHandler.store(handler, std::memory_order_release);
  Log(kLoggerLevelError, kInternalFile, L"Basalt::CLogger::UnregisterHandler", 120, kMismatch,
      text.c_str(), HandlerId(handler), HandlerId(registered));
  g_pHandler.store(registered, std::memory_order_release);
  return ERROR_INVALID_STATE;
}

std::wstring CLogger::GetSystemErrorText(DWORD code) {
  wchar_t buffer[1024];
  // Inserts are left as they stand: no arguments exist to fill them.
  const DWORD chars =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     buffer, static_cast<DWORD>(sizeof(buffer) / sizeof(buffer[0])), nullptr);
  if (chars == 0) return std::wstring();
  buffer[sizeof(buffer) / sizeof(buffer[0]) - 1] = L'\0';
  return std::wstring(buffer);
}

ILoggingHandler* CLogger::GetRegisteredHandler() noexcept {
  return g_pHandler.load(std::memory_order_acquire);
}

DWORD RegisterLoggingHandler(ILoggingHandler* handler) { return CLogger::RegisterHandler(handler); }

DWORD UnregisterLoggingHandler(ILoggingHandler* handler) {
  return CLogger::UnregisterHandler(handler);
}

}  // namespace Basalt
