// Plays the component that announces connected standby: the two named events and "CSOn"
// under the machine key (redirected by the test). Test programs that use it take the
// "standby-events" lock, since the events are machine-wide.
#pragma once

#include <windows.h>

#include "basalt/UniqueHandle.h"
#include "tracecontrol/CCSMonitor.h"

namespace tracetest {

class StandbyAnnouncer {
 public:
  StandbyAnnouncer()
      : m_enter(CreateEventW(nullptr, FALSE, FALSE,
                             L"Global\\{BBB3BE39-0EC4-4F68-967B-E77BD5F3FF49}_Enter")),
        m_exit(CreateEventW(nullptr, FALSE, FALSE,
                            L"Global\\{BBB3BE39-0EC4-4F68-967B-E77BD5F3FF49}_Exit")) {
    Quiet();
  }
  ~StandbyAnnouncer() {
    Quiet();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kStateKey);
  }
  StandbyAnnouncer(const StandbyAnnouncer&) = delete;
  StandbyAnnouncer& operator=(const StandbyAnnouncer&) = delete;

  bool ok() const { return m_enter && m_exit; }

  void Enter() {
    SetState(1);
    SetEvent(m_enter.get());
  }
  void Exit() {
    SetState(0);
    SetEvent(m_exit.get());
  }
  // "CSOn" as a 4-byte value.
  bool SetState(DWORD value) { return SetRawState(REG_DWORD, &value, sizeof(value)); }
  bool SetRawState(DWORD type, const void* data, DWORD bytes) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kStateKey, L"CSOn", type, data, bytes) ==
           ERROR_SUCCESS;
  }
  // Takes back announcements that nobody waited for.
  void Quiet() {
    if (m_enter) ResetEvent(m_enter.get());
    if (m_exit) ResetEvent(m_exit.get());
  }

  static constexpr const wchar_t* kStateKey = L"SOFTWARE\\Telvan\\Volatile\\KSC\\CS";

 private:
  Basalt::UniqueEvent m_enter;
  Basalt::UniqueEvent m_exit;
};

// A monitor on a machine with connected standby (Wine reports none).
class CapableMonitor : public ETWLogging::CCSMonitor {
 public:
  bool IsConnectedStandbyCapable() override { return true; }
};

}  // namespace tracetest
