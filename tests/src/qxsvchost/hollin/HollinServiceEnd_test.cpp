// ctest-lock: scm controlmanager-class wss-trace-session update-manager
// The shipped Hollin.exe under Wine's service control manager where the end of a service meets
// what comes after it: a new start right after the subsystem's own STOPPED report, and controls
// that keep coming while the service ends. Wine runs each new start in a process of its own; a
// shared host on Windows gets it in the same process, as the host tests show in-process.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "HollinTestSupport.h"

namespace {

using hollintest::HostService;
using qxhosttest::ComRegistration;
using qxhosttest::UniqueName;

class HollinServiceEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.ok());
    ASSERT_TRUE(group_.ok());
    ASSERT_TRUE(manager_) << GetLastError();
  }

  hollintest::HostTextLog log_;
  qxhosttest::MachineGroup group_{UniqueName(L"HollinEndGroup"), 0};
  Basalt::UniqueScHandle manager_{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
};

// A subsystem that reports its own STOPPED and returns a while later (with and without asking to
// be unloaded), and each next start at once: the new instance stays RUNNING through the last
// one's end, answers INTERROGATE, stops with its own STOPPED and exit code 0, and every host
// process ends.
TEST_F(HollinServiceEndTest, ANewStartRightAfterTheSubsystemsOwnStopRunsOn) {
  constexpr DWORD kStarts = 3;
  for (const DWORD exitCode : {0u, 0xDEADBABEu}) {
    SCOPED_TRACE(testing::Message() << "exit code 0x" << std::hex << exitCode);
    ComRegistration serves(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
    serves.Mode(L"service").Dword(L"ExitCode", exitCode).Dword(L"LingerMs", 300);
    ASSERT_TRUE(serves.ok());
    const std::wstring name = UniqueName(exitCode ? L"HollinRestartBabe" : L"HollinRestart");
    ASSERT_TRUE(group_.Add(name, serves.text()));
    HostService service(manager_.get(), name, hollintest::ShippedHost(), group_.name());
    ASSERT_TRUE(service.get()) << service.error();

    std::vector<Basalt::UniqueKernelHandle> hosts;
    for (DWORD start = 1; start <= kStarts; ++start) {
      SCOPED_TRACE(testing::Message() << "start " << start);
      // Right after the last STOPPED: taken at once, while the last host still ends.
      ASSERT_EQ(0u, service.Start());
      ASSERT_TRUE(service.WaitFor(SERVICE_RUNNING, 10000)) << qxtest::ServiceState(service.get());
      DWORD pid = 0;
      qxtest::ServiceState(service.get(), &pid);
      hosts.push_back(service.OpenProcessOfService());
      ASSERT_TRUE(hosts.back()) << GetLastError();
      // Longer than the last start's end takes: its linger and the unload pause.
      Sleep(700);
      DWORD pidNow = 0;
      EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), qxtest::ServiceState(service.get(), &pidNow));
      EXPECT_EQ(pid, pidNow);
      SERVICE_STATUS status = {};
      EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status))
          << GetLastError();
      EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
      ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
      ASSERT_TRUE(service.WaitFor(SERVICE_STOPPED, 10000)) << qxtest::ServiceState(service.get());
      EXPECT_EQ(0u, qxtest::ServiceExitCode(service.get()));
    }
    for (const Basalt::UniqueKernelHandle& host : hosts) {
      EXPECT_EQ(0u, hollintest::WaitForExitCode(host.get(), 10000));
    }
    const qxhosttest::SubsystemRecord record = qxhosttest::ReadSubsystemRecord(name);
    EXPECT_EQ(kStarts, record.calls);
    EXPECT_EQ(kStarts, record.returned);
    EXPECT_EQ(0u, record.lateControls);
  }
}

struct EndCase {
  const wchar_t* stem;
  DWORD hr;
  DWORD exitCode;
  DWORD stopped;  // the service's Win32 exit code once STOPPED
};

// INTERROGATE in a tight loop while a subsystem that never reported STOPPED ends: none reaches
// its handler once the host has released the object (or freed its library), the host takes its
// ordinary way down, and the service ends STOPPED with the code of its end.
TEST_F(HollinServiceEndTest, InterrogationsAcrossTheEndOfAServiceNeverReachItsReleasedSubsystem) {
  const EndCase cases[] = {
      {L"HollinFloodBabe", 0, 0xDEADBABE, 0},
      {L"HollinFloodFail", 0x80004005, 0, 1627},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << c.stem);
    ComRegistration ends(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
    ends.Mode(L"running-return").Dword(L"Hr", c.hr).Dword(L"ExitCode", c.exitCode);
    ends.Dword(L"DelayMs", 300);
    ASSERT_TRUE(ends.ok());
    const std::wstring name = UniqueName(c.stem);
    ASSERT_TRUE(group_.Add(name, ends.text()));
    HostService service(manager_.get(), name, hollintest::ShippedHost(), group_.name());
    ASSERT_TRUE(service.get()) << service.error();

    ASSERT_EQ(0u, service.Start());
    ASSERT_TRUE(service.WaitFor(SERVICE_RUNNING, 10000)) << qxtest::ServiceState(service.get());
    DWORD pid = 0;
    qxtest::ServiceState(service.get(), &pid);
    Basalt::UniqueKernelHandle process = service.OpenProcessOfService();
    ASSERT_TRUE(process) << GetLastError();
    int answered = 0;
    for (const ULONGLONG end = GetTickCount64() + 10000; GetTickCount64() < end;) {
      SERVICE_STATUS status = {};
      if (!ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status)) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), GetLastError());
        break;
      }
      if (status.dwCurrentState == SERVICE_STOPPED) break;
      ++answered;
    }
    EXPECT_GT(answered, 0);
    EXPECT_TRUE(service.WaitFor(SERVICE_STOPPED, 5000)) << qxtest::ServiceState(service.get());
    EXPECT_EQ(c.stopped, qxtest::ServiceExitCode(service.get()));
    EXPECT_EQ(0u, hollintest::WaitForExitCode(process.get(), 10000));
    const qxhosttest::SubsystemRecord record = qxhosttest::ReadSubsystemRecord(name);
    EXPECT_EQ(1u, record.returned);
    EXPECT_EQ(0u, record.lateControls);
    const std::vector<std::wstring> messages = hollintest::MessagesOf(log_.Lines(), pid);
    EXPECT_TRUE(hollintest::InOrder(
        messages, {L"ServiceMain for " + name + L" completed after ", L"SCM stopped after "}))
        << testing::PrintToString(messages);
  }
}

}  // namespace
