// ctest-lock: trusted-list
// Extraction of "trusted.js" from cabinets and its offer to the installed list.
#include "trust/CabinetExtract.h"

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

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

}  // namespace
