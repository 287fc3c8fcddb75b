// clang-format off
// ctest-lock: scm controlmanager-class wss-trace-session update-manager quillet-registration qxclassfactory-proxy
// clang-format on
// Two outside clients, each in a process of its own, ask one running Hollin.exe (the test-only
// host that trusts the build's test signers, run by Wine's service control manager) to stop its
// group while the first stop is still under way: the second call meets a service that is
// already stopping.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "HollinTestSupport.h"
#include "tests/support/TestFiles.h"

namespace {

using hollintest::HostService;
using qxhosttest::ComRegistration;
using qxhosttest::UniqueName;
using testsupport::WinePath;

// How long the group's one service stays STOP_PENDING once asked to stop.
constexpr DWORD kStopMs = 2500;
// How long after the first call the second one comes.
constexpr DWORD kSecondCallAfterMs = 600;

// One signed client process, started now; it calls once its go event is set and the delay has
// passed.
class TimedClient {
 public:
  TimedClient(const std::wstring& tag, const std::wstring& goEvent, DWORD delayMs)
      : m_ready(UniqueName(L"QxCtlClientReady_" + tag)),
        m_readyEvent(CreateEventW(nullptr, TRUE, FALSE, m_ready.c_str())) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    m_report = std::wstring(temp) + UniqueName(L"QxCtlClient_" + tag) + L".txt";
    DeleteFileW(m_report.c_str());
    std::wstring command = L"\"" + WinePath(HOLLIN_CLIENT_SIGNED) + L"\" \"" + m_report +
                           L"\" stop " + m_ready + L" " + goEvent + L" " + std::to_wstring(delayMs);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
      CloseHandle(process.hThread);
      m_process.reset(process.hProcess);
    }
  }
  ~TimedClient() {
    if (m_process && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(m_process.get(), 98);
    }
    DeleteFileW(m_report.c_str());
  }
  TimedClient(const TimedClient&) = delete;
  TimedClient& operator=(const TimedClient&) = delete;

  bool started() const { return static_cast<bool>(m_process); }
  // Whether the client holds its control manager and waits to call.
  bool WaitReady(DWORD ms) const {
    return m_readyEvent && WaitForSingleObject(m_readyEvent.get(), ms) == WAIT_OBJECT_0;
  }

  // What the client reported once it has ended.
  struct Result {
    DWORD exitCode = 0xFFFFFFFF;
    bool reported = false;
    unsigned long classHr = 0, createHr = 0, stopHr = 0, pid = 0;
    unsigned long long t0 = 0, t1 = 0;  // just before and after the call
  };
  Result Finish(DWORD ms) const {
    Result r;
    if (!m_process || WaitForSingleObject(m_process.get(), ms) != WAIT_OBJECT_0) return r;
    GetExitCodeProcess(m_process.get(), &r.exitCode);
    const std::string text = testsupport::ReadFileBytes(m_report);
    r.reported = sscanf(text.c_str(), "class=%lx create=%lx stop=%lx pid=%lu t0=%llu t1=%llu",
                        &r.classHr, &r.createHr, &r.stopHr, &r.pid, &r.t0, &r.t1) == 6;
    return r;
  }

 private:
  std::wstring m_ready;
  Basalt::UniqueKernelHandle m_readyEvent;
  std::wstring m_report;
  Basalt::UniqueKernelHandle m_process;
};

class ClientsStopScmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.ok());
    ASSERT_TRUE(group_.ok());
    ASSERT_TRUE(manager_) << GetLastError();
    // The marshalling of the host's interfaces and of the secure factory interface.
    ASSERT_EQ(0u, testsupport::Regsvr32(quillet_, false));
    ASSERT_EQ(0u, testsupport::Regsvr32(factoryProxy_, false));
  }
  void TearDown() override {
    testsupport::Regsvr32(factoryProxy_, true);
    testsupport::Regsvr32(quillet_, true);
  }

  hollintest::HostTextLog log_;
  qxhosttest::MachineGroup group_{UniqueName(L"QxCtlClientsGroup"), 0};
  Basalt::UniqueScHandle manager_{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  const std::wstring quillet_ = WinePath(HOLLIN_QUILLET_DLL);
  const std::wstring factoryProxy_ = WinePath(HOLLIN_FACTORY_PS_SIGNED);
};

TEST_F(ClientsStopScmTest, ASecondStopDuringTheFirstWaitsForItAndTheHostEndsWithItsService) {
  ComRegistration subsystem(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
  subsystem.Mode(L"service").Dword(L"StopMs", kStopMs);
  ASSERT_TRUE(subsystem.ok());
  const std::wstring name = UniqueName(L"QxCtlSlowStop");
  ASSERT_TRUE(group_.Add(name, subsystem.text()));
  HostService service(manager_.get(), name, hollintest::TrustingHost(), group_.name());
  ASSERT_TRUE(service.get()) << service.error();
  ASSERT_EQ(0u, service.Start());
  ASSERT_TRUE(service.WaitFor(SERVICE_RUNNING)) << qxtest::ServiceState(service.get());
  DWORD hostPid = 0;
  qxtest::ServiceState(service.get(), &hostPid);
  const Basalt::UniqueKernelHandle host = service.OpenProcessOfService();
  ASSERT_TRUE(host) << GetLastError();

  const std::wstring goName = UniqueName(L"QxCtlClientsGo");
  const Basalt::UniqueKernelHandle go(CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
  ASSERT_TRUE(go) << GetLastError();
  TimedClient first(L"first", goName, 0);
  TimedClient second(L"second", goName, kSecondCallAfterMs);
  ASSERT_TRUE(first.started() && second.started()) << GetLastError();
  ASSERT_TRUE(first.WaitReady(30000));
  ASSERT_TRUE(second.WaitReady(30000));
  SetEvent(go.get());

  const TimedClient::Result a = first.Finish(60000);
  const TimedClient::Result b = second.Finish(60000);
  for (const TimedClient::Result* r : {&a, &b}) {
    SCOPED_TRACE(r == &a ? "first client" : "second client");
    ASSERT_EQ(0u, r->exitCode);
    ASSERT_TRUE(r->reported);
    EXPECT_EQ(0ul, r->createHr);
    EXPECT_EQ(0ul, r->stopHr);
    EXPECT_EQ(hostPid, r->pid);
  }
  // The second call came while the first was still waiting for the service.
  EXPECT_LT(b.t0, a.t1);

  EXPECT_TRUE(service.WaitFor(SERVICE_STOPPED, 5000)) << qxtest::ServiceState(service.get());
  EXPECT_EQ(0u, qxtest::ServiceExitCode(service.get()));
  EXPECT_EQ(1u, qxhosttest::ReadSubsystemRecord(name).returned);
  // The host ended the ordinary way once its service had stopped, not by the forced end (whose
  // exit code would be 0 as well).
  const DWORD hostExit = hollintest::WaitForExitCode(host.get());
  const std::vector<std::wstring> messages = hollintest::MessagesOf(log_.Lines(), hostPid);
  EXPECT_EQ(0u, hostExit) << testing::PrintToString(messages);
  EXPECT_TRUE(hollintest::InOrder(
      messages, {L"Reduce restart: Calling Hollin StopServices",
                 L"Reduce restart: Calling Hollin StopServices", L"SCM stopped after"}))
      << testing::PrintToString(messages);
  EXPECT_FALSE(hollintest::HasPrefix(messages, L"Reduce restart: StopServices failed"));
  EXPECT_FALSE(hollintest::HasPrefix(messages, L"Reduce restart: Enter MyTerminateThread"));
}

}  // namespace
