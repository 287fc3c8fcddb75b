#include "etwlogging/Logging.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>

#include "etwlogging/CBasaltLogHandler.h"
#include "etwlogging/CDefaultLogBuilder.h"
#include "etwlogging/CProcessLogger.h"
#include "etwlogging/ProcessStartupOrder.h"

namespace ETWLogging {
namespace {

HMODULE ModuleOfFacade() noexcept {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&ModuleOfFacade), &module)) {
    return nullptr;
  }
  return module;
}

// The identity, read once when the process logger is created.
std::atomic<const wchar_t*> g_pszAppId{nullptr};
std::atomic<const wchar_t*> g_pszGroup{L"_no_group"};
std::atomic<HMODULE> g_hModule{nullptr};
std::atomic<const wchar_t*> g_pszHost{L"_no_host"};
std::atomic<DWORD> g_dwFlags{0};

// One-time creation of the process logger. A lock and a flag rather than a
// call-once: a creation that threw must be retryable.
SRWLOCK g_createLock = SRWLOCK_INIT;
std::atomic<bool> g_bCreated{false};
std::atomic<bool> g_bTornDown{false};
std::atomic<DWORD> g_dwCreatingThread{0};
// Sequentially consistent throughout: a call counts itself in before it loads
// the pointer, the teardown clears the pointer before it reads the counts.
std::atomic<CProcessLogger*> g_pProcessLogger{nullptr};

// Calls inside the process logger, counted per thread stripe so that threads
// logging at once do not share a cache line. Calls count themselves in slot 0
// until the teardown switches new calls to slot 1, so it waits only for calls
// that may have seen the logger, not for late calls that will find none.
struct alignas(64) CallCount {
  std::atomic<long> value{0};
};
constexpr unsigned kCallStripeBits = 6;
CallCount g_callsInside[2][1u << kCallStripeBits];
std::atomic<unsigned> g_uCallSlot{0};

std::atomic<long>& CallCountOfThisThread() noexcept {
  // Fibonacci hashing spreads thread IDs, which are multiples of 4.
  const uint32_t hash = static_cast<uint32_t>(GetCurrentThreadId()) * 2654435769u;
  return g_callsInside[g_uCallSlot.load()][hash >> (32 - kCallStripeBits)].value;
}

// How long the teardown waits for calls still inside the logger. A call that
// outlasts it (a thread ended while inside, as at the unload of a library
// during process exit) leaves the logger allocated rather than freed under it.
constexpr ULONGLONG kTeardownWaitMs = 500;

bool WaitUntilNoCallInside() noexcept {
  g_uCallSlot.store(1);
  const ULONGLONG deadline = GetTickCount64() + kTeardownWaitMs;
  // A stripe seen at 0 stays free of calls that saw the logger: a call that
  // counts itself in later finds the pointer cleared.
  for (const CallCount& count : g_callsInside[0]) {
    while (count.value.load() != 0) {
      if (GetTickCount64() >= deadline) return false;
      Sleep(1);
    }
  }
  return true;
}

class ExclusiveGuard {
 public:
  explicit ExclusiveGuard(SRWLOCK& lock) noexcept : m_lock(lock) {
    AcquireSRWLockExclusive(&m_lock);
  }
  ~ExclusiveGuard() { ReleaseSRWLockExclusive(&m_lock); }
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

 private:
  SRWLOCK& m_lock;
};

// Process-wide objects. Their at-exit releases are registered in the start-up order of
// ProcessStartupOrder.h (process logger, then builder, then the module is set) and run in
// the reverse order: the adapter (an ordinary static, registered after all of them) first,
// then the builder, last the process logger.
struct ProcessLoggerOwner {
  constexpr ProcessLoggerOwner() noexcept = default;
  ~ProcessLoggerOwner() {
    CProcessLogger* logger;
    {
      // Waits for a creation in progress; none starts after this.
      ExclusiveGuard guard(g_createLock);
      g_bTornDown.store(true);
      // Cleared before the object goes, so late log calls find no logger.
      logger = g_pProcessLogger.exchange(nullptr);
    }
    if (logger && WaitUntilNoCallInside()) delete logger;
  }
};
ProcessLoggerOwner g_processLoggerOwner HOLLIN_INIT_PRIORITY(HOLLIN_INIT_PROCESS_LOGGER);

