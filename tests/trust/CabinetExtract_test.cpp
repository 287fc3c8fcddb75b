// ctest-lock: trusted-list
// Extraction of "trusted.js" from cabinets and its offer to the installed list.
#include "trust/CabinetExtract.h"

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <cstdlib>
#include <string>
#include <thread>

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

// A cabinet library that takes Windows' road when the cabinet ends inside a member: it closes
// the member's file through the close callback, announces no close, and FDICopy fails. Wine's
// library announces the cut member's close instead: this stand-in runs Wine's and turns that
// announcement into the close call.
class WindowsRoadCabinet : public CCabinetApi {
 public:
  WindowsRoadCabinet() : CCabinetApi(Create, Copy, Destroy) {}

 private:
  struct Road {
    PFNWRITE write = nullptr;
    PFNCLOSE close = nullptr;
    PFNFDINOTIFY notify = nullptr;
    INT_PTR member = -1;
    long memberBytes = 0;
    long writtenBytes = 0;
  };
  static Road& ThisThread() {
    static thread_local Road road;
    return road;
  }
  template <typename T>
  static T Real(const char* name) {
    static const HMODULE library = LoadLibraryW(L"cabinet.dll");
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(library, name)));
  }
  static HFDI DIAMONDAPI Create(PFNALLOC alloc, PFNFREE free, PFNOPEN open, PFNREAD read,
                                PFNWRITE write, PFNCLOSE close, PFNSEEK seek, int cpu, PERF erf) {
    ThisThread().write = write;
    ThisThread().close = close;
    return Real<FdiCreateFn>("FDICreate")(alloc, free, open, read, Write, close, seek, cpu, erf);
  }
  static BOOL DIAMONDAPI Copy(HFDI fdi, char* cabinet, char* folder, int flags, PFNFDINOTIFY notify,
                              PFNFDIDECRYPT decrypt, void* user) {
    ThisThread().notify = notify;
    return Real<FdiCopyFn>("FDICopy")(fdi, cabinet, folder, flags, Notify, decrypt, user);
  }
  static BOOL DIAMONDAPI Destroy(HFDI fdi) { return Real<FdiDestroyFn>("FDIDestroy")(fdi); }
  static UINT DIAMONDAPI Write(INT_PTR file, void* data, UINT bytes) {
    Road& road = ThisThread();
    const UINT written = road.write(file, data, bytes);
    if (file == road.member && written != static_cast<UINT>(-1)) road.writtenBytes += written;
    return written;
  }
  static INT_PTR DIAMONDAPI Notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info) {
    Road& road = ThisThread();
    if (type == fdintCLOSE_FILE_INFO && info->hf == road.member &&
        road.writtenBytes < road.memberBytes) {
      road.member = -1;
      road.close(info->hf);
      return TRUE;
    }
    const INT_PTR answer = road.notify(type, info);
    if (type == fdintCOPY_FILE) {
      road.member = answer;
      road.memberBytes = info->cb;
      road.writtenBytes = 0;
    }
    return answer;
  }
};

// When the cabinet ends inside the member, on either library's road: the member's file is
// closed once (a second close could close another thread's file under the same number), it is
// not offered as a list, and nothing is left beside the cabinet or in the temporary folder.
TEST_F(CabinetExtract, MemberCutShortIsClosedOnceAndNeitherOfferedNorLeft) {
  const WindowsRoadCabinet windowsRoad;
  const struct {
    const char* road;
    const CCabinetApi* cabinet;
  } roads[] = {{"this platform's library", &cabinet_}, {"Windows' road", &windowsRoad}};
  for (const auto& road : roads) {
    SCOPED_TRACE(road.road);
    const std::wstring folder = trust_test::MakeScratchFolder(L"cutcab");
    const std::wstring cut = folder + L"\\cutmember.cab";
    ASSERT_TRUE(CopyFileW(Fixture(L"cutmember.cab").c_str(), cut.c_str(), FALSE));
    bool offered = false;
    const trust_test::CabinetCloses before = trust_test::CabinetFileCloses();
    // Whole, the member is offered (and refused: it is no list).
    trust_test::BeforeNextListSignatureCheck([&] { offered = true; });
    EXPECT_EQ(road.cabinet->ExtractTrustedListFromCabinet(Fixture(L"longmember.cab").c_str()), 0u);
    EXPECT_TRUE(offered);
    const trust_test::CabinetCloses whole = trust_test::CabinetFileCloses();

    offered = false;
    trust_test::BeforeNextListSignatureCheck([&] { offered = true; });
    EXPECT_EQ(road.cabinet->ExtractTrustedListFromCabinet(cut.c_str()), 0u);
    EXPECT_FALSE(offered);
    trust_test::BeforeNextListSignatureCheck(nullptr);
    const trust_test::CabinetCloses after = trust_test::CabinetFileCloses();
    // The cabinet and the member, each closed once.
    EXPECT_EQ(whole.notOpen, before.notOpen);
    EXPECT_EQ(after.notOpen, whole.notOpen);
    EXPECT_EQ(after.all - whole.all, whole.all - before.all);

    int files = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do {
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) ++files;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    EXPECT_EQ(files, 1);
    EXPECT_EQ(Leftovers(), leftovers_);
    trust_test::RemoveTree(folder);
  }
}

// Two extractions at once, each on its own thread, on Windows' road: each clears only its own
// member's descriptor.
TEST_F(CabinetExtract, CutMembersOnTwoThreadsAreEachClosedOnce) {
  const std::wstring cut = Fixture(L"cutmember.cab");
  const trust_test::CabinetCloses first = trust_test::CabinetFileCloses();
  EXPECT_EQ(WindowsRoadCabinet().ExtractTrustedListFromCabinet(cut.c_str()), 0u);
  const trust_test::CabinetCloses before = trust_test::CabinetFileCloses();
  const int closesEach = before.all - first.all;
  constexpr int kRounds = 50;
  const auto extract = [&] {
    const WindowsRoadCabinet cabinet;
    for (int round = 0; round < kRounds; ++round) {
      EXPECT_EQ(cabinet.ExtractTrustedListFromCabinet(cut.c_str()), 0u);
    }
  };
  std::thread other(extract);
  extract();
  other.join();
  const trust_test::CabinetCloses after = trust_test::CabinetFileCloses();
  EXPECT_EQ(after.notOpen, before.notOpen);
  EXPECT_EQ(after.all - before.all, closesEach * 2 * kRounds);
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
