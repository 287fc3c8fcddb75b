#include "CQxSvcHostProxy.h"

#include <objbase.h>

#include <new>
#include <string>
#include <vector>

#include "basalt/Registry/CRegKey.h"
#include "etwlogging/Logging.h"
#include "src/qxsvchost/CComInitGuard.h"
#include "src/qxsvchost/CQxStopwatch.h"
#include "src/qxsvchost/CQxSvcHostConfig.h"
#include "src/qxsvchost/CQxSvcHostWorkingSetHandler.h"
#include "src/qxsvchost/IQxOobeConfig.h"
#include "src/qxsvchost/QxAccessViolationGuard.h"
#include "src/qxsvchost/QxSvcSubsystemControlManager.h"
#include "trust/SecureCom.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr const wchar_t kLogFile[] = L"QxSvcHostProxy";
constexpr const wchar_t kOobeService[] = L"QxOobeSv2";
constexpr DWORD kLoadLockSpinCount = 4000;
constexpr DWORD kUnloadPauseMilliseconds = 100;
constexpr DWORD kSubsystemFailed = ERROR_FUNCTION_FAILED;             // 1627
constexpr DWORD kSubsystemAccessViolation = ERROR_INVALID_OPERATION;  // 4317
constexpr REGSAM kInprocServerAccess = KEY_READ | KEY_WRITE;          // 0x2001F
// How long the end of a start that the control manager shows START_PENDING waits for a new start
// to come in. The control manager hands a start it has taken to the process's dispatcher at once,
// which starts the service main on a new thread; past the wait the end takes the state for its
// own start's.
constexpr DWORD kNewStartWaitMs = 2000;
// How long a new start waits at entry for the end of the last start of its service; far below
// the time the control manager and the callers that start services give a start.
constexpr DWORD kLastEndWaitMs = 10000;

ProxyProcessState* g_pProxyState = nullptr;

using DllGetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

void WINAPI IgnoreControl(DWORD) {}

// The Win32 code that a failed HRESULT carries, or 1627 for one of another facility.
DWORD Win32CodeOf(HRESULT hr) {
  if (HRESULT_FACILITY(hr) == FACILITY_WIN32 && HRESULT_CODE(hr) != 0) {
    return static_cast<DWORD>(HRESULT_CODE(hr));
  }
  return kSubsystemFailed;
}

DWORD NonzeroCode(DWORD error) { return error != ERROR_SUCCESS ? error : kSubsystemFailed; }

IQxServiceControlApi& StatusCallsOf(ProxyProcessState* state) {
  return state && state->scm ? *state->scm : SystemServiceControlApi();
}

// Reports SERVICE_STOPPED (share process, Win32 exit code |exitCode|) on |handle|.
bool ReportStoppedOn(IQxServiceControlApi& scm, SERVICE_STATUS_HANDLE handle, DWORD exitCode) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwWin32ExitCode = exitCode;
  if (!scm.SetStatus(handle, &status)) {
    const DWORD error = GetLastError();
    QXLOG_ERROR(kLogFile, L"CQxSvcHostProxy::SetServiceStoppedStatus",
                L"Failed to set the service status, error %d", error);
    return false;
  }
  return true;
}

bool ReportStopped(IQxServiceControlApi& scm, const wchar_t* name, DWORD exitCode) {
  const SERVICE_STATUS_HANDLE handle = scm.RegisterControlHandler(name, &IgnoreControl);
  if (!handle) {
    QXLOG_ERROR(kLogFile, L"CQxSvcHostProxy::SetServiceStoppedStatus",
                L"RegisterServiceCtrlHandler failed");
    return false;
  }
  return ReportStoppedOn(scm, handle, exitCode);
}

