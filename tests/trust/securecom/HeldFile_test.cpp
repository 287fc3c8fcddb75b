// The held file of the client-process check: while it is held, neither it nor a folder on its
// path can be renamed, replaced or deleted, so its path keeps naming it; a path through a link, or
// deeper than the bound, holds nothing.
#include "trust/HeldFile.h"

#include <gtest/gtest.h>

#include <string>

#include "HostLinks.h"
#include "TrustTestSupport.h"

namespace {

TEST(LongPathForm, PrefixesOnlyPathsThatNeedIt) {
  const std::wstring longTail(MAX_PATH, L'x');
  struct Case {
    std::wstring path;
    std::wstring expected;
  } const cases[] = {
      {L"C:\\short\\file.exe", L"C:\\short\\file.exe"},
      {L"\\\\server\\share\\file.exe", L"\\\\server\\share\\file.exe"},
      {L"C:\\" + longTail, L"\\\\?\\C:\\" + longTail},
      {L"\\\\server\\share\\" + longTail, L"\\\\?\\UNC\\server\\share\\" + longTail},
      {L"\\\\?\\C:\\" + longTail, L"\\\\?\\C:\\" + longTail},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, LongPathForm(c.path)) << c.path;
}

// A scratch tree outer\inner\held.exe (the inner folder's name padded to |innerChars|).
class HeldFileTest : public ::testing::Test {
 protected:
  void MakeTree(int depth) {
    root_ = trust_test::MakeScratchFolder(L"heldfile");
    outer_ = root_ + L"\\outer";
    ASSERT_TRUE(CreateDirectoryW(outer_.c_str(), nullptr));
    inner_ = outer_;
    for (int i = 0; i < depth; ++i) {
      inner_ += L"\\" + std::wstring(150, static_cast<wchar_t>(L'a' + i));
      ASSERT_TRUE(CreateDirectoryW(LongPathForm(inner_).c_str(), nullptr));
    }
    file_ = inner_ + L"\\held.exe";
    ASSERT_TRUE(trust_test::WriteFileBytes(LongPathForm(file_), "held"));
  }
  void TearDown() override { trust_test::RemoveTree(LongPathForm(root_)); }

  // Renames |from| to |from| + ".moved" and back again; the first rename's error, or 0.
  static DWORD RenameAndBack(const std::wstring& from) {
    const std::wstring to = LongPathForm(from + L".moved");
    if (!MoveFileExW(LongPathForm(from).c_str(), to.c_str(), 0)) return GetLastError();
    EXPECT_TRUE(MoveFileExW(to.c_str(), LongPathForm(from).c_str(), 0));
    return 0;
  }

  // What another process could do to the file and its path: 0 where it succeeded.
  void ExpectChangesRefused(bool refused) const {
    const DWORD sharing = refused ? ERROR_SHARING_VIOLATION : 0;
    EXPECT_EQ(sharing, RenameAndBack(file_)) << "rename of the file";
    EXPECT_EQ(sharing, RenameAndBack(inner_)) << "rename of its folder";
    EXPECT_EQ(sharing, RenameAndBack(outer_)) << "rename of the folder above";
    Basalt::UniqueFile writer(CreateFileW(LongPathForm(file_).c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(!refused, static_cast<bool>(writer)) << "open for writing";
    // Others still work in its folders.
    const std::wstring beside = LongPathForm(inner_ + L"\\beside.txt");
    EXPECT_TRUE(trust_test::WriteFileBytes(beside, "beside"));
    EXPECT_TRUE(DeleteFileW(beside.c_str()));
  }

  std::wstring root_, outer_, inner_, file_;
};

TEST_F(HeldFileTest, NeitherTheFileNorAFolderOnItsPathCanBeRenamedWhileHeld) {
  for (const int depth : {1, 2}) {
    SCOPED_TRACE(depth);
    MakeTree(depth);
    CHeldFile held;
    ASSERT_EQ(0u, held.Open(file_));
    EXPECT_EQ(LongPathForm(file_), held.Path());
    EXPECT_TRUE(held.PathNamesTheHeldFile());
    EXPECT_EQ("held", trust_test::ReadFileBytes(held.Path()));
    ExpectChangesRefused(true);
    EXPECT_TRUE(held.PathNamesTheHeldFile());

    held.Close();
    EXPECT_FALSE(held.PathNamesTheHeldFile());
    ExpectChangesRefused(false);
    trust_test::RemoveTree(LongPathForm(root_));
  }
}

TEST_F(HeldFileTest, AFileThatCannotBeOpenedHoldsNothing) {
  MakeTree(1);
  CHeldFile held;
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), held.Open(inner_ + L"\\missing.exe"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), held.Open(L"relative\\held.exe"));
  EXPECT_EQ(INVALID_HANDLE_VALUE, held.get());
  EXPECT_FALSE(held.PathNamesTheHeldFile());
  ExpectChangesRefused(false);

