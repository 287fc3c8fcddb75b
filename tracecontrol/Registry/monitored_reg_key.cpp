#include "tracecontrol/Registry/monitored_reg_key.h"

#include <exception>
#include <system_error>
#include <utility>

#include "basalt/Logging/CLogger.h"

namespace Basalt {
namespace {

constexpr wchar_t kSourceFile[] = L"Registry\\monitored_reg_key";
constexpr wchar_t kThreadFunction[] = L"Basalt::monitored_reg_key::registry_callback_thread";
constexpr int kStlExceptionLine = 183;
constexpr int kUnknownExceptionLine = 187;

}  // namespace

monitored_reg_key::monitored_reg_key() : m_key(make_reg_key()) {}

monitored_reg_key::~monitored_reg_key() {
  stop();
  m_notifyEvent.reset();
  m_stopEvent.reset();
  m_callback = nullptr;
  m_key.reset();
}

std::unique_ptr<CRegKey> monitored_reg_key::make_reg_key() { return std::make_unique<CRegKey>(); }

LONG monitored_reg_key::create(HKEY hKeyParent, LPCWSTR lpszKeyName, LPWSTR lpszClass,
                               DWORD dwOptions, REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecAttr,
                               LPDWORD lpdwDisposition) {
  stop_and_close();
  return m_key->Create(hKeyParent, lpszKeyName, lpszClass, dwOptions, samDesired, lpSecAttr,
                       lpdwDisposition);
}

LONG monitored_reg_key::open(HKEY hKeyParent, LPCWSTR lpszKeyName, REGSAM samDesired) {
  stop_and_close();
  return m_key->Open(hKeyParent, lpszKeyName, samDesired);
}

LONG monitored_reg_key::close() {
  stop();
  return m_key->Close();
}

void monitored_reg_key::stop_and_close() {
  stop();
  close();
}

bool monitored_reg_key::start(callback_type callback, bool watchSubtree, DWORD filter) {
  stop();
  if (m_key->GetHandle() == nullptr || !callback || m_thread.joinable()) return false;
  m_callback = std::move(callback);
  // A failed creation leaves a null event: the first notification request then fails and
  // the thread ends at once (and says so).
  m_stopEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  m_notifyEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  m_armedEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  m_thread = std::thread(&monitored_reg_key::registry_callback_thread, this, watchSubtree, filter);
  // A change made before the first request would go unseen: callers read the key once
  // after start, and only changes after that read must be reported.
  if (m_armedEvent) WaitForSingleObject(m_armedEvent.get(), INFINITE);
  return true;
}

bool monitored_reg_key::stop() {
  if (m_stopEvent) SetEvent(m_stopEvent.get());
  if (m_thread.joinable()) {
    if (m_thread.get_id() == std::this_thread::get_id()) {
      throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    m_thread.join();
  }
  m_notifyEvent.reset();
  m_stopEvent.reset();
  m_armedEvent.reset();
  return true;
}

void monitored_reg_key::registry_callback_thread(bool watchSubtree, DWORD filter) {
  for (;;) {
    const LONG request =
        m_key->NotifyChangeKeyValue(watchSubtree ? TRUE : FALSE, filter, m_notifyEvent.get(), TRUE);
    if (m_armedEvent) SetEvent(m_armedEvent.get());
    if (request != ERROR_SUCCESS) {
      // The key was deleted, or the events are missing: no change is seen any more.
      CLogger::Log(kLoggerLevelError, kSourceFile, kThreadFunction, __LINE__,
                   L"%s: Cannot request a registry change notification; the registry key "
                   L"monitor stops.",
                   CLogger::GetSystemErrorText(static_cast<DWORD>(request)).c_str());
      return;
    }
    const HANDLE events[] = {m_stopEvent.get(), m_notifyEvent.get()};
    const DWORD wait = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (wait == WAIT_FAILED) {
      CLogger::Log(kLoggerLevelError, kSourceFile, kThreadFunction, __LINE__,
                   L"%s: Waiting for a registry change failed; the registry key monitor stops.",
                   CLogger::GetSystemErrorText(GetLastError()).c_str());
      return;
    }
    if (wait != WAIT_OBJECT_0 + 1 || !m_callback) return;
    try {
      m_callback();
    } catch (const std::exception& e) {
      CLogger::Log(kLoggerLevelError, kSourceFile, kThreadFunction, kStlExceptionLine,
                   L"STL exception caught while invoking registry key monitor callback: %hs.",
                   e.what());
    } catch (...) {
      CLogger::Log(kLoggerLevelError, kSourceFile, kThreadFunction, kUnknownExceptionLine,
                   L"Unexpected exception caught while invoking registry key monitor callback.");
    }
  }
}

}  // namespace Basalt
