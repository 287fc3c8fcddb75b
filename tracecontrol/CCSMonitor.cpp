#include "tracecontrol/CCSMonitor.h"

#include <powrprof.h>

#include <exception>
#include <utility>

#include "basalt/Logging/CLogger.h"

namespace ETWLogging {
namespace {

constexpr wchar_t kStateKeyPath[] = L"SOFTWARE\\Telvan\\Volatile\\KSC\\CS";
constexpr wchar_t kEventsKeyPath[] = L"SOFTWARE\\Telvan\\Volatile\\KSC\\CS\\Events";
constexpr wchar_t kEnterEventName[] = L"Global\\{BBB3BE39-0EC4-4F68-967B-E77BD5F3FF49}_Enter";
constexpr wchar_t kExitEventName[] = L"Global\\{BBB3BE39-0EC4-4F68-967B-E77BD5F3FF49}_Exit";
constexpr wchar_t kStateValueName[] = L"CSOn";
constexpr wchar_t kSourceFile[] = L"CCSMonitor";
constexpr wchar_t kReportFunction[] = L"ETWLogging::CCSMonitor::Report";

}  // namespace

HKEY CCSMonitor::GetRootKey() { return HKEY_LOCAL_MACHINE; }

const wchar_t* CCSMonitor::GetStateKeyPath() { return kStateKeyPath; }

const wchar_t* CCSMonitor::GetEventsKeyPath() { return kEventsKeyPath; }

bool CCSMonitor::IsConnectedStandbyCapable() {
  SYSTEM_POWER_CAPABILITIES capabilities = {};
  if (CallNtPowerInformation(SystemPowerCapabilities, nullptr, 0, &capabilities,
                             sizeof(capabilities)) != 0) {
    return false;
  }
  // mingw's header names the bytes Hiberboot, WakeAlarmPresent and AoAc "spare2".
  return capabilities.spare2[2] != 0;
}

CCSMonitor::~CCSMonitor() { Stop(); }

bool CCSMonitor::IsInConnectedStandby() {
  if (!IsConnectedStandbyCapable()) return false;
  Basalt::UniqueHKey key;
  if (RegOpenKeyExW(GetRootKey(), GetStateKeyPath(), 0, KEY_QUERY_VALUE, key.put()) !=
      ERROR_SUCCESS) {
    return false;  // nobody announces standby here
  }
  DWORD value = 0;
  DWORD bytes = sizeof(value);
  return RegQueryValueExW(key.get(), kStateValueName, nullptr, nullptr,
                          reinterpret_cast<BYTE*>(&value), &bytes) == ERROR_SUCCESS &&
         bytes == sizeof(value) && value == 1;
}

bool CCSMonitor::Start(ICStandbyListener* listener) {
  if (listener == nullptr) return false;
  m_listener = listener;
  m_stopEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!m_stopEvent) return false;
  Basalt::UniqueEvent enter(CreateEventW(nullptr, FALSE, FALSE, kEnterEventName));
  if (!enter) return false;
  Basalt::UniqueEvent exit(CreateEventW(nullptr, FALSE, FALSE, kExitEventName));
  if (!exit) return false;
  m_enterEvent = std::move(enter);
  m_exitEvent = std::move(exit);
  // The state found now goes first: a change announced meanwhile stays signalled and is
  // reported by the thread after it, in the order it happened.
  if (IsInConnectedStandby()) Report(true);
  m_thread.reset(CreateThread(nullptr, 0, &CCSMonitor::WatchThread, this, 0, nullptr));
  return static_cast<bool>(m_thread);
}

void CCSMonitor::Stop() {
  if (m_thread) {
    SetEvent(m_stopEvent.get());
    WaitForSingleObject(m_thread.get(), INFINITE);
  }
  m_thread.reset();
  m_stopEvent.reset();
  m_exitEvent.reset();
  m_enterEvent.reset();
}

DWORD CCSMonitor::WaitForEvents(DWORD count, const HANDLE* handles) {
  return WaitForMultipleObjects(count, handles, FALSE, INFINITE);
}

DWORD WINAPI CCSMonitor::WatchThread(void* monitor) {
  static_cast<CCSMonitor*>(monitor)->Watch();
  return 0;
}

void CCSMonitor::Watch() {
  const HANDLE events[] = {m_stopEvent.get(), m_enterEvent.get(), m_exitEvent.get()};
  for (;;) {
    switch (WaitForEvents(3, events)) {
      case WAIT_OBJECT_0 + 1:
        Report(true);
        break;
      case WAIT_OBJECT_0 + 2:
        Report(false);
        break;
      case WAIT_OBJECT_0:
      case WAIT_FAILED:
        return;  // stop, or a wait that would fail again at once
      default:
        break;
    }
  }
}

void CCSMonitor::Report(bool entering) noexcept {
  try {
    m_listener->OnStandby(entering);
  } catch (const std::exception& e) {
    Basalt::CLogger::Log(Basalt::kLoggerLevelError, kSourceFile, kReportFunction, __LINE__,
                         L"Exception caught while reporting a connected-standby change: %hs.",
                         e.what());
  } catch (...) {
    Basalt::CLogger::Log(
        Basalt::kLoggerLevelError, kSourceFile, kReportFunction, __LINE__,
        L"Unexpected exception caught while reporting a connected-standby change.");
  }
}

}  // namespace ETWLogging
