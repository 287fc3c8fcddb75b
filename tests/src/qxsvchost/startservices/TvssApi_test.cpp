// ctest-lock: trusted-list tvsshost
// The sibling module's road of "/startservices": the install folder from the registry, the trust
// check and loading of its TVSSAPI.DLL (a signed and an unsigned double), and the call that asks
// it to start its services. The values live in the real machine key: with the machine key
// redirected the signature checks cannot reach the machine's root store.
#include <gtest/gtest.h>
#include <windows.h>
#include <winternl.h>

#include <string>

#include "QxDoublePaths.h"
#include "QxTestLogCapture.h"
#include "basalt/UniqueHandle.h"
#include "src/qxsvchost/CTvssApiModule.h"
#include "src/qxsvchost/QxStartServices.h"
#include "tests/src/qxsvchost/doubles/QxDoubleRecords.h"
#include "tests/support/RawRegistry.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogInformation;

constexpr wchar_t kTvssKey[] = L"SOFTWARE\\Telvan\\TVSSHOST";
const std::wstring kSigned = std::wstring(QX_TEST_DOUBLES_DIR) + L"\\tvss_signed";
const std::wstring kUnsigned = std::wstring(QX_TEST_DOUBLES_DIR) + L"\\tvss_unsigned";

class TvssApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TearDown();
    ASSERT_TRUE(capture_.installed());
    ASSERT_TRUE(SetDword(qxdouble::kTvssDoubleKey, L"Result", 1234));
  }
  void TearDown() override {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kTvssKey, KEY_WOW64_64KEY, 0);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, qxdouble::kTvssDoubleKey);
  }
  static bool SetDword(const wchar_t* key, const wchar_t* name, DWORD value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, name, REG_DWORD, &value, sizeof(value)) ==
           ERROR_SUCCESS;
  }
  static void Folder(const std::wstring& folder, DWORD type = REG_SZ) {
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(HKEY_LOCAL_MACHINE, kTvssKey, L"szInstallDir64", type, folder.c_str(),
                              static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t))));
  }
  static DWORD Read(const wchar_t* key, const wchar_t* name) {
    DWORD value = 0xFFFFFFFF;
    DWORD bytes = sizeof(value);
    RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes);
    return value;
  }
  std::wstring Logged(const wchar_t* prefix) {
    for (const qxtest::LogLine& l : capture_.log().Lines()) {
      if (l.message.rfind(prefix, 0) == 0) return l.message;
    }
    return L"";
  }

  qxtest::ScopedLogCapture capture_;
};

TEST_F(TvssApiTest, AnEnabledSiblingModuleRecordsTheFreshInstallAndStartsItsServices) {
  ASSERT_TRUE(SetDword(kTvssKey, L"Enable", 1));
  Folder(kSigned);
  StartServicesOnRequest();

  EXPECT_EQ(1u, Read(qxdouble::kTvssDoubleKey, L"Calls"));
  EXPECT_EQ(5000u, Read(qxdouble::kTvssDoubleKey, L"Timeout"));
  // Written before the library was asked.
  EXPECT_EQ(1u, Read(qxdouble::kTvssDoubleKey, L"FreshInstallSeen"));
  wchar_t host[32] = {};
  DWORD bytes = sizeof(host);
  EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, qxdouble::kTvssDoubleKey, L"Host",
                                        RRF_RT_REG_SZ, nullptr, host, &bytes));
  EXPECT_STREQ(L"TVSCOM", host);
  EXPECT_TRUE(capture_.log().Has(kLogInformation, L"Called sm->StartServicesByHost: lRet = 1234"));
  EXPECT_EQ(nullptr, GetModuleHandleW((kSigned + L"\\TVSSAPI.DLL").c_str()));
}

TEST_F(TvssApiTest, WithoutTheSiblingModuleTheCoreGroupIsStartedAndNothingIsWritten) {
  for (const bool keyExists : {false, true}) {
    if (keyExists) {
      ASSERT_TRUE(SetDword(kTvssKey, L"Enable", 0));
    }
    capture_.log().Clear();
    StartServicesOnRequest();
    EXPECT_TRUE(
        capture_.log().Has(kLogInformation, L"Reduce restart: Calling Hollin StartServices"));
    EXPECT_EQ(0xFFFFFFFFu, Read(kTvssKey, L"FreshInstallComplete"));
    EXPECT_EQ(0xFFFFFFFFu, Read(qxdouble::kTvssDoubleKey, L"Calls"));
  }
}