// The host's handler for a service whose subsystem has returned: INTERROGATE is answered with the
// status the control manager holds; STOP and SHUTDOWN are taken, since the STOPPED report is
// on its way (the control manager hands a handler's refusal back to the caller, and a stop
// refused there counts as a service that would not stop); every other control is refused.
DWORD WINAPI EndedServiceControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// What the service control manager shows of a service when one of its starts ends.
enum class Shown {
  // STOPPED, or run by another process: the end is already told.
  kEnded,
  // START_PENDING here: this start's own, or a new start that the control manager has taken but
  // whose service main has not come in yet.
  kStartPending,
  // Any other state here: this start's own unless a newer start has come in, since the control
  // manager takes no new start before STOPPED and a new start reports nothing before it has
  // come in. Also a state that cannot be read: a service left RUNNING can neither be stopped
  // nor started again.
  kOwn,
};

Shown ReadShown(IQxServiceControlApi& scm, const wchar_t* name, const wchar_t* function) {
  bool read = false;
  SERVICE_STATUS_PROCESS status = {};
  DWORD error = ERROR_SUCCESS;
  const SC_HANDLE manager = scm.OpenManager(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    error = GetLastError();
  } else {
    const SC_HANDLE service = scm.OpenServiceHandle(manager, name, SERVICE_QUERY_STATUS);
    read = service && scm.QueryStatusEx(service, &status);
    if (!read) error = GetLastError();
    if (service) scm.Close(service);
    scm.Close(manager);
  }
  if (!read) {
    QXLOG_ERROR(kLogFile, function, L"Failed to query the status of '%s', error %d", name, error);
    return Shown::kOwn;
  }
  if (status.dwCurrentState == SERVICE_STOPPED || status.dwProcessId != GetCurrentProcessId()) {
    return Shown::kEnded;
  }
  return status.dwCurrentState == SERVICE_START_PENDING ? Shown::kStartPending : Shown::kOwn;
}

// Holds the load lock when the configuration asks for serial loads; leaves it at most once.
class LoadLockHolder {
 public:
  LoadLockHolder(ProxyProcessState* state, bool take) : m_lock(take ? &state->loadLock : nullptr) {
    if (m_lock) EnterCriticalSection(m_lock);
  }
  ~LoadLockHolder() { Leave(); }
  LoadLockHolder(const LoadLockHolder&) = delete;
  LoadLockHolder& operator=(const LoadLockHolder&) = delete;
  void Leave() {
    if (m_lock) LeaveCriticalSection(m_lock);
    m_lock = nullptr;
  }

 private:
  CRITICAL_SECTION* m_lock;
};

// Service mains still running, and the latest start of each service. The dispatcher returns once
// the last service has been reported STOPPED, which a subsystem does before its QxServiceMain (and
// the proxy's work after it) has returned; the host's teardown waits on the count so that no
// service thread still runs in the state, the configuration or the logger it tears down. Every
// start of a service gets a number; a start that is no longer the latest of its service must
// neither report over the newer one nor take its controls. A new start waits at entry while the
// end of an earlier one is still deciding, so that its subsystem can neither register its handler
// nor report before that end has done both or neither.
struct ServiceStarts {
  std::wstring name;
  ULONGLONG latest;
  LONG inside;  // starts of this service still in GenericServiceMain
  LONG ending;  // of those, starts whose subsystem has returned and whose end has not finished
  // The last end reported STOPPED while START_PENDING was shown and no newer start had come in:
  // over a new start, if the control manager had taken one whose service main came in later
  // than that end waited for it.
  bool answeredPending;
};
SRWLOCK g_serviceMainsLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_serviceMainsEnded = CONDITION_VARIABLE_INIT;
// Woken when a start comes in and when an end finishes.
CONDITION_VARIABLE g_startsChanged = CONDITION_VARIABLE_INIT;
LONG g_serviceMains = 0;
ULONGLONG g_lastStart = 0;
// Never freed: a service thread may outlive the host's teardown.
std::vector<ServiceStarts>* g_starts = nullptr;

