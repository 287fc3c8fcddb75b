// ctest-lock: update-manager trusted-list qxclassfactory-proxy
// The update check against the real update-manager doubles: the update's global event and the
// client object as a local server that COM starts, reached through a widl-made proxy library
// whose signer the secure creation checks.
#include "src/qxsvchost/IsInstallingUpdate.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <string>
#include <thread>

#include "QxTestLogCapture.h"
#include "tests/src/qxsvchost/doubles/updatemgr/QxUpdateManagerDouble.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogInformation;
using ETWLogging::kLogNormal;
using qxdouble::UpdateManagerDouble;

class UpdateCheckTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(capture_.installed()); }
  void UpdateRuns() { ASSERT_TRUE(manager_.UpdateRuns()); }
  void RegisterClient(const wchar_t* proxyLibrary) {
    ASSERT_TRUE(manager_.RegisterClient(proxyLibrary));
  }
  static void ClientAnswers(const wchar_t* name, DWORD value) {
    ASSERT_TRUE(UpdateManagerDouble::ClientAnswers(name, value));
  }
  static DWORD ClientCount(const wchar_t* name) { return UpdateManagerDouble::ClientCount(name); }
  // IsInstallingUpdate on a thread of its own, as on the host's main thread before COM. Returns
  // once the server it may have started has gone again, so that the next check starts its own.
  static LONG Check() {
    LONG result = -1;
    std::thread([&] { result = IsInstallingUpdate(); }).join();
    EXPECT_TRUE(UpdateManagerDouble::WaitForServersToEnd()) << "the server did not end";
    return result;
  }
  bool Logged(ETWLogging::LogLevel level, const std::wstring& text) {
    return capture_.log().Has(level, text);
  }

  qxtest::ScopedLogCapture capture_;
  UpdateManagerDouble manager_;
};

TEST_F(UpdateCheckTest, WithoutTheEventNoUpdateRunsAndNoObjectIsAsked) {
  RegisterClient(L"QxUpdateClientRotPS_signed.dll");
  ClientAnswers(L"Installing", 1);
  EXPECT_EQ(0, Check());
  EXPECT_TRUE(Logged(kLogNormal, L"An update is NOT running."));
  EXPECT_TRUE(Logged(kLogNormal, L"update manager is not running"));
  EXPECT_TRUE(Logged(kLogInformation, L"Reduce restart: IsInstallingUpdate return value is 0"));
  EXPECT_EQ(0u, ClientCount(L"Launched"));
}

TEST_F(UpdateCheckTest, AnEventWithoutAClientObjectIsLoggedAndCountsAsNoUpdate) {
  UpdateRuns();
  EXPECT_EQ(0, Check());
  EXPECT_TRUE(Logged(kLogNormal, L"An update is running."));
  EXPECT_TRUE(Logged(
      kLogError, L"Reduce restart: Failed to create IQxUpdateClientRot object,hr = 0x80040154"));
  EXPECT_TRUE(Logged(kLogInformation, L"Reduce restart: IsInstallingUpdate return value is 0"));
}

// First in this process: the unsigned proxy library must not already be replaced by the signed
// one in COM's caches.
TEST_F(UpdateCheckTest, AClientReachedThroughAnUntrustedProxyIsRefused) {
  UpdateRuns();
  RegisterClient(L"QxUpdateClientRotPS.dll");
  ClientAnswers(L"Installing", 1);
  EXPECT_EQ(0, Check());
  EXPECT_TRUE(Logged(
      kLogError, L"Reduce restart: Failed to create IQxUpdateClientRot object,hr = 0x80070005"));
  EXPECT_EQ(0u, ClientCount(L"Calls"));
}

TEST_F(UpdateCheckTest, TheTrustedClientsAnswerDecides) {
  UpdateRuns();
  RegisterClient(L"QxUpdateClientRotPS_signed.dll");
  struct Case {
    DWORD installing;
    bool storeNothing;
    DWORD hr;
    LONG result;
  };
  for (const Case& c : {Case{1, false, 0, 1}, Case{0, false, 0, 0}, Case{1, true, 0x80004005, 0}}) {
    SCOPED_TRACE(testing::Message() << c.installing << " " << c.storeNothing);
    ClientAnswers(L"Installing", c.installing);
    ClientAnswers(L"StoreNothing", c.storeNothing);
    ClientAnswers(L"Hr", c.hr);
    const DWORD calls = ClientCount(L"Calls");
    capture_.log().Clear();
    EXPECT_EQ(c.result, Check());
    EXPECT_EQ(calls + 1, ClientCount(L"Calls"));
    EXPECT_TRUE(Logged(kLogInformation, L"Reduce restart: IsInstallingUpdate return value is " +
                                            std::to_wstring(c.result)));
  }
}

}  // namespace
