// Shared pieces of the host tests: a host configuration in a scratch key that stands in for
// HKEY_LOCAL_MACHINE, COM registrations of the test doubles, the doubles' records, a stand-in for
// the service control manager's status side and a dispatcher that runs service mains on threads
// of its own.
#pragma once

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QxDoublePaths.h"
#include "basalt/UniqueHandle.h"
#include "src/qxsvchost/CQxSCMInterface.h"
#include "src/qxsvchost/CQxSvcHostConfig.h"
#include "src/qxsvchost/IQxServiceControlApi.h"
#include "tests/src/qxsvchost/doubles/QxDoubleRecords.h"
#include "tests/support/ScratchMachineKey.h"

namespace qxhosttest {

inline std::wstring DoublePath(const wchar_t* file) {
  return std::wstring(QX_TEST_DOUBLES_DIR) + L"\\" + file;
}

// |stem| made unique to this test process.
inline std::wstring UniqueName(const std::wstring& stem) {
  return stem + L"_" + std::to_wstring(GetCurrentProcessId());
}

// A copy of the subsystem double under a name of its own in %TEMP%, so that a test can tell its
// module from every other one. The file stays when it is still loaded at the end.
class DoubleCopy {
 public:
  explicit DoubleCopy(const std::wstring& tag) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static LONG copies = 0;
    m_path = std::wstring(temp) + UniqueName(L"QxSubsystemDouble_" + tag) + L"_" +
             std::to_wstring(InterlockedIncrement(&copies)) + L".dll";
    m_ok = CopyFileW(DoublePath(L"QxSubsystemDouble.dll").c_str(), m_path.c_str(), FALSE) != FALSE;
  }
  ~DoubleCopy() { DeleteFileW(m_path.c_str()); }
  DoubleCopy(const DoubleCopy&) = delete;
  DoubleCopy& operator=(const DoubleCopy&) = delete;

  bool ok() const { return m_ok; }
  const std::wstring& path() const { return m_path; }
  bool IsLoaded() const { return GetModuleHandleW(m_path.c_str()) != nullptr; }

 private:
  std::wstring m_path;
  bool m_ok = false;
};

// A class registered under HKEY_CLASSES_ROOT\CLSID (a fresh CLSID unless one is given) with
// |server| as its in-process server, and the double's behaviour values beside it; removed again.
class ComRegistration {
 public:
  explicit ComRegistration(const std::wstring& server, const CLSID* fixed = nullptr,
                           bool withInprocKey = true) {
    CLSID clsid = {};
    if (fixed) {
      clsid = *fixed;
    } else if (FAILED(CoCreateGuid(&clsid))) {
      return;
    }
    wchar_t text[64] = {};
    StringFromGUID2(clsid, text, 64);
    m_text = text;
    m_key = L"CLSID\\" + m_text;
    Basalt::UniqueHKey key;
    m_ok = RegCreateKeyExW(HKEY_CLASSES_ROOT, m_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                           key.put(), nullptr) == ERROR_SUCCESS;
    if (m_ok && withInprocKey) {
      const std::wstring inproc = m_key + L"\\InprocServer32";
      m_ok = SetString(inproc.c_str(), nullptr, server) &&
             SetString(inproc.c_str(), L"ThreadingModel", L"Both");
    }
  }
  ~ComRegistration() {
    if (!m_key.empty()) RegDeleteTreeW(HKEY_CLASSES_ROOT, m_key.c_str());
  }
  ComRegistration(const ComRegistration&) = delete;
  ComRegistration& operator=(const ComRegistration&) = delete;

  bool ok() const { return m_ok; }
  const std::wstring& text() const { return m_text; }

  ComRegistration& Dword(const wchar_t* name, DWORD value) {
    m_ok = m_ok && RegSetKeyValueW(HKEY_CLASSES_ROOT, m_key.c_str(), name, REG_DWORD, &value,
                                   sizeof(value)) == ERROR_SUCCESS;
    return *this;
  }
  ComRegistration& Mode(const wchar_t* mode) {
    m_ok = m_ok && SetString(m_key.c_str(), L"Mode", mode);
    return *this;
  }

 private:
  static bool SetString(const wchar_t* key, const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, key, name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  }

  std::wstring m_text;
  std::wstring m_key;
  bool m_ok = false;
};

