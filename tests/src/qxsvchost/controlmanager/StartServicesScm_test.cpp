// ctest-lock: scm
// Starting the group "QxCoreSvc" on request against Wine's real service control manager, with
// throw-away services of this test (QxCtlTestService.exe): every listed service is asked to start,
// none is waited for, and the ones that cannot be opened or started are logged and passed over.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "QxCtlTestSupport.h"
#include "basalt/UniqueHandle.h"
#include "etwlogging/LogCapture.h"
#include "src/qxsvchost/CQxSvcHostConfig.h"
#include "src/qxsvchost/QxStartServices.h"
#include "tests/src/qxsvchost/QxServiceStatus.h"
#include "tests/support/ScratchMachineKey.h"

namespace {

using Basalt::UniqueScHandle;

const std::wstring kCoreGroupKey = std::wstring(QXSVCHOST_REG_KEY) + L"\\QxCoreSvc";

std::wstring UniqueName(const wchar_t* stem) {
  return std::wstring(L"QxStart") + stem + L"_" + std::to_wstring(GetCurrentProcessId());
}

class StartServicesScmTest : public qxctltest::TestServiceFixture {
 protected:
  void SetUp() override {
    TestServiceFixture::SetUp();
    ASSERT_TRUE(machine_.ok());
    ASSERT_TRUE(capture_.active());
  }
  void TearDown() override {
    TestServiceFixture::TearDown();
    CQxSvcHostConfig::DestroyInstance();
  }

  std::wstring Install(const wchar_t* stem, const wchar_t* mode) {
    return TestServiceFixture::Install(UniqueName(stem), mode);
  }
  static void CoreList(const std::wstring& list) {
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(HKEY_LOCAL_MACHINE, kCoreGroupKey.c_str(), nullptr, REG_SZ,
                              list.c_str(), static_cast<DWORD>((list.size() + 1) * 2)));
  }
  bool Logged(DWORD level, const std::wstring& text) {
    for (const auto& r : log_.Records()) {
      if (r.level == level && r.message == text) return true;
    }
    return false;
  }

  testsupport::ScratchMachineKey machine_{L"QxStartScm"};
  ETWLogging::CLogCapture log_;
  ETWLogging::ScopedLogCapture capture_{log_};
};

TEST_F(StartServicesScmTest, StartsEveryListedServiceWithoutWaitingAndPassesOverFailures) {
  const std::wstring slow = Install(L"Slow", L"slow");
  const std::wstring quick = Install(L"Quick", L"stop");
  const std::wstring running = Install(L"Running", L"stop");
  const std::wstring missing = UniqueName(L"Missing");
  {
    UniqueScHandle service = Open(running);
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
    ASSERT_TRUE(qxtest::WaitForServiceState(service.get(), SERVICE_RUNNING, 10000));
  }
  CoreList(slow + L";" + missing + L"," + running + L":" + quick);

  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(S_OK, StartServices(TRUE));
  const ULONGLONG elapsed = GetTickCount64() - start;
  UniqueScHandle slowService = Open(slow);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), qxtest::ServiceState(slowService.get()));
  EXPECT_LT(elapsed, 2500u) << "waited for a service to run";

  EXPECT_TRUE(qxtest::WaitForServiceState(slowService.get(), SERVICE_RUNNING, 10000));
  EXPECT_TRUE(qxtest::WaitForServiceState(Open(quick).get(), SERVICE_RUNNING, 10000));
  EXPECT_TRUE(Logged(3, L"Reduce restart: Calling Hollin StartServices"));
  EXPECT_TRUE(Logged(3, L"Failed to open service:" + missing + L", error code 1060"));
  EXPECT_TRUE(Logged(3, L"Failed to start service:" + running + L", error code 1056"));
}

TEST_F(StartServicesScmTest, AGroupThatCannotBeReadStartsNothing) {
  EXPECT_EQ(E_FAIL, StartServices(FALSE));
  EXPECT_TRUE(Logged(4, L"Failed to initialize CQxSvcHostConfig"));

  Basalt::UniqueHKey host;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, host.put(), nullptr));
  EXPECT_EQ(E_FAIL, StartServices(TRUE));
  EXPECT_TRUE(Logged(4, L"Failed to get group services"));

  CoreList(L";;");
  EXPECT_EQ(S_OK, StartServices(TRUE));
  EXPECT_TRUE(Logged(4, L"There are no services in the group"));
}

}  // namespace
