// The stop road over a recording service-control double: which services are asked to stop and in
// which order, how the result is put together, and how the status polling ends. The group comes
// from a real configuration in a scratch key that stands in for HKEY_LOCAL_MACHINE.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "QxCtlTestSupport.h"
#include "etwlogging/LogCapture.h"
#include "src/qxsvchost/QxSvcSubsystemControlManager.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogInformation;

constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005);

HRESULT FromWin32(DWORD e) { return static_cast<HRESULT>(0x80070000u | e); }

// How one service of the double behaves. |states| are the states that successive status
// queries report (the last one repeats); |queryError| makes query number |queryErrorAt| fail.
// |controlError| fails every stop; without it a stop meets the service's state as on Windows:
// STOPPED gives ERROR_SERVICE_NOT_ACTIVE, STOP_PENDING ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
// START_PENDING |startPendingError| (Wine answers ERROR_INVALID_SERVICE_CONTROL), and any other
// state takes it and turns to |stateAfterControl|.
struct ServiceScript {
  DWORD openError = 0;
  DWORD controlError = 0;
  DWORD stateAfterControl = SERVICE_STOPPED;
  std::vector<DWORD> states;
  DWORD queryErrorAt = 0;
  DWORD queryError = 0;
  DWORD initialState = SERVICE_RUNNING;  // the state until the first query
  DWORD startPendingError = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
};

// Service-control double: unknown names do not exist; handles are counted and must all be
// closed, service handles before their manager. The service's state is the last one a query or
// an accepted stop gave it.
class FakeServiceControl : public IQxServiceControlApi {
 public:
  std::map<std::wstring, ServiceScript> scripts;
  DWORD managerError = 0;

  std::vector<std::wstring> opened;      // names asked for, in order
  std::vector<std::wstring> stopped;     // names whose stop was taken, in order
  std::map<std::wstring, int> controls;  // stops sent per name, taken or refused
  std::vector<DWORD> pauses;             // every Pause, in order
  std::map<std::wstring, int> queries;   // status queries per name
  int managersOpen = 0;
  int servicesOpen = 0;
  bool closedManagerBeforeService = false;
  BOOL shutdownFlagAtFirstCall = -1;

