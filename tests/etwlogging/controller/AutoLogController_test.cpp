// ctest-lock: ksc-common-files wss-trace-session standby-events
// The trace-controller loader: where it looks, what it checks, loads, calls and frees.
// It runs against the machine's real keys: a redirected machine key would change what the
// platform's signature verification reports.
#include "etwlogging/AutoLogController.h"

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ControllerFixtures.h"
#include "basalt/LibraryUtils.h"
#include "basalt/Registry/CObfuscatedRegKey.h"
#include "basalt/UniqueHandle.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestPrograms.h"

namespace {

using controller_test::ControllerFixture;
using ETWLogging::AutoLogController;
using ETWLogging::LogControllerHelper;
using testsupport::RunProgram;

constexpr wchar_t kInstallKey[] = L"SOFTWARE\\Telvan\\KSC";

std::wstring Lower(std::wstring text) {
  CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

std::wstring SystemCommonFiles() {
  PWSTR folder = nullptr;
  std::wstring result;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramFilesCommon, 0, nullptr, &folder))) {
    result = folder;
  }
  CoTaskMemFree(folder);
  return result;
}

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    scratch = std::wstring(temp) + L"HollinLoader-" + std::to_wstring(GetCurrentProcessId());
    testsupport::DeleteTree(scratch);
    ASSERT_TRUE(Basalt::CreateDirectoryTree(scratch.c_str()));
    log = scratch + L"\\calls.log";
    SetEnvironmentVariableW(L"HOLLIN_FAKE_CONTROLLER_LOG", log.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kInstallKey);
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"HOLLIN_FAKE_CONTROLLER_LOG", nullptr);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kInstallKey);
    for (const std::wstring& key : registered) RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    testsupport::DeleteTree(scratch);
    testsupport::DeleteTree(SystemCommonFiles() + L"\\Telvan");
  }

  // The fixture |variant| as |folder|\Tamsel.dll.
  std::wstring Place(const wchar_t* variant, const std::wstring& folder) {
    EXPECT_TRUE(Basalt::CreateDirectoryTree(folder.c_str()));
    const std::wstring path = folder + L"\\Tamsel.dll";
    EXPECT_TRUE(CopyFileW(ControllerFixture(variant).c_str(), path.c_str(), FALSE));
    return path;
  }
  // "CommonFiles Dir64" of the install key; the key without it for null.
  void SetCommonFiles(const wchar_t* folder) {
    Basalt::UniqueHKey key;
    ASSERT_EQ(0, RegCreateKeyW(HKEY_LOCAL_MACHINE, kInstallKey, key.put()));
    if (folder != nullptr) {
      ASSERT_EQ(0, RegSetValueExW(key.get(), L"CommonFiles Dir64", 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(folder),
                                  static_cast<DWORD>((wcslen(folder) + 1) * sizeof(wchar_t))));
    }
  }
  // A registered application; with |controllerPath| null its key holds nothing, so its names
  // do not load.
  std::wstring Register(const wchar_t* tag, const wchar_t* controllerPath) {
    const std::wstring id =
        std::wstring(L"HollinLoader") + tag + std::to_wstring(GetCurrentProcessId());
    const std::wstring base = L"SOFTWARE\\Telvan.logging\\" + id;
    registered.push_back(base);
    Basalt::CObfuscatedRegKey app, session, provider, controller;
    EXPECT_EQ(0, app.Create(HKEY_LOCAL_MACHINE, base.c_str()));
    if (controllerPath == nullptr) return id;
    EXPECT_EQ(0, session.Create(app.GetHandle(), L"Session"));
    EXPECT_EQ(0, session.SetGUIDValue(L"Session ID Guid", GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10}}));
    EXPECT_EQ(0, session.SetStringValue(L"Session Name", (L"Loader." + id).c_str()));
    EXPECT_EQ(0, provider.Create(app.GetHandle(), L"Provider"));
    EXPECT_EQ(0, provider.SetGUIDValue(L"Provider Guid", GUID{9, 8, 7, {6, 5, 4, 3, 2, 1, 0}}));
    EXPECT_EQ(0, controller.Create(app.GetHandle(), L"Controller"));
    EXPECT_EQ(0, controller.SetStringValue(L"Controller Path", controllerPath));
    EXPECT_EQ(0, controller.SetStringValue(L"Owner Mutex Name", (L"Global\\" + id).c_str()));
    return id;
  }
  // The lines the fake library wrote, and a fresh start of the record.
  std::vector<std::wstring> TakeCalls() {
    const std::string bytes = testsupport::ReadFileBytes(log);
    DeleteFileW(log.c_str());
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < bytes.size()) {
      size_t end = bytes.find("\r\n", start);
      if (end == std::string::npos) end = bytes.size();
      const std::string line = bytes.substr(start, end - start);
      std::wstring wide(line.size() + 1, L'\0');
      wide.resize(MultiByteToWideChar(CP_UTF8, 0, line.c_str(), -1, &wide[0],
                                      static_cast<int>(wide.size())) -
                  1);
      while (!wide.empty() && wide.back() == L' ') wide.pop_back();
      lines.push_back(wide);
      start = end + 2;
    }
    return lines;
  }
  // The record of a library at |path| that was loaded, started for |appId| and let go.
  static std::vector<std::wstring> FullRun(const std::wstring& path, const std::wstring& appId) {
    return {L"DllAddRef " + path, L"Start " + appId, L"Stop 0 " + appId, L"DllRelease"};
  }
  static std::vector<std::wstring> LowerAll(std::vector<std::wstring> lines) {
    for (std::wstring& line : lines) line = Lower(line);
    return lines;
  }

  std::wstring scratch;
  std::wstring log;
  std::vector<std::wstring> registered;
};