ServiceStarts* FindStartsLocked(const wchar_t* name) {
  if (!g_starts) return nullptr;
  for (ServiceStarts& s : *g_starts) {
    if (_wcsicmp(s.name.c_str(), name) == 0) return &s;
  }
  return nullptr;
}

// Waits on g_startsChanged, with g_serviceMainsLock held exclusively, until |done| holds or |ms|
// have passed; whether it holds.
template <typename Done>
bool WaitForStartsLocked(DWORD ms, Done done) {
  const ULONGLONG deadline = GetTickCount64() + ms;
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    if (!SleepConditionVariableSRW(&g_startsChanged, &g_serviceMainsLock,
                                   static_cast<DWORD>(deadline - now), 0) &&
        GetLastError() != ERROR_TIMEOUT) {
      return done();
    }
  }
  return true;
}

}  // namespace

// One run of GenericServiceMain: counted while it runs, and numbered among the starts of its
// service.
class CQxSvcHostProxy::ServiceMainRun {
 public:
  explicit ServiceMainRun(const wchar_t* name) {
    AcquireSRWLockExclusive(&g_serviceMainsLock);
    ++g_serviceMains;
    if (name) {
      try {
        if (!g_starts) g_starts = new std::vector<ServiceStarts>();
        ServiceStarts* starts = FindStartsLocked(name);
        if (!starts) {
          g_starts->push_back({name, 0, 0, 0, false});
          starts = &g_starts->back();
        }
        m_name = starts->name;
        m_number = starts->latest = ++g_lastStart;
        ++starts->inside;
      } catch (const std::bad_alloc&) {
        m_number = 0;
      }
    }
    ReleaseSRWLockExclusive(&g_serviceMainsLock);
    // An end waiting to learn whether the control manager took a new start learns it now.
    if (m_number != 0) WakeAllConditionVariable(&g_startsChanged);
  }
  ~ServiceMainRun() {
    AcquireSRWLockExclusive(&g_serviceMainsLock);
    if (ServiceStarts* s = m_number != 0 ? FindStartsLocked(m_name.c_str()) : nullptr) {
      --s->inside;
      if (m_ending) --s->ending;
    }
    if (--g_serviceMains == 0) WakeAllConditionVariable(&g_serviceMainsEnded);
    ReleaseSRWLockExclusive(&g_serviceMainsLock);
    if (m_ending) WakeAllConditionVariable(&g_startsChanged);
  }
  ServiceMainRun(const ServiceMainRun&) = delete;
  ServiceMainRun& operator=(const ServiceMainRun&) = delete;

  // Whether a start of the same service came in after this one.
  bool NewerStart() const {
    AcquireSRWLockShared(&g_serviceMainsLock);
    const bool newer = NewerLocked();
    ReleaseSRWLockShared(&g_serviceMainsLock);
    return newer;
  }
  // Whether the end of an earlier start of the service is still deciding.
  bool EarlierEndRunning() const {
    AcquireSRWLockShared(&g_serviceMainsLock);
    const bool ending = EarlierEndLocked();
    ReleaseSRWLockShared(&g_serviceMainsLock);
    return ending;
  }
  // Waits up to |ms| until no earlier start of the service is ending; false when one still is.
  bool WaitForEarlierEnds(DWORD ms) const {
    AcquireSRWLockExclusive(&g_serviceMainsLock);
    const bool ended = WaitForStartsLocked(ms, [this] { return !EarlierEndLocked(); });
    ReleaseSRWLockExclusive(&g_serviceMainsLock);
    return ended;
  }
  // Whether the last end of the service reported STOPPED over START_PENDING (asked once).
  bool TakeAnsweredPending() const {
    AcquireSRWLockExclusive(&g_serviceMainsLock);
    ServiceStarts* s = m_number != 0 ? FindStartsLocked(m_name.c_str()) : nullptr;
    const bool answered = s && s->answeredPending;
    if (s) s->answeredPending = false;
    ReleaseSRWLockExclusive(&g_serviceMainsLock);
    return answered;
  }

