// clang-format off
// ctest-lock: scm controlmanager-class wss-trace-session update-manager quillet-registration qxclassfactory-proxy
// clang-format on
// An outside client in a process of its own uses the control manager that a running Hollin.exe
// registers: the test-only host that trusts the build's test signers, run by Wine's service control
// manager for a group of two services (Wine runs each in a host process of its own). The client is
// one program, unsigned and signed by the trusted test signer; both reach the host through the same
// signed proxy/stub of IQxClassFactory, so the outcome follows the client's signature alone.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "HollinTestSupport.h"
#include "tests/support/TestFiles.h"

namespace {

using hollintest::HostService;
using qxhosttest::ComRegistration;
using qxhosttest::UniqueName;
using testsupport::WinePath;

constexpr unsigned long kAccessDenied = 0x80070005;

// What the client program wrote: its calls' results and the process ID the host gave it.
struct ClientRun {
  DWORD exitCode = 0xFFFFFFFF;
  unsigned long classHr = 0, createHr = 0, stopHr = 0, pid = 0;
  bool reported = false;
};

using testsupport::Regsvr32;

class HollinClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(group_.ok());
    ASSERT_TRUE(manager_) << GetLastError();
    // The marshalling of the host's interfaces and of the secure factory interface.
    ASSERT_EQ(0u, Regsvr32(quillet_, false));
    ASSERT_EQ(0u, Regsvr32(factoryProxy_, false));
    subsystem_.Mode(L"service");
    ASSERT_TRUE(subsystem_.ok());
    for (const wchar_t* stem : {L"HollinClientFirst", L"HollinClientSecond"}) {
      const std::wstring name = UniqueName(stem);
      ASSERT_TRUE(group_.Add(name, subsystem_.text()));
      services_.push_back(std::make_unique<HostService>(manager_.get(), name,
                                                        hollintest::TrustingHost(), group_.name()));
      ASSERT_TRUE(services_.back()->get()) << services_.back()->error();
    }
    for (const auto& service : services_) {
      ASSERT_EQ(0u, service->Start());
      ASSERT_TRUE(service->WaitFor(SERVICE_RUNNING)) << qxtest::ServiceState(service->get());
      hosts_.push_back(service->OpenProcessOfService());
      ASSERT_TRUE(hosts_.back()) << GetLastError();
      DWORD pid = 0;
      qxtest::ServiceState(service->get(), &pid);
      hostPids_.push_back(pid);
    }
  }
  void TearDown() override {
    services_.clear();
    Regsvr32(factoryProxy_, true);
    Regsvr32(quillet_, true);
  }

  // Runs the client (signed or not), asking it to stop the group, and reads its report.
  static ClientRun RunClient(bool signedClient) {
    const std::wstring program =
        WinePath(signedClient ? HOLLIN_CLIENT_SIGNED : HOLLIN_CLIENT_UNSIGNED);
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring report = std::wstring(temp) + UniqueName(L"HollinClient") + L".txt";
    DeleteFileW(report.c_str());
    ClientRun run;
    run.exitCode = testsupport::RunProgram(program, L"\"" + report + L"\" stop", 60000);
    const std::string text = testsupport::ReadFileBytes(report);
    DeleteFileW(report.c_str());
    run.reported = sscanf(text.c_str(), "class=%lx create=%lx stop=%lx pid=%lu", &run.classHr,
                          &run.createHr, &run.stopHr, &run.pid) == 4;
    return run;
  }

  bool HostRuns(size_t i) const { return WaitForSingleObject(hosts_[i].get(), 0) == WAIT_TIMEOUT; }

  qxhosttest::MachineGroup group_{UniqueName(L"HollinClientGroup"), 1};
  Basalt::UniqueScHandle manager_{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
  ComRegistration subsystem_{qxhosttest::DoublePath(L"QxSubsystemDouble.dll")};
  const std::wstring quillet_ = WinePath(HOLLIN_QUILLET_DLL);
  const std::wstring factoryProxy_ = WinePath(HOLLIN_FACTORY_PS_SIGNED);
  std::vector<std::unique_ptr<HostService>> services_;
  std::vector<Basalt::UniqueKernelHandle> hosts_;
  std::vector<DWORD> hostPids_;
};

TEST_F(HollinClientTest, AnUnsignedClientIsRefusedAndTheSameClientSignedStopsTheGroup) {
  const ClientRun refused = RunClient(false);
  ASSERT_EQ(0u, refused.exitCode);
  ASSERT_TRUE(refused.reported);
  EXPECT_EQ(0ul, refused.classHr);
  EXPECT_EQ(kAccessDenied, refused.createHr);
  EXPECT_EQ(0ul, refused.pid) << "the stop was not asked for";
  for (size_t i = 0; i < services_.size(); ++i) {
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), qxtest::ServiceState(services_[i]->get()));
    EXPECT_TRUE(HostRuns(i));
    EXPECT_EQ(0u, qxhosttest::ReadSubsystemRecord(services_[i]->name()).returned);
  }

  const ClientRun admitted = RunClient(true);
  ASSERT_EQ(0u, admitted.exitCode);
  ASSERT_TRUE(admitted.reported);
  EXPECT_EQ(0ul, admitted.classHr);
  EXPECT_EQ(0ul, admitted.createHr);
  EXPECT_EQ(0ul, admitted.stopHr);
  // The host that answered is one of the group's processes.
  EXPECT_TRUE(admitted.pid == hostPids_[0] || admitted.pid == hostPids_[1]) << admitted.pid;
  // Every service of the group has stopped and each host ended the ordinary way.
  for (size_t i = 0; i < services_.size(); ++i) {
    EXPECT_TRUE(services_[i]->WaitFor(SERVICE_STOPPED, 5000))
        << qxtest::ServiceState(services_[i]->get());
    EXPECT_EQ(0u, hollintest::WaitForExitCode(hosts_[i].get()));
    EXPECT_EQ(1u, qxhosttest::ReadSubsystemRecord(services_[i]->name()).returned);
  }
}

}  // namespace
