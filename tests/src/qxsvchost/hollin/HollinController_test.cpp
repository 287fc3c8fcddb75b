// ctest-lock: scm controlmanager-class wss-trace-session standby-events update-manager
// The trace controller of Hollin.exe: a Tamsel.dll beside the program is loaded, started for
// "WSS" and stopped (without stopping the session) at the end, when its signer is trusted; an
// untrusted one is refused and the host runs all the same. The controller fixtures are signed by
// test signers, so the test-only host that trusts them stands in for the shipped program, which
// refuses them.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "ControllerFixtures.h"
#include "HollinTestSupport.h"

namespace {

using hollintest::HasPrefix;
using qxhosttest::UniqueName;

constexpr wchar_t kWssOwnerMutex[] = L"Global\\Telvan.{0696D115-BE52-46c3-BFEE-D73A305B6581}";

bool MutexExists(const wchar_t* name) {
  return static_cast<bool>(Basalt::UniqueKernelHandle(OpenMutexW(SYNCHRONIZE, FALSE, name)));
}

std::wstring Lower(std::wstring text) {
  CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

class HollinControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(log_.ok());
    wchar_t temp[MAX_PATH] = {};
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    scratch_ = std::wstring(temp) + UniqueName(L"HollinController");
    testsupport::DeleteTree(scratch_);
    ASSERT_TRUE(CreateDirectoryW(scratch_.c_str(), nullptr));
    calls_ = scratch_ + L"\\calls.log";
    SetEnvironmentVariableW(L"HOLLIN_FAKE_CONTROLLER_LOG", calls_.c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"HOLLIN_FAKE_CONTROLLER_LOG", nullptr);
    testsupport::DeleteTree(scratch_);
  }

  // A copy of |program| as <scratch>\<folder>\Hollin.exe with the controller fixture |variant|
  // beside it as Tamsel.dll; the copy's path.
  std::wstring Install(const std::wstring& program, const wchar_t* folder, const wchar_t* variant) {
    const std::wstring dir = scratch_ + L"\\" + folder;
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring host = dir + L"\\Hollin.exe";
    EXPECT_TRUE(CopyFileW(program.c_str(), host.c_str(), FALSE));
    EXPECT_TRUE(CopyFileW(controller_test::ControllerFixture(variant).c_str(),
                          (dir + L"\\Tamsel.dll").c_str(), FALSE));
    return host;
  }
  // The lines the fake controller wrote (lower case, trailing blanks cut), and a fresh record.
  std::vector<std::wstring> TakeCalls() {
    const std::string bytes = testsupport::ReadFileBytes(calls_);
    DeleteFileW(calls_.c_str());
    std::vector<std::wstring> lines;
    std::wstring line;
    for (char c : bytes) {
      if (c == '\n') {
        while (!line.empty() && (line.back() == L'\r' || line.back() == L' ')) line.pop_back();
        lines.push_back(Lower(line));
        line.clear();
      } else {
        line += static_cast<wchar_t>(static_cast<unsigned char>(c));
      }
    }
    return lines;
  }
  // Runs |host| without arguments (the host road, ending with 87) and reports whether it logged
  // its start line.
  bool RunsTheHostRoad(const std::wstring& host) {
    log_.Clear();
    EXPECT_EQ(87u, testsupport::RunProgram(host, L""));
    std::vector<std::wstring> messages;
    for (const hollintest::HostLogLine& line : log_.Lines()) messages.push_back(line.message);
    return HasPrefix(messages, hollintest::StartLine(host));
  }

  hollintest::HostTextLog log_;
  std::wstring scratch_;
  std::wstring calls_;
};

TEST_F(HollinControllerTest, OnlyATrustedControllerBesideTheProgramIsLoadedStartedAndStopped) {
  const std::wstring trusted = Install(hollintest::TrustingHost(), L"trusting", L"good");
  EXPECT_TRUE(RunsTheHostRoad(trusted));
  const std::wstring library = std::wstring(Lower(scratch_)) + L"\\trusting\\tamsel.dll";
  EXPECT_EQ((std::vector<std::wstring>{L"dlladdref " + library, L"start wss", L"stop 0 wss",
                                       L"dllrelease"}),
            TakeCalls());

  const std::wstring untrusted = Install(hollintest::TrustingHost(), L"untrusted", L"wrong");
  EXPECT_TRUE(RunsTheHostRoad(untrusted));
  EXPECT_TRUE(TakeCalls().empty());

  // The shipped program trusts no test signer.
  const std::wstring shipped = Install(hollintest::ShippedHost(), L"shipped", L"good");
  EXPECT_TRUE(RunsTheHostRoad(shipped));
  EXPECT_TRUE(TakeCalls().empty());
}

// The real Tamsel.dll beside a host run by the service control manager owns the "WSS" session
// while the service runs and lets it go when the host ends (Wine records no trace).
TEST_F(HollinControllerTest, TheRealControllerOwnsTheSessionWhileTheHostRuns) {
  const std::wstring host = Install(hollintest::TrustingHost(), L"real", L"real");
  qxhosttest::ComRegistration subsystem(qxhosttest::DoublePath(L"QxSubsystemDouble.dll"));
  subsystem.Mode(L"service");
  ASSERT_TRUE(subsystem.ok());
  qxhosttest::MachineGroup group(UniqueName(L"HollinTraceGroup"), 0);
  ASSERT_TRUE(group.ok());
  const std::wstring name = UniqueName(L"HollinTraced");
  ASSERT_TRUE(group.Add(name, subsystem.text()));
  Basalt::UniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager);
  hollintest::HostService service(manager.get(), name, host, group.name());
  ASSERT_TRUE(service.get()) << service.error();

  ASSERT_FALSE(MutexExists(kWssOwnerMutex));
  ASSERT_EQ(0u, service.Start());
  ASSERT_TRUE(service.WaitFor(SERVICE_RUNNING));
  Basalt::UniqueKernelHandle process = service.OpenProcessOfService();
  ASSERT_TRUE(process);
  EXPECT_TRUE(MutexExists(kWssOwnerMutex));
  EXPECT_TRUE(service.Stop());
  EXPECT_EQ(0u, hollintest::WaitForExitCode(process.get()));
  EXPECT_FALSE(MutexExists(kWssOwnerMutex));
}

}  // namespace
