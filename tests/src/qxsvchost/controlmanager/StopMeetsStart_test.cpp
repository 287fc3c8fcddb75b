// ctest-lock: controlmanager-class
// The stop road meeting a service of the running host that is still starting: the host runs its
// group in this process through the test dispatcher (Wine's service control manager shows a
// hosted service RUNNING before its subsystem has loaded), and the stop road meets the
// dispatcher's services through a double that answers a stop as the service control manager
// does.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "QxHostTestSupport.h"
#include "etwlogging/LogCapture.h"
#include "src/qxsvchost/CQxSvcHost.h"
#include "src/qxsvchost/QxSvcSubsystemControlManager.h"

namespace {

using qxhosttest::ComRegistration;
using qxhosttest::RecordingStatusApi;
using qxhosttest::ScratchHost;
using qxhosttest::ThreadDispatcher;

// The services of the test dispatcher as the stop road meets them: their states and handlers
// come from |services|, and a stop is answered as on Windows: ERROR_SERVICE_NOT_ACTIVE once
// STOPPED, ERROR_SERVICE_CANNOT_ACCEPT_CTRL while STOP_PENDING, |startPendingError| while
// START_PENDING, ERROR_INVALID_SERVICE_CONTROL when the last report accepts no stop; otherwise
// the control goes to the service's handler and the call returns its state afterwards. Names
// outside |names| do not exist.
class DispatcherStopApi : public IQxServiceControlApi {
 public:
  DispatcherStopApi(RecordingStatusApi& services, std::vector<std::wstring> names,
                    DWORD startPendingError)
      : m_services(services), m_names(std::move(names)), m_startPendingError(startPendingError) {}

  // The state each stop met, in order.
  std::vector<DWORD> statesMet;

  SC_HANDLE OpenManager(LPCWSTR, LPCWSTR, DWORD) override { return Handle(0); }
  SC_HANDLE OpenServiceHandle(SC_HANDLE, LPCWSTR name, DWORD) override {
    for (size_t i = 0; i < m_names.size(); ++i) {
      if (m_names[i] == name) return Handle(i + 1);
    }
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  BOOL Control(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) override {
    const std::wstring& name = Name(service);
    const DWORD state = m_services.State(name);
    statesMet.push_back(state);
    *status = {};
    status->dwCurrentState = state;
    DWORD refusal = 0;
    if (state == SERVICE_STOPPED) {
      refusal = ERROR_SERVICE_NOT_ACTIVE;
    } else if (state == SERVICE_STOP_PENDING) {
      refusal = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    } else if (state == SERVICE_START_PENDING) {
      refusal = m_startPendingError;
    } else if (!(LastAccepted(name) & SERVICE_ACCEPT_STOP)) {
      refusal = ERROR_INVALID_SERVICE_CONTROL;
    } else {
      refusal = m_services.SendControl(name, control);
    }
    if (refusal != NO_ERROR) {
      SetLastError(refusal);
      return FALSE;
    }
    status->dwCurrentState = m_services.State(name);
    return TRUE;
  }
  BOOL QueryStatus(SC_HANDLE service, SERVICE_STATUS* status) override {
    *status = {};
    status->dwCurrentState = m_services.State(Name(service));
    return TRUE;
  }
  BOOL QueryStatusEx(SC_HANDLE, SERVICE_STATUS_PROCESS*) override { return Unexpected(); }
  BOOL Close(SC_HANDLE) override { return TRUE; }
  void Pause(DWORD milliseconds) override { Sleep(milliseconds); }
  SERVICE_STATUS_HANDLE RegisterControlHandler(LPCWSTR, LPHANDLER_FUNCTION) override {
    Unexpected();
    return nullptr;
  }
  SERVICE_STATUS_HANDLE RegisterControlHandlerEx(LPCWSTR, LPHANDLER_FUNCTION_EX, void*) override {
    Unexpected();
    return nullptr;
  }
  BOOL SetStatus(SERVICE_STATUS_HANDLE, SERVICE_STATUS*) override { return Unexpected(); }

 private:
  static SC_HANDLE Handle(size_t index) { return reinterpret_cast<SC_HANDLE>(0x7100 + index); }
  const std::wstring& Name(SC_HANDLE service) const {
    return m_names[reinterpret_cast<size_t>(service) - 0x7101];
  }
  DWORD LastAccepted(const std::wstring& name) {
    DWORD accepted = 0;
    for (const RecordingStatusApi::Report& r : m_services.Reports()) {
      if (r.name == name) accepted = r.status.dwControlsAccepted;
    }
    return accepted;
  }
  static BOOL Unexpected() {
    ADD_FAILURE() << "the stop road makes no such call";
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }

  RecordingStatusApi& m_services;
  std::vector<std::wstring> m_names;
  DWORD m_startPendingError;
};

// Capture that signals an event when a line beginning with the text it waits for is written.
class WatchingCapture : public ETWLogging::CLogCapture {
 public:
  std::wstring watched;
  Basalt::UniqueKernelHandle seen{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  DWORD Write(const wchar_t* file, const wchar_t* function, int line, ETWLogging::LogLevel level,
              const wchar_t* message) override {
    const DWORD result = CLogCapture::Write(file, function, line, level, message);
    if (message && std::wstring(message).rfind(watched, 0) == 0) SetEvent(seen.get());
    return result;
  }
};

class StopMeetsStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    ASSERT_TRUE(capture_.active());
    ASSERT_TRUE(route_.ok());
    ASSERT_TRUE(scratch_.HostDword(L"IsOobeCheckRequired", 0));
    ASSERT_TRUE(scratch_.HostDword(L"WSSEnable", 0));
  }
  void TearDown() override { g_bShutdown = 0; }