// The host's own folder comes first, before any registry setting is looked at.
TEST_F(LoaderTest, ALibraryBesideTheExecutableIsUsedFirst) {
  const std::wstring host = scratch + L"\\host";
  ASSERT_TRUE(Basalt::CreateDirectoryTree(host.c_str()));
  ASSERT_TRUE(CopyFileW(controller_test::LoaderProbe().c_str(),
                        (host + L"\\LoaderProbe.exe").c_str(), FALSE));
  const std::wstring beside = Place(L"good", host);
  const std::wstring common = scratch + L"\\common";
  Place(L"good", common + L"\\QxSvcHost");
  SetCommonFiles(common.c_str());
  EXPECT_EQ(0u, RunProgram(host + L"\\LoaderProbe.exe", L"WSS"));
  EXPECT_EQ(LowerAll(FullRun(beside, L"WSS")), LowerAll(TakeCalls()));
}

// "WSS" without a registered key has built-in names without a controller path: only the
// host's own folder counts, the common-files folder is not searched.
TEST_F(LoaderTest, AnApplicationWithBuiltInNamesLooksNowhereElse) {
  Basalt::UniqueHKey wss;
  ASSERT_NE(0, RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Telvan.logging\\WSS", 0,
                             KEY_QUERY_VALUE, wss.put()));
  const std::wstring common = scratch + L"\\common";
  Place(L"good", common + L"\\QxSvcHost");
  SetCommonFiles(common.c_str());
  {
    AutoLogController loader(L"WSS");
    EXPECT_EQ(5u, loader.GetLastResult());
  }
  EXPECT_TRUE(TakeCalls().empty());
}