// HKEY_LOCAL_MACHINE redirected to a scratch key with the host key in it; the configuration
// singleton is destroyed and everything removed afterwards.
class ScratchHost {
 public:
  explicit ScratchHost(const std::wstring& testName) : m_machine(testName) {
    if (!m_machine.ok()) return;
    Basalt::UniqueHKey host;
    m_ok = RegCreateKeyExW(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, host.put(), nullptr) == ERROR_SUCCESS;
  }
  ~ScratchHost() { CQxSvcHostConfig::DestroyInstance(); }
  ScratchHost(const ScratchHost&) = delete;
  ScratchHost& operator=(const ScratchHost&) = delete;

  bool ok() const { return m_ok; }

  static std::wstring GroupKey(const std::wstring& group) {
    return std::wstring(QXSVCHOST_REG_KEY) + L"\\" + group;
  }
  bool HostDword(const wchar_t* name, DWORD value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, name, REG_DWORD, &value,
                           sizeof(value)) == ERROR_SUCCESS;
  }
  // Group key value |name| (null: the service list) as REG_SZ.
  bool GroupString(const std::wstring& group, const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, GroupKey(group).c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  }
  bool Exclude(const std::wstring& group, const wchar_t* service) {
    const std::wstring key = GroupKey(group) + L"\\OobeExclusionList";
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), service, REG_SZ, L"", 2) ==
           ERROR_SUCCESS;
  }
  // A DWORD of |key| below the (redirected) machine key; false when it cannot be read.
  static bool ReadDword(const std::wstring& key, const wchar_t* name, DWORD& value) {
    DWORD bytes = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value,
                        &bytes) == ERROR_SUCCESS;
  }
  // Makes a fresh configuration singleton for |group|.
  static bool InitConfig(const std::wstring& group) {
    CQxSvcHostConfig::DestroyInstance();
    CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
    return config && config->Init(group.c_str());
  }

 private:
  testsupport::ScratchMachineKey m_machine;
  bool m_ok = false;
};

// A service group in the real machine key, with IsOobeCheckRequired 0 and the given WSSEnable
// in the host key; the group (or the host key, when this made it) is removed again.
class MachineGroup {
 public:
  MachineGroup(const std::wstring& group, DWORD wssEnable)
      : m_group(group), m_groupKey(ScratchHost::GroupKey(group)) {
    Basalt::UniqueHKey host;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, host.put(), &disposition) != ERROR_SUCCESS) {
      return;
    }
    m_createdHost = disposition == REG_CREATED_NEW_KEY;
    m_ok = SetHostDword(L"IsOobeCheckRequired", 0) && SetHostDword(L"WSSEnable", wssEnable) &&
           SetGroupString(nullptr, L"");
  }
  ~MachineGroup() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_createdHost ? QXSVCHOST_REG_KEY : m_groupKey.c_str());
  }
  MachineGroup(const MachineGroup&) = delete;
  MachineGroup& operator=(const MachineGroup&) = delete;

  bool ok() const { return m_ok; }
  const std::wstring& name() const { return m_group; }
  const std::wstring& key() const { return m_groupKey; }

  // Adds |service| to the list, run by the class |clsid|.
  bool Add(const std::wstring& service, const std::wstring& clsid) {
    m_list += service + L";";
    return SetGroupString(service.c_str(), clsid) && SetGroupString(nullptr, m_list);
  }
  static bool SetHostDword(const wchar_t* name, DWORD value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, name, REG_DWORD, &value,
                           sizeof(value)) == ERROR_SUCCESS;
  }

 private:
  bool SetGroupString(const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_groupKey.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  }

  std::wstring m_group;
  std::wstring m_groupKey;
  std::wstring m_list;
  bool m_createdHost = false;
  bool m_ok = false;
};

// What the subsystem double recorded for |service| (found is false when it was never called).
struct SubsystemRecord {
  bool found = false;
  std::vector<std::wstring> argv;
  DWORD priority = 0;
  DWORD apartment = 0;
  DWORD calls = 0;
  DWORD returned = 0;
  DWORD privileges = 0;
  DWORD lateControls = 0;
};

