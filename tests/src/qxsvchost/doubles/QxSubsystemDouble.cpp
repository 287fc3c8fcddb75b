// Hosted-subsystem double: an in-process COM server whose behaviour each registration chooses
// (see QxDoubleRecords.h) and which records what the host gave it.
#include <objbase.h>
#include <windows.h>

#include <algorithm>
#include <new>
#include <string>

#include "QxDoubleObject.h"
#include "QxDoubleRecords.h"
#include "contracts/IQxSvcSubsystem.h"
#include "trust/SecureCom.h"

namespace {

LONG g_locks = 0;
// Where the status calls go: the service control manager unless a test routes them elsewhere.
qxdouble::StatusRegisterFunction g_registerHandler = &RegisterServiceCtrlHandlerExW;
qxdouble::StatusSetFunction g_setStatus = &SetServiceStatus;
LONG g_inCreate = 0;
LONG g_maxInCreate = 0;
LONG g_inMain = 0;
LONG g_maxInMain = 0;

void Enter(LONG& inside, LONG& most) {
  const LONG now = InterlockedIncrement(&inside);
  LONG seen = most;
  while (now > seen && InterlockedCompareExchange(&most, now, seen) != seen) seen = most;
}

struct Behaviour {
  std::wstring mode = L"return";
  HRESULT hr = S_OK;
  DWORD exitCode = 0;
  bool hasFactoryHr = false;
  HRESULT factoryHr = S_OK;
  bool hasObjectHr = false;
  HRESULT objectHr = S_OK;
  DWORD loadDelayMs = 0;
  DWORD delayMs = 200;
  DWORD lingerMs = 0;  // "service", "stopped-return": the pause between STOPPED and the return
  DWORD stopMs = 0;    // "service": the pause between STOP_PENDING and STOPPED
};

bool ReadDword(HKEY key, const wchar_t* name, DWORD& value) {
  DWORD bytes = sizeof(value);
  return RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) ==
         ERROR_SUCCESS;
}

Behaviour ReadBehaviour(REFCLSID clsid) {
  Behaviour b;
  wchar_t text[64] = {};
  StringFromGUID2(clsid, text, 64);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + text).c_str(), 0, KEY_READ,
                    &key) != ERROR_SUCCESS) {
    return b;
  }
  wchar_t mode[32] = {};
  DWORD bytes = sizeof(mode);
  if (RegGetValueW(key, nullptr, L"Mode", RRF_RT_REG_SZ, nullptr, mode, &bytes) == ERROR_SUCCESS) {
    b.mode = mode;
  }
  DWORD value = 0;
  if (ReadDword(key, L"Hr", value)) b.hr = static_cast<HRESULT>(value);
  if (ReadDword(key, L"ExitCode", value)) b.exitCode = value;
  if (ReadDword(key, L"FactoryHr", value)) {
    b.hasFactoryHr = true;
    b.factoryHr = static_cast<HRESULT>(value);
  }
  if (ReadDword(key, L"ObjectHr", value)) {
    b.hasObjectHr = true;
    b.objectHr = static_cast<HRESULT>(value);
  }
  if (ReadDword(key, L"LoadDelayMs", value)) b.loadDelayMs = value;
  if (ReadDword(key, L"LingerMs", value)) b.lingerMs = value;
  if (ReadDword(key, L"StopMs", value)) b.stopMs = value;
  if (ReadDword(key, L"DelayMs", value)) b.delayMs = value;
  RegCloseKey(key);
  return b;
}

// Bit i set when privilege i of qxdouble::kRecordedPrivileges is enabled in the process token.
DWORD EnabledPrivileges() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 0;
  DWORD bytes = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &bytes);
  std::string buffer(bytes, '\0');
  DWORD mask = 0;
  if (bytes && GetTokenInformation(token, TokenPrivileges, &buffer[0], bytes, &bytes)) {
    const auto* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < qxdouble::kRecordedPrivilegeCount; ++i) {
      LUID luid = {};
      if (!LookupPrivilegeValueW(nullptr, qxdouble::kRecordedPrivileges[i], &luid)) continue;
      for (DWORD j = 0; j < list->PrivilegeCount; ++j) {
        const LUID_AND_ATTRIBUTES& p = list->Privileges[j];
        if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart &&
            (p.Attributes & SE_PRIVILEGE_ENABLED)) {
          mask |= 1u << i;
        }
      }
    }
  }
  CloseHandle(token);
  return mask;
}

