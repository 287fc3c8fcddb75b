// The subsystem control manager: the object through which an outside client stops the services
// of the running host's group, and the stop road it runs.
#pragma once

#include <windows.h>

#include "contracts/IQxSvcSubsystemControlManager.h"
#include "src/qxsvchost/IQxServiceControlApi.h"

// Raised (0 -> 1) by StopServices, never cleared; service threads started afterwards do not run
// their subsystem. A plain 32-bit flag written and read without a lock.
extern volatile BOOL g_bShutdown;

// One control-manager object per successful creation. Release never frees it: every object
// lives until the process ends.
class CQxSvcSubsystemControlManager : public IQxSvcSubsystemControlManager {
 public:
  // Makes one object and returns its |riid| interface (count 1). E_INVALIDARG for a null |ppv|,
  // E_OUTOFMEMORY, E_NOINTERFACE (object destroyed at once) for an interface it does not offer;
  // |*ppv| is null on every failure but the first.
  [[nodiscard]] static HRESULT CreateInstance(REFIID riid, void** ppv);

  // IUnknown and IQxSvcSubsystemControlManager (AddRef'ed); E_NOINTERFACE and null otherwise.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  // The count after an interlocked increment.
  ULONG STDMETHODCALLTYPE AddRef() override;
  // The count after an interlocked decrement; never destroys the object.
  ULONG STDMETHODCALLTYPE Release() override;
  // E_NOTIMPL; |text| is not read.
  HRESULT STDMETHODCALLTYPE Reserved(LPCWSTR text) override;
  // Stores the process id (when |processId| is not null), then StopServices(FALSE). A negative
  // result also starts MyTerminateThread, which ends the process about a second later. Once the
  // host has closed the calls (CloseControlManagerCalls), only the process id is stored and
  // CO_E_SERVER_STOPPING is returned.
  HRESULT STDMETHODCALLTYPE QxStopSvcSubsystem(LPCWSTR text, DWORD* processId) override;

  // Thread routine for _beginthreadex: logs, waits one second and ends the process at once with
  // exit code 0, running no exit handler, static destructor or library detach code. Never
  // returns.
  [[noreturn]] static unsigned __stdcall MyTerminateThread(void* unused);

 protected:
  CQxSvcSubsystemControlManager() = default;
  virtual ~CQxSvcSubsystemControlManager() = default;

 private:
  volatile LONG m_cRef = 0;
};

// Admits QxStopSvcSubsystem calls again; they are admitted from process start on.
void OpenControlManagerCalls();
// Waits for the QxStopSvcSubsystem calls in progress to end and turns every later one away, so
// that the host can destroy its configuration with no call using it.
void CloseControlManagerCalls();

// The stop road of QxStopSvcSubsystem: raises g_bShutdown, then stops every service of the
// configured group in list order except "qxpltsvc" and "qxkscsvc" (compared without case), then
// those two, each once. E_FAIL when the group's services cannot be read; S_OK for an empty
// group (nothing stopped); else the bitwise OR of the StopService results. With
// |destroyConfiguration| the configuration singleton is destroyed afterwards.
[[nodiscard]] HRESULT StopServices(BOOL destroyConfiguration);
// The same road through |scm| instead of the system's service control manager.
[[nodiscard]] HRESULT StopServices(IQxServiceControlApi& scm, BOOL destroyConfiguration);

// Asks |serviceName| to stop and waits with at most 10 polls of 1000 ms. A stop that the service
// refuses because it is stopping already (another caller's stop) waits for that stop the same
// way; one refused because it is starting waits for the start to end, with at most 10 polls of
// its own, and then asks again. 0 when it stopped, is not running or does not exist;
// HRESULT_FROM_WIN32 of a failed call; E_FAIL when still not stopped (or still starting) after
// the tenth poll.
[[nodiscard]] HRESULT StopService(LPCWSTR serviceName);
// The same through |scm|.
[[nodiscard]] HRESULT StopService(IQxServiceControlApi& scm, LPCWSTR serviceName);