  // The subsystem has returned: a new start of the service waits for this end from now on.
  void BeginEnd() {
    AcquireSRWLockExclusive(&g_serviceMainsLock);
    if (ServiceStarts* s = m_number != 0 ? FindStartsLocked(m_name.c_str()) : nullptr) {
      ++s->ending;
      m_ending = true;
    }
    ReleaseSRWLockExclusive(&g_serviceMainsLock);
  }
  // Waits up to |ms| for a newer start of the service to come in; whether one did.
  bool WaitForNewerStart(DWORD ms) const {
    AcquireSRWLockExclusive(&g_serviceMainsLock);
    const bool newer = WaitForStartsLocked(ms, [this] { return NewerLocked(); });
    ReleaseSRWLockExclusive(&g_serviceMainsLock);
    return newer;
  }
  // This end reports STOPPED over START_PENDING.
  void AnsweredPending() {
    AcquireSRWLockExclusive(&g_serviceMainsLock);
    if (ServiceStarts* s = m_number != 0 ? FindStartsLocked(m_name.c_str()) : nullptr) {
      s->answeredPending = true;
    }
    ReleaseSRWLockExclusive(&g_serviceMainsLock);
  }

 private:
  bool NewerLocked() const {
    const ServiceStarts* s = m_number != 0 ? FindStartsLocked(m_name.c_str()) : nullptr;
    return s && s->latest != m_number;
  }
  bool EarlierEndLocked() const {
    const ServiceStarts* s = m_number != 0 ? FindStartsLocked(m_name.c_str()) : nullptr;
    return s && s->ending > (m_ending ? 1 : 0);
  }

  std::wstring m_name;
  ULONGLONG m_number = 0;  // 0: not known (no name, or no memory to record it)
  bool m_ending = false;
};

CQxSvcHostProxy::CQxSvcHostProxy(IQxServiceControlApi& scm, DWORD newStartWaitMs,
                                 DWORD lastEndWaitMs) {
  if (g_pProxyState) return;
  ProxyProcessState* state = new (std::nothrow) ProxyProcessState();
  if (!state) return;
  InitializeCriticalSectionAndSpinCount(&state->loadLock, kLoadLockSpinCount);
  state->scm = &scm;
  state->newStartWaitMs = newStartWaitMs ? newStartWaitMs : kNewStartWaitMs;
  state->lastEndWaitMs = lastEndWaitMs ? lastEndWaitMs : kLastEndWaitMs;
  g_pProxyState = state;
}

CQxSvcHostProxy::~CQxSvcHostProxy() {
  if (!g_pProxyState) return;
  DeleteCriticalSection(&g_pProxyState->loadLock);
  delete g_pProxyState;
  g_pProxyState = nullptr;
}

bool CQxSvcHostProxy::HasState() { return g_pProxyState != nullptr; }

void WINAPI CQxSvcHostProxy::GenericServiceMain(DWORD argc, LPWSTR* argv) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostProxy::GenericServiceMain";
  ProxyProcessState* state = g_pProxyState;
  ServiceMainRun run(argc != 0 && argv ? argv[0] : nullptr);
  if (argc == 0) {
    QXLOG_ERROR(kLogFile, kFunction, L"Insufficient arguments to ServiceMain");
    return;
  }
  if (!argv) {
    QXLOG_ERROR(kLogFile, kFunction, L"NULL passed as argv ");
    return;
  }
  if (run.EarlierEndRunning()) {
    const DWORD waitMs = state ? state->lastEndWaitMs : kLastEndWaitMs;
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction,
          L"A new start of '%s' waits for the end of its last start", argv[0]);
    if (!run.WaitForEarlierEnds(waitMs)) {
      // That end reads the start records again before it registers or reports anything.
      QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction,
            L"The end of the last start of '%s' has not finished after %u ms; the new start goes "
            L"on",
            argv[0], waitMs);
    }
  }
  if (run.TakeAnsweredPending() &&
      ReadShown(StatusCallsOf(state), argv[0], kFunction) == Shown::kEnded) {
    // Taken by the control manager, then answered STOPPED by the last start's end, which had
    // waited for it in vain: run now, it would run while the control manager shows it STOPPED.
    QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction,
          L"The start of '%s' came in after the end of its last start had reported it stopped; "
          L"it does not run",
          argv[0]);
    return;
  }
  if (g_bShutdown) {
    QXLOG_ERROR(kLogFile, kFunction, L"GenericServiceMain is called when shutdown, argv[0] = %s",
                argv[0]);
    // Left unreported, the service would stay START_PENDING and keep the process alive until the
    // service control manager gives up on it.
    (void)SetServiceStoppedStatus(state, argv[0]);
    return;
  }
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
  if (!state) {
    QXLOG_ERROR(kLogFile, kFunction, L"No instance for CQxSvcHostProxy");
    (void)SetServiceStoppedStatus(state, argv[0], kSubsystemFailed);
    return;
  }
  ProxyServiceMain(state, argc, argv, run);
}

