// Held folder chains: folders opened or made inside the one above, held, and never adopted
// from someone who could steer what is written in them.
#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "FakeFolderSecurity.h"
#include "HostLinks.h"
#include "basalt/HeldFolderChain.h"
#include "basalt/LibraryUtils.h"
#include "tests/support/TestFiles.h"

namespace {

using Basalt::CFolderChainReport;
using Basalt::CFolderRule;
using Basalt::CFolderVerdict;
using Basalt::CHeldFolderChain;
using foldertest::CFakeFolderSecurity;
using foldertest::FromSddl;
using foldertest::StandardUser;

// What each folder of the chain is made with.
constexpr wchar_t kVendorSddl[] = L"O:BA";
constexpr wchar_t kLogsSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;CO)(A;OICI;0x1200a9;;;BU)"
    L"(A;;0x4;;;BU)";
constexpr wchar_t kEtlSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr ACCESS_MASK kRead = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
// Whoever holds one of these on a folder can turn it into a link or give himself the rest.
constexpr ACCESS_MASK kSteering = WRITE_DAC | WRITE_OWNER | FILE_WRITE_ATTRIBUTES | FILE_WRITE_DATA;

BY_HANDLE_FILE_INFORMATION Identity(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info = {};
  EXPECT_TRUE(GetFileInformationByHandle(file, &info));
  return info;
}

bool SameObject(HANDLE a, HANDLE b) {
  const BY_HANDLE_FILE_INFORMATION x = Identity(a), y = Identity(b);
  return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

std::vector<std::wstring> Names(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  const Basalt::UniqueFindFile find(FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (!find) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find.get(), &data));
  return names;
}

class HeldFolderChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    root = testsupport::ProgramDataFolder() + L"\\HollinTests\\chain-" +
           std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    ASSERT_TRUE(Basalt::CreateDirectoryTree(root.c_str()));
    vendor = FromSddl(kVendorSddl);
    logs = FromSddl(kLogsSddl);
    etl = FromSddl(kEtlSddl);
    rules = {{L"Vendor", vendor.data(), kRead | FILE_GENERIC_WRITE},
             {L"Logs", logs.data(), kRead | FILE_ADD_SUBDIRECTORY},
             {L"ETW", etl.data(), kRead}};
  }
  void TearDown() override { testsupport::DeleteTree(root); }

  std::wstring Path(int depth) const {
    std::wstring path = root;
    for (int i = 0; i < depth; ++i) path += L"\\" + rules[i].name;
    return path;
  }

  std::wstring root;
  std::vector<BYTE> vendor, logs, etl;
  std::vector<CFolderRule> rules;
  CFakeFolderSecurity security;
};

// Missing folders are made with their rules and held: nobody moves them away, and the path
// leads to the last. Opened again, they are taken as they are.
TEST_F(HeldFolderChainTest, MakesMissingFoldersWithTheirRulesAndHoldsThem) {
  {
    CHeldFolderChain chain(security);
    CFolderChainReport report;
    ASSERT_EQ(0u, chain.Open(root, rules, report));
    ASSERT_EQ(3u, chain.Count());
    EXPECT_TRUE(report.setAside.empty());
    EXPECT_EQ(L"O:BA", security.Sddl(Path(1)).substr(0, 4));
    EXPECT_EQ(foldertest::ToSddl(logs), security.Sddl(Path(2)));
    EXPECT_EQ(foldertest::ToSddl(etl), security.Sddl(Path(3)));
    for (int depth = 1; depth <= 3; ++depth) {
      EXPECT_EQ(Path(depth), chain.Path(depth - 1));
      EXPECT_FALSE(MoveFileW(Path(depth).c_str(), (Path(depth) + L".moved").c_str()));
      EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    }
    EXPECT_TRUE(chain.PathLeadsToLast(Path(3)));
    EXPECT_FALSE(chain.PathLeadsToLast(Path(2)));
  }
  CHeldFolderChain again(security);
  CFolderChainReport report;
  ASSERT_EQ(0u, again.Open(root, rules, report));
  EXPECT_TRUE(report.setAside.empty());
  EXPECT_EQ(0, security.daclWrites);
  again.Release();
  EXPECT_TRUE(MoveFileW(Path(1).c_str(), (Path(1) + L".moved").c_str()));
}

