// The service-main function that every service of the group shares: it decides whether the
// service may run, loads the service's hosted subsystem from its COM registration and runs it.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <string>

#include "contracts/IQxSvcSubsystem.h"
#include "src/qxsvchost/IQxServiceControlApi.h"

// Process-wide state of the proxy, created by the first CQxSvcHostProxy and deleted with it.
struct ProxyProcessState {
  // Serialises the loads of the service threads when the configuration asks for serial loads.
  CRITICAL_SECTION loadLock;
  // True until the OOBE check has been found unnecessary; never set again afterwards.
  std::atomic<bool> bOobeCheckPending{true};
  // Takes the status report of every service that the proxy refuses or fails to load.
  IQxServiceControlApi* scm = nullptr;
  // How long the end of a start that the service control manager shows START_PENDING waits for
  // a new start of the service to come in before it takes that state for its own.
  DWORD newStartWaitMs = 0;
  // How long a new start waits at entry for the end of the last start of its service.
  DWORD lastEndWaitMs = 0;
};

// What one service thread holds of its hosted subsystem.
struct SubsystemInstance {
  SubsystemInstance() = default;
  SubsystemInstance(const SubsystemInstance&) = delete;
  SubsystemInstance& operator=(const SubsystemInstance&) = delete;
  // Releases the subsystem; the library is forgotten, not unloaded.
  ~SubsystemInstance() = default;

  Microsoft::WRL::ComPtr<IQxSvcSubsystem> subsystem;
  HMODULE module = nullptr;
};

// Owner of the process-wide state; the operations are reached through the state they take.
class CQxSvcHostProxy {
 public:
  // Creates the process-wide state when none exists. Refused services are reported through
  // |scm|, which must outlive this object. |newStartWaitMs| (0: 2 s) bounds the wait of an end
  // for a new start that the service control manager may have taken (see ProxyServiceMain),
  // |lastEndWaitMs| (0: 10 s) the wait of a new start for that end (see GenericServiceMain).
  explicit CQxSvcHostProxy(IQxServiceControlApi& scm = SystemServiceControlApi(),
                           DWORD newStartWaitMs = 0, DWORD lastEndWaitMs = 0);
  // Deletes the process-wide state. Only after the dispatcher has returned.
  ~CQxSvcHostProxy();
  CQxSvcHostProxy(const CQxSvcHostProxy&) = delete;
  CQxSvcHostProxy& operator=(const CQxSvcHostProxy&) = delete;

  // Whether the process-wide state exists (its allocation may have failed).
  static bool HasState();

  // SERVICE_MAIN_FUNCTIONW of every service of the group; argv[0] is the service name. A start
  // that comes in while the end of the last start of its service is still deciding waits for it
  // (up to the state's lastEndWaitMs, then goes on); one that the last end has already reported
  // STOPPED, because it came in later than that end waited for it, returns without running.
  static void WINAPI GenericServiceMain(DWORD argc, LPWSTR* argv);
  // What GenericServiceMain knows of its run: the start's place among the service's starts.
  class ServiceMainRun;
  // The life of one service on its own thread: gate, load, run, release. Every road ends with
  // the service STOPPED: reported here unless the subsystem reported it itself or the service
  // control manager has taken a newer start since. A newer start is told by |run| once it has
  // come in; START_PENDING shown for a start that has not come in yet looks like this start's
  // own, so the end waits up to the state's newStartWaitMs for it before it takes the state for
  // its own. No control reaches the subsystem once its object is released.
  static void ProxyServiceMain(ProxyProcessState* state, DWORD argc, LPWSTR* argv,
                               ServiceMainRun& run);
  // Waits up to |milliseconds| until no thread is inside GenericServiceMain; true when none is.
  // Otherwise |stillRunning| (when given) receives the names of the services whose threads are,
  // separated by ", ".
  [[nodiscard]] static bool WaitForServiceMains(DWORD milliseconds,
                                                std::wstring* stillRunning = nullptr);
  // "QxOobeSv2" always runs; others when the OOBE state allows them or they are excluded.
  static bool shouldExecuteService(ProxyProcessState* state, const wchar_t* name);
  // False only when the OOBE object answers that the services are disabled.
  static bool areServicesEnabledByOobe(ProxyProcessState* state);
  // Reports |name| SERVICE_STOPPED (share process, Win32 exit code |exitCode|) through the
  // state's status calls (the service control manager's without a state); false when it cannot.
  static bool SetServiceStoppedStatus(ProxyProcessState* state, const wchar_t* name,
                                      DWORD exitCode = ERROR_SUCCESS);
  // Loads the subsystem of |name| into |instance|; false on any failure (logged), and then
  // |failure| (when given) receives a nonzero Win32 code: the failing call's own, else 1627. A
  // factory or object handed out as null with success counts as refused.
  static bool GetSubsystem(ProxyProcessState* state, const wchar_t* name,
                           SubsystemInstance& instance, DWORD* failure = nullptr);
  // The CLSID text configured for |name|.
  static bool GetSvcCLSID(ProxyProcessState* state, const wchar_t* name, std::wstring& clsid);
  // False for an empty text or "{}" (silently) and for text that is no CLSID (logged).
  static bool ConvertStringToCLSID(ProxyProcessState* state, const std::wstring& text,
                                   CLSID& clsid);
  // Default value of HKEY_CLASSES_ROOT\CLSID\<text>\InprocServer32; false when missing or empty,
  // and then |failure| (when given) receives the registry's error, or 1627 for an empty value.
  static bool LookupPathnameFromCLSID(ProxyProcessState* state, const std::wstring& text,
                                      std::wstring& path, DWORD* failure = nullptr);
  // QxServiceMain under an access-violation guard: the exit code it set, 1627 for a negative
  // HRESULT, 4317 after a caught access violation. |stoppedExitCode| (when given) receives the
  // Win32 exit code that the service's end reports: 0 after a clean return, else 1627 or 4317.
  static DWORD SafeExecuteServiceMain(ProxyProcessState* state, SubsystemInstance& instance,
                                      DWORD argc, LPWSTR* argv, DWORD* stoppedExitCode = nullptr);
};
