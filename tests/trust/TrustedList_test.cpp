// ctest-lock: trusted-list
// The trusted list file: grammar, its own signature, loading, and replacement by updates.
#include "trust/TrustedList.h"

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TrustTestSupport.h"
#include "tests/support/AllocationFailures.h"

namespace {

using trust_test::Fixture;

// Exposes the parse step to the grammar tests.
class ParsedList : public CTrustedList {
 public:
  ParsedList() : CTrustedList(L"unused") {}
  bool Parse(std::string_view text) {
    Sections().clear();
    return ReadTrustedListSections(text, &Sections()) && ParseEntries();
  }
  int NameCount() const {
    int n = 0;
    for (const wchar_t* const* p = GetNames(); p != nullptr && *p != nullptr; ++p) ++n;
    return n;
  }
  int SerialCount() const {
    int n = 0;
    for (const wchar_t* const* p = GetSerials(); p != nullptr && *p != nullptr; ++p) ++n;
    return n;
  }
  int UsableThumbprints() const {
    int n = 0;
    for (DWORD i = 0; i < GetThumbprintCount(); ++i) n += GetThumbprints()[i] != nullptr;
    return n;
  }
};

constexpr char kSha[] = "d1453c0f5bbe171007e5cc717105e31c3883931d";

struct GrammarCase {
  const char* name;
  std::string text;
  bool usable;
  DWORD version;
  int names, serials, thumbprints, usableThumbprints;
};

TEST(TrustedListGrammar, LinesSectionsAndRefusals) {
  const std::string sha = kSha;
  const GrammarCase cases[] = {
      {"full list, CR LF",
       "[VER]\r\n8\r\n[ORG]\r\nTelvan, LLC\r\n[SER]\r\n1bad5e\r\n[SHA]\r\n" + sha + "\r\n", true, 8,
       1, 1, 1, 1},
      {"LF only, blanks and tabs trimmed", "  [VER] \n\t12\t\n[ORG]\n  Telvan, Inc.  \n", true, 12,
       1, 0, 0, 0},
      {"comments and empty lines", "// c\n/* c\n*/\n\n[VER]\n/* x */\n3\n[ORG]\n// not a name\nA\n",
       true, 3, 1, 0, 0, 0},
      {"nothing after the signature block is read",
       "[VER]\n9\n[ORG]\nA\n// SIG // Begin signature block\n[ORG]\nB\n[VER]\n10\n", true, 9, 1, 0,
       0, 0},
      {"blanks inside the brackets", "[ VER ]\n4\n[\tORG\t]\nA\n", true, 4, 1, 0, 0, 0},
      {"a section opened twice collects both", "[ORG]\nA\n[VER]\n5\n[ORG]\nB\nC\n", true, 5, 3, 0,
       0, 0},
      {"values before the first section are ignored", "A\nB\n[VER]\n5\n[ORG]\nC\n", true, 5, 1, 0,
       0, 0},
      {"other sections are ignored", "[VER]\n5\n[XYZ]\nq\n[ORG]\nA\n[org]\nB\n", true, 5, 1, 0, 0,
       0},
      {"a single [ is a value", "[VER]\n5\n[ORG]\n[\n", true, 5, 1, 0, 0, 0},
      {"VER read from the start of its text", "[VER]\n12abc\n[ORG]\nA\n", true, 12, 1, 0, 0, 0},
      {"SHA of 39, 41 digits or not hex never matches",
       "[VER]\n5\n[SHA]\n" + sha.substr(1) + "\n" + sha + "0\n" + "z" + sha.substr(1) + "\n" + sha +
           "\n",
       true, 5, 0, 0, 4, 1},
      {"only SHA: every name passes", "[VER]\n5\n[SHA]\n" + sha + "\n", true, 5, 0, 0, 1, 1},
      {"empty section name", "[VER]\n5\n[]\n[ORG]\nA\n", false, 0, 0, 0, 0, 0},
      {"blank section name", "[VER]\n5\n[ \t ]\n[ORG]\nA\n", false, 0, 0, 0, 0, 0},
      {"VER twice", "[VER]\n5\n6\n[ORG]\nA\n", false, 0, 0, 0, 0, 0},
      {"VER opened twice", "[VER]\n5\n[ORG]\nA\n[VER]\n6\n", false, 0, 0, 0, 0, 0},
      {"no VER", "[ORG]\nA\n", false, 0, 0, 0, 0, 0},
      {"VER without value", "[VER]\n[ORG]\nA\n", false, 0, 0, 0, 0, 0},
      {"VER not a number", "[VER]\nseven\n[ORG]\nA\n", false, 0, 0, 0, 0, 0},
      {"VER negative", "[VER]\n-5\n[ORG]\nA\n", false, 0, 0, 0, 0, 0},
      {"VER too large", "[VER]\n4294967296\n[ORG]\nA\n", false, 0, 0, 0, 0, 0},
      {"neither names nor roots", "[VER]\n9\n[SER]\n1bad5e\n", false, 0, 0, 0, 0, 0},
      {"a name with an embedded NUL", std::string("[VER]\n9\n[ORG]\nTelvan, LLC\0x\n", 28), false,
       0, 0, 0, 0, 0},
      {"empty text", "", false, 0, 0, 0, 0, 0},
  };
  for (const GrammarCase& c : cases) {
    ParsedList list;
    EXPECT_EQ(list.Parse(c.text), c.usable) << c.name;
    EXPECT_EQ(list.GetVersion(), c.version) << c.name;
    EXPECT_EQ(list.NameCount(), c.names) << c.name;
    EXPECT_EQ(list.SerialCount(), c.serials) << c.name;
    EXPECT_EQ(list.GetThumbprintCount(), static_cast<DWORD>(c.thumbprints)) << c.name;
    EXPECT_EQ(list.UsableThumbprints(), c.usableThumbprints) << c.name;
  }
}

TEST(TrustedListGrammar, ValuesKeepFileOrder) {
  TrustedListSections sections;
  ASSERT_TRUE(ReadTrustedListSections("[ORG]\nB\n[VER]\n1\n[ORG]\nA\n[EMPTY]\n", &sections));
  EXPECT_EQ(sections[L"ORG"], (std::vector<std::wstring>{L"B", L"A"}));
  EXPECT_EQ(sections.count(L"EMPTY"), 0u);  // a header followed by no value creates nothing
  // One byte per character.
  sections.clear();
  ASSERT_TRUE(ReadTrustedListSections("[ORG]\n\xe9t\xe9\n", &sections));
  EXPECT_EQ(sections[L"ORG"].front(), std::wstring(L"\u00e9t\u00e9"));
}

// --- Files ----------------------------------------------------------------------------

struct LoadCase {
  const wchar_t* file;
  BOOL loads;
  DWORD version;
};

TEST(TrustedListFile, SignatureAndContentDecideWhetherItLoads) {
  const LoadCase cases[] = {
      {L"list_v9.js", TRUE, 9},
      {L"list_v5.js", TRUE, 5},
      {L"list_orgonly_v9.js", TRUE, 9},
      {L"list_rogue_v9.js", FALSE, 0},  // not the pinned signer
      {L"list_two_v9.js", FALSE, 0},    // two signers
      {L"list_tampered_v9.js", FALSE, 0},
      {L"list_emptyname.js", FALSE, 0},
      {L"list_twover.js", FALSE, 0},
      {L"list_empty_v9.js", FALSE, 0},
      {L"good.dll", FALSE, 0},
      {L"no_such_list.js", FALSE, 0},
  };
  for (const LoadCase& c : cases) {
    CTrustedList list(Fixture(c.file).c_str());
    EXPECT_EQ(list.EnsureLoaded(), c.loads) << c.file;
    EXPECT_EQ(list.IsLoaded(), c.loads) << c.file;
    CTrustedList::SharedHold hold(list);
    EXPECT_EQ(list.GetVersion(), c.version) << c.file;
    if (!c.loads) {
      EXPECT_EQ(list.GetNames(), nullptr) << c.file;
      EXPECT_EQ(list.GetThumbprintCount(), 0u) << c.file;
    }
  }
  EXPECT_FALSE(VerifyTrustedListSignature(nullptr));
  EXPECT_FALSE(VerifyTrustedListSignature(L""));
  EXPECT_TRUE(VerifyTrustedListSignature(Fixture(L"list_v9.js").c_str()));
}

TEST(TrustedListFile, DefaultPathIsOnTheWindowsDrive) {
  wchar_t windows[MAX_PATH] = {};
  ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  PathStripToRootW(windows);
  const std::wstring expected =
      std::wstring(windows) + L"Program Files\\Common Files\\Telvan\\Platform\\Core\\trusted.js";
  EXPECT_EQ(
      CompareStringOrdinal(GetDefaultTrustedListPath().c_str(), -1, expected.c_str(), -1, TRUE),
      CSTR_EQUAL);
  CTrustedList list(nullptr);
  EXPECT_EQ(list.GetPath(), GetDefaultTrustedListPath());
}

class TrustedListUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    trust_test::DeleteReloadAtom();
    trust_test::SetInstalledListFile(nullptr);
    folder_ = trust_test::MakeScratchFolder(L"update");
  }
  void TearDown() override {
    trust_test::SetInstalledListFile(nullptr);
    trust_test::DeleteReloadAtom();
    trust_test::RemoveTree(folder_);
  }
  static DWORD InstalledVersion() {
    CTrustedList& installed = GetInstalledTrustedList();
    CTrustedList::SharedHold hold(installed);
    return installed.IsLoadedLocked() ? installed.GetVersion() : 0;
  }
  static DWORD FileVersion(const std::wstring& path) {
    CTrustedList list(path.c_str());
    if (!list.EnsureLoaded()) return 0;
    CTrustedList::SharedHold hold(list);
    return list.GetVersion();
  }
  std::wstring folder_;
};

