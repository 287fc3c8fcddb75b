#include "etwlogging/ETWAppProperties.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <string>

#include "basalt/Registry/CObfuscatedRegKey.h"
#include "basalt/Registry/CRegKey.h"
#include "tests/support/ScratchMachineKey.h"
#include "tests/support/TestFiles.h"

namespace {

using ETWLogging::internal::ETWAppProperties;
using testsupport::ScratchMachineKey;

// {491FB070-54CC-11E0-B8AF-0800200C9A66}
constexpr GUID kWssSession = {
    0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
// {E16CA450-55CC-11E0-B8AF-0800200C9A66}
constexpr GUID kWssProvider = {
    0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
constexpr GUID kAppSession = {0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 5, 5, 5, 5}};
constexpr GUID kAppProvider = {
    0xAAAAAAAA, 0xBBBB, 0xCCCC, {0xD, 0xD, 0xE, 0xE, 0xE, 0xE, 0xE, 0xE}};

std::wstring ProgramData() { return testsupport::ProgramDataFolder(); }

class ETWAppPropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    programData = ProgramData();  // before HKLM is redirected
    ASSERT_FALSE(programData.empty());
    registry = std::make_unique<ScratchMachineKey>(L"ETWAppProperties");
    ASSERT_TRUE(registry->ok());
  }
  void TearDown() override { registry.reset(); }

  // Writes a registered application's values, obfuscated, under the redirected HKLM.
  void Register(const wchar_t* appId, bool withProviderGuid = true, bool withPaths = false) {
    const std::wstring base = std::wstring(L"SOFTWARE\\Telvan.logging\\") + appId;
    Basalt::CObfuscatedRegKey app, session, provider, controller;
    ASSERT_EQ(0, app.Create(HKEY_LOCAL_MACHINE, base.c_str()));
    if (withPaths) {
      ASSERT_EQ(0, app.SetStringValue(L"Log Path", L"\\Mine\\Logs"));
      ASSERT_EQ(0, app.SetStringValue(L"ETL Path", L"\\Mine\\Etl"));
    }
    ASSERT_EQ(0, session.Create(app.GetHandle(), L"Session"));
    ASSERT_EQ(0, session.SetGUIDValue(L"Session ID Guid", kAppSession));
    ASSERT_EQ(0, session.SetStringValue(L"Session Name", L"My.Session"));
    ASSERT_EQ(0, provider.Create(app.GetHandle(), L"Provider"));
    if (withProviderGuid) {
      ASSERT_EQ(0, provider.SetGUIDValue(L"Provider Guid", kAppProvider));
    }
    ASSERT_EQ(0, controller.Create(app.GetHandle(), L"Controller"));
    ASSERT_EQ(0, controller.SetStringValue(L"Controller Path", L"C:\\x\\Tamsel.dll"));
    ASSERT_EQ(0, controller.SetStringValue(L"Owner Mutex Name", L"Global\\Mine"));
  }

  std::wstring programData;
  std::unique_ptr<ScratchMachineKey> registry;
};

void ExpectWssNames(const ETWAppProperties& p, const std::wstring& programData) {
  EXPECT_EQ(programData, p.GetProgramData());
  EXPECT_EQ(L"SOFTWARE\\Telvan\\Logging", p.GetBaseKeyPath());
  EXPECT_EQ(L"SOFTWARE\\Telvan\\Logging", p.GetMonitoredKeyPath());
  EXPECT_EQ(L"SOFTWARE\\Telvan\\Logging\\Controller", p.GetControllerKeyPath());
  EXPECT_EQ(L"SOFTWARE\\Telvan\\Logging\\Provider", p.GetProviderKeyPath());
  EXPECT_EQ(programData + L"\\Telvan\\QXLOGS", p.GetLogPath());
  EXPECT_EQ(programData + L"\\Telvan\\QXLOGS\\ETW", p.GetEtlPath());
  EXPECT_EQ(programData + L"\\Telvan\\QXLOGS\\ETW\\qxlogs.etl", p.GetEtlFilePath());
  EXPECT_EQ(L"Global\\Telvan.{0696D115-BE52-46c3-BFEE-D73A305B6581}", p.GetOwnerMutexName());
  EXPECT_TRUE(IsEqualGUID(kWssSession, p.GetSessionGuid()));
  EXPECT_EQ(L"Telvan.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}", p.GetSessionName());
  EXPECT_TRUE(IsEqualGUID(kWssProvider, p.GetProviderGuid()));
  EXPECT_EQ(L"", p.GetControllerPath());
  EXPECT_EQ(HKEY_LOCAL_MACHINE, p.GetRootKey());
}

TEST_F(ETWAppPropertiesTest, BuiltInNamesOfWss) {
  struct Case {
    const wchar_t* given;
    const wchar_t* stored;
  } cases[] = {{nullptr, L"WSS"}, {L"", L"WSS"}, {L"WSS", L"WSS"}, {L"wss", L"wss"}};
  for (const Case& c : cases) {
    ETWAppProperties p;
    ASSERT_TRUE(p.Load(c.given)) << c.stored;
    EXPECT_EQ(c.stored, p.GetAppId());
    ExpectWssNames(p, programData);
  }
  ETWAppProperties other;
  EXPECT_FALSE(other.Load(L"Unregistered"));
  EXPECT_EQ(L"Unregistered", other.GetAppId());
}

