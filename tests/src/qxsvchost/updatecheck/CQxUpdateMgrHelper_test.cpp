// ctest-lock: update-manager
// The update manager's helper beyond the running check: the update phase, the pending restart,
// the restart reminder, cancelling without an agent and the null-pointer answers.
#include <gtest/gtest.h>
#include <windows.h>

#include "QxTestLogCapture.h"
#include "basalt/UniqueHandle.h"
#include "src/qxsvchost/QxUpdateMgr/include/QxUpdateMgr_Helper.h"
#include "tests/support/ScratchMachineKey.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogNormal;
using ETWLogging::kLogWarning;

class UpdateHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(machine_.ok());
    ASSERT_TRUE(capture_.installed());
  }
  testsupport::ScratchMachineKey machine_{L"QxUpdateHelper"};
  qxtest::ScopedLogCapture capture_;
  CQxUpdateMgr_Helper helper_;
};

TEST_F(UpdateHelperTest, NullPointersAreRefused) {
  EXPECT_EQ(E_POINTER, helper_.IsUpdateRunning(nullptr));
  EXPECT_EQ(E_POINTER, helper_.CancelUpdate2(nullptr));
  EXPECT_EQ(2u, capture_.log().Count(kLogError, L"Invalid parameter!"));
  BOOL running = FALSE;
  EXPECT_EQ(E_POINTER, helper_.IsUpdateRunning2(&running, nullptr));
  EXPECT_TRUE(
      capture_.log().Has(kLogError, L"The pbRunning or pbRemindPending or pdwPhase is invalid!"));
  EXPECT_EQ(E_POINTER, helper_.IsRestartPending(nullptr));
  EXPECT_TRUE(capture_.log().Has(kLogError, L"The pbPending parameter is invalid!"));
}

TEST_F(UpdateHelperTest, APendingRestartIsReadFromTheVolatileKey) {
  const wchar_t* key = L"SOFTWARE\\Telvan\\Volatile\\KSC";
  BOOL pending = TRUE;
  EXPECT_EQ(S_OK, helper_.IsRestartPending(&pending));
  EXPECT_FALSE(pending);
  EXPECT_TRUE(capture_.log().Has(kLogWarning,
                                 L"Failed to read IsRestartPending value from registry - error 2"));
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"IsRestartPending", REG_SZ, L"1", 4));
  EXPECT_EQ(S_OK, helper_.IsRestartPending(&pending));
  EXPECT_FALSE(pending);
  EXPECT_TRUE(capture_.log().Has(kLogWarning, L"Invalid value type"));
  ASSERT_TRUE(machine_.SetPlainDword(key, L"IsRestartPending", 1));
  EXPECT_EQ(S_OK, helper_.IsRestartPending(&pending));
  EXPECT_TRUE(pending);
  EXPECT_TRUE(capture_.log().Has(kLogNormal, L"Restart is pending"));
}

TEST_F(UpdateHelperTest, ThePhaseIsReadOnlyWhileAnUpdateRuns) {
  ASSERT_TRUE(
      machine_.SetPlainDword(L"SOFTWARE\\Telvan\\UPDMGR\\Update\\pkg_default", L"phase", 3));
  BOOL running = TRUE;
  DWORD phase = 99;
  EXPECT_EQ(S_OK, helper_.IsUpdateRunning2(&running, &phase));
  EXPECT_FALSE(running);
  EXPECT_EQ(99u, phase);
  EXPECT_EQ(E_FAIL, helper_.RemindRestart());
  EXPECT_TRUE(capture_.log().Has(kLogError, L"Failed to open remind restart event - error 2"));

  Basalt::UniqueKernelHandle event(
      CreateEventW(nullptr, TRUE, FALSE, QX_UPDATE_EVENT_STEM L"default"));
  ASSERT_TRUE(event);
  EXPECT_EQ(S_OK, helper_.IsUpdateRunning2(&running, &phase));
  EXPECT_TRUE(running);
  EXPECT_EQ(3u, phase);
  EXPECT_EQ(S_OK, helper_.RemindRestart());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 0));
}

TEST_F(UpdateHelperTest, CancellingWithoutAnAgentReportsTheFailure) {
  LONG sent = 1;
  const HRESULT hr = helper_.CancelUpdate2(&sent);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(0, sent);
  EXPECT_TRUE(
      capture_.log().HasPrefix(kLogError, L"Failed to create update agent object. hr = 0x"));
  EXPECT_TRUE(capture_.log().HasPrefix(kLogError, L"Failed to send cancel request. hr = 0x"));
}

}  // namespace