TEST_F(TrustedListUpdate, NewerListsReplaceOlderOnesNeverTheReverse) {
  const std::wstring installed = trust_test::InstalledListPath();
  EXPECT_FALSE(ApplyTrustedListUpdate(Fixture(L"list_v7.js").c_str()));  // not above built-in
  EXPECT_FALSE(PathFileExistsW(installed.c_str()));
  EXPECT_FALSE(ApplyTrustedListUpdate(Fixture(L"list_rogue_v9.js").c_str()));
  EXPECT_FALSE(ApplyTrustedListUpdate(nullptr));
  EXPECT_EQ(GlobalFindAtomW(kTrustedListReloadAtom), 0);

  EXPECT_TRUE(ApplyTrustedListUpdate(Fixture(L"list_v9.js").c_str()));
  EXPECT_EQ(InstalledVersion(), 9u);
  EXPECT_EQ(FileVersion(installed), 9u);
  EXPECT_NE(GlobalFindAtomW(kTrustedListReloadAtom), 0);
  EXPECT_FALSE(PathFileExistsW(
      (trust_test::InstalledListPath().substr(0, installed.size() - wcslen(L"trusted.js")) +
       L"trusted.tmp")
          .c_str()));

  EXPECT_FALSE(ApplyTrustedListUpdate(Fixture(L"list_v8.js").c_str()));  // downgrade
  EXPECT_FALSE(ApplyTrustedListUpdate(Fixture(L"list_v9.js").c_str()));  // same version
  EXPECT_EQ(FileVersion(installed), 9u);
  EXPECT_TRUE(ApplyTrustedListUpdate(Fixture(L"list_v10.js").c_str()));
  EXPECT_EQ(InstalledVersion(), 10u);
  EXPECT_EQ(FileVersion(installed), 10u);
}