void CQxSvcHostProxy::ProxyServiceMain(ProxyProcessState* state, DWORD argc, LPWSTR* argv,
                                       ServiceMainRun& run) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostProxy::ProxyServiceMain";
  const wchar_t* name = argv[0];
  // Taken now: once the last service has stopped, the host may delete the state.
  IQxServiceControlApi& scm = StatusCallsOf(state);
  const DWORD newStartWaitMs = state->newStartWaitMs;
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Entering ServiceMain for '%s'", name);

  const CQxStopwatch sinceStart;
  CComInitGuard com;
  com.Initialize(COINIT_MULTITHREADED);
  if (FAILED(com.hr())) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to initialize COM (0x%08X)", com.hr());
    (void)ReportStopped(scm, name, Win32CodeOf(com.hr()));
    return;
  }
  const double t1 = sinceStart.Seconds();
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"ServiceMain for '%s' starting (%0.04fs)",
        name, t1);

  if (!shouldExecuteService(state, name)) {
    QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction,
          L"The service should not be executed, stopping service");
    // A decision, not a failure: exit code 0.
    (void)ReportStopped(scm, name, ERROR_SUCCESS);
    return;
  }

  CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
  LoadLockHolder loadLock(state, config && config->GetForceSerialLoads());
  SubsystemInstance instance;
  DWORD failure = kSubsystemFailed;
  if (!GetSubsystem(state, name, instance, &failure) || !instance.subsystem) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to get the subsystem interface for '%s'", name);
    // Left before the report: once the last service has stopped the host may delete the lock.
    loadLock.Leave();
    instance.subsystem.Reset();
    instance.module = nullptr;
    (void)ReportStopped(scm, name, NonzeroCode(failure));
    return;
  }
  const double t2 = sinceStart.Seconds();
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction,
        L"Loading of %s subsystem took %0.04fs (%0.04fs from start)", name, t2 - t1, t2);
  // Only the loads are serialised; the services themselves run side by side.
  loadLock.Leave();

  DWORD stoppedExitCode = ERROR_SUCCESS;
  const DWORD exitCode = SafeExecuteServiceMain(state, instance, argc, argv, &stoppedExitCode);
  run.BeginEnd();
  // The subsystem's control handler stays the one that the service's controls reach until
  // another is registered: the host's own takes its place before the object is released or its
  // library freed. Whether the end is still to be told is read at once and first: a subsystem
  // that reported STOPPED has let the service start again, a later reading could be of the newer
  // start, and the control manager sends a STOPPED service no controls. A registration after
  // that report could also meet the dispatcher returning for its last service. The state is read
  // before the start records, so that any state a newer start has reported is seen as its.
  const Shown shown = ReadShown(scm, name, kFunction);
  bool tellEnd = shown != Shown::kEnded && !run.NewerStart();
  if (tellEnd && shown == Shown::kStartPending) {
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction,
          L"'%s' shows START_PENDING after its subsystem returned; waiting up to %u ms for a new "
          L"start",
          name, newStartWaitMs);
    tellEnd = !run.WaitForNewerStart(newStartWaitMs);
  }
  SERVICE_STATUS_HANDLE ownHandle = nullptr;
  if (tellEnd) {
    ownHandle = scm.RegisterControlHandlerEx(name, &EndedServiceControl, nullptr);
    if (!ownHandle) {
      QXLOG_ERROR(kLogFile, kFunction, L"RegisterServiceCtrlHandler failed for '%s', error %d",
                  name, GetLastError());
    }
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction,
        L"The IQxSvcSubsystem(%s)->QxServiceMain returned 0x%08X", name, exitCode);

  if (stoppedExitCode == kSubsystemAccessViolation) {
    // After a fault the object is in no known state: its Release may fault again or wait for
    // ever on a lock that the skipped unwinding left held, and either would take the sibling
    // services down with it. It is left alive; its library stays loaded on this road anyway.
    (void)instance.subsystem.Detach();
  } else {
    instance.subsystem.Reset();
  }
  if (exitCode == QX_SUBSYSTEM_EXIT_UNLOAD) {
    // Gives the subsystem's own threads time to leave its code.
    Sleep(kUnloadPauseMilliseconds);
    if (instance.module) FreeLibrary(instance.module);
  }
  instance.module = nullptr;

  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"ServiceMain for %s completed after %0.02fs",
        name, sinceStart.Seconds());
  if (exitCode == QX_SUBSYSTEM_EXIT_UNLOAD) (void)SignalWorkingSetEvent();
  com.Uninitialize();
  // Read again: a thread the subsystem left behind may have reported STOPPED meanwhile, and a
  // second STOPPED on a closed status handle can take the whole process down. Back at
  // START_PENDING after another state, the service shows a new start.
  if (ownHandle) {
    const Shown now = ReadShown(scm, name, kFunction);
    const bool newStart = now == Shown::kStartPending && shown != Shown::kStartPending;
    if (now != Shown::kEnded && !newStart && !run.NewerStart()) {
      if (now == Shown::kStartPending) run.AnsweredPending();
      (void)ReportStoppedOn(scm, ownHandle, stoppedExitCode);
    }
  }
}