  SC_HANDLE OpenManager(LPCWSTR machine, LPCWSTR database, DWORD access) override {
    if (shutdownFlagAtFirstCall == -1) shutdownFlagAtFirstCall = g_bShutdown;
    EXPECT_EQ(nullptr, machine);
    EXPECT_EQ(nullptr, database);
    EXPECT_EQ(static_cast<DWORD>(SC_MANAGER_ALL_ACCESS), access);
    if (managerError) {
      SetLastError(managerError);
      return nullptr;
    }
    ++managersOpen;
    return Handle(kManagerTag);
  }
  SC_HANDLE OpenServiceHandle(SC_HANDLE manager, LPCWSTR name, DWORD access) override {
    EXPECT_EQ(Handle(kManagerTag), manager);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP | SERVICE_QUERY_STATUS), access);
    opened.push_back(name);
    auto it = scripts.find(name);
    const DWORD error = it == scripts.end() ? ERROR_SERVICE_DOES_NOT_EXIST : it->second.openError;
    if (error) {
      SetLastError(error);
      return nullptr;
    }
    ++servicesOpen;
    m_current = name;
    if (!m_state.count(m_current)) m_state[m_current] = it->second.initialState;
    return Handle(kServiceTag);
  }
  BOOL Control(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    EXPECT_EQ(Handle(kServiceTag), service);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_CONTROL_STOP), control);
    const ServiceScript& script = scripts[m_current];
    ++controls[m_current];
    if (script.controlError) {
      SetLastError(script.controlError);
      return FALSE;
    }
    DWORD& state = m_state[m_current];
    *status = {};
    status->dwCurrentState = state;
    const DWORD refusal = state == SERVICE_STOPPED         ? ERROR_SERVICE_NOT_ACTIVE
                          : state == SERVICE_STOP_PENDING  ? ERROR_SERVICE_CANNOT_ACCEPT_CTRL
                          : state == SERVICE_START_PENDING ? script.startPendingError
                                                           : 0;
    if (refusal) {
      SetLastError(refusal);
      return FALSE;
    }
    stopped.push_back(m_current);
    state = script.stateAfterControl;
    status->dwCurrentState = state;
    return TRUE;
  }
  BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    EXPECT_EQ(Handle(kServiceTag), service);
    const ServiceScript& script = scripts[m_current];
    const int n = ++queries[m_current];
    if (script.queryErrorAt && n == static_cast<int>(script.queryErrorAt)) {
      SetLastError(script.queryError);
      return FALSE;
    }
    *status = {};
    status->dwCurrentState =
        script.states.empty()
            ? SERVICE_STOP_PENDING
            : script.states[std::min<size_t>(static_cast<size_t>(n) - 1, script.states.size() - 1)];
    m_state[m_current] = status->dwCurrentState;
    return TRUE;
  }
  BOOL QueryStatusEx(SC_HANDLE, SERVICE_STATUS_PROCESS*) override {
    ADD_FAILURE() << "the stop road polls with QueryStatus";
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  BOOL Close(SC_HANDLE handle) override {
    if (handle == Handle(kManagerTag)) {
      if (servicesOpen > 0) closedManagerBeforeService = true;
      --managersOpen;
    } else {
      --servicesOpen;
    }
    return TRUE;
  }
  void Pause(DWORD milliseconds) override { pauses.push_back(milliseconds); }
  // The stop road reports no status of its own.
  SERVICE_STATUS_HANDLE RegisterControlHandler(LPCWSTR, LPHANDLER_FUNCTION) override {
    ADD_FAILURE() << "unexpected RegisterControlHandler";
    return nullptr;
  }
  SERVICE_STATUS_HANDLE RegisterControlHandlerEx(LPCWSTR, LPHANDLER_FUNCTION_EX, void*) override {
    ADD_FAILURE() << "unexpected RegisterControlHandlerEx";
    return nullptr;
  }
  BOOL SetStatus(SERVICE_STATUS_HANDLE, SERVICE_STATUS*) override {
    ADD_FAILURE() << "unexpected SetStatus";
    return FALSE;
  }

 private:
  static constexpr UINT_PTR kManagerTag = 0x1000;
  static constexpr UINT_PTR kServiceTag = 0x2000;
  static SC_HANDLE Handle(UINT_PTR tag) { return reinterpret_cast<SC_HANDLE>(tag); }
  std::wstring m_current;
  std::map<std::wstring, DWORD> m_state;
};

ServiceScript Running() { return ServiceScript{}; }

class StopServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(capture_.active());
    ASSERT_TRUE(config_.ok());
  }
  void TearDown() override {
    EXPECT_EQ(0, scm_.managersOpen);
    EXPECT_EQ(0, scm_.servicesOpen);
    EXPECT_FALSE(scm_.closedManagerBeforeService);
  }

  // Number of records with exactly this level, function and message.
  size_t Logged(ETWLogging::LogLevel level, const wchar_t* function, const std::wstring& text) {
    size_t n = 0;
    for (const auto& r : log_.Records()) {
      if (r.level == level && r.function == function && r.message == text) {
        EXPECT_EQ(L"QxSvcSubsystemControlManager", r.file);
        ++n;
      }
    }
    return n;
  }
  size_t LoggedBy(const wchar_t* function) {
    size_t n = 0;
    for (const auto& r : log_.Records()) n += r.function == function;
    return n;
  }

  ETWLogging::CLogCapture log_;
  ETWLogging::ScopedLogCapture capture_{log_};
  qxctltest::ScratchHostConfig config_{L"QxCtlStopServices"};
  FakeServiceControl scm_;
};