TEST_F(TrustedListUpdate, AnUpdaterThatNeverLoadedTheListCannotDowngradeIt) {
  // Two instances for one file stand for two processes: neither sees the other's memory.
  const std::wstring path = folder_ + L"\\Core\\trusted.js";
  CTrustedList first(path.c_str());
  CTrustedList second(path.c_str());
  ASSERT_TRUE(first.Update(Fixture(L"list_v10.js").c_str()));  // creates the folder chain
  EXPECT_FALSE(second.Update(Fixture(L"list_v9.js").c_str()));
  EXPECT_EQ(FileVersion(path), 10u);
  EXPECT_FALSE(second.Update(Fixture(L"list_v7.js").c_str()));
  EXPECT_FALSE(second.Update(Fixture(L"list_rogue_v9.js").c_str()));
  EXPECT_FALSE(second.Update(Fixture(L"no_such_list.js").c_str()));
  EXPECT_EQ(FileVersion(path), 10u);

  // The installed version is read from the locked file itself, not from a copy that needs
  // a writable temporary folder.
  wchar_t savedTmp[MAX_PATH] = {}, savedTemp[MAX_PATH] = {};
  GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
  GetEnvironmentVariableW(L"TEMP", savedTemp, MAX_PATH);
  const std::wstring missing = folder_ + L"\\no_such_folder";
  SetEnvironmentVariableW(L"TMP", missing.c_str());
  SetEnvironmentVariableW(L"TEMP", missing.c_str());
  EXPECT_FALSE(second.Update(Fixture(L"list_v9.js").c_str()));
  SetEnvironmentVariableW(L"TMP", savedTmp);
  SetEnvironmentVariableW(L"TEMP", savedTemp);
  EXPECT_EQ(FileVersion(path), 10u);
}