// Who may own a folder and what others may do on it.
TEST_F(HeldFolderChainTest, JudgesOwnersAndRights) {
  const struct {
    const char* name;
    const wchar_t* sddl;
    int rule;
    CFolderVerdict verdict;
  } cases[] = {
      {"the rule's own", kEtlSddl, 2, CFolderVerdict::kAdopt},
      {"owned by SYSTEM", L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", 2,
       CFolderVerdict::kAdopt},
      {"not protected", L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", 2,
       CFolderVerdict::kPutRights},
      {"Users only read, where they may also make folders", kEtlSddl, 1,
       CFolderVerdict::kPutRights},
      {"a user's entry only for what is made in it",
       L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;S-1-5-21-1-2-3-1001)", 2,
       CFolderVerdict::kPutRights},
      {"made by a user", L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 2,
       CFolderVerdict::kSetAside},
      {"no owner", L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 2, CFolderVerdict::kSetAside},
      {"null DACL", L"O:BAD:NO_ACCESS_CONTROL", 2, CFolderVerdict::kSetAside},
      {"Users may write", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)", 2,
       CFolderVerdict::kSetAside},
      {"Everyone may change its rights", L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;WD;;;WD)", 0,
       CFolderVerdict::kSetAside},
      {"Users may delete what is in it", L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x40;;;BU)", 0,
       CFolderVerdict::kSetAside},
      {"a vendor folder as ProgramData hands it down",
       L"O:BAD:(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)(A;ID;0x116;;;BU)", 0,
       CFolderVerdict::kAdopt},
      {"SYSTEM shut out", L"O:BAD:(D;;FA;;;SY)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 2,
       CFolderVerdict::kSetAside},
      {"SYSTEM denied deletion through Everyone",
       L"O:BAD:P(D;;SD;;;WD)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", 2,
       CFolderVerdict::kSetAside},
      {"SYSTEM reads, and does the rest as an administrator", L"O:BAD:(A;;FR;;;SY)(A;;FA;;;BA)", 0,
       CFolderVerdict::kAdopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<BYTE> descriptor = FromSddl(c.sddl);
    ASSERT_FALSE(descriptor.empty());
    EXPECT_EQ(c.verdict, Basalt::JudgeFolderSecurity(descriptor.data(), rules[c.rule], nullptr));
  }
  // The caller's own account is trusted where it is given (Wine's user is an administrator).
  BYTE self[SECURITY_MAX_SID_SIZE];
  ASSERT_TRUE(Basalt::TrustedSelf(self));
  LPWSTR selfText = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(self, &selfText));
  const std::wstring mine =
      L"O:" + std::wstring(selfText) + L"D:(A;;FA;;;SY)(A;;FA;;;" + selfText + L")";
  LocalFree(selfText);
  std::vector<BYTE> descriptor = FromSddl(mine.c_str());
  EXPECT_EQ(CFolderVerdict::kAdopt, Basalt::JudgeFolderSecurity(descriptor.data(), rules[0], self));
  EXPECT_EQ(CFolderVerdict::kSetAside,
            Basalt::JudgeFolderSecurity(descriptor.data(), rules[0], nullptr));
}

