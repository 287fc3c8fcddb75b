// ctest-lock: trusted-list
// Extraction of "trusted.js" from cabinets and its offer to the installed list.
#include "trust/CabinetExtract.h"

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <cstdlib>
#include <string>

#include "TrustTestSupport.h"
#include "trust/TrustedList.h"

namespace {

using trust_test::Fixture;

class CabinetExtract : public ::testing::Test {
 protected:
  void SetUp() override {
    trust_test::DeleteReloadAtom();
    trust_test::SetInstalledListFile(nullptr);
    ASSERT_TRUE(cabinet_.IsUsable());
    leftovers_ = Leftovers();
  }
  void TearDown() override {
    // Neither the extracted file nor GetTempFileNameA's placeholder stays behind.
    EXPECT_EQ(Leftovers(), leftovers_);
    trust_test::SetInstalledListFile(nullptr);
    trust_test::DeleteReloadAtom();
  }
  static int Leftovers() {
    return trust_test::CountTempFiles(L"tru", L".js") + trust_test::CountTempFiles(L"tru", L".tmp");
  }
  static DWORD InstalledVersion() {
    CTrustedList::SharedHold hold(GetInstalledTrustedList());
    return GetInstalledTrustedList().IsLoadedLocked() ? GetInstalledTrustedList().GetVersion() : 0;
  }
  CCabinetApi cabinet_;
  int leftovers_ = 0;
};

TEST_F(CabinetExtract, NewerSignedListIsApplied) {
  EXPECT_NE(cabinet_.ExtractTrustedListFromCabinet(Fixture(L"newco.cab").c_str()), 0u);
  EXPECT_EQ(InstalledVersion(), 9u);
}

TEST_F(CabinetExtract, MemberNameComparesWithoutCase) {
  EXPECT_NE(cabinet_.ExtractTrustedListFromCabinet(Fixture(L"upper.cab").c_str()), 0u);
  EXPECT_EQ(InstalledVersion(), 9u);
}

TEST_F(CabinetExtract, NothingAppliedForUnusableCabinets) {
  for (const wchar_t* cab :
       {L"nolist.cab", L"subfolder.cab", L"rogue.cab", L"v7.cab", L"good.dll", L"no_such.cab"}) {
    EXPECT_EQ(cabinet_.ExtractTrustedListFromCabinet(Fixture(cab).c_str()), 0u) << cab;
  }
  EXPECT_EQ(cabinet_.ExtractTrustedListFromCabinet(nullptr), 0u);
  EXPECT_EQ(InstalledVersion(), 0u);
  EXPECT_EQ(GlobalFindAtomW(kTrustedListReloadAtom), 0);
}

TEST_F(CabinetExtract, ListNotNewerThanTheInstalledOneIsRefused) {
  trust_test::SetInstalledListFile(L"list_v10.js");
  EXPECT_TRUE(GetInstalledTrustedList().EnsureLoaded());
  EXPECT_EQ(cabinet_.ExtractTrustedListFromCabinet(Fixture(L"upper.cab").c_str()), 0u);
  EXPECT_EQ(InstalledVersion(), 10u);
}

TEST_F(CabinetExtract, ReadOnlyAndRepeatedMembersLeaveNoFiles) {
  EXPECT_NE(cabinet_.ExtractTrustedListFromCabinet(Fixture(L"readonly.cab").c_str()), 0u);
  EXPECT_EQ(GetFileAttributesW(trust_test::InstalledListPath().c_str()) & FILE_ATTRIBUTE_READONLY,
            0u);
  trust_test::SetInstalledListFile(nullptr);
  // Two members named trusted.js: one of them is applied, neither stays behind.
  EXPECT_NE(cabinet_.ExtractTrustedListFromCabinet(Fixture(L"twolists.cab").c_str()), 0u);
  EXPECT_GE(InstalledVersion(), 8u);
}

TEST_F(CabinetExtract, PathOutsideTheAnsiCodePageNamesNoCabinet) {
  const std::wstring path = Fixture(L"\u4e2d\u6587.cab");
  ASSERT_TRUE(CopyFileW(Fixture(L"newco.cab").c_str(), path.c_str(), FALSE));
  EXPECT_EQ(cabinet_.ExtractTrustedListFromCabinet(path.c_str()), 0u);
  DeleteFileW(path.c_str());
}

TEST(CabinetPath, ConvertsOnlyExactly) {
  const struct {
    UINT codePage;
    const wchar_t* path;
    const char* converted;  // null: refused
  } cases[] = {
      {CP_UTF8, L"C:\\\u4e2d\u6587\\x.cab", "C:\\\xe4\xb8\xad\xe6\x96\x87\\x.cab"},
      {CP_UTF8, L"C:\\\xd800.cab", nullptr},  // a lone surrogate
      // Like UTF-8 on Windows, UTF-7 refuses the flags that report inexact conversions.
      {CP_UTF7, L"C:\\\u4e2d.cab", "C:+AFxOLQ-.cab"},
      {1252, L"C:\\caf\u00e9.cab", "C:\\caf\xe9.cab"},
      {1252, L"C:\\\u4e2d.cab", nullptr},  // no equivalent
      {1252, L"C:\\\u0100.cab", nullptr},  // only a look-alike ("A")
  };
  for (const auto& c : cases) {
    char out[MAX_PATH] = {};
    EXPECT_EQ(ToExactMultiByte(c.codePage, c.path, out, MAX_PATH), c.converted != nullptr)
        << c.codePage << " " << c.converted;
    if (c.converted != nullptr) {
      EXPECT_STREQ(out, c.converted);
    }
  }
  char small[8];
  EXPECT_FALSE(ToExactMultiByte(CP_UTF8, L"C:\\long.cab", small, sizeof(small)));
}

// Wine prefers its own cabinet library to one found by name; the child process of this
// test is told to prefer the one it finds, as Windows does.
TEST(CabinetLibrary, ComesFromTheSystemFolderOnly) {
  wchar_t exe[MAX_PATH] = {};
  ASSERT_NE(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
  const std::wstring overrides =
      std::wstring(L"Software\\Wine\\AppDefaults\\") + PathFindFileNameW(exe) + L"\\DllOverrides";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, overrides.c_str(), L"cabinet", REG_SZ,
                            L"native,builtin", sizeof(L"native,builtin")),
            ERROR_SUCCESS);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // A library of that name found earlier in the search order.
        SetDllDirectoryW(TRUST_FAKE_CABINET_DIR);
        CCabinetApi cabinet;
        const HMODULE loaded = GetModuleHandleW(L"Cabinet.dll");
        const bool fake = loaded != nullptr && GetProcAddress(loaded, "HollinFakeCabinet");
        std::exit(cabinet.IsUsable() && !fake ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  RegDeleteTreeW(HKEY_CURRENT_USER,
                 (std::wstring(L"Software\\Wine\\AppDefaults\\") + PathFindFileNameW(exe)).c_str());
}

}  // namespace