TEST_F(StopServicesTest, StopsTheGroupInListOrderThenTheTwoFixedServicesEachOnce) {
  struct Case {
    const wchar_t* list;
    std::vector<std::wstring> expected;
  };
  const Case cases[] = {
      {L"a;QXPLTSVC;b", {L"a", L"b", L"qxpltsvc", L"qxkscsvc"}},
      {L"qxkscsvc,A:QxPltSvc;b;qxKSCsvc", {L"A", L"b", L"qxpltsvc", L"qxkscsvc"}},
      {L"only", {L"only", L"qxpltsvc", L"qxkscsvc"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "list " << testing::PrintToString(std::wstring(c.list)));
    scm_ = FakeServiceControl();
    for (const std::wstring& name : c.expected) scm_.scripts[name] = Running();
    ASSERT_TRUE(config_.UseGroup(c.list));
    log_.Clear();

    EXPECT_EQ(S_OK, StopServices(scm_, FALSE));
    EXPECT_EQ(c.expected, scm_.opened);
    EXPECT_EQ(c.expected, scm_.stopped);
    EXPECT_EQ(1u, Logged(kLogInformation, L"StopServices",
                         L"Reduce restart: Calling Hollin StopServices"));
  }
}

TEST_F(StopServicesTest, EmptyOrUnreadableGroupStopsNothing) {
  struct Case {
    const wchar_t* list;  // null: the group key does not exist
    HRESULT expected;
    const wchar_t* message;
  };
  const Case cases[] = {
      {L"", S_OK, L"There are no services in the group QxCtlTestGroup"},
      {L";,:", S_OK, L"There are no services in the group QxCtlTestGroup"},
      {nullptr, kFail, L"Failed to get group services QxCtlTestGroup"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "list " << (c.list ? "given" : "missing"));
    scm_ = FakeServiceControl();
    ASSERT_TRUE(config_.UseGroup(c.list));
    log_.Clear();
    g_bShutdown = 0;  // as at process start

    EXPECT_EQ(c.expected, StopServices(scm_, FALSE));
    EXPECT_TRUE(scm_.opened.empty());
    EXPECT_EQ(0u, scm_.pauses.size());
    EXPECT_EQ(1u, Logged(kLogError, L"StopServices", c.message));
    EXPECT_EQ(1, g_bShutdown);
  }
}

TEST_F(StopServicesTest, ShutdownFlagIsRaisedBeforeTheFirstStopAndStaysRaised) {
  scm_.scripts[L"a"] = Running();
  ASSERT_TRUE(config_.UseGroup(L"a"));
  g_bShutdown = 0;  // as at process start
  EXPECT_EQ(S_OK, StopServices(scm_, FALSE));
  EXPECT_EQ(1, scm_.shutdownFlagAtFirstCall);
  EXPECT_EQ(1, g_bShutdown);

  scm_.scripts[L"a"].controlError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(FromWin32(ERROR_ACCESS_DENIED), StopServices(scm_, FALSE));
  ASSERT_TRUE(config_.UseGroup(nullptr));
  EXPECT_EQ(kFail, StopServices(scm_, FALSE));
  EXPECT_EQ(1, g_bShutdown);
}

TEST_F(StopServicesTest, ResultIsTheOrOfAllStopsAndAFailureKeepsNoOtherFromStopping) {
  scm_.scripts[L"a"].controlError = ERROR_ACCESS_DENIED;
  scm_.scripts[L"b"] = Running();
  scm_.scripts[L"qxpltsvc"].openError = ERROR_INVALID_NAME;
  ASSERT_TRUE(config_.UseGroup(L"a;b"));

  EXPECT_EQ(FromWin32(ERROR_ACCESS_DENIED) | FromWin32(ERROR_INVALID_NAME),
            StopServices(scm_, FALSE));
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L"qxpltsvc", L"qxkscsvc"}), scm_.opened);
  EXPECT_EQ(std::vector<std::wstring>{L"b"}, scm_.stopped);
  EXPECT_EQ(1u, Logged(kLogInformation, L"StopService", L"Failed to stop service:a, error code 5"));
  EXPECT_EQ(1u, Logged(kLogInformation, L"StopService",
                       L"Failed to open service:qxpltsvc, error code 123"));
}

TEST_F(StopServicesTest, DestroysTheConfigurationOnlyWhenAsked) {
  ASSERT_TRUE(config_.UseGroup(L""));
  std::wstring group;
  EXPECT_EQ(S_OK, StopServices(scm_, FALSE));
  EXPECT_TRUE(CQxSvcHostConfig::GetInstance()->GetGroupName(group));
  EXPECT_EQ(S_OK, StopServices(scm_, TRUE));
  // A fresh, uninitialised singleton knows no group.
  EXPECT_FALSE(CQxSvcHostConfig::GetInstance()->GetGroupName(group));
}

