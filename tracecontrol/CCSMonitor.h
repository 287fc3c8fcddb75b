// Watches the connected-standby announcements of another component: two named events and
// the "CSOn" registry value.
#pragma once

#include <windows.h>

#include "basalt/UniqueHandle.h"
#include "tracecontrol/ICStandbyListener.h"

namespace ETWLogging {

class CCSMonitor {
 public:
  CCSMonitor() noexcept = default;
  CCSMonitor(const CCSMonitor&) = delete;
  CCSMonitor& operator=(const CCSMonitor&) = delete;

  // HKEY_LOCAL_MACHINE.
  virtual HKEY GetRootKey();
  // "SOFTWARE\Telvan\Volatile\KSC\CS", the key of "CSOn".
  virtual const wchar_t* GetStateKeyPath();
  // "SOFTWARE\Telvan\Volatile\KSC\CS\Events".
  virtual const wchar_t* GetEventsKeyPath();
  // True when the power capabilities report the always-on, always-connected model.
  virtual bool IsConnectedStandbyCapable();

  // Stop().
  virtual ~CCSMonitor();

  // Opens the two announcement events; when the machine is in standby now, reports that at
  // once on the calling thread; then starts the watching thread, which reports each Enter
  // and Exit to |listener|. False on a null listener or when an event or the thread cannot
  // be made (what was made is closed by Stop).
  [[nodiscard]] bool Start(ICStandbyListener* listener);

  // Ends and joins the thread, then closes every handle. Safe when not started.
  void Stop();

  // True only on a capable machine whose state key holds "CSOn" as 4 bytes of value 1. A
  // missing key, value or any other size means not in standby.
  [[nodiscard]] bool IsInConnectedStandby();

 protected:
  // The watching thread's wait for the first of |handles|; WaitForMultipleObjects.
  virtual DWORD WaitForEvents(DWORD count, const HANDLE* handles);

 private:
  static DWORD WINAPI WatchThread(void* monitor);
  void Watch();
  // The listener's OnStandby; what it throws is logged and goes no further.
  void Report(bool entering) noexcept;

  Basalt::UniqueEvent m_enterEvent;
  Basalt::UniqueEvent m_exitEvent;
  Basalt::UniqueEvent m_stopEvent;
  Basalt::UniqueKernelHandle m_thread;
  ICStandbyListener* m_listener = nullptr;
};

}  // namespace ETWLogging