// A folder that someone else made or could write, or a file in its place, is moved aside
// within its parent and made anew. Rights are checked when a handle is opened, so a handle
// the user opened before keeps what it was granted: it goes with the folder set aside, and
// the held folder is another one, on which that user gets no more than the rule allows.
TEST_F(HeldFolderChainTest, WhatOthersCouldSteerIsSetAsideWithTheirHandles) {
  const struct {
    const char* name;
    int depth;
    const wchar_t* sddl;  // null: a file stands there
  } cases[] = {
      {"vendor folder made by a user", 1,
       L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)(A;OICI;FA;;;SY)"},
      {"log folder made by a user", 2,
       L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)(A;OICI;FA;;;SY)"
       L"(A;OICI;FA;;;BA)"},
      {"ETL folder an administrator made that Users may write", 3,
       L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)"},
      {"ETL folder a user made that shuts SYSTEM out", 3,
       L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)"},
      {"a file in place of the log folder", 2, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    security.Reset();
    testsupport::DeleteTree(root);
    ASSERT_TRUE(Basalt::CreateDirectoryTree(Path(c.depth - 1).c_str()));
    const std::wstring target = Path(c.depth);
    Basalt::UniqueFile userHandle;
    ACCESS_MASK granted = 0;
    if (c.sddl == nullptr) {
      ASSERT_TRUE(testsupport::WriteFileBytes(target, "mine"));
    } else {
      ASSERT_TRUE(Basalt::CreateDirectoryTree(target.c_str()));
      ASSERT_TRUE(testsupport::WriteFileBytes(target + L"\\kept", "kept"));
      ASSERT_TRUE(security.Set(target, c.sddl));
      ASSERT_EQ(0u, security.OpenAs(StandardUser(), target, MAXIMUM_ALLOWED,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    userHandle, granted));
      ASSERT_NE(0u, granted & kSteering);
    }

    CHeldFolderChain chain(security);
    CFolderChainReport report;
    ASSERT_EQ(0u, chain.Open(root, rules, report));
    ASSERT_EQ(1u, report.setAside.size());
    EXPECT_EQ(target, report.setAside[0].path);
    const std::wstring newName = report.setAside[0].newName;
    EXPECT_EQ(rules[c.depth - 1].name + L".set-aside-", newName.substr(0, newName.size() - 16));
    const std::wstring aside = Path(c.depth - 1) + L"\\" + newName;
    // Set aside whole, made anew empty (but for the chain inside it).
    EXPECT_EQ(c.sddl == nullptr ? "mine" : "kept",
              testsupport::ReadFileBytes(c.sddl == nullptr ? aside : aside + L"\\kept"));
    EXPECT_TRUE(chain.PathLeadsToLast(Path(3)));
    const std::vector<BYTE> made = security.Get(target);
    EXPECT_EQ(foldertest::ToSddl(FromSddl(c.depth == 1   ? kVendorSddl
                                          : c.depth == 2 ? kLogsSddl
                                                         : kEtlSddl))
                  .substr(0, 4),
              foldertest::ToSddl(made).substr(0, 4));
    EXPECT_EQ(0u, security.RightsOf(StandardUser(), target) & kSteering);
    if (userHandle) {
      // Still granted what it was, on the folder set aside, not on the one held.
      EXPECT_FALSE(SameObject(userHandle.get(), chain.Folder(c.depth - 1)));
      Basalt::UniqueFile asideHandle(
          CreateFileW(aside.c_str(), FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      ASSERT_TRUE(asideHandle);
      EXPECT_TRUE(SameObject(userHandle.get(), asideHandle.get()));
    }
    chain.Release();
    userHandle.reset();
  }
}

// Security calls whose next Create of |raceAt| finds that folder made just before, with
// |racerSddl|, by someone else, as when two processes start at once.
class CRacedFolderSecurity : public CFakeFolderSecurity {
 public:
  DWORD Create(HANDLE parent, const std::wstring& name, PSECURITY_DESCRIPTOR descriptor,
               ACCESS_MASK access, Basalt::UniqueFile& folder) override {
    if (!raceAt.empty() && raceAt == name) {
      raceAt.clear();
      const std::wstring path = parentPath + L"\\" + name;
      if (!CreateDirectoryW(path.c_str(), nullptr) || !Set(path, racerSddl)) {
        return ERROR_INVALID_DATA;
      }
    }
    return CFakeFolderSecurity::Create(parent, name, descriptor, access, folder);
  }
  std::wstring raceAt, parentPath;
  const wchar_t* racerSddl = nullptr;
};

// A folder that another process makes between the look and the make is looked at again and
// judged: another host's is taken, a user's set aside; neither fails the chain.
TEST_F(HeldFolderChainTest, AFolderMadeMeanwhileByAnotherProcessIsJudgedNotAFailure) {
  const struct {
    const char* name;
    const wchar_t* racerSddl;
    size_t setAside;
  } cases[] = {
      {"another host", kLogsSddl, 0},
      {"a user", L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)(A;OICI;FA;;;SY)", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::DeleteTree(root);
    ASSERT_TRUE(Basalt::CreateDirectoryTree(root.c_str()));
    CRacedFolderSecurity raced;
    raced.raceAt = rules[1].name;
    raced.parentPath = Path(1);
    raced.racerSddl = c.racerSddl;
    CHeldFolderChain chain(raced);
    CFolderChainReport report;
    ASSERT_EQ(0u, chain.Open(root, rules, report))
        << "step " << static_cast<int>(report.step) << ", error " << report.error;
    EXPECT_TRUE(raced.raceAt.empty()) << "the race was not run";
    EXPECT_EQ(c.setAside, report.setAside.size());
    EXPECT_EQ(foldertest::ToSddl(logs), raced.Sddl(Path(2)));
    EXPECT_TRUE(chain.PathLeadsToLast(Path(3)));
  }
}

// A user's handle that shares no deletion keeps the folder from being moved aside: nothing is
// adopted or held, and the step says why.
TEST_F(HeldFolderChainTest, AFolderThatCannotBeMovedAsideIsNotTaken) {
  ASSERT_TRUE(Basalt::CreateDirectoryTree(Path(2).c_str()));
  ASSERT_TRUE(security.Set(Path(2),
                           L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)"
                           L"(A;OICI;FA;;;SY)"));
  Basalt::UniqueFile userHandle;
  ACCESS_MASK granted = 0;
  ASSERT_EQ(0u, security.OpenAs(StandardUser(), Path(2), MAXIMUM_ALLOWED,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, userHandle, granted));
  CHeldFolderChain chain(security);
  CFolderChainReport report;
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), chain.Open(root, rules, report));
  EXPECT_EQ(CFolderChainReport::Step::kSetAside, report.step);
  EXPECT_EQ(Path(2), report.path);
  EXPECT_EQ(0u, chain.Count());
  EXPECT_FALSE(testsupport::FileExists(Path(3)));
  EXPECT_EQ(std::vector<std::wstring>{L"Logs"}, Names(Path(1)));
}