inline SubsystemRecord ReadSubsystemRecord(const std::wstring& service) {
  SubsystemRecord r;
  const std::wstring key = std::wstring(qxdouble::kSubsystemRecordsKey) + L"\\" + service;
  if (!ScratchHost::ReadDword(key, L"Calls", r.calls)) return r;
  r.found = true;
  ScratchHost::ReadDword(key, L"Priority", r.priority);
  ScratchHost::ReadDword(key, L"Apartment", r.apartment);
  ScratchHost::ReadDword(key, L"Returned", r.returned);
  ScratchHost::ReadDword(key, L"Privileges", r.privileges);
  ScratchHost::ReadDword(key, L"LateControls", r.lateControls);
  wchar_t multi[1024] = {};
  DWORD bytes = sizeof(multi) - 2 * sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"Argv", RRF_RT_REG_MULTI_SZ, nullptr, multi,
                   &bytes) == ERROR_SUCCESS) {
    for (const wchar_t* p = multi; *p; p += wcslen(p) + 1) r.argv.push_back(p);
  }
  return r;
}

// The service control manager as the services of one process meet it: the status reports of
// the host and of subsystem doubles routed here (DoubleStatusRoute), each service's current state
// for the host's status queries, and controls sent to the handler a service registered. A service
// that never reported is START_PENDING. A status set on a handle after its STOPPED report is a
// test failure: the first STOPPED closes the handle, and on Windows a later call can take the
// process down. Stopping the services (Control, Pause, QueryStatus) is not for this double.
class RecordingStatusApi : public IQxServiceControlApi {
 public:
  struct Report {
    std::wstring name;
    SERVICE_STATUS status;
  };