  // A file that another handle may write cannot be held.
  Basalt::UniqueFile writer(CreateFileW(file_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), held.Open(file_));
  writer.reset();
  EXPECT_EQ(0u, RenameAndBack(inner_)) << "no folder is held after a failed open";
}

// A link in place of a folder on the path leads to a copy of the tree: nothing is held and the
// refusal names the reparse point. Wine makes the link as a Linux symbolic link, which it follows
// on open and shows only in the folder's listing (a link to a file it shows as a plain file, so a
// link in place of the file is refused only where the handle shows it, on Windows).
TEST_F(HeldFileTest, ALinkAnywhereOnThePathIsRefused) {
  MakeTree(1);
  struct Case {
    const char* what;
    std::wstring replaced;  // moved away to ".real", and a link to that put in its place
  } const cases[] = {
      {"a folder on the path", outer_},
      {"the folder of the file", inner_},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring real = c.replaced + L".real";
    ASSERT_TRUE(MoveFileExW(LongPathForm(c.replaced).c_str(), LongPathForm(real).c_str(), 0));
    ASSERT_TRUE(foldertest::MakeLink(real, c.replaced));
    EXPECT_EQ("held", trust_test::ReadFileBytes(LongPathForm(file_))) << "the link leads on";
    CHeldFile held;
    EXPECT_EQ(kReparsePointOnPath, held.Open(file_));
    EXPECT_EQ(INVALID_HANDLE_VALUE, held.get());
    EXPECT_EQ(0u, RenameAndBack(real)) << "nothing is held";
    ASSERT_TRUE(foldertest::RemoveLink(c.replaced));
    ASSERT_TRUE(MoveFileExW(LongPathForm(real).c_str(), LongPathForm(c.replaced).c_str(), 0));
  }
  CHeldFile held;
  EXPECT_EQ(0u, held.Open(file_));
}

// A file kMaxHeldFolders folders below the root is held; one more folder is refused before
// anything is opened, whether the folders exist or not.
TEST_F(HeldFileTest, APathDeeperThanTheBoundIsRefused) {
  root_ = trust_test::MakeScratchFolder(L"heldfile");
  wchar_t full[MAX_PATH] = {};
  ASSERT_NE(0u, GetFullPathNameW(root_.c_str(), MAX_PATH, full, nullptr));
  size_t below = 0;  // folders below the root already
  for (const wchar_t* c = full + 3; *c != L'\0'; ++c) below += *c == L'\\' ? 1 : 0;
  std::wstring folder = full;
  for (size_t depth = below + 1; depth < kMaxHeldFolders; ++depth) {
    folder += L"\\d";
    ASSERT_TRUE(CreateDirectoryW(LongPathForm(folder).c_str(), nullptr)) << depth;
  }
  const std::wstring deepest = folder + L"\\held.exe";  // kMaxHeldFolders folders below
  ASSERT_TRUE(trust_test::WriteFileBytes(LongPathForm(deepest), "held"));
  ASSERT_TRUE(CreateDirectoryW(LongPathForm(folder + L"\\d").c_str(), nullptr));
  const std::wstring deeper = folder + L"\\d\\held.exe";
  ASSERT_TRUE(trust_test::WriteFileBytes(LongPathForm(deeper), "held"));

  CHeldFile held;
  EXPECT_EQ(0u, held.Open(deepest));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), held.Open(deeper));
  EXPECT_EQ(INVALID_HANDLE_VALUE, held.get());
  std::wstring missing = full;
  for (size_t i = 0; i < 2 * kMaxHeldFolders; ++i) missing += L"\\m";
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), held.Open(missing + L"\\held.exe"));
}

TEST_F(HeldFileTest, ANameThatIsNoPlainNameHoldsNothing) {
  MakeTree(1);
  for (const std::wstring& path : {outer_ + L"\\.\\" + file_.substr(outer_.size() + 1),
                                   inner_ + L"\\..\\" + file_.substr(outer_.size() + 1),
                                   inner_ + L"\\\\held.exe", file_ + L":stream"}) {
    CHeldFile held;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), held.Open(path)) << path;
  }
}

}  // namespace