  ScratchHost scratch_{L"QxCtlStopMeetsStart"};
  WatchingCapture log_;
  ETWLogging::ScopedLogCapture capture_{log_};
  const std::wstring library_ = qxhosttest::DoublePath(L"QxSubsystemDouble.dll");
  RecordingStatusApi scm_;
  qxhosttest::DoubleStatusRoute route_{library_, scm_};
};

// The subsystem takes 1.5 s to be created: the service stays START_PENDING meanwhile. A stop
// that comes then waits for the start to end, then stops the service, which ends STOPPED once,
// with its own exit code, and the host ends with it.
TEST_F(StopMeetsStartTest, AStopDuringTheStartWaitsForItThenStopsTheService) {
  struct Case {
    const char* what;
    DWORD startPendingError;
  };
  const Case cases[] = {{"refused as on Windows", ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
                        {"refused as under Wine", ERROR_INVALID_SERVICE_CONTROL}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_bShutdown = 0;
    ComRegistration slow(library_);
    slow.Mode(L"service").Dword(L"LoadDelayMs", 1500);
    ASSERT_TRUE(slow.ok());
    const std::wstring group = qxhosttest::UniqueName(L"QxCtlStartGroup");
    const std::wstring name = qxhosttest::UniqueName(
        c.startPendingError == ERROR_INVALID_SERVICE_CONTROL ? L"QxCtlStartingW"
                                                             : L"QxCtlStarting");
    ASSERT_TRUE(scratch_.GroupString(group, nullptr, name));
    ASSERT_TRUE(scratch_.GroupString(group, name.c_str(), slow.text()));
    log_.watched = L"ServiceMain for '" + name + L"' starting";
    ResetEvent(log_.seen.get());
    DispatcherStopApi api(scm_, {name}, c.startPendingError);

    HRESULT stopped = E_UNEXPECTED;
    DWORD stateAtStop = 0;
    DWORD stateAfterStop = 0;
    CQxSvcHostSeams seams;
    seams.scm = &scm_;
    seams.beforeForcedEnd = &qxhosttest::FailTheForcedEnd;
    seams.makeDispatcherTable = [&] {
      return std::make_unique<ThreadDispatcher>(scm_, [&](ThreadDispatcher& d) {
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), d.Start(0));
        // Past its check of the shutdown flag, loading its subsystem.
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(log_.seen.get(), 10000));
        stateAtStop = scm_.State(name);
        stopped = StopServices(api, FALSE);
        stateAfterStop = scm_.State(name);
        if (stateAfterStop != SERVICE_STOPPED) {
          // Left running, the service would keep the run going: it is stopped here instead.
          const ULONGLONG end = GetTickCount64() + 10000;
          while (scm_.State(name) == SERVICE_START_PENDING && GetTickCount64() < end) Sleep(20);
          scm_.SendControl(name, SERVICE_CONTROL_STOP);
        }
      });
    };
    CQxSvcHost host(seams);
    std::wstring program = L"Hollin.exe";
    std::wstring selector = L"/" + group;
    wchar_t* argv[] = {program.data(), selector.data()};
    EXPECT_EQ(0u, host.Start(2, argv));

    EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), stateAtStop);
    EXPECT_EQ(S_OK, stopped);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), stateAfterStop);
    ASSERT_FALSE(api.statesMet.empty());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), api.statesMet.front());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), api.statesMet.back());
    EXPECT_EQ(1, scm_.StoppedReports(name));
    EXPECT_EQ(0u, scm_.StoppedExitCode(name));
    EXPECT_EQ(1u, qxhosttest::ReadSubsystemRecord(name).returned);
  }
}

}  // namespace