  std::vector<Report> Reports() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
  }
  // Reports of |name| that say SERVICE_STOPPED.
  int StoppedReports(const std::wstring& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return StoppedLocked(name);
  }
  // The Win32 exit code of the last STOPPED report of |name| (0xFFFFFFFF when none).
  DWORD StoppedExitCode(const std::wstring& name) {
    DWORD code = 0xFFFFFFFF;
    for (const Report& r : Reports()) {
      if (r.name == name && r.status.dwCurrentState == SERVICE_STOPPED) {
        code = r.status.dwWin32ExitCode;
      }
    }
    return code;
  }
  // |name| is being started (SERVICE_START_PENDING), as the service control manager marks it
  // before it calls the service's main function.
  void Started(const std::wstring& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_states[name] = SERVICE_START_PENDING;
  }
  // The last state reported for |name|; SERVICE_START_PENDING when none was since its start.
  DWORD State(const std::wstring& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return StateLocked(name);
  }
  // The access asked for by every OpenServiceHandle, in order.
  std::vector<DWORD> ServiceAccesses() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accesses;
  }
  // Sends |control| to the handler that |name| registered last, as the service control manager
  // does: one control at a time, as the process's dispatcher runs them, and a registration waits
  // for the control in progress, as Wine's does. The handler's answer (NO_ERROR from one without
  // an answer); ERROR_SERVICE_NOT_ACTIVE when the service has no open status handle.
  DWORD SendControl(const std::wstring& name, DWORD control) {
    std::lock_guard<std::mutex> dispatching(m_dispatchMutex);
    LPHANDLER_FUNCTION handler = nullptr;
    LPHANDLER_FUNCTION_EX handlerEx = nullptr;
    void* context = nullptr;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      const Registration* r = OpenRegistration(name);
      if (!r) return ERROR_SERVICE_NOT_ACTIVE;
      handler = r->handler;
      handlerEx = r->handlerEx;
      context = r->context;
    }
    if (handlerEx) return handlerEx(control, 0, nullptr, context);
    if (handler) handler(control);
    return NO_ERROR;
  }
  // Waits until each name of |counts| has been reported STOPPED at least as often as it says;
  // false after |ms|.
  bool WaitForStopped(const std::vector<std::pair<std::wstring, int>>& counts, DWORD ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (const auto& c : counts) {
        if (StoppedLocked(c.first) < c.second) return false;
      }
      return true;
    });
  }

  // Calls of the host that a test can hold open, as a thread descheduled at that point is.
  enum class Call { kQuery, kRegistration };
  // The next status query (kQuery) or host handler registration (kRegistration) of |name| waits,
  // once it has been made, until Release: the moment before it is answered, held open.
  void HoldNext(Call call, const std::wstring& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holds[static_cast<int>(call)] = {name, false, false};
  }
  // Waits until the held call has been made; false after |ms|.
  bool WaitHeld(Call call, DWORD ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const Hold& hold = m_holds[static_cast<int>(call)];
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return hold.holding; });
  }
  void Release(Call call) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holds[static_cast<int>(call)].released = true;
    m_changed.notify_all();
  }

  // Reports |state| for |name| on its open status handle, as a thread that a subsystem left
  // behind reports; false when the service has none.
  bool ReportOnOpenHandle(const std::wstring& name, DWORD state) {
    SERVICE_STATUS_HANDLE handle = nullptr;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      const Registration* r = OpenRegistration(name);
      if (!r) return false;
      handle = reinterpret_cast<SERVICE_STATUS_HANDLE>(r - m_registrations.data() + 1);
    }
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
    status.dwCurrentState = state;
    return SetStatus(handle, &status) != FALSE;
  }

  // The subsystem double's RegisterServiceCtrlHandlerExW.
  SERVICE_STATUS_HANDLE RegisterHandlerEx(LPCWSTR name, LPHANDLER_FUNCTION_EX handler,
                                          void* context) {
    std::lock_guard<std::mutex> dispatching(m_dispatchMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    EXPECT_NE(nullptr, handler);
    return RegisterLocked(name, nullptr, handler, context);
  }

  SC_HANDLE OpenManager(LPCWSTR machine, LPCWSTR database, DWORD) override {
    EXPECT_EQ(nullptr, machine);
    EXPECT_EQ(nullptr, database);
    return reinterpret_cast<SC_HANDLE>(kManager);
  }
  SC_HANDLE OpenServiceHandle(SC_HANDLE manager, LPCWSTR name, DWORD access) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    EXPECT_EQ(reinterpret_cast<SC_HANDLE>(kManager), manager);
    m_accesses.push_back(access);
    m_opened.push_back(name ? name : L"");
    return reinterpret_cast<SC_HANDLE>(kFirstService + m_opened.size() - 1);
  }
  BOOL QueryStatusEx(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) override {
    std::unique_lock<std::mutex> lock(m_mutex);
    const size_t index = reinterpret_cast<size_t>(service) - kFirstService;
    if (index >= m_opened.size() || !status) {
      ADD_FAILURE() << "status query on an unknown handle";
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    // The state is read once the hold ends, as a descheduled thread reads it.
    WaitWhileHeldLocked(lock, Call::kQuery, m_opened[index]);
    *status = {};
    status->dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
    status->dwCurrentState = StateLocked(m_opened[index]);
    status->dwProcessId = GetCurrentProcessId();
    return TRUE;
  }
  BOOL Close(SC_HANDLE) override { return TRUE; }
  BOOL Control(SC_HANDLE, DWORD, SERVICE_STATUS*) override { return Unexpected<BOOL>(); }
  BOOL QueryStatus(SC_HANDLE, SERVICE_STATUS*) override { return Unexpected<BOOL>(); }
  void Pause(DWORD) override { ADD_FAILURE() << "unexpected Pause"; }
  SERVICE_STATUS_HANDLE RegisterControlHandler(LPCWSTR name, LPHANDLER_FUNCTION handler) override {
    std::lock_guard<std::mutex> dispatching(m_dispatchMutex);
    std::lock_guard<std::mutex> lock(m_mutex);
    EXPECT_NE(nullptr, handler);
    return RegisterLocked(name, handler, nullptr, nullptr);
  }
  // The host's own handler: it is for a service whose subsystem has not told its end. Once the
  // service is STOPPED no control reaches it, and the dispatcher may already have returned for
  // its last service, so a registration then is a test failure.
  SERVICE_STATUS_HANDLE RegisterControlHandlerEx(LPCWSTR name, LPHANDLER_FUNCTION_EX handler,
                                                 void* context) override {
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      WaitWhileHeldLocked(lock, Call::kRegistration, name ? name : L"");
    }
    if (State(name ? name : L"") == SERVICE_STOPPED) {
      ADD_FAILURE() << "host handler registered for a service already STOPPED";
      SetLastError(ERROR_SERVICE_NOT_ACTIVE);
      return nullptr;
    }
    return RegisterHandlerEx(name, handler, context);
  }
  BOOL SetStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t index = reinterpret_cast<size_t>(handle);
    if (index == 0 || index > m_registrations.size() || !status) {
      ADD_FAILURE() << "status set on an unknown handle";
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    Registration& r = m_registrations[index - 1];
    if (r.closed) {
      ADD_FAILURE() << "status set on the handle of a service already reported STOPPED";
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    m_reports.push_back({r.name, *status});
    m_states[r.name] = status->dwCurrentState;
    if (status->dwCurrentState == SERVICE_STOPPED) r.closed = true;
    m_changed.notify_all();
    return TRUE;
  }

 private:
  static constexpr size_t kManager = 0x5C0000;
  static constexpr size_t kFirstService = 0x5C0001;
  struct Registration {
    std::wstring name;
    LPHANDLER_FUNCTION handler;
    LPHANDLER_FUNCTION_EX handlerEx;
    void* context;
    bool closed;
  };

  struct Hold {
    std::wstring name;  // empty: nothing held
    bool holding;
    bool released;
  };

  void WaitWhileHeldLocked(std::unique_lock<std::mutex>& lock, Call call,
                           const std::wstring& name) {
    Hold& hold = m_holds[static_cast<int>(call)];
    if (hold.name.empty() || hold.name != name) return;
    hold.name.clear();
    hold.holding = true;
    m_changed.notify_all();
    if (!m_changed.wait_for(lock, std::chrono::milliseconds(kStopWaitMs),
                            [&] { return hold.released; })) {
      ADD_FAILURE() << "a held call was never released";
    }
  }
  template <typename T>
  static T Unexpected() {
    ADD_FAILURE() << "unexpected service-control call";
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return T();
  }
  int StoppedLocked(const std::wstring& name) const {
    int n = 0;
    for (const Report& r : m_reports) n += r.name == name && r.status.dwCurrentState == 1;
    return n;
  }
  DWORD StateLocked(const std::wstring& name) const {
    const auto it = m_states.find(name);
    return it == m_states.end() ? SERVICE_START_PENDING : it->second;
  }
  const Registration* OpenRegistration(const std::wstring& name) const {
    for (auto it = m_registrations.rbegin(); it != m_registrations.rend(); ++it) {
      if (it->name == name) return it->closed ? nullptr : &*it;
    }
    return nullptr;
  }
  // A service registering again while its handle is open gets the same handle with the new
  // handler, as on Windows; after its STOPPED report it gets a new one.
  SERVICE_STATUS_HANDLE RegisterLocked(LPCWSTR name, LPHANDLER_FUNCTION handler,
                                       LPHANDLER_FUNCTION_EX handlerEx, void* context) {
    const std::wstring service = name ? name : L"";
    for (size_t i = m_registrations.size(); i-- > 0;) {
      Registration& r = m_registrations[i];
      if (r.name != service) continue;
      if (r.closed) break;
      r.handler = handler;
      r.handlerEx = handlerEx;
      r.context = context;
      return reinterpret_cast<SERVICE_STATUS_HANDLE>(i + 1);
    }
    m_registrations.push_back({service, handler, handlerEx, context, false});
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(m_registrations.size());
  }

  static constexpr DWORD kStopWaitMs = 30000;
  std::mutex m_dispatchMutex;
  std::mutex m_mutex;
  Hold m_holds[2] = {};
  std::condition_variable m_changed;
  std::vector<Registration> m_registrations;
  std::vector<Report> m_reports;
  std::map<std::wstring, DWORD> m_states;
  std::vector<std::wstring> m_opened;
  std::vector<DWORD> m_accesses;
};