bool CQxSvcHostProxy::WaitForServiceMains(DWORD milliseconds, std::wstring* stillRunning) {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  AcquireSRWLockExclusive(&g_serviceMainsLock);
  while (g_serviceMains != 0) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline || (!SleepConditionVariableSRW(&g_serviceMainsEnded, &g_serviceMainsLock,
                                                       static_cast<DWORD>(deadline - now), 0) &&
                            GetLastError() != ERROR_TIMEOUT)) {
      break;
    }
  }
  const bool ended = g_serviceMains == 0;
  if (!ended && stillRunning && g_starts) {
    try {
      for (const ServiceStarts& s : *g_starts) {
        if (s.inside == 0) continue;
        if (!stillRunning->empty()) stillRunning->append(L", ");
        stillRunning->append(s.name);
      }
    } catch (const std::bad_alloc&) {
    }
  }
  ReleaseSRWLockExclusive(&g_serviceMainsLock);
  return ended;
}

bool CQxSvcHostProxy::shouldExecuteService(ProxyProcessState* state, const wchar_t* name) {
  if (_wcsicmp(name, kOobeService) == 0) return true;
  if (areServicesEnabledByOobe(state)) return true;
  CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
  if (!config || !config->IsInOobeExclusionList(name)) return false;
  QXLOG(ETWLogging::kLogWarning, kLogFile, L"CQxSvcHostProxy::shouldExecuteService",
        L"The service is in OOBE exclusion list '%s'", name);
  return true;
}