struct LogBuilderOwner {
  constexpr LogBuilderOwner() noexcept = default;
  ~LogBuilderOwner() { delete pBuilder.exchange(nullptr); }
  std::atomic<CDefaultLogBuilder*> pBuilder{nullptr};
};
LogBuilderOwner g_builder HOLLIN_INIT_PRIORITY(HOLLIN_INIT_LOG_BUILDER);

CBasaltLogHandler g_basaltLogHandler;

// The start-up initialiser of the identity's module (a SetLogIdentity made earlier wins).
struct ModuleOfIdentity {
  ModuleOfIdentity() noexcept {
    HMODULE expected = nullptr;
    g_hModule.compare_exchange_strong(expected, ModuleOfFacade());
  }
};
const ModuleOfIdentity g_moduleOfIdentity HOLLIN_INIT_PRIORITY(HOLLIN_INIT_LOG_MODULE);

void CreateProcessLogger() {
  std::unique_ptr<CProcessLogger> logger(new (std::nothrow) CProcessLogger());
  if (!logger) return;
  g_pProcessLogger.store(logger.get(), std::memory_order_release);
  try {
    logger->CreateLogger(g_pszAppId.load(), g_pszGroup.load(), g_hModule.load(), g_pszHost.load(),
                         g_dwFlags.load());
  } catch (...) {
    g_pProcessLogger.store(nullptr, std::memory_order_release);
    throw;
  }
  (void)logger.release();
}

}  // namespace

CProcessLoggerUse::CProcessLoggerUse() noexcept : m_pCount(&CallCountOfThisThread()) {
  m_pCount->fetch_add(1);
}

CProcessLoggerUse::~CProcessLoggerUse() { m_pCount->fetch_sub(1); }

CBasaltLogHandler& CBasaltLogHandler::Instance() noexcept { return g_basaltLogHandler; }

CLogBuilderIf* GetProcessLogBuilder() {
  CDefaultLogBuilder* builder = g_builder.pBuilder.load(std::memory_order_acquire);
  if (builder) return builder;
  CDefaultLogBuilder* created = new (std::nothrow) CDefaultLogBuilder();
  if (!created) return nullptr;
  if (!g_builder.pBuilder.compare_exchange_strong(builder, created)) {
    delete created;
    return builder;
  }
  return created;
}

CProcessLogger* GetProcessLoggerIfCreated() noexcept { return g_pProcessLogger.load(); }

CProcessLogger* GetProcessLogger() {
  if (g_bCreated.load(std::memory_order_acquire)) return g_pProcessLogger.load();
  const DWORD self = GetCurrentThreadId();
  // A log call made by the creation itself sees the logger as published so far.
  if (g_dwCreatingThread.load(std::memory_order_acquire) == self) return g_pProcessLogger.load();
  ExclusiveGuard guard(g_createLock);
  if (!g_bCreated.load(std::memory_order_acquire) && !g_bTornDown.load()) {
    g_dwCreatingThread.store(self, std::memory_order_release);
    struct ClearCreator {
      ~ClearCreator() { g_dwCreatingThread.store(0, std::memory_order_release); }
    } clearCreator;
    CreateProcessLogger();
    g_bCreated.store(true, std::memory_order_release);
  }
  return g_pProcessLogger.load();
}

DWORD SetLogIdentity(const wchar_t* appId, const wchar_t* group, HMODULE module,
                     const wchar_t* host, DWORD flags) {
  g_pszAppId.store(appId);
  g_pszGroup.store(group);
  g_hModule.store(module ? module : ModuleOfFacade());
  g_pszHost.store(host);
  g_dwFlags.store(flags);
  return flags;
}

CProcessLogger* GetLogger() { return GetProcessLogger(); }

bool IsLevelEnabled(LogLevel level) {
  const CProcessLoggerUse use;
  CProcessLogger* logger = GetLogger();
  return logger && logger->IsLevelEnabled(level);
}

}  // namespace ETWLogging