// Sends the status calls of the subsystem double at |path| to |api| while it lives (the double
// stays loaded meanwhile); one route at a time in a process.
class DoubleStatusRoute {
 public:
  DoubleStatusRoute(const std::wstring& path, RecordingStatusApi& api)
      : m_module(LoadLibraryW(path.c_str())) {
    m_route = m_module ? reinterpret_cast<qxdouble::RouteStatusFunction>(reinterpret_cast<void*>(
                             GetProcAddress(m_module, "QxSubsystemDoubleRouteStatus")))
                       : nullptr;
    if (!m_route) return;
    Routed() = &api;
    m_route(&RegisterThunk, &SetThunk);
  }
  ~DoubleStatusRoute() {
    if (m_route) m_route(nullptr, nullptr);
    Routed() = nullptr;
    if (m_module) FreeLibrary(m_module);
  }
  DoubleStatusRoute(const DoubleStatusRoute&) = delete;
  DoubleStatusRoute& operator=(const DoubleStatusRoute&) = delete;

  bool ok() const { return m_route != nullptr; }

 private:
  static RecordingStatusApi*& Routed() {
    static RecordingStatusApi* api = nullptr;
    return api;
  }
  static SERVICE_STATUS_HANDLE WINAPI RegisterThunk(LPCWSTR name, LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context) {
    return Routed() ? Routed()->RegisterHandlerEx(name, handler, context) : nullptr;
  }
  static BOOL WINAPI SetThunk(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    return Routed() ? Routed()->SetStatus(handle, status) : FALSE;
  }

  HMODULE m_module;
  qxdouble::RouteStatusFunction m_route = nullptr;
};