bool CQxSvcHostProxy::areServicesEnabledByOobe(ProxyProcessState* state) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostProxy::areServicesEnabledByOobe";
  if (!state->bOobeCheckPending) return true;

  CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
  DWORD required = 1;
  if (config) (void)config->GetIsOobeCheckRequired(required);
  if (required == 0) {
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Oobe completed, disabling OOBE check");
    state->bOobeCheckPending = false;
    return true;
  }

  ComPtr<IQxOobeConfig> oobe;
  const HRESULT created =
      CreateViaClassFactory(CLSID_QxOobeConfig, nullptr, CLSCTX_INPROC_SERVER, IID_IQxOobeConfig,
                            reinterpret_cast<void**>(oobe.GetAddressOf()));
  if (FAILED(created)) {
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Failed to get OOBE config object (0x%08X)",
          created);
    return true;
  }

  SHORT enabledState = -1;
  DWORD error = 0;
  const HRESULT hr = oobe->GetServiceEnabledState(&enabledState, &error);
  if (error != 0) {
    QXLOG_ERROR(kLogFile, kFunction, L"GetServiceEnabledState failed (0x%08X)", hr);
    return true;
  }
  if (enabledState == -1) {
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction,
          L"OOBE service has enabled all services, disabling OOBE check");
    const DWORD notRequired = 0;
    if (config) (void)config->SetIsOobeCheckRequired(notRequired);
    state->bOobeCheckPending = false;
    return true;
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Services are disabled due to OOBE state");
  return false;
}

bool CQxSvcHostProxy::SetServiceStoppedStatus(ProxyProcessState* state, const wchar_t* name,
                                              DWORD exitCode) {
  return ReportStopped(StatusCallsOf(state), name, exitCode);
}

bool CQxSvcHostProxy::GetSubsystem(ProxyProcessState* state, const wchar_t* name,
                                   SubsystemInstance& instance, DWORD* failure) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostProxy::GetSubsystem";
  DWORD ignored = 0;
  DWORD& code = failure ? *failure : ignored;
  code = kSubsystemFailed;
  std::wstring clsidText;
  if (!GetSvcCLSID(state, name, clsidText)) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to get the subsystem clsid");
    return false;
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Subsystem ClsID = '%s'", clsidText.c_str());
  CLSID clsid = {};
  if (!ConvertStringToCLSID(state, clsidText, clsid)) return false;
  std::wstring path;
  if (!LookupPathnameFromCLSID(state, clsidText, path, &code)) return false;
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Subsystem DLL path: '%s'", path.c_str());

  instance.subsystem.Reset();
  CQxStopwatch load;
  // The registered path is loaded as it stands.
  const HMODULE module = LoadLibraryW(path.c_str());
  if (!module) code = NonzeroCode(GetLastError());
  if (module != instance.module) {
    if (instance.module) FreeLibrary(instance.module);
    instance.module = module;
  }
  if (!instance.module) {
    QXLOG_ERROR(kLogFile, kFunction, L"Unable to load module '%s'", clsidText.c_str());
    return false;
  }
  const auto getClassObject = reinterpret_cast<DllGetClassObjectFunction>(
      reinterpret_cast<void*>(GetProcAddress(instance.module, "DllGetClassObject")));
  if (!getClassObject) {
    code = NonzeroCode(GetLastError());
    QXLOG_ERROR(kLogFile, kFunction, L"Module '%s' does not contain correct entry point",
                clsidText.c_str());
    FreeLibrary(instance.module);
    instance.module = nullptr;
    return false;
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Module '%s' loaded in %0.04fs", name,
        load.Seconds());

  load.Restart();
  ComPtr<IQxClassFactory> factory;
  HRESULT hr =
      getClassObject(clsid, IID_IQxClassFactory, reinterpret_cast<void**>(factory.GetAddressOf()));
  // A foreign library may answer success and hand out nothing; that is no factory to call.
  if (SUCCEEDED(hr) && !factory) hr = E_POINTER;
  if (FAILED(hr)) {
    QXLOG_ERROR(kLogFile, kFunction, L"DllGetClassObject failed (0x%08X)", hr);
    code = Win32CodeOf(hr);
    return false;
  }
  hr = factory->CreateObject(IID_IQxSvcSubsystem,
                             reinterpret_cast<void**>(instance.subsystem.ReleaseAndGetAddressOf()));
  if (SUCCEEDED(hr) && !instance.subsystem) hr = E_POINTER;
  if (FAILED(hr)) {
    QXLOG_ERROR(kLogFile, kFunction, L"CreateObject failed (0x%08X)", hr);
    code = Win32CodeOf(hr);
    return false;
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Object '%s' created in %0.04fs", name,
        load.Seconds());
  return true;
}