TEST_F(TvssApiTest, TheLibraryPathIsTheFolderAndOneBackslash) {
  for (const std::wstring& folder : {kSigned, kSigned + L"\\"}) {
    Folder(folder);
    CTvssApiModule module;
    ASSERT_EQ(0u, GetTvssApiPath(module)) << folder.c_str();
    ASSERT_NE(nullptr, module.ServiceManager());
    wchar_t loaded[MAX_PATH] = {};
    GetModuleFileNameW(module.Module(), loaded, MAX_PATH);
    EXPECT_EQ(0, _wcsicmp((kSigned + L"\\TVSSAPI.DLL").c_str(), loaded)) << loaded;
  }
}

TEST_F(TvssApiTest, FoldersThatCannotGiveATrustedLibraryAreRefused) {
  const std::wstring base = L"C:\\" + std::wstring(244, L'f');  // 247 characters
  struct Case {
    std::wstring folder;
    DWORD type;
    DWORD result;
  };
  const Case cases[] = {
      {kUnsigned, REG_SZ, 5},                            // not trusted
      {kSigned, REG_EXPAND_SZ, 13},                      // not a plain string
      {base, REG_SZ, 5},                                 // fits: the missing file is not trusted
      {base + L"\\", REG_SZ, 5},                         // fits once the backslash is dropped
      {base + L"g", REG_SZ, 206},                        // 248: no room for "\TVSSAPI.DLL"
      {L"C:\\" + std::wstring(256, L'f'), REG_SZ, 206},  // 259: the whole buffer
      {L"C:\\" + std::wstring(257, L'f'), REG_SZ, 234},  // 260: longer than the buffer
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.folder.size() << " characters, type " << c.type);
    Folder(c.folder, c.type);
    capture_.log().Clear();
    StartTVSSServices();
    EXPECT_EQ(L"Failed to call sm.CreateObject: lRet = " + std::to_wstring(c.result),
              Logged(L"Failed to call sm.CreateObject"));
    if (c.result == 206) {
      EXPECT_TRUE(capture_.log().HasPrefix(kLogError, L"The install folder is too long"));
    }
  }
  EXPECT_EQ(0xFFFFFFFFu, Read(qxdouble::kTvssDoubleKey, L"Calls"));

  CTvssApiModule module;
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kTvssKey, L"szInstallDir64");
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetTvssApiPath(module));
}

TEST_F(TvssApiTest, AFolderValueWithoutTerminatorEndsAtItsLength) {
  Basalt::UniqueHKey key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTvssKey, 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, key.put(), nullptr));
  // 260 characters filling all 520 bytes the query offers, and no terminator.
  const std::wstring folder = L"C:\\" + std::wstring(257, L'f');
  ASSERT_EQ(0, testsupport::SetRawRegistryValue(key.get(), L"szInstallDir64", REG_SZ, folder.data(),
                                                520));

  CTvssApiModule module;
  EXPECT_EQ(206u, GetTvssApiPath(module));
  EXPECT_TRUE(capture_.log().Has(
      kLogError, L"The install folder is too long for the library path (260 characters)"));
}

TEST_F(TvssApiTest, ALibraryAlreadyInTheProcessIsUsedWithoutATrustCheck) {
  const std::wstring path = kUnsigned + L"\\TVSSAPI.DLL";
  Basalt::UniqueModule loaded(LoadLibraryW(path.c_str()));
  ASSERT_TRUE(loaded);
  {
    CTvssApiModule module;
    ASSERT_EQ(0u, module.CreateObject(path.c_str()));
    EXPECT_EQ(loaded.get(), module.Module());
    EXPECT_EQ(1234, module.ServiceManager()->StartServicesByHost(L"TVSCOM", 5000));
  }
  // The module let go only of its own reference.
  EXPECT_EQ(loaded.get(), GetModuleHandleW(path.c_str()));

  // A library that answers without handing out the interface: nothing to call, nothing held.
  ASSERT_TRUE(SetDword(qxdouble::kTvssDoubleKey, L"NoObject", 1));
  {
    CTvssApiModule module;
    EXPECT_EQ(CTvssApiModule::kErrorNoInterface, module.CreateObject(path.c_str()));
    EXPECT_EQ(nullptr, module.ServiceManager());
    EXPECT_EQ(nullptr, module.Module());
  }
  EXPECT_EQ(loaded.get(), GetModuleHandleW(path.c_str()));

  // A library without the export: its error, and the library as it was.
  const std::wstring other = std::wstring(QX_TEST_DOUBLES_DIR) + L"\\QxOobeDouble.dll";
  Basalt::UniqueModule oobe(LoadLibraryW(other.c_str()));
  ASSERT_TRUE(oobe);
  CTvssApiModule module;
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), module.CreateObject(other.c_str()));
  EXPECT_EQ(nullptr, module.Module());
  oobe.reset();
  EXPECT_EQ(nullptr, GetModuleHandleW(other.c_str()));
}

}  // namespace
