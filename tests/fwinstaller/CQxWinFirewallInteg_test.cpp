// ctest-lock: firewall
// The installer's object against the firewall double: the rule it adds, the rule it
// leaves alone, how it finds Hollin.exe, its failure roads and the caller's apartment.
#include "fwinstaller/CQxWinFirewallInteg.h"

#include <thread>

#include "FwTestSupport.h"

namespace {

using ETWLogging::kLogError;
using ETWLogging::kLogNormal;
using fwtest::FirewallTest;
using fwtest::kRuleName;

bool Add() {
  CQxWinFirewallInteg firewall;
  return firewall.AddSharedSvcToFW();
}

bool Remove() {
  CQxWinFirewallInteg firewall;
  return firewall.RemoveSharedSvcFromFW();
}

// A folder path of exactly |chars| characters.
std::wstring FolderOfLength(size_t chars) { return L"C:\\" + std::wstring(chars - 3, L'f'); }

TEST_F(FirewallTest, AddCreatesTheRuleWithExactlyTheseProperties) {
  EXPECT_TRUE(Add());

  EXPECT_EQ(std::vector<fwdouble::Rule>{ExpectedRule(m_folder.exePath())}, fwdouble::Rules());
  EXPECT_EQ((std::vector<std::wstring>{
                L" AddSharedSvcToFW : Entering ",
                L"GetSharedSvcInfo: InstallDir '" + m_folder.path() + L"'",
                L"GetSharedSvcInfo: Shared Svc path is '" + m_folder.exePath() + L"' ",
                L"AddSharedSvcToFW: Rule DoesNot Exist, Trying to add Rule.",
                L"AddSharedSvcToFW: Rula Added Successfully"}),
            Messages());
  const qxtest::LogLine added = log().Find(L"AddSharedSvcToFW: Rula Added Successfully");
  EXPECT_EQ(kLogNormal, added.level);
  EXPECT_EQ(L"QxWinFirewallInteg", added.file);
  EXPECT_EQ(L"CQxWinFirewallInteg::AddSharedSvcToFW", added.function);
  EXPECT_EQ(L"CQxWinFirewallInteg::GetSharedSvcInfo",
            log().Find(L"GetSharedSvcInfo: InstallDir '" + m_folder.path() + L"'").function);
}

TEST_F(FirewallTest, SecondAddFindsTheRuleAndChangesNothing) {
  ASSERT_TRUE(Add());
  const std::vector<fwdouble::Rule> first = fwdouble::Rules();
  log().Clear();

  EXPECT_TRUE(Add());

  EXPECT_EQ(first, fwdouble::Rules());
  EXPECT_TRUE(log().Has(kLogNormal, L"AddSharedSvcToFW: Rula Already exists"));
  EXPECT_FALSE(log().Has(kLogNormal, L"AddSharedSvcToFW: Rula Added Successfully"));
}

TEST_F(FirewallTest, RuleChangedByAnAdministratorIsLeftAsItIs) {
  fwdouble::Rule changed;
  changed.name = kRuleName;
  changed.applicationName = L"C:\\Other\\Other.exe";
  changed.enabled = VARIANT_FALSE;
  changed.profiles = 1;
  changed.action = NET_FW_ACTION_BLOCK;
  ASSERT_TRUE(fwdouble::AddRule(changed));

  EXPECT_TRUE(Add());

  EXPECT_EQ(std::vector<fwdouble::Rule>{changed}, fwdouble::Rules());
  EXPECT_TRUE(log().Has(kLogNormal, L"AddSharedSvcToFW: Rula Already exists"));
}

// "InstallDir" values that cannot name the install folder.
struct BadInstallDir {
  const char* name;
  void (*arrange)(const fwtest::InstallFolder& folder, HKEY machine);
  friend void PrintTo(const BadInstallDir& value, std::ostream* os) { *os << value.name; }
};

class BadInstallDirTest : public FirewallTest,
                          public ::testing::WithParamInterface<BadInstallDir> {};

TEST_P(BadInstallDirTest, IsAnErrorAndAddsNoRule) {
  GetParam().arrange(m_folder, m_machine.key());

  EXPECT_FALSE(Add());

  EXPECT_EQ((std::vector<std::wstring>{L" AddSharedSvcToFW : Entering ", fwtest::kInstallDirError,
                                       L"AddSharedSvcToFW: GetSharedSvcInfo Failed"}),
            Messages());
  EXPECT_EQ(kLogError, log().Find(fwtest::kInstallDirError).level);
  EXPECT_TRUE(fwdouble::Rules().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadInstallDirTest,
    ::testing::Values(
        BadInstallDir{"KeyMissing",
                      [](const fwtest::InstallFolder&, HKEY machine) {
                        ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(machine, fwtest::kHostKey));
                      }},
        BadInstallDir{"ValueMissing", [](const fwtest::InstallFolder& f,
                                         HKEY) { ASSERT_TRUE(f.DeleteInstallDir()); }},
        BadInstallDir{"Empty", [](const fwtest::InstallFolder& f,
                                  HKEY) { ASSERT_TRUE(f.SetInstallDir(L"")); }},
        BadInstallDir{"Chars260", [](const fwtest::InstallFolder& f,
                                     HKEY) { ASSERT_TRUE(f.SetInstallDir(FolderOfLength(260))); }},
        // Fills the whole buffer with no terminator stored: must not be read past its end.
        BadInstallDir{"Chars260Unterminated",
                      [](const fwtest::InstallFolder& f, HKEY) {
                        const std::wstring folder = FolderOfLength(260);
                        ASSERT_TRUE(f.SetRawInstallDir(REG_SZ, folder.data(), 520));
                      }},
        BadInstallDir{"NotAString",
                      [](const fwtest::InstallFolder& f, HKEY) {
                        const DWORD number = 0x41;
                        ASSERT_TRUE(f.SetRawInstallDir(REG_DWORD, &number, sizeof(number)));
                      }}),
    [](const ::testing::TestParamInfo<BadInstallDir>& info) { return info.param.name; });

// Long install folders: Hollin.exe's path must fit in 260 characters with its
// terminator, and is never cut to fit.
TEST_F(FirewallTest, InstallFolderTooLongForTheExePathIsAnError) {
  const std::wstring tooLong = L"GetSharedSvcInfo: InstallDir too long for '\\Hollin.exe'";
  struct Case {
    size_t chars;
    bool terminated;
  };
  for (const Case c : {Case{249, true}, Case{259, true}, Case{259, false}}) {
    SCOPED_TRACE(std::to_string(c.chars) + (c.terminated ? "" : " unterminated"));
    const std::wstring folder = FolderOfLength(c.chars);
    ASSERT_TRUE(c.terminated ? m_folder.SetInstallDir(folder)
                             : m_folder.SetRawInstallDir(REG_SZ, folder.data(), c.chars * 2));
    log().Clear();

    EXPECT_FALSE(Add());

    EXPECT_EQ((std::vector<std::wstring>{L" AddSharedSvcToFW : Entering ",
                                         L"GetSharedSvcInfo: InstallDir '" + folder + L"'", tooLong,
                                         L"AddSharedSvcToFW: GetSharedSvcInfo Failed"}),
              Messages());
    EXPECT_EQ(kLogError, log().Find(tooLong).level);
  }
  EXPECT_TRUE(fwdouble::Rules().empty());
}

TEST_F(FirewallTest, LongestFittingExePathIsUsedWhole) {
  const std::wstring exe = FolderOfLength(248) + L"\\Hollin.exe";
  ASSERT_EQ(259u, exe.size());
  ASSERT_TRUE(m_folder.SetInstallDir(FolderOfLength(248)));

  EXPECT_FALSE(Add());

  EXPECT_TRUE(log().Has(kLogNormal, L"GetSharedSvcInfo: Shared Svc path is '" + exe + L"' "));
  EXPECT_TRUE(
      log().Has(kLogError, L"GetSharedSvcInfo: File not found '" + exe + L"', error 0x00000003"));
}

TEST_F(FirewallTest, MissingExeOrAFolderOfThatNameAddsNoRule) {
  ASSERT_TRUE(DeleteFileW(m_folder.exePath().c_str()));
  EXPECT_FALSE(Add());
  EXPECT_TRUE(log().Has(kLogError, L"GetSharedSvcInfo: File not found '" + m_folder.exePath() +
                                       L"', error 0x00000002"));

  ASSERT_TRUE(CreateDirectoryW(m_folder.exePath().c_str(), nullptr));
  log().Clear();
  EXPECT_FALSE(Add());
  EXPECT_TRUE(log().HasPrefix(kLogError,
                              L"GetSharedSvcInfo: File not found '" + m_folder.exePath() + L"'"));
  EXPECT_TRUE(log().Has(kLogError, L"AddSharedSvcToFW: GetSharedSvcInfo Failed"));
  EXPECT_TRUE(fwdouble::Rules().empty());
}

TEST_F(FirewallTest, GetSharedSvcInfoFillsBothBuffersOnlyOnSuccess) {
  CQxWinFirewallInteg firewall;
  wchar_t ruleName[CQxWinFirewallInteg::kBufferChars];
  wchar_t appPath[CQxWinFirewallInteg::kBufferChars];
  EXPECT_FALSE(firewall.GetSharedSvcInfo(nullptr, appPath));
  EXPECT_FALSE(firewall.GetSharedSvcInfo(ruleName, nullptr));

  ASSERT_TRUE(firewall.GetSharedSvcInfo(ruleName, appPath));
  EXPECT_STREQ(kRuleName, ruleName);
  EXPECT_EQ(m_folder.exePath(), appPath);

  wmemset(ruleName, L'r', CQxWinFirewallInteg::kBufferChars);
  wmemset(appPath, L'p', CQxWinFirewallInteg::kBufferChars);
  ASSERT_TRUE(DeleteFileW(m_folder.exePath().c_str()));
  EXPECT_FALSE(firewall.GetSharedSvcInfo(ruleName, appPath));
  EXPECT_EQ(std::wstring(CQxWinFirewallInteg::kBufferChars, L'r'),
            std::wstring(ruleName, CQxWinFirewallInteg::kBufferChars));
  EXPECT_EQ(std::wstring(CQxWinFirewallInteg::kBufferChars, L'p'),
            std::wstring(appPath, CQxWinFirewallInteg::kBufferChars));
}

TEST_F(FirewallTest, FileExistsOnlyForFiles) {
  EXPECT_FALSE(CQxWinFirewallInteg::FileExists(nullptr));
  EXPECT_FALSE(CQxWinFirewallInteg::FileExists(L""));
  EXPECT_FALSE(CQxWinFirewallInteg::FileExists((m_folder.path() + L"\\missing.exe").c_str()));
  EXPECT_FALSE(CQxWinFirewallInteg::FileExists(m_folder.path().c_str()));
  EXPECT_TRUE(CQxWinFirewallInteg::FileExists(m_folder.exePath().c_str()));
}

TEST_F(FirewallTest, RemoveTakesOnlyThatRuleAway) {
  fwdouble::Rule other;
  other.name = L"Other Rule";
  ASSERT_TRUE(fwdouble::AddRule(other));
  ASSERT_TRUE(Add());
  log().Clear();

  EXPECT_TRUE(Remove());

  EXPECT_EQ(std::vector<fwdouble::Rule>{other}, fwdouble::Rules());
  EXPECT_EQ((std::vector<std::wstring>{L"RemoveSharedSvcFromFW : Entering ",
                                       L"RemoveSharedSvcFromFW : Rule Removed Successfully"}),
            Messages());
  EXPECT_EQ(L"CQxWinFirewallInteg::RemoveSharedSvcFromFW",
            log().Find(L"RemoveSharedSvcFromFW : Entering ").function);
}

// The firewall reports success for a name no rule has; that result decides the message.
TEST_F(FirewallTest, RemoveWithoutTheRuleReportsWhatTheFirewallSays) {
  EXPECT_TRUE(Remove());
  EXPECT_TRUE(log().Has(kLogNormal, L"RemoveSharedSvcFromFW : Rule Removed Successfully"));

  fwdouble::SetFailure(L"Remove", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  log().Clear();
  EXPECT_FALSE(Remove());
  EXPECT_TRUE(log().Has(kLogError, L"RemoveSharedSvcFromFW :INetFwRules Remove failed"));
}

// A failing firewall call ends the operation with its message and changes no rule.
struct FirewallFailure {
  const wchar_t* operation;
  bool (*run)();
  const wchar_t* message;
  friend void PrintTo(const FirewallFailure& value, std::ostream* os) {
    *os << ::testing::PrintToString(std::wstring(value.operation));
  }
};

class FirewallFailureTest : public FirewallTest,
                            public ::testing::WithParamInterface<FirewallFailure> {};

TEST_P(FirewallFailureTest, EndsWithItsMessage) {
  if (GetParam().run == &Remove) {
    ASSERT_TRUE(fwdouble::AddRule(ExpectedRule(m_folder.exePath())));
  }
  const std::vector<fwdouble::Rule> before = fwdouble::Rules();
  fwdouble::SetFailure(GetParam().operation, E_ACCESSDENIED);

  EXPECT_FALSE(GetParam().run());

  ASSERT_FALSE(Messages().empty());
  EXPECT_EQ(GetParam().message, Messages().back());
  EXPECT_EQ(kLogError, log().Find(GetParam().message).level);
  EXPECT_EQ(before, fwdouble::Rules());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FirewallFailureTest,
    ::testing::Values(
        FirewallFailure{L"CreateNetFwPolicy2", &Add,
                        L"AddSharedSvcToFW: Cannot create INetFwPolicy2 Instance"},
        FirewallFailure{L"get_Rules", &Add,
                        L"AddSharedSvcToFW: Cannot create INetFwRules Instance"},
        FirewallFailure{L"CreateNetFwRule", &Add,
                        L"AddSharedSvcToFW: Cannot create INetFwRule Instance"},
        FirewallFailure{L"put_Name", &Add, L"AddSharedSvcToFW:INetFwRule->put_Name failed"},
        FirewallFailure{L"put_Description", &Add,
                        L"AddSharedSvcToFW: INetFwRule->put_Description failed"},
        FirewallFailure{L"put_ApplicationName", &Add,
                        L"AddSharedSvcToFW: INetFwRule->put_ApplicationName failed"},
        FirewallFailure{L"Item", &Add, L"AddSharedSvcToFW:INetFwRules->Item failed"},
        FirewallFailure{L"Add", &Add, L"AddSharedSvcToFW:INetFwRules->Add failed"},
        FirewallFailure{L"CreateNetFwPolicy2", &Remove,
                        L"RemoveSharedSvcFromFW : Error creating INetFwPolicy2 Instance"},
        FirewallFailure{L"get_Rules", &Remove,
                        L"RemoveSharedSvcFromFW :Cannot create INetFwRules Instance"},
        FirewallFailure{L"Remove", &Remove, L"RemoveSharedSvcFromFW :INetFwRules Remove failed"}));

// The six settings after the application path are not checked: a refused one leaves
// that property unset and the rule is still added.
TEST_F(FirewallTest, RefusedSettingStillAddsTheRule) {
  struct Setting {
    const wchar_t* operation;
    void (*clear)(fwdouble::Rule&);
  };
  const Setting settings[] = {
      {L"put_Enabled", [](fwdouble::Rule& r) { r.enabled.reset(); }},
      {L"put_Action", [](fwdouble::Rule& r) { r.action.reset(); }},
      {L"put_Profiles", [](fwdouble::Rule& r) { r.profiles.reset(); }},
      {L"put_Protocol", [](fwdouble::Rule& r) { r.protocol.reset(); }},
      {L"put_LocalPorts", [](fwdouble::Rule& r) { r.localPorts.reset(); }},
      {L"put_RemotePorts", [](fwdouble::Rule& r) { r.remotePorts.reset(); }},
  };
  for (const Setting& setting : settings) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(setting.operation)));
    fwdouble::Reset();
    fwdouble::SetFailure(setting.operation, E_INVALIDARG);