// A link in place of a folder of the chain is refused, and nothing is made through it; a
// path turned elsewhere after the chain was opened no longer leads to the held folder.
TEST_F(HeldFolderChainTest, LinksAreRefusedAndTurnedPathsAreSeen) {
  const std::wstring elsewhere = root + L"\\elsewhere";
  ASSERT_TRUE(Basalt::CreateDirectoryTree(elsewhere.c_str()));
  ASSERT_TRUE(foldertest::MakeLink(elsewhere, Path(1)));
  {
    CHeldFolderChain chain(security);
    CFolderChainReport report;
    EXPECT_EQ(Basalt::kReparsePointMet, chain.Open(root, rules, report));
    EXPECT_EQ(CFolderChainReport::Step::kNotPlain, report.step);
    EXPECT_EQ(Path(1), report.path);
    EXPECT_TRUE(Names(elsewhere).empty());
  }
  ASSERT_TRUE(foldertest::RemoveLink(Path(1)));

  CHeldFolderChain chain(security);
  CFolderChainReport report;
  ASSERT_EQ(0u, chain.Open(root, rules, report));
  ASSERT_TRUE(Basalt::CreateDirectoryTree((elsewhere + L"\\Logs\\ETW").c_str()));
  ASSERT_TRUE(foldertest::MoveOnHost(Path(1), root + L"\\held"));
  ASSERT_TRUE(foldertest::MakeLink(elsewhere, Path(1)));
  EXPECT_FALSE(chain.PathLeadsToLast(Path(3)));
  EXPECT_TRUE(chain.PathLeadsToLast(root + L"\\held\\Logs\\ETW"));
  ASSERT_TRUE(foldertest::RemoveLink(Path(1)));
}

}  // namespace
