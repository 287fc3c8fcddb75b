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

#include "QxDoublePaths.h"
#include "QxTestLogCapture.h"
#include "basalt/UniqueHandle.h"
#include "src/qxsvchost/QxUpdateMgr/include/QxUpdateMgr_Helper.h"
#include "tests/src/qxsvchost/doubles/updatemgr/QxUpdateClientRotDouble.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogInformation;
using ETWLogging::kLogNormal;

std::wstring Text(REFGUID guid) {
  wchar_t text[64] = {};
  StringFromGUID2(guid, text, 64);
  return text;
}

const std::wstring kServerKey = L"CLSID\\" + Text(qxdouble::kClsidUpdateClientRot);
const std::wstring kProxyKey = L"CLSID\\" + Text(qxdouble::kClsidUpdateClientRotProxy);
const std::wstring kFactoryInterface = L"Interface\\" + Text(IID_IQxClassFactory);
const std::wstring kClientInterface = L"Interface\\" + Text(IID_IQxUpdateClientRot);

bool SetClassesString(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

DWORD ClientCount(const wchar_t* name) {
  DWORD value = 0;
  DWORD bytes = sizeof(value);
  RegGetValueW(HKEY_LOCAL_MACHINE, qxdouble::kUpdateClientKey, name, RRF_RT_REG_DWORD, nullptr,
               &value, &bytes);
  return value;
}

class UpdateCheckTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(capture_.installed()); }
  void TearDown() override {
    for (const std::wstring& key : {kServerKey, kProxyKey, kFactoryInterface, kClientInterface}) {
      RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, qxdouble::kUpdateClientKey);
  }

  // The update's event, as the update manager holds it while an update runs.
  void UpdateRuns() {
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, QX_UPDATE_EVENT_STEM L"default"));
    ASSERT_TRUE(event_);
  }
  // The client object's local server, its interfaces marshalled by |proxyLibrary|.
  void RegisterClient(const wchar_t* proxyLibrary) {
    const std::wstring server =
        L"\"" + std::wstring(QX_TEST_DOUBLES_DIR) + L"\\QxUpdateClientRotServer.exe\"";
    const std::wstring proxy = std::wstring(QX_TEST_DOUBLES_DIR) + L"\\" + proxyLibrary;
    const std::wstring proxyClsid = Text(qxdouble::kClsidUpdateClientRotProxy);
    ASSERT_TRUE(SetClassesString(kServerKey + L"\\LocalServer32", nullptr, server));
    ASSERT_TRUE(SetClassesString(kProxyKey + L"\\InprocServer32", nullptr, proxy));
    ASSERT_TRUE(SetClassesString(kProxyKey + L"\\InprocServer32", L"ThreadingModel", L"Both"));
    for (const std::wstring& key : {kFactoryInterface, kClientInterface}) {
      ASSERT_TRUE(SetClassesString(key + L"\\ProxyStubClsid32", nullptr, proxyClsid));
    }
  }
  static void ClientAnswers(const wchar_t* name, DWORD value) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, qxdouble::kUpdateClientKey, name,
                                             REG_DWORD, &value, sizeof(value)));
  }
  // IsInstallingUpdate on a thread of its own, as on the host's main thread before COM. Returns
  // once the server it may have started has gone again, so that the next check starts its own.
  static LONG Check() {
    LONG result = -1;
    std::thread([&] { result = IsInstallingUpdate(); }).join();
    const ULONGLONG end = GetTickCount64() + 10000;
    while (ClientCount(L"Exited") != ClientCount(L"Launched") && GetTickCount64() < end) Sleep(20);
    EXPECT_EQ(ClientCount(L"Launched"), ClientCount(L"Exited")) << "the server did not end";
    return result;
  }
  bool Logged(ETWLogging::LogLevel level, const std::wstring& text) {
    return capture_.log().Has(level, text);
  }

  qxtest::ScopedLogCapture capture_;
  Basalt::UniqueKernelHandle event_;
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
