#include "src/qxsvchost/QxSvcSubsystemControlManager.h"

#include <process.h>

#include <new>
#include <string>
#include <vector>

#include "etwlogging/Logging.h"
#include "src/qxsvchost/CQxSvcHostConfig.h"
#include "src/qxsvchost/QxHResult.h"

volatile BOOL g_bShutdown = 0;

namespace {

constexpr const wchar_t kLogFile[] = L"QxSvcSubsystemControlManager";
constexpr const wchar_t kPlatformService[] = L"qxpltsvc";
constexpr const wchar_t kKscService[] = L"qxkscsvc";
constexpr DWORD kMaxStopPolls = 10;
constexpr DWORD kStopPollMilliseconds = 1000;

// Shared by every QxStopSvcSubsystem call in progress, taken exclusively by the host to close them.
SRWLOCK g_callGate = SRWLOCK_INIT;
bool g_bCallsClosed = false;  // guarded by g_callGate

// Service handle of |scm|, closed through it.
class ScopedServiceHandle {
 public:
  ScopedServiceHandle(IQxServiceControlApi& scm, SC_HANDLE handle) : m_scm(scm), m_h(handle) {}
  ~ScopedServiceHandle() {
    if (m_h) m_scm.Close(m_h);
  }
  ScopedServiceHandle(const ScopedServiceHandle&) = delete;
  ScopedServiceHandle& operator=(const ScopedServiceHandle&) = delete;
  SC_HANDLE get() const { return m_h; }

 private:
  IQxServiceControlApi& m_scm;
  SC_HANDLE m_h;
};

// ControlService(STOP) refused only because of the service's state: it is starting or stopping
// (1061; Wine answers 1052 for a pending start).
bool RefusedForItsState(DWORD error) {
  return error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || error == ERROR_INVALID_SERVICE_CONTROL;
}

// The failure roads of StopService, each logged once.
HRESULT StopRefused(LPCWSTR serviceName, DWORD error) {
  QXLOG(ETWLogging::kLogInformation, kLogFile, L"StopService",
        L"Failed to stop service:%s, error code %d", serviceName, error);
  return QxHResultFromWin32(error);
}
HRESULT QueryFailed(LPCWSTR serviceName) {
  const DWORD error = GetLastError();
  QXLOG(ETWLogging::kLogError, kLogFile, L"StopService",
        L"Failed to QueryServiceStatus %s, error code %ld", serviceName, error);
  return QxHResultFromWin32(error);
}
HRESULT NotStoppedInTime(LPCWSTR serviceName) {
  QXLOG(ETWLogging::kLogError, kLogFile, L"StopService",
        L"Failed to QueryServiceStatus %s after maximum attempts", serviceName);
  return E_FAIL;
}

bool IsFixedLastService(const std::wstring& name) {
  return _wcsicmp(name.c_str(), kPlatformService) == 0 || _wcsicmp(name.c_str(), kKscService) == 0;
}

}  // namespace

HRESULT CQxSvcSubsystemControlManager::CreateInstance(REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  CQxSvcSubsystemControlManager* object = new (std::nothrow) CQxSvcSubsystemControlManager();
  if (!object) return E_OUTOFMEMORY;
  if (FAILED(object->QueryInterface(riid, ppv))) {
    delete object;
    return E_NOINTERFACE;
  }
  return S_OK;
}

HRESULT CQxSvcSubsystemControlManager::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQxSvcSubsystemControlManager)) {
    *ppv = static_cast<IQxSvcSubsystemControlManager*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CQxSvcSubsystemControlManager::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&m_cRef));
}

ULONG CQxSvcSubsystemControlManager::Release() {
  return static_cast<ULONG>(InterlockedDecrement(&m_cRef));
}

HRESULT CQxSvcSubsystemControlManager::Reserved(LPCWSTR) { return E_NOTIMPL; }

HRESULT CQxSvcSubsystemControlManager::QxStopSvcSubsystem(LPCWSTR, DWORD* processId) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcSubsystemControlManager::QxStopSvcSubsystem";
  // The client gets the id also when the stop fails: it may then wait for this process to end.
  if (processId) *processId = GetCurrentProcessId();

  AcquireSRWLockShared(&g_callGate);
  if (g_bCallsClosed) {
    ReleaseSRWLockShared(&g_callGate);
    // The dispatcher has returned: every service has stopped and the host is ending by itself.
    return CO_E_SERVER_STOPPING;
  }
  const HRESULT hr = StopServices(FALSE);
  ReleaseSRWLockShared(&g_callGate);
  if (SUCCEEDED(hr)) return hr;

  QXLOG(ETWLogging::kLogInformation, kLogFile, kFunction,
        L"Reduce restart: StopServices failed, starts a thread to force stop Hollin");
  unsigned threadId = 0;
  const uintptr_t thread = _beginthreadex(
      nullptr, 0, &CQxSvcSubsystemControlManager::MyTerminateThread, nullptr, 0, &threadId);
  // Nobody waits on the thread: its handle would only leak.
  if (thread) CloseHandle(reinterpret_cast<HANDLE>(thread));
  return hr;
}

