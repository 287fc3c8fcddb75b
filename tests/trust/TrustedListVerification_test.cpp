// ctest-lock: trusted-list
// The verifier's use of the installed trusted list: built-in lists until a list loads, a
// loaded list in their place, reload through the atom, and cabinets that bring a list.
#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <atomic>
#include <thread>

#include "TrustTestSupport.h"
#include "basalt/UniqueHandle.h"
#include "tests/support/AllocationFailures.h"
#include "trust/CodeTrust.h"
#include "trust/TrustedList.h"

namespace {

using trust_test::Fixture;

DWORD Verdict(const wchar_t* file) { return VerifyModuleFileTrust(Fixture(file).c_str()); }

class TrustedListVerification : public ::testing::Test {
 protected:
  void SetUp() override {
    trust_test::DeleteReloadAtom();
    trust_test::SetInstalledListFile(nullptr);
  }
  void TearDown() override {
    trust_test::SetInstalledListFile(nullptr);
    trust_test::DeleteReloadAtom();
  }
};

TEST_F(TrustedListVerification, NewerInstalledListIsLoadedWhenTheBuiltInListsFail) {
  trust_test::SetInstalledListFile(L"list_newco_v9.js");
  EXPECT_EQ(Verdict(L"good.dll"), 0u);  // built-in lists; nothing loaded yet
  EXPECT_FALSE(GetInstalledTrustedList().IsLoaded());
  EXPECT_EQ(Verdict(L"newco.dll"), 0u);  // fails built-in, loads VER 9, which names Newco
  EXPECT_TRUE(GetInstalledTrustedList().IsLoaded());
  EXPECT_EQ(Verdict(L"wrong.dll"), 5u);
}

TEST_F(TrustedListVerification, OlderInstalledListIsLoadedButThenReplacesTheBuiltInLists) {
  trust_test::SetInstalledListFile(L"list_newonly_v5.js");  // VER 5, names only Newco
  EXPECT_EQ(Verdict(L"good.dll"), 0u);
  EXPECT_EQ(Verdict(L"newco.dll"), 5u);  // loads VER 5 but does not use it
  EXPECT_TRUE(GetInstalledTrustedList().IsLoaded());
  EXPECT_EQ(Verdict(L"good.dll"), 5u);  // from now on only the loaded list counts
  EXPECT_EQ(Verdict(L"newco.dll"), 0u);
}

TEST_F(TrustedListVerification, UnusableInstalledListsLeaveTheBuiltInListsInForce) {
  for (const wchar_t* list : {L"list_empty_v9.js", L"list_tampered_v9.js", L"list_rogue_v9.js"}) {
    trust_test::SetInstalledListFile(list);
    EXPECT_EQ(Verdict(L"wrong.dll"), 5u) << list;
    EXPECT_EQ(Verdict(L"newco.dll"), 5u) << list;
    EXPECT_FALSE(GetInstalledTrustedList().IsLoaded()) << list;
    EXPECT_EQ(Verdict(L"good.dll"), 0u) << list;
  }
}

TEST_F(TrustedListVerification, ListWithoutRootsAdmitsListedNamesUnderAnyTrustedRoot) {
  trust_test::SetInstalledListFile(L"list_orgonly_v9.js");  // ORG Newco, no SHA
  EXPECT_EQ(Verdict(L"newco.dll"), 0u);
  EXPECT_EQ(Verdict(L"good.dll"), 5u);  // not named in the loaded list
  EXPECT_EQ(Verdict(L"unsigned.dll"), 5u);
}

TEST_F(TrustedListVerification, ReloadThroughTheAtom) {
  trust_test::SetInstalledListFile(L"list_v8.js");
  EXPECT_EQ(Verdict(L"wrong.dll"), 5u);  // loads VER 8
  ASSERT_TRUE(GetInstalledTrustedList().IsLoaded());
  // Another process replaces the file; this one notices only through the atom.
  ASSERT_TRUE(CopyFileW(Fixture(L"list_newco_v9.js").c_str(),
                        trust_test::InstalledListPath().c_str(), FALSE));
  EXPECT_EQ(Verdict(L"newco.dll"), 5u);
  ASSERT_NE(GlobalAddAtomW(kTrustedListReloadAtom), 0);
  EXPECT_EQ(Verdict(L"newco.dll"), 0u);
  CTrustedList::SharedHold hold(GetInstalledTrustedList());
  EXPECT_EQ(GetInstalledTrustedList().GetVersion(), 9u);
}

// A reload that fails (a file that does not load, or one held open without read sharing)
// fails that check and leaves the list loaded before in force: the built-in lists, which
// refuse no serial numbers, never come back.
TEST_F(TrustedListVerification, FailedReloadKeepsTheLoadedList) {
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "held without read sharing" : "tampered file");
    trust_test::SetInstalledListFile(L"list_newonly_v5.js");  // VER 5, names only Newco
    ASSERT_EQ(Verdict(L"newco.dll"), 5u);                     // loaded, not used
    ASSERT_EQ(Verdict(L"good.dll"), 5u);                      // only the loaded list counts
    const std::wstring path = trust_test::InstalledListPath();
    Basalt::UniqueFile holder;
    if (!held) {
      ASSERT_TRUE(CopyFileW(Fixture(L"list_tampered_v9.js").c_str(), path.c_str(), FALSE));
    } else {
      holder.reset(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(holder);
    }
    ASSERT_NE(GlobalAddAtomW(kTrustedListReloadAtom), 0);
    EXPECT_EQ(Verdict(L"good.dll"), 5u);
    EXPECT_EQ(Verdict(L"good.dll"), 5u);
    EXPECT_EQ(Verdict(L"newco.dll"), 0u);
    ASSERT_TRUE(GetInstalledTrustedList().IsLoaded());
    CTrustedList::SharedHold hold(GetInstalledTrustedList());
    EXPECT_EQ(GetInstalledTrustedList().GetVersion(), 5u);
  }
}