// Names that do not load send the loader to the installed library.
TEST_F(LoaderTest, TheInstalledLibrary) {
  const std::wstring id = Register(L"Installed", nullptr);
  const std::wstring common = scratch + L"\\common";
  const std::wstring installed = common + L"\\QxSvcHost\\Tamsel.dll";
  const std::wstring systemInstalled =
      SystemCommonFiles() + L"\\Telvan\\Platform\\QxSvcHost\\Tamsel.dll";
  struct Case {
    const wchar_t* commonFiles;  // null: the install key without the value
    const wchar_t* variant;
    DWORD result;
    std::vector<std::wstring> calls;
  };
  const std::wstring withBackslash = common + L"\\";
  const Case cases[] = {
      {common.c_str(), L"good", 0, FullRun(installed, id)},
      {withBackslash.c_str(), L"good", 0, FullRun(installed, id)},
      {nullptr, L"good", 0, FullRun(systemInstalled, id)},
      {common.c_str(), L"wrong", 5, {}},
      {common.c_str(), L"unsigned", 5, {}},
      // Bound up to the missing export: not started, but stopped and let go.
      {common.c_str(),
       L"noflush",
       ERROR_PROC_NOT_FOUND,
       {L"DllAddRef " + installed, L"Stop 0 " + id, L"DllRelease"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.commonFiles ? "set " : "unset ") << c.variant);
    const std::wstring& path = c.commonFiles != nullptr ? installed : systemInstalled;
    Place(c.variant, path.substr(0, path.rfind(L'\\')));
    SetCommonFiles(c.commonFiles);
    {
      AutoLogController loader(id.c_str());
      EXPECT_EQ(c.result, loader.GetLastResult());
    }
    EXPECT_EQ(LowerAll(c.calls), LowerAll(TakeCalls()));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kInstallKey);
    DeleteFileW(path.c_str());
  }
}

// An application with names of its own uses its own library or none: the installed one is
// not tried, and a relative path is never loaded.
TEST_F(LoaderTest, TheApplicationsOwnLibraryOrNone) {
  const std::wstring common = scratch + L"\\common";
  Place(L"good", common + L"\\QxSvcHost");
  SetCommonFiles(common.c_str());
  const std::wstring own = scratch + L"\\own";
  struct Case {
    const wchar_t* variant;
    bool relative;
    DWORD result;
    bool loaded;
  };
  const Case cases[] = {
      {L"good", false, 0, true}, {L"wrong", false, 5, false}, {L"good", true, 5, false}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.variant << (c.relative ? " relative" : ""));
    const std::wstring path = Place(c.variant, own);
    const std::wstring id = Register((L"Own" + std::to_wstring(++n)).c_str(),
                                     c.relative ? L"Tamsel.dll" : path.c_str());
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    SetCurrentDirectoryW(own.c_str());
    {
      AutoLogController loader(id.c_str());
      EXPECT_EQ(c.result, loader.GetLastResult());
    }
    SetCurrentDirectoryW(current);
    EXPECT_EQ(c.loaded ? LowerAll(FullRun(path, id)) : std::vector<std::wstring>{},
              LowerAll(TakeCalls()));
  }
}

// A controller path without extension names that very file: the platform's loader would add
// ".dll" to it, and the file beside it with that name was never checked.
TEST_F(LoaderTest, AControllerPathWithoutExtensionLoadsTheCheckedFileOrNothing) {
  const std::wstring own = scratch + L"\\bare";
  const std::wstring bare = own + L"\\Tamsel";
  struct Case {
    const wchar_t* bareVariant;  // the file the path names
    const wchar_t* dllVariant;   // the same name plus ".dll" beside it
    DWORD result;
    bool loaded;
  };
  const Case cases[] = {{L"good", L"wrong", 0, true}, {L"wrong", L"good", 5, false}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "bare " << c.bareVariant << ", .dll " << c.dllVariant);
    Place(c.dllVariant, own);
    ASSERT_TRUE(CopyFileW(ControllerFixture(c.bareVariant).c_str(), bare.c_str(), FALSE));
    const std::wstring id = Register((L"Bare" + std::to_wstring(++n)).c_str(), bare.c_str());
    {
      AutoLogController loader(id.c_str());
      EXPECT_EQ(c.result, loader.GetLastResult());
    }
    std::vector<std::wstring> calls = TakeCalls();
    if (!calls.empty()) {
      // The loaded file reports its own name, whichever way the loader spells a name that
      // ends in a dot.
      std::wstring& addRef = calls.front();
      while (!addRef.empty() && addRef.back() == L'.') addRef.pop_back();
    }
    EXPECT_EQ(c.loaded ? LowerAll(FullRun(bare, id)) : std::vector<std::wstring>{},
              LowerAll(calls));
  }
}