// What QxServiceMain was given, under the service's own record key.
void Record(DWORD argc, LPWSTR* argv) {
  HKEY key = nullptr;
  const std::wstring path = std::wstring(qxdouble::kSubsystemRecordsKey) + L"\\" + argv[0];
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  std::wstring multi;
  for (DWORD i = 0; i < argc; ++i) multi.append(argv[i]).push_back(L'\0');
  multi.push_back(L'\0');
  RegSetValueExW(key, L"Argv", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi.data()),
                 static_cast<DWORD>(multi.size() * sizeof(wchar_t)));
  const DWORD priority = static_cast<DWORD>(GetThreadPriority(GetCurrentThread()));
  RegSetValueExW(key, L"Priority", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&priority), 4);
  APTTYPE type = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  const DWORD apartment =
      SUCCEEDED(CoGetApartmentType(&type, &qualifier)) ? static_cast<DWORD>(type) : 0xFFFFFFFF;
  RegSetValueExW(key, L"Apartment", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&apartment), 4);
  const DWORD privileges = EnabledPrivileges();
  RegSetValueExW(key, L"Privileges", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&privileges), 4);
  DWORD calls = 0;
  ReadDword(key, L"Calls", calls);
  ++calls;
  RegSetValueExW(key, L"Calls", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&calls), 4);
  RegCloseKey(key);
}

// Adds one to the DWORD |value| of the service's record.
void Count(const wchar_t* service, const wchar_t* value) {
  const std::wstring path = std::wstring(qxdouble::kSubsystemRecordsKey) + L"\\" + service;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  DWORD count = 0;
  ReadDword(key, value, count);
  ++count;
  RegSetValueExW(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), 4);
  RegCloseKey(key);
}

void RecordReturn(const wchar_t* service) { Count(service, L"Returned"); }

// The subsystem's own control handler and status reports, as a real subsystem makes them. A run
// is never freed: a control may still arrive after QxServiceMain has gone, and one that arrives
// after the host released the object is counted ("LateControls").
struct ServiceRun {
  std::wstring name;
  // Set once the registration has returned; a control may come before.
  SERVICE_STATUS_HANDLE volatile handle = nullptr;
  HANDLE stop = nullptr;
  volatile LONG released = 0;

  void Report(DWORD state) {
    if (!handle) return;
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    g_setStatus(handle, &status);
  }
  static DWORD WINAPI Handler(DWORD control, DWORD, void*, void* context) {
    ServiceRun* run = static_cast<ServiceRun*>(context);
    if (run->released) Count(run->name.c_str(), L"LateControls");
    if (control == SERVICE_CONTROL_STOP) {
      run->Report(SERVICE_STOP_PENDING);
      SetEvent(run->stop);
    }
    return NO_ERROR;
  }
};

// Registers the run's handler; null when there is no memory for it.
ServiceRun* RegisterRun(const wchar_t* name) {
  ServiceRun* run = new (std::nothrow) ServiceRun();
  if (!run) return nullptr;
  run->name = name;
  run->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  run->handle = g_registerHandler(name, &ServiceRun::Handler, run);
  return run;
}

// The "service" mode: RUNNING until asked to stop, STOP_PENDING for |stopMs|, then STOPPED and,
// after the linger, back.
void RunAsService(ServiceRun* run, DWORD lingerMs, DWORD stopMs) {
  if (!run || !run->handle) return;
  run->Report(SERVICE_RUNNING);
  WaitForSingleObject(run->stop, 60000);
  Sleep(stopMs);
  // Once STOPPED is reported the process may end at any moment: record the return first.
  RecordReturn(run->name.c_str());
  run->Report(SERVICE_STOPPED);
  Sleep(lingerMs);
}

// The "running-*" and "stopped-return" modes: RUNNING, a pause, then what the mode says.
void ReportRunning(ServiceRun* run, DWORD pauseMs) {
  if (run && run->handle) run->Report(SERVICE_RUNNING);
  Sleep(pauseMs);
}

void WaitForRelease(const wchar_t* name) {
  HANDLE running = CreateEventW(nullptr, TRUE, FALSE, qxdouble::QxDoubleRunningEvent(name).c_str());
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, qxdouble::QxDoubleStopEvent(name).c_str());
  SetEvent(running);
  WaitForSingleObject(stop, 20000);
  CloseHandle(stop);
  CloseHandle(running);
}