TEST_F(ETWAppPropertiesTest, RegisteredApplicationReadsObfuscatedValues) {
  Register(L"MyApp");
  ETWAppProperties p;
  ASSERT_TRUE(p.Load(L"MyApp"));
  EXPECT_EQ(L"SOFTWARE\\Telvan.logging\\MyApp", p.GetBaseKeyPath());
  EXPECT_EQ(L"SOFTWARE\\Telvan.logging\\MyApp", p.GetMonitoredKeyPath());
  EXPECT_EQ(L"SOFTWARE\\Telvan.logging\\MyApp\\Controller", p.GetControllerKeyPath());
  EXPECT_EQ(L"SOFTWARE\\Telvan.logging\\MyApp\\Provider", p.GetProviderKeyPath());
  EXPECT_EQ(programData + L"\\Telvan\\QXLOGS", p.GetLogPath());
  EXPECT_EQ(programData + L"\\Telvan\\QXLOGS\\ETW\\qxlogs.etl", p.GetEtlFilePath());
  EXPECT_EQ(L"C:\\x\\Tamsel.dll", p.GetControllerPath());
  EXPECT_EQ(L"Global\\Mine", p.GetOwnerMutexName());
  EXPECT_TRUE(IsEqualGUID(kAppSession, p.GetSessionGuid()));
  EXPECT_EQ(L"My.Session", p.GetSessionName());
  EXPECT_TRUE(IsEqualGUID(kAppProvider, p.GetProviderGuid()));

  // An object loads once.
  EXPECT_FALSE(p.Load(L"WSS"));
  EXPECT_EQ(L"MyApp", p.GetAppId());

  ETWAppProperties copy;
  copy.CopyFrom(p);
  EXPECT_EQ(L"My.Session", copy.GetSessionName());
  EXPECT_TRUE(IsEqualGUID(kAppProvider, copy.GetProviderGuid()));
  EXPECT_TRUE(IsEqualGUID(kAppSession, copy.GetSessionGuid()));

  Register(L"WithPaths", true, true);
  ETWAppProperties withPaths;
  ASSERT_TRUE(withPaths.Load(L"WithPaths"));
  EXPECT_EQ(programData + L"\\Mine\\Logs", withPaths.GetLogPath());
  EXPECT_EQ(programData + L"\\Mine\\Etl\\qxlogs.etl", withPaths.GetEtlFilePath());
}

TEST_F(ETWAppPropertiesTest, IncompleteOrPlainRegistrationFails) {
  // A registered "WSS" without "Provider Guid" does not fall back to the built-in names.
  Register(L"WSS", false);
  ETWAppProperties wss;
  EXPECT_FALSE(wss.Load(nullptr));
  EXPECT_EQ(L"My.Session", wss.GetSessionName());  // read before the missing value

  // A value stored in plain counts as missing.
  Register(L"Plain");
  Basalt::CRegKey plain;
  ASSERT_EQ(0, plain.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Telvan.logging\\Plain\\Provider"));
  ASSERT_EQ(0, plain.SetStringValue(L"Provider Guid", L"{AAAAAAAA-BBBB-CCCC-0D0D-0E0E0E0E0E0E}"));
  ETWAppProperties p;
  EXPECT_FALSE(p.Load(L"Plain"));

  // A GUID text without braces does not convert.
  Register(L"NoBraces");
  Basalt::CObfuscatedRegKey session;
  ASSERT_EQ(0, session.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Telvan.logging\\NoBraces\\Session"));
  ASSERT_EQ(0, session.SetStringValue(L"Session ID Guid", L"11111111-2222-3333-0404-050505050505"));
  ETWAppProperties q;
  EXPECT_FALSE(q.Load(L"NoBraces"));

  // A missing subkey.
  Register(L"NoSubkey");
  ASSERT_EQ(ERROR_SUCCESS,
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Telvan.logging\\NoSubkey\\Controller"));
  ETWAppProperties r;
  EXPECT_FALSE(r.Load(L"NoSubkey"));
}

TEST_F(ETWAppPropertiesTest, KeyPathsAndFixedNames) {
  ETWAppProperties p;
  ASSERT_TRUE(p.Load(L"WSS"));
  std::wstring text;
  p.GetAppKeyPath(text, L"Provider");
  EXPECT_EQ(L"SOFTWARE\\Telvan.logging\\WSS\\Provider", text);
  EXPECT_NE(text, p.GetProviderKeyPath());
  p.GetAppKeyPath(text, nullptr);
  EXPECT_EQ(L"SOFTWARE\\Telvan.logging\\WSS", text);
  p.GetRegistryRoot(text);
  EXPECT_EQ(L"SOFTWARE\\Telvan.logging", text);
  p.GetEtlFileName(text);
  EXPECT_EQ(L"qxlogs.etl", text);
  ASSERT_EQ(0u, p.GetProgramDataPath(text));
  EXPECT_EQ(0, _wcsicmp(programData.c_str(), text.c_str()));
}

}  // namespace