// Swaps the checked file for an untrusted one right after the check, as a racing writer
// would, in both ways a file can be exchanged.
class SwappingHelper : public LogControllerHelper {
 public:
  SwappingHelper(std::wstring path, std::wstring replacement)
      : LogControllerHelper(std::make_unique<Basalt::ShlObjAPI>(),
                            std::make_unique<Basalt::CRegKey>(),
                            std::make_unique<ETWLogging::internal::ETWAppProperties>()),
        m_path(std::move(path)),
        m_replacement(std::move(replacement)) {}

  bool FindBesideExecutable(std::wstring& path) override {
    if (!VerifyModule(m_path.c_str())) return false;
    path = m_path;
    return true;
  }
  bool VerifyModule(const wchar_t* path) override {
    const bool verified = LogControllerHelper::VerifyModule(path);
    replaced = MoveFileExW(m_replacement.c_str(), path, MOVEFILE_REPLACE_EXISTING) != FALSE;
    renamed = MoveFileW(path, (std::wstring(path) + L".old").c_str()) != FALSE;
    if (renamed) MoveFileW(m_replacement.c_str(), path);
    return verified;
  }

  bool replaced = false;
  bool renamed = false;

 private:
  std::wstring m_path;
  std::wstring m_replacement;
};

class TestLoader : public AutoLogController {
 public:
  TestLoader(const wchar_t* appId, std::unique_ptr<LogControllerHelper> helper)
      : AutoLogController(appId, std::move(helper)) {}
};

TEST_F(LoaderTest, AFileSwappedAfterTheCheckIsNeverLoaded) {
  const std::wstring folder = scratch + L"\\swap";
  const std::wstring path = Place(L"good", folder);
  const std::wstring untrusted = scratch + L"\\untrusted.dll";
  ASSERT_TRUE(CopyFileW(ControllerFixture(L"wrong").c_str(), untrusted.c_str(), FALSE));
  auto helper = std::make_unique<SwappingHelper>(path, untrusted);
  SwappingHelper* swapper = helper.get();
  {
    TestLoader loader(L"WSS", std::move(helper));
    EXPECT_EQ(0u, loader.GetLastResult());
    EXPECT_FALSE(swapper->replaced);
    EXPECT_FALSE(swapper->renamed);
  }
  EXPECT_EQ(testsupport::ReadFileBytes(ControllerFixture(L"good")),
            testsupport::ReadFileBytes(path));
  EXPECT_EQ(LowerAll(FullRun(path, L"WSS")), LowerAll(TakeCalls()));
  // Once loaded and let go, the file is anybody's again.
  EXPECT_TRUE(MoveFileExW(untrusted.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
}

// The real controller library, signed by a trusted test signer, beside a host.
TEST_F(LoaderTest, TheRealControllerIsLoadedAndStarted) {
  const std::wstring host = scratch + L"\\real";
  ASSERT_TRUE(Basalt::CreateDirectoryTree(host.c_str()));
  ASSERT_TRUE(CopyFileW(controller_test::LoaderProbe().c_str(),
                        (host + L"\\LoaderProbe.exe").c_str(), FALSE));
  Place(L"real", host);
  EXPECT_EQ(0u, RunProgram(host + L"\\LoaderProbe.exe", L"WSS"));
  Place(L"wrong", host);
  EXPECT_EQ(5u, RunProgram(host + L"\\LoaderProbe.exe", L"WSS"));
}

}  // namespace
