// ctest-lock: scm controlmanager-class wss-trace-session update-manager
// The shipped Hollin.exe as the share-process service of a group, run by Wine's service control
// manager: started, reported RUNNING, stopped, the host process ending with 0, its log lines in
// the order of the host road and the learned working-set limit stored. Wine runs each service of
// a group in a process of its own, so each process hosts one service of the group here.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "HollinTestSupport.h"

namespace {

using hollintest::HostService;
using hollintest::MessagesOf;
using hollintest::ProcessesThatLogged;
using qxhosttest::ComRegistration;
using qxhosttest::UniqueName;

class HollinScmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.ok());
    ASSERT_TRUE(group_.ok());
    ASSERT_TRUE(manager_) << GetLastError();
  }

  // A share-process service of the group, run by |registration|.
  std::unique_ptr<HostService> AddService(const wchar_t* stem, const std::wstring& clsid) {
    const std::wstring name = UniqueName(stem);
    EXPECT_TRUE(group_.Add(name, clsid));
    auto service = std::make_unique<HostService>(manager_.get(), name, hollintest::ShippedHost(),
                                                 group_.name());
    EXPECT_TRUE(service->get()) << service->error();
    return service;
  }

  hollintest::HostTextLog log_;
  qxhosttest::MachineGroup group_{UniqueName(L"HollinGroup"), 1};
  Basalt::UniqueScHandle manager_{OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
};

TEST_F(HollinScmTest, BothServicesOfAGroupRunStopAndTheHostTakesTheRoadInOrder) {
  ComRegistration first(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
  ComRegistration second(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
  first.Mode(L"service");
  second.Mode(L"service");
  ASSERT_TRUE(first.ok() && second.ok());
  std::unique_ptr<HostService> services[] = {AddService(L"HollinFirst", first.text()),
                                             AddService(L"HollinSecond", second.text())};
  DWORD limit = 0;
  ASSERT_FALSE(
      qxhosttest::ScratchHost::ReadDword(group_.key(), L"WSSOptimalBucketUpperLimit", limit));

  Basalt::UniqueKernelHandle processes[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(0u, services[i]->Start());
    ASSERT_TRUE(services[i]->WaitFor(SERVICE_RUNNING)) << qxtest::ServiceState(services[i]->get());
    processes[i] = services[i]->OpenProcessOfService();
    ASSERT_TRUE(processes[i]) << GetLastError();
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(services[i]->Stop());
    EXPECT_EQ(0u, hollintest::WaitForExitCode(processes[i].get()));
    EXPECT_EQ(1u, qxhosttest::ReadSubsystemRecord(services[i]->name()).returned);
  }

  // Each process hosted the group and ran the service it was started for.
  const std::vector<hollintest::HostLogLine> lines = log_.Lines();
  const std::vector<DWORD> hosts =
      ProcessesThatLogged(lines, L"Telvan Shared Service Host [" + hollintest::ShippedHost());
  ASSERT_EQ(2u, hosts.size()) << testing::PrintToString(MessagesOf(lines, 0));
  for (DWORD pid : hosts) {
    SCOPED_TRACE(pid);
    const std::vector<std::wstring> messages = MessagesOf(lines, pid);
    EXPECT_TRUE(hollintest::InOrder(
        messages, {hollintest::StartLine(hollintest::ShippedHost()),
                   L"The group name selected to run is '" + group_.name() + L"'",
                   L"Service added to SCM interface successfully '" + services[0]->name() + L"'",
                   L"Service added to SCM interface successfully '" + services[1]->name() + L"'",
                   L"2 services added to SCM interface", L"Working set handler initialized",
                   L"Starting SCM after ", L"Entering ServiceMain for '", L"SCM stopped after ",
                   L"De-initializing working set reduction"}))
        << testing::PrintToString(messages);
  }
  EXPECT_EQ(1u,
            ProcessesThatLogged(lines, L"Entering ServiceMain for '" + services[0]->name()).size());
  EXPECT_EQ(1u,
            ProcessesThatLogged(lines, L"Entering ServiceMain for '" + services[1]->name()).size());
  EXPECT_TRUE(
      qxhosttest::ScratchHost::ReadDword(group_.key(), L"WSSOptimalBucketUpperLimit", limit));
}

// A service whose class is not registered is reported stopped at once (Wine's StartServiceW
// then fails with 1053); its sibling starts and stops as ever.
TEST_F(HollinScmTest, AServiceWithoutARegisteredClassStopsAtOnceAndLeavesItsSiblingAlone) {
  ComRegistration present(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
  present.Mode(L"service");
  ASSERT_TRUE(present.ok());
  GUID missingClsid = {};
  ASSERT_EQ(S_OK, CoCreateGuid(&missingClsid));
  wchar_t missingText[64] = {};
  StringFromGUID2(missingClsid, missingText, 64);
  std::unique_ptr<HostService> missing = AddService(L"HollinMissing", missingText);
  std::unique_ptr<HostService> sibling = AddService(L"HollinSibling", present.text());

  const DWORD started = missing->Start();
  EXPECT_TRUE(started == ERROR_SERVICE_REQUEST_TIMEOUT || started == ERROR_SUCCESS) << started;
  EXPECT_TRUE(missing->WaitFor(SERVICE_STOPPED, 5000));
  ASSERT_EQ(0u, sibling->Start());
  ASSERT_TRUE(sibling->WaitFor(SERVICE_RUNNING));
  Basalt::UniqueKernelHandle process = sibling->OpenProcessOfService();
  ASSERT_TRUE(process);
  EXPECT_TRUE(sibling->Stop());
  EXPECT_EQ(0u, hollintest::WaitForExitCode(process.get()));

  const std::vector<hollintest::HostLogLine> lines = log_.Lines();
  const std::vector<DWORD> failed = ProcessesThatLogged(
      lines, L"Failed to get the subsystem interface for '" + missing->name() + L"'");
  ASSERT_EQ(1u, failed.size());
  // Its host ended normally once its only started service had stopped.
  EXPECT_TRUE(hollintest::HasPrefix(MessagesOf(lines, failed[0]), L"SCM stopped after "));
  EXPECT_TRUE(
      ProcessesThatLogged(lines, L"Failed to get the subsystem interface for '" + sibling->name())
          .empty());
  EXPECT_EQ(1u, qxhosttest::ReadSubsystemRecord(sibling->name()).returned);
}

}  // namespace