unsigned __stdcall CQxSvcSubsystemControlManager::MyTerminateThread(void*) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcSubsystemControlManager::MyTerminateThread";
  QXLOG(ETWLogging::kLogInformation, kLogFile, kFunction,
        L"Reduce restart: Enter MyTerminateThread");
  Sleep(1000);
  // Not exit(0): that runs the static destructors (the trusted list, the logger) while COM and
  // service threads may still be inside a caller check or a log call that reads them. Nor
  // ExitProcess: it runs every library's detach code after killing the other threads, and a
  // hosted library's may wait for a lock that a killed thread held, so the process would never
  // end. Nothing needs flushing: the file logger writes each line through.
  TerminateProcess(GetCurrentProcess(), 0);
  for (;;) Sleep(INFINITE);
}

void OpenControlManagerCalls() {
  AcquireSRWLockExclusive(&g_callGate);
  g_bCallsClosed = false;
  ReleaseSRWLockExclusive(&g_callGate);
}

void CloseControlManagerCalls() {
  AcquireSRWLockExclusive(&g_callGate);
  g_bCallsClosed = true;
  ReleaseSRWLockExclusive(&g_callGate);
}

HRESULT StopServices(BOOL destroyConfiguration) {
  return StopServices(SystemServiceControlApi(), destroyConfiguration);
}

HRESULT StopServices(IQxServiceControlApi& scm, BOOL destroyConfiguration) {
  static constexpr const wchar_t kFunction[] = L"StopServices";
  CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
  QXLOG(ETWLogging::kLogInformation, kLogFile, kFunction,
        L"Reduce restart: Calling Hollin StopServices");
  g_bShutdown = 1;

  HRESULT result = S_OK;
  std::vector<std::wstring> services;
  std::wstring group;
  if (!config || !config->GetServices(services)) {
    if (config) (void)config->GetGroupName(group);
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"Failed to get group services %s",
          group.c_str());
    result = E_FAIL;
  } else if (services.empty()) {
    (void)config->GetGroupName(group);
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"There are no services in the group %s",
          group.c_str());
    result = S_OK;
  } else {
    for (const std::wstring& name : services) {
      if (!IsFixedLastService(name)) result |= StopService(scm, name.c_str());
    }
    result |= StopService(scm, kPlatformService);
    result |= StopService(scm, kKscService);
  }

  if (destroyConfiguration) CQxSvcHostConfig::DestroyInstance();
  return result;
}

HRESULT StopService(LPCWSTR serviceName) {
  return StopService(SystemServiceControlApi(), serviceName);
}

HRESULT StopService(IQxServiceControlApi& scm, LPCWSTR serviceName) {
  static constexpr const wchar_t kFunction[] = L"StopService";
  ScopedServiceHandle manager(scm, scm.OpenManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager.get()) {
    const DWORD e = GetLastError();
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"Open SCManager failed. Error code:%d", e);
    return QxHResultFromWin32(e);
  }

  ScopedServiceHandle service(
      scm, scm.OpenServiceHandle(manager.get(), serviceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service.get()) {
    const DWORD e = GetLastError();
    if (e == ERROR_SERVICE_DOES_NOT_EXIST) return S_OK;
    QXLOG(ETWLogging::kLogInformation, kLogFile, kFunction,
          L"Failed to open service:%s, error code %d", serviceName, e);
    return QxHResultFromWin32(e);
  }

  // A refused stop is read from the service's state: a stop already under way (another caller's)
  // is waited for as this call's own; a start is waited for, within as many polls, and the
  // service is then asked again.
  SERVICE_STATUS status = {};
  DWORD refusal = 0;  // why the last stop was refused; 0: a stop is to be sent
  bool pausedSinceRefusal = false;
  DWORD startPolls = 0;
  for (;;) {
    if (refusal == 0) {
      if (scm.Control(service.get(), SERVICE_CONTROL_STOP, &status)) break;
      refusal = GetLastError();
      pausedSinceRefusal = false;
      if (refusal == ERROR_SERVICE_NOT_ACTIVE) return S_OK;
      if (!RefusedForItsState(refusal)) return StopRefused(serviceName, refusal);
    }
    if (!scm.QueryStatus(service.get(), &status)) return QueryFailed(serviceName);
    const DWORD state = status.dwCurrentState;
    if (state == SERVICE_STOPPED) return S_OK;
    if (state == SERVICE_STOP_PENDING) break;
    if (state != SERVICE_START_PENDING) {
      if (pausedSinceRefusal) {
        refusal = 0;  // the start has ended
        continue;
      }
      // Not starting: the service takes no stop now.
      if (refusal == ERROR_INVALID_SERVICE_CONTROL) return StopRefused(serviceName, refusal);
      // 1061 while it shows another state: its state has just changed, or (Wine) a control is
      // still being handed to it; asked again after a poll.
    }
    if (startPolls == kMaxStopPolls) return NotStoppedInTime(serviceName);
    scm.Pause(kStopPollMilliseconds);
    ++startPolls;
    pausedSinceRefusal = true;
  }

  for (DWORD poll = 0; poll < kMaxStopPolls; ++poll) {
    if (status.dwCurrentState == SERVICE_STOPPED) return S_OK;
    scm.Pause(kStopPollMilliseconds);
    if (!scm.QueryStatus(service.get(), &status)) return QueryFailed(serviceName);
  }
  if (status.dwCurrentState == SERVICE_STOPPED) return S_OK;
  return NotStoppedInTime(serviceName);
}