// One service through StopService: result, pauses, status queries and log line.
struct StopCase {
  const char* what;
  ServiceScript script;
  bool known;
  HRESULT result;
  size_t pauses;
  ETWLogging::LogLevel level;  // 0: nothing logged
  const wchar_t* message;
};

TEST_F(StopServicesTest, StopServiceResultsAndPolling) {
  auto pending = [](std::vector<DWORD> states) {
    ServiceScript s;
    s.stateAfterControl = SERVICE_STOP_PENDING;
    s.states = std::move(states);
    return s;
  };
  ServiceScript openDenied;
  openDenied.openError = ERROR_ACCESS_DENIED;
  ServiceScript notActive;
  notActive.controlError = ERROR_SERVICE_NOT_ACTIVE;
  ServiceScript dependents;
  dependents.controlError = ERROR_DEPENDENT_SERVICES_RUNNING;
  ServiceScript queryFails = pending({SERVICE_STOP_PENDING});
  queryFails.queryErrorAt = 2;
  queryFails.queryError = ERROR_INVALID_HANDLE;
  std::vector<DWORD> stopsAtTenth(10, SERVICE_STOP_PENDING);
  stopsAtTenth[9] = SERVICE_STOPPED;

  const StopCase cases[] = {
      {"missing", {}, false, S_OK, 0, 0, nullptr},
      {"not running", notActive, true, S_OK, 0, 0, nullptr},
      {"stopped when the stop returns", Running(), true, S_OK, 0, 0, nullptr},
      {"stops after three polls",
       pending({SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED}), true, S_OK, 3, 0,
       nullptr},
      {"stops at the tenth poll", pending(stopsAtTenth), true, S_OK, 10, 0, nullptr},
      {"stays stop-pending", pending({SERVICE_STOP_PENDING}), true, kFail, 10, kLogError,
       L"Failed to QueryServiceStatus svc after maximum attempts"},
      {"running again", pending({SERVICE_RUNNING}), true, kFail, 10, kLogError,
       L"Failed to QueryServiceStatus svc after maximum attempts"},
      {"open refused", openDenied, true, FromWin32(ERROR_ACCESS_DENIED), 0, kLogInformation,
       L"Failed to open service:svc, error code 5"},
      {"stop refused", dependents, true, FromWin32(ERROR_DEPENDENT_SERVICES_RUNNING), 0,
       kLogInformation, L"Failed to stop service:svc, error code 1051"},
      {"query fails", queryFails, true, FromWin32(ERROR_INVALID_HANDLE), 2, kLogError,
       L"Failed to QueryServiceStatus svc, error code 6"},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.what);
    scm_ = FakeServiceControl();
    if (c.known) scm_.scripts[L"svc"] = c.script;
    log_.Clear();

    EXPECT_EQ(c.result, StopService(scm_, L"svc"));
    EXPECT_EQ(std::vector<DWORD>(c.pauses, 1000), scm_.pauses);
    EXPECT_EQ(static_cast<int>(c.pauses), scm_.queries[L"svc"]);
    if (c.level == 0) {
      EXPECT_EQ(0u, LoggedBy(L"StopService"));
    } else {
      EXPECT_EQ(1u, LoggedBy(L"StopService"));
      EXPECT_EQ(1u, Logged(c.level, L"StopService", c.message));
    }
    EXPECT_EQ(0, scm_.managersOpen);
    EXPECT_EQ(0, scm_.servicesOpen);
  }
}

// A stop that the service's state refuses: it is stopping (another call's stop) or starting.
struct RefusedCase {
  const char* what;
  ServiceScript script;
  HRESULT result;
  size_t pauses;
  int queries;
  int controls;
  bool taken;                  // the stop of this call was taken
  ETWLogging::LogLevel level;  // 0: nothing logged
  const wchar_t* message;
};

