// ctest-lock: scm controlmanager-class wss-trace-session update-manager
// The shipped Hollin.exe under Wine's service control manager with hosted subsystems that fail
// after they reported RUNNING: every such service ends STOPPED with the exit code of what
// happened, its host process ends with 0, and the service can be started again. The subsystem
// runs with the four privileges of the host enabled.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "HollinTestSupport.h"

namespace {

using hollintest::HostService;
using qxhosttest::ComRegistration;
using qxhosttest::UniqueName;

struct FailureCase {
  const wchar_t* stem;
  const wchar_t* mode;
  DWORD hr;
  DWORD delayMs;   // from RUNNING to the failure: long enough to see RUNNING
  DWORD exitCode;  // the service's Win32 exit code once STOPPED
};

TEST(HollinFailingSubsystemTest, AFailedSubsystemEndsItsServiceStoppedAndItsHost) {
  hollintest::HostTextLog log;
  ASSERT_TRUE(log.ok());
  qxhosttest::MachineGroup group(UniqueName(L"HollinFailGroup"), 0);
  ASSERT_TRUE(group.ok());
  Basalt::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager) << GetLastError();

  const FailureCase cases[] = {
      {L"HollinFault", L"running-av", 0, 500, 4317},
      {L"HollinFail", L"running-return", 0x80004005, 500, 1627},
      // Its own STOPPED report stands; the host adds none (a second one on the closed handle
      // would be the end of the process, not a clean exit).
      {L"HollinOwnStop", L"stopped-return", 0x80004005, 1000, 0},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << c.stem);
    ComRegistration clsid(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
    clsid.Mode(c.mode).Dword(L"Hr", c.hr).Dword(L"DelayMs", c.delayMs);
    ASSERT_TRUE(clsid.ok());
    const std::wstring name = UniqueName(c.stem);
    ASSERT_TRUE(group.Add(name, clsid.text()));
    HostService service(manager.get(), name, hollintest::ShippedHost(), group.name());
    ASSERT_TRUE(service.get()) << service.error();

    // Twice: a service that ended this way can be started again.
    for (DWORD run = 1; run <= 2; ++run) {
      SCOPED_TRACE(testing::Message() << "run " << run);
      ASSERT_EQ(0u, service.Start());
      ASSERT_TRUE(service.WaitFor(SERVICE_RUNNING, 10000)) << qxtest::ServiceState(service.get());
      Basalt::UniqueKernelHandle process = service.OpenProcessOfService();
      ASSERT_TRUE(process) << GetLastError();
      EXPECT_TRUE(service.WaitFor(SERVICE_STOPPED, 5000 + c.delayMs))
          << qxtest::ServiceState(service.get());
      EXPECT_EQ(c.exitCode, qxtest::ServiceExitCode(service.get()));
      EXPECT_EQ(0u, hollintest::WaitForExitCode(process.get(), 10000));
      const qxhosttest::SubsystemRecord record = qxhosttest::ReadSubsystemRecord(name);
      EXPECT_EQ(run, record.calls);
      // The four privileges of the host are enabled while its subsystems run.
      EXPECT_EQ(0xFu, record.privileges);
    }
  }
  // Each run ended with the dispatcher's return: the host took its ordinary way down.
  size_t ended = 0;
  for (const hollintest::HostLogLine& line : log.Lines()) {
    ended += line.message.rfind(L"SCM stopped after ", 0) == 0;
  }
  EXPECT_EQ(6u, ended);
}

}  // namespace