TEST_F(TrustedListUpdate, ConcurrentUpdatersEndWithTheNewestList) {
  const std::wstring path = folder_ + L"\\trusted.js";
  const wchar_t* offers[] = {L"list_v8.js", L"list_v10.js", L"list_v9.js"};
  for (int round = 0; round < 3; ++round) {
    trust_test::RemoveTree(folder_);
    std::vector<std::thread> threads;
    std::vector<std::unique_ptr<CTrustedList>> lists;
    for (int i = 0; i < 6; ++i) lists.push_back(std::make_unique<CTrustedList>(path.c_str()));
    for (int i = 0; i < 6; ++i) {
      threads.emplace_back(
          [&, i] { (void)lists[i]->Update(Fixture(offers[(i + round) % 3]).c_str()); });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(FileVersion(path), 10u) << round;
  }
}

TEST_F(TrustedListUpdate, ReplacementWaitsForReaders) {
  const std::wstring path = folder_ + L"\\trusted.js";
  CTrustedList list(path.c_str());
  ASSERT_TRUE(list.Update(Fixture(L"list_v8.js").c_str()));
  CTrustedListFileLock reader = OpenAndLockTrustedList(path.c_str(), false);
  ASSERT_TRUE(reader);
  std::atomic<int> result{-1};
  std::thread updater([&] { result = list.Update(Fixture(L"list_v9.js").c_str()); });
  Sleep(300);
  EXPECT_EQ(result.load(), -1);  // still waiting for the reader's lock
  reader.Release();
  updater.join();
  EXPECT_EQ(result.load(), TRUE);
  EXPECT_EQ(FileVersion(path), 9u);
}

constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// The renames that the system carries out at its next start, as stored.
std::vector<wchar_t> PendingRenames() {
  DWORD bytes = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations",
                   RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS) {
    return {};
  }
  std::vector<wchar_t> value(bytes / sizeof(wchar_t) + 1);
  bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations",
                         RRF_RT_REG_MULTI_SZ, nullptr, value.data(), &bytes),
            ERROR_SUCCESS);
  value.resize(bytes / sizeof(wchar_t));
  return value;
}

std::vector<std::wstring> Strings(const std::vector<wchar_t>& multi) {
  std::vector<std::wstring> strings;
  for (size_t at = 0; at < multi.size() && multi[at] != L'\0';) {
    strings.emplace_back(&multi[at]);
    at += strings.back().size() + 1;
  }
  return strings;
}

TEST_F(TrustedListUpdate, FailedReplacementIsScheduledForTheNextStart) {
  const std::wstring path = folder_ + L"\\trusted.js";
  const std::wstring temporary = folder_ + L"\\trusted.tmp";
  CTrustedList list(path.c_str());
  ASSERT_TRUE(list.Update(Fixture(L"list_v8.js").c_str()));
  const std::vector<wchar_t> before = PendingRenames();
  // The prefix's own renames come back whatever the checks below find.
  const auto restore = Basalt::MakeScopeExit([&before] {
    if (before.empty()) {
      RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
    } else {
      RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations",
                      REG_MULTI_SZ, before.data(),
                      static_cast<DWORD>(before.size() * sizeof(wchar_t)));
    }
  });
  {
    // A reader that holds the file without delete sharing makes the replacement fail.
    Basalt::UniqueFile reader(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    EXPECT_FALSE(list.Update(Fixture(L"list_v9.js").c_str()));
  }
  const std::vector<std::wstring> added = Strings(PendingRenames());
  const size_t already = Strings(before).size();
  ASSERT_EQ(added.size(), already + 2);
  EXPECT_EQ(added[already], L"\\??\\" + temporary);
  EXPECT_EQ(added[already + 1], L"\\??\\" + path);
  // The current list stays; its replacement waits for the next start.
  EXPECT_EQ(FileVersion(path), 8u);
  EXPECT_EQ(FileVersion(temporary), 9u);
}