// Runs the table's service mains on threads of their own, as the service control manager does
// for a group whose services share a process. |run| decides when each starts (default: all at
// once). Like the real dispatcher it returns once every service it started has been reported
// SERVICE_STOPPED through |scm| (a service that never is fails the test after 30 s), not when
// the service mains return; the threads are joined when it is destroyed.
class ThreadDispatcher : public CQxSCMInterface {
 public:
  using Plan = std::function<void(ThreadDispatcher&)>;
  explicit ThreadDispatcher(RecordingStatusApi& scm, Plan run = Plan())
      : m_scm(scm), m_run(std::move(run)) {}
  ~ThreadDispatcher() override { Join(); }

  BOOL StartDispatcher(const SERVICE_TABLE_ENTRYW* table) override {
    m_table.clear();
    for (const SERVICE_TABLE_ENTRYW* e = table; e && e->lpServiceName; ++e) m_table.push_back(*e);
    if (m_run) {
      m_run(*this);
    } else {
      for (size_t i = 0; i < m_table.size(); ++i) Start(i);
    }
    EXPECT_TRUE(m_scm.WaitForStopped(m_stopsAwaited, kStopWaitMs))
        << "a started service was never reported SERVICE_STOPPED";
    return TRUE;
  }

  size_t Count() const { return m_table.size(); }
  std::wstring Name(size_t index) const { return m_table[index].lpServiceName; }
  // Starts service |index| with argv = { its name, |extra|... }, its service main entered
  // |enterAfterMs| after the service is marked START_PENDING, and not before the event
  // |enterWhen| (when given; it must outlive the thread) is set. As the service control manager,
  // it refuses (ERROR_SERVICE_ALREADY_RUNNING) while the service's last start has not been
  // reported SERVICE_STOPPED, and takes a new start as soon as it has, while the old start's
  // thread may still run.
  DWORD Start(size_t index, std::vector<std::wstring> extra = {}, DWORD enterAfterMs = 0,
              HANDLE enterWhen = nullptr) {
    const SERVICE_TABLE_ENTRYW entry = m_table[index];
    const std::wstring name = entry.lpServiceName;
    auto awaited = std::find_if(m_stopsAwaited.begin(), m_stopsAwaited.end(),
                                [&](const auto& a) { return a.first == name; });
    if (awaited == m_stopsAwaited.end()) {
      m_stopsAwaited.emplace_back(name, m_scm.StoppedReports(name) + 1);
    } else if (m_scm.StoppedReports(name) < awaited->second) {
      return ERROR_SERVICE_ALREADY_RUNNING;
    } else {
      awaited->second = m_scm.StoppedReports(name) + 1;
    }
    m_scm.Started(name);
    m_threads.emplace_back([entry, extra, enterAfterMs, enterWhen] {
      Sleep(enterAfterMs);
      if (enterWhen) WaitForSingleObject(enterWhen, kStopWaitMs);
      std::vector<std::wstring> args{entry.lpServiceName};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<LPWSTR> argv;
      for (std::wstring& a : args) argv.push_back(&a[0]);
      entry.lpServiceProc(static_cast<DWORD>(argv.size()), argv.data());
    });
    return ERROR_SUCCESS;
  }
  void Join() {
    for (std::thread& t : m_threads) t.join();
    m_threads.clear();
  }

 private:
  static constexpr DWORD kStopWaitMs = 30000;
  RecordingStatusApi& m_scm;
  Plan m_run;
  std::vector<SERVICE_TABLE_ENTRYW> m_table;
  std::vector<std::pair<std::wstring, int>> m_stopsAwaited;
  std::vector<std::thread> m_threads;
};

// For CQxSvcHostSeams::beforeForcedEnd of a host run inside a test process: the host would end
// the process with its run's exit code (0 after a run, which would pass the test); it ends with a
// failure instead and says why.
inline void FailTheForcedEnd(DWORD exitCode) {
  std::fprintf(stderr,
               "the host ended the test process (exit code %lu): a service thread "
               "outlived the wait for it\n",
               exitCode);
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 1);
}

// Waits up to |ms| for the named event (created when missing).
inline bool WaitNamedEvent(const std::wstring& name, DWORD ms) {
  Basalt::UniqueKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  return event && WaitForSingleObject(event.get(), ms) == WAIT_OBJECT_0;
}
inline void SetNamedEvent(const std::wstring& name) {
  Basalt::UniqueKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  if (event) SetEvent(event.get());
}

}  // namespace qxhosttest