// An update in another process that replaces the file while this one reads it is followed.
TEST_F(TrustedListVerification, ReloadReadsAFileReplacedWhileItWasRead) {
  trust_test::SetInstalledListFile(L"list_v8.js");
  ASSERT_EQ(Verdict(L"newco.dll"), 5u);  // loads VER 8
  const std::wstring path = trust_test::InstalledListPath();
  const std::wstring staged = path + L".new";
  ASSERT_TRUE(CopyFileW(Fixture(L"list_newco_v9.js").c_str(), path.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(Fixture(L"list_newco_v9.js").c_str(), staged.c_str(), FALSE));
  trust_test::BeforeNextListSignatureCheck([&] {
    EXPECT_TRUE(ReplaceFileW(path.c_str(), staged.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                             nullptr, nullptr))
        << GetLastError();
  });
  ASSERT_NE(GlobalAddAtomW(kTrustedListReloadAtom), 0);
  EXPECT_EQ(Verdict(L"newco.dll"), 0u);
  EXPECT_FALSE(PathFileExistsW(staged.c_str()));  // the replacement did happen
  CTrustedList::SharedHold hold(GetInstalledTrustedList());
  EXPECT_EQ(GetInstalledTrustedList().GetVersion(), 9u);
}

TEST_F(TrustedListVerification, ReloadsNeverOpenAGapThatAdmitsEverySigner) {
  trust_test::SetInstalledListFile(L"list_v8.js");
  ASSERT_EQ(Verdict(L"wrong.dll"), 5u);
  std::atomic<bool> stop{false};
  std::thread reloader([&] {
    const std::wstring path = trust_test::InstalledListPath();
    for (int i = 0; !stop; ++i) {
      CopyFileW(Fixture(i % 2 ? L"list_tampered_v9.js" : L"list_v8.js").c_str(), path.c_str(),
                FALSE);
      (void)GetInstalledTrustedList().Reload();
    }
  });
  int admitted = 0;
  for (int i = 0; i < 150; ++i) admitted += Verdict(L"wrong.dll") == 0;
  stop = true;
  reloader.join();
  EXPECT_EQ(admitted, 0);
}

TEST_F(TrustedListVerification, CabinetBringsTheListThatTrustsIt) {
  // Signed by Newco, whom only the VER 9 list in the cabinet names.
  EXPECT_EQ(Verdict(L"newco.cab"), 0u);
  EXPECT_TRUE(GetInstalledTrustedList().IsLoaded());
  CTrustedList::SharedHold hold(GetInstalledTrustedList());
  EXPECT_EQ(GetInstalledTrustedList().GetVersion(), 9u);
}

TEST_F(TrustedListVerification, CabinetWithAnOlderListStaysUntrusted) {
  trust_test::SetInstalledListFile(L"list_v9.js");
  EXPECT_EQ(Verdict(L"newco_oldlist.cab"), 5u);  // its VER 8 is refused
  CTrustedList::SharedHold hold(GetInstalledTrustedList());
  EXPECT_EQ(GetInstalledTrustedList().GetVersion(), 9u);
}

// Memory that runs out at any point of a verdict, a reload of the list included, never admits a
// signer that the lists refuse, and never throws out of the verifier.
TEST_F(TrustedListVerification, RunningOutOfMemoryNeverAdmitsARefusedSigner) {
  for (const wchar_t* name : {L"refused.dll", L"wrong.dll"}) {
    const std::wstring file = Fixture(name);
    for (long allocations = 0;; ++allocations) {
      SCOPED_TRACE(testing::Message() << file.c_str() << ", " << allocations);
      // A loaded list that fails the file, and a newer one announced by the atom.
      trust_test::SetInstalledListFile(L"list_v8.js");
      ASSERT_EQ(Verdict(name), 5u);
      ASSERT_TRUE(CopyFileW(Fixture(L"list_newco_v9.js").c_str(),
                            trust_test::InstalledListPath().c_str(), FALSE));
      ASSERT_NE(GlobalAddAtomW(kTrustedListReloadAtom), 0);
      DWORD verdict = 0;
      bool thrown = false;
      bool failed = false;
      {
        testsupport::ScopedAllocationFailure failure(allocations);
        try {
          verdict = VerifyModuleFileTrust(file.c_str());
        } catch (...) {
          thrown = true;
        }
        failed = failure.failed();
      }
      ASSERT_FALSE(thrown) << "an exception left the verifier";
      EXPECT_EQ(verdict, 5u);
      if (!failed) break;
    }
  }
}

}  // namespace