TEST_F(TrustedListUpdate, ReadOnlyCandidateLeavesAReplaceableList) {
  const std::wstring path = folder_ + L"\\trusted.js";
  const std::wstring candidate = folder_ + L"\\candidate.js";
  ASSERT_TRUE(CopyFileW(Fixture(L"list_v9.js").c_str(), candidate.c_str(), FALSE));
  SetFileAttributesW(candidate.c_str(), FILE_ATTRIBUTE_READONLY);
  CTrustedList list(path.c_str());
  ASSERT_TRUE(list.Update(candidate.c_str()));
  EXPECT_EQ(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_TRUE(list.Update(Fixture(L"list_v10.js").c_str()));
  EXPECT_EQ(FileVersion(path), 10u);
}

TEST_F(TrustedListUpdate, ReloadSeesTheNewFile) {
  const std::wstring path = folder_ + L"\\trusted.js";
  ASSERT_TRUE(CopyFileW(Fixture(L"list_v8.js").c_str(), path.c_str(), FALSE));
  CTrustedList list(path.c_str());
  ASSERT_TRUE(list.EnsureLoaded());
  ASSERT_TRUE(CopyFileW(Fixture(L"list_v9.js").c_str(), path.c_str(), FALSE));
  EXPECT_TRUE(list.EnsureLoaded());  // already loaded: the file is not read again
  {
    CTrustedList::SharedHold hold(list);
    EXPECT_EQ(list.GetVersion(), 8u);
  }
  EXPECT_TRUE(list.Reload());
  {
    CTrustedList::SharedHold hold(list);
    EXPECT_EQ(list.GetVersion(), 9u);
  }
  ASSERT_TRUE(CopyFileW(Fixture(L"list_tampered_v9.js").c_str(), path.c_str(), FALSE));
  EXPECT_FALSE(list.Reload());  // a failed load leaves what was loaded in force
  EXPECT_TRUE(list.IsLoaded());
  {
    CTrustedList::SharedHold hold(list);
    EXPECT_EQ(list.GetVersion(), 9u);
    EXPECT_NE(list.GetNames(), nullptr);
  }
  list.Discard();
  EXPECT_FALSE(list.IsLoaded());
  CTrustedList::SharedHold hold(list);
  EXPECT_EQ(list.GetNames(), nullptr);
  EXPECT_EQ(list.GetVersion(), 0u);
}

// Memory that runs out anywhere in a reload fails that reload and keeps the loaded list; it is
// never an exception out of it (which would leave the list's lock taken).
TEST_F(TrustedListUpdate, RunningOutOfMemoryDuringAReloadKeepsTheLoadedList) {
  const std::wstring path = folder_ + L"\\trusted.js";
  ASSERT_TRUE(CopyFileW(Fixture(L"list_v8.js").c_str(), path.c_str(), FALSE));
  auto list = std::make_unique<CTrustedList>(path.c_str());
  ASSERT_TRUE(list->EnsureLoaded());
  ASSERT_TRUE(CopyFileW(Fixture(L"list_v9.js").c_str(), path.c_str(), FALSE));
  for (long allocations = 0;; ++allocations) {
    SCOPED_TRACE(allocations);
    DWORD before = 0;
    {
      CTrustedList::SharedHold hold(*list);
      before = list->GetVersion();
    }
    BOOL reloaded = FALSE;
    bool thrown = false;
    bool failed = false;
    {
      testsupport::ScopedAllocationFailure failure(allocations);
      try {
        reloaded = list->Reload();
      } catch (...) {
        thrown = true;
      }
      failed = failure.failed();
    }
    if (thrown) {
      (void)list.release();  // its lock may be held: never touched again
      FAIL() << "an exception left Reload";
    }
    ASSERT_TRUE(list->IsLoaded());
    CTrustedList::SharedHold hold(*list);
    EXPECT_EQ(list->GetVersion(), reloaded ? 9u : before);
    EXPECT_NE(list->GetNames(), nullptr);
    if (!failed) {
      EXPECT_TRUE(reloaded);
      break;
    }
  }
}

// Memory that runs out anywhere in an update makes it fail and leaves no temporary copy behind;
// it is never an exception out of it.
TEST_F(TrustedListUpdate, RunningOutOfMemoryDuringAnUpdateIsARefusal) {
  const std::wstring installed = trust_test::InstalledListPath();
  const std::wstring temporary = installed.substr(0, installed.rfind(L'\\')) + L"\\trusted.tmp";
  const std::wstring candidate = Fixture(L"list_v9.js");
  for (long allocations = 0;; ++allocations) {
    SCOPED_TRACE(allocations);
    trust_test::SetInstalledListFile(L"list_v8.js");
    BOOL applied = FALSE;
    bool thrown = false;
    bool failed = false;
    {
      testsupport::ScopedAllocationFailure failure(allocations);
      try {
        applied = ApplyTrustedListUpdate(candidate.c_str());
      } catch (...) {
        thrown = true;
      }
      failed = failure.failed();
    }
    ASSERT_FALSE(thrown) << "an exception left the update";
    // Memory may also run out in the load after the replacement: the file is then newer than
    // what was loaded, as after any failed load.
    if (applied) {
      EXPECT_EQ(FileVersion(installed), 9u);
    }
    EXPECT_FALSE(PathFileExistsW(temporary.c_str()));
    if (!failed) {
      EXPECT_TRUE(applied);
      break;
    }
  }
}

}  // namespace