class CSubsystem final : public qxdouble::DoubleObject<IQxSvcSubsystem> {
 public:
  explicit CSubsystem(const Behaviour& behaviour)
      : DoubleObject(IID_IQxSvcSubsystem), m_behaviour(behaviour) {
    InterlockedIncrement(&g_locks);
  }
  HRESULT STDMETHODCALLTYPE QxServiceMain(DWORD argc, LPWSTR* argv, DWORD* exitCode) override {
    if (argc == 0 || !argv || !argv[0] || !exitCode) return E_INVALIDARG;
    Enter(g_inMain, g_maxInMain);
    Record(argc, argv);
    const bool running = m_behaviour.mode == L"running-av" ||
                         m_behaviour.mode == L"running-return" ||
                         m_behaviour.mode == L"stopped-return";
    ServiceRun* run = running || m_behaviour.mode == L"service" ? RegisterRun(argv[0]) : nullptr;
    m_run = run;
    if (running) ReportRunning(run, m_behaviour.delayMs);
    if (m_behaviour.mode == L"av" || m_behaviour.mode == L"running-av") {
      InterlockedDecrement(&g_inMain);
      m_faulted = true;
      // Loaded through a volatile so that the compiler cannot turn the store into a trap.
      volatile int* volatile nowhere = nullptr;
      *nowhere = 1;
    } else if (m_behaviour.mode == L"stopped-return") {
      *exitCode = m_behaviour.exitCode;
      // Once STOPPED is reported the process may end at any moment: record the return first.
      RecordReturn(argv[0]);
      InterlockedDecrement(&g_inMain);
      if (run && run->handle) run->Report(SERVICE_STOPPED);
      Sleep(m_behaviour.lingerMs);
      return m_behaviour.hr;
    } else if (m_behaviour.mode == L"wait") {
      WaitForRelease(argv[0]);
    } else if (m_behaviour.mode == L"service") {
      RunAsService(run, m_behaviour.lingerMs, m_behaviour.stopMs);
    }
    *exitCode = m_behaviour.exitCode;
    if (m_behaviour.mode != L"service") RecordReturn(argv[0]);
    InterlockedDecrement(&g_inMain);
    return m_behaviour.hr;
  }
  // After its fault the object is in no state to be released: Release faults again.
  ULONG STDMETHODCALLTYPE Release() override {
    if (m_faulted) {
      volatile int* volatile nowhere = nullptr;
      *nowhere = 2;
    }
    return DoubleObject::Release();
  }

 private:
  ~CSubsystem() override {
    if (m_run) InterlockedExchange(&m_run->released, 1);
    InterlockedDecrement(&g_locks);
  }
  Behaviour m_behaviour;
  ServiceRun* m_run = nullptr;
  volatile bool m_faulted = false;
};

class CFactory final : public qxdouble::DoubleObject<IQxClassFactory> {
 public:
  explicit CFactory(const Behaviour& behaviour)
      : DoubleObject(IID_IQxClassFactory), m_behaviour(behaviour) {
    InterlockedIncrement(&g_locks);
  }
  HRESULT STDMETHODCALLTYPE CreateObject(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    Enter(g_inCreate, g_maxInCreate);
    if (m_behaviour.loadDelayMs) Sleep(m_behaviour.loadDelayMs);
    const HRESULT hr = m_behaviour.hasObjectHr
                           ? m_behaviour.objectHr
                           : qxdouble::CreateDoubleObject<CSubsystem>(riid, ppv, m_behaviour);
    InterlockedDecrement(&g_inCreate);
    return hr;
  }

 private:
  ~CFactory() override { InterlockedDecrement(&g_locks); }
  Behaviour m_behaviour;
};

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  const Behaviour behaviour = ReadBehaviour(clsid);
  if (behaviour.hasFactoryHr) return behaviour.factoryHr;
  return qxdouble::CreateDoubleObject<CFactory>(riid, ppv, behaviour);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_locks == 0 ? S_OK : S_FALSE; }

extern "C" void QxSubsystemDoubleRouteStatus(qxdouble::StatusRegisterFunction registerHandler,
                                             qxdouble::StatusSetFunction setStatus) {
  g_registerHandler = registerHandler ? registerHandler : &RegisterServiceCtrlHandlerExW;
  g_setStatus = setStatus ? setStatus : &SetServiceStatus;
}

extern "C" void QxSubsystemDoubleStats(long* maxInCreate, long* maxInMain, bool reset) {
  if (maxInCreate) *maxInCreate = g_maxInCreate;
  if (maxInMain) *maxInMain = g_maxInMain;
  if (reset) {
    InterlockedExchange(&g_maxInCreate, 0);
    InterlockedExchange(&g_maxInMain, 0);
  }
}