bool CQxSvcHostProxy::GetSvcCLSID(ProxyProcessState*, const wchar_t* name, std::wstring& clsid) {
  CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
  return config && config->GetSvcCLSID(name, clsid);
}

bool CQxSvcHostProxy::ConvertStringToCLSID(ProxyProcessState*, const std::wstring& text,
                                           CLSID& clsid) {
  if (text.empty() || text == L"{}") return false;
  std::wstring copy = text;
  const HRESULT hr = CLSIDFromString(&copy[0], &clsid);
  if (FAILED(hr)) {
    QXLOG_ERROR(kLogFile, L"CQxSvcHostProxy::ConvertStringToCLSID",
                L"Failed to convert the string clsid to clsid '%s' (0x%08X)", text.c_str(), hr);
    return false;
  }
  return true;
}

bool CQxSvcHostProxy::LookupPathnameFromCLSID(ProxyProcessState*, const std::wstring& text,
                                              std::wstring& path, DWORD* failure) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostProxy::LookupPathnameFromCLSID";
  const std::wstring relative = L"CLSID\\" + text + L"\\InprocServer32";
  Basalt::CRegKey key;
  const LONG opened = key.Open(HKEY_CLASSES_ROOT, relative.c_str(), kInprocServerAccess);
  if (opened != ERROR_SUCCESS) {
    QXLOG_ERROR(kLogFile, kFunction, L"Unable to open registry path HKEY_CLASSES_ROOT\\%s (0x%08X)",
                relative.c_str(), opened);
    if (failure) *failure = NonzeroCode(static_cast<DWORD>(opened));
    return false;
  }
  std::wstring value;
  const LONG read = key.GetStringValue(L"", value);
  if (read != ERROR_SUCCESS) {
    QXLOG_ERROR(kLogFile, kFunction, L"Unable to load pathname, no default key");
    if (failure) *failure = NonzeroCode(static_cast<DWORD>(read));
    return false;
  }
  if (value.empty()) {
    if (failure) *failure = kSubsystemFailed;
    return false;
  }
  path = value;
  return true;
}

DWORD CQxSvcHostProxy::SafeExecuteServiceMain(ProxyProcessState*, SubsystemInstance& instance,
                                              DWORD argc, LPWSTR* argv, DWORD* stoppedExitCode) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostProxy::SafeExecuteServiceMain";
  IQxSvcSubsystem* subsystem = instance.subsystem.Get();
  DWORD exitCode = 0;
  HRESULT hr = S_OK;
  DWORD ignored = 0;
  DWORD& stopped = stoppedExitCode ? *stoppedExitCode : ignored;
  if (!RunWithAccessViolationGuard([&] { hr = subsystem->QxServiceMain(argc, argv, &exitCode); })) {
    QXLOG_ERROR(kLogFile, kFunction, L"Exception found & suppressed in service, returning 0x%08X",
                kSubsystemAccessViolation);
    stopped = kSubsystemAccessViolation;
    return kSubsystemAccessViolation;
  }
  if (FAILED(hr)) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to start sub-service (hr=0x%08X)", hr);
    stopped = kSubsystemFailed;
    return kSubsystemFailed;
  }
  stopped = ERROR_SUCCESS;
  return exitCode;
}