TEST_F(StopServicesTest, AStopRefusedWhileTheServiceStartsOrStopsWaitsForIt) {
  auto script = [](DWORD initial, std::vector<DWORD> states) {
    ServiceScript s;
    s.initialState = initial;
    s.states = std::move(states);
    s.stateAfterControl = SERVICE_STOP_PENDING;
    return s;
  };
  const DWORD stopping = SERVICE_STOP_PENDING;
  const DWORD starting = SERVICE_START_PENDING;
  ServiceScript wineStart =
      script(starting, {starting, starting, SERVICE_RUNNING, SERVICE_STOPPED});
  wineStart.startPendingError = ERROR_INVALID_SERVICE_CONTROL;
  ServiceScript takesNoStop = script(SERVICE_RUNNING, {SERVICE_RUNNING});
  takesNoStop.controlError = ERROR_INVALID_SERVICE_CONTROL;
  ServiceScript queryFails = script(stopping, {stopping});
  queryFails.queryErrorAt = 1;
  queryFails.queryError = ERROR_INVALID_HANDLE;
  const wchar_t* const notInTime = L"Failed to QueryServiceStatus svc after maximum attempts";

  const RefusedCase cases[] = {
      {"another stop under way, ends", script(stopping, {stopping, stopping, SERVICE_STOPPED}),
       S_OK, 2, 3, 1, false, 0, nullptr},
      {"another stop under way, never ends", script(stopping, {stopping}), kFail, 10, 11, 1, false,
       kLogError, notInTime},
      {"stopped by then", script(stopping, {SERVICE_STOPPED}), S_OK, 0, 1, 1, false, 0, nullptr},
      {"a stop given up, running again",
       script(stopping, {SERVICE_RUNNING, SERVICE_RUNNING, SERVICE_STOPPED}), S_OK, 2, 3, 2, true,
       0, nullptr},
      {"starting, then stopped by this call",
       script(starting, {starting, starting, SERVICE_RUNNING, SERVICE_STOPPED}), S_OK, 3, 4, 2,
       true, 0, nullptr},
      {"starting (as Wine refuses it), then stopped by this call", wineStart, S_OK, 3, 4, 2, true,
       0, nullptr},
      {"starting, then another stop", script(starting, {starting, stopping, SERVICE_STOPPED}), S_OK,
       2, 3, 1, false, 0, nullptr},
      {"a start that fails", script(starting, {starting, SERVICE_STOPPED}), S_OK, 1, 2, 1, false, 0,
       nullptr},
      {"a start that never ends", script(starting, {starting}), kFail, 10, 11, 1, false, kLogError,
       notInTime},
      {"running, takes no stop now", takesNoStop, FromWin32(ERROR_INVALID_SERVICE_CONTROL), 0, 1, 1,
       false, kLogInformation, L"Failed to stop service:svc, error code 1052"},
      {"status unreadable", queryFails, FromWin32(ERROR_INVALID_HANDLE), 0, 1, 1, false, kLogError,
       L"Failed to QueryServiceStatus svc, error code 6"},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.what);
    scm_ = FakeServiceControl();
    scm_.scripts[L"svc"] = c.script;
    log_.Clear();

    EXPECT_EQ(c.result, StopService(scm_, L"svc"));
    EXPECT_EQ(std::vector<DWORD>(c.pauses, 1000), scm_.pauses);
    EXPECT_EQ(c.queries, scm_.queries[L"svc"]);
    EXPECT_EQ(c.controls, scm_.controls[L"svc"]);
    EXPECT_EQ(c.taken ? std::vector<std::wstring>{L"svc"} : std::vector<std::wstring>{},
              scm_.stopped);
    EXPECT_EQ(c.level ? 1u : 0u, LoggedBy(L"StopService"));
    if (c.level) {
      EXPECT_EQ(1u, Logged(c.level, L"StopService", c.message));
    }
    EXPECT_EQ(0, scm_.managersOpen);
    EXPECT_EQ(0, scm_.servicesOpen);
  }
}

TEST_F(StopServicesTest, ManagerThatCannotBeOpenedFailsEveryStop) {
  scm_.managerError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(FromWin32(ERROR_ACCESS_DENIED), StopService(scm_, L"svc"));
  EXPECT_TRUE(scm_.opened.empty());
  EXPECT_EQ(1u, Logged(kLogError, L"StopService", L"Open SCManager failed. Error code:5"));

  ASSERT_TRUE(config_.UseGroup(L"a;b"));
  log_.Clear();
  EXPECT_EQ(FromWin32(ERROR_ACCESS_DENIED), StopServices(scm_, FALSE));
  EXPECT_EQ(4u, Logged(kLogError, L"StopService", L"Open SCManager failed. Error code:5"));
}

}  // namespace