    EXPECT_TRUE(Add());

    fwdouble::Rule expected = ExpectedRule(m_folder.exePath());
    setting.clear(expected);
    EXPECT_EQ(std::vector<fwdouble::Rule>{expected}, fwdouble::Rules());
  }
}

// The caller's apartment decides whether anything is done, and is left as it was.
TEST_F(FirewallTest, CallerApartmentIsLeftAsItWas) {
  struct Apartment {
    HRESULT hr = E_FAIL;
    APTTYPE type = APTTYPE_CURRENT;
    bool operator==(const Apartment& o) const { return hr == o.hr && type == o.type; }
    static Apartment Current() {
      Apartment a;
      APTTYPEQUALIFIER qualifier;
      a.hr = CoGetApartmentType(&a.type, &qualifier);
      return a;
    }
  };
  struct Case {
    const char* name;
    bool enter;
    DWORD model;
    bool worked;
  };
  const Case cases[] = {
      {"no apartment", false, 0, true},
      {"multithreaded", true, COINIT_MULTITHREADED, true},
      {"single-threaded", true, COINIT_APARTMENTTHREADED, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fwdouble::Reset();
    log().Clear();
    bool added = false;
    bool removed = false;
    Apartment before;
    Apartment after;
    std::thread([&] {
      const bool entered = c.enter && SUCCEEDED(CoInitializeEx(nullptr, c.model));
      before = Apartment::Current();
      added = Add();
      fwdouble::Rule seeded;
      seeded.name = kRuleName;
      fwdouble::AddRule(seeded);
      removed = Remove();
      after = Apartment::Current();
      if (entered) CoUninitialize();
    }).join();

    EXPECT_EQ(c.worked, added);
    EXPECT_EQ(c.worked, removed);
    EXPECT_EQ(c.worked, !fwdouble::FindRule(kRuleName).has_value());
    EXPECT_TRUE(before == after) << std::hex << before.hr << " " << before.type << " / " << after.hr
                                 << " " << after.type;
  }
  // The refused caller: each object logs why, and each operation stops after "Entering".
  const std::wstring refused =
      L"CQxWinFirewallInteg::CQxWinFirewallInteg: CoInitialize failed hr = 0x80010106";
  EXPECT_EQ((std::vector<std::wstring>{refused, L" AddSharedSvcToFW : Entering ", refused,
                                       L"RemoveSharedSvcFromFW : Entering "}),
            Messages());
  EXPECT_EQ(kLogError, log().Find(refused).level);
  EXPECT_EQ(L"CQxWinFirewallInteg::CQxWinFirewallInteg", log().Find(refused).function);
}

}  // namespace
