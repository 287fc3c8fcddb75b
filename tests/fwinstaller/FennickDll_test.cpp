// ctest-lock: firewall
// The real Fennick.dll: exactly three export names, RemoveSvcFromFW the very same function
// as RemoveSharedSvcFromFW, each called through GetProcAddress, and its version resource.
#include <windows.h>

#include <set>
#include <string>

#include "FwTestSupport.h"
#include "HollinVersion.h"
#include "tests/support/FixedFileVersion.h"

namespace {

using fwtest::FirewallTest;
using ExportFn = UINT(WINAPI*)();

// Names in the export table of a loaded module.
std::set<std::string> ExportNames(HMODULE module) {
  const BYTE* base = reinterpret_cast<const BYTE*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  std::set<std::string> result;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    result.insert(reinterpret_cast<const char*>(base + names[i]));
  return result;
}

class FennickDllTest : public FirewallTest {
 protected:
  void SetUp() override {
    FirewallTest::SetUp();
    m_dll.reset(LoadLibraryW(testsupport::WinePath(FENNICK_DLL_PATH).c_str()));
    ASSERT_TRUE(m_dll) << GetLastError();
  }
  ExportFn Export(const char* name) {
    return reinterpret_cast<ExportFn>(reinterpret_cast<void*>(GetProcAddress(m_dll.get(), name)));
  }

  Basalt::UniqueModule m_dll;
};

TEST_F(FennickDllTest, ExportsExactlyThreeNamesForTwoFunctions) {
  EXPECT_EQ((std::set<std::string>{"AddSharedSvcToFW", "RemoveSharedSvcFromFW", "RemoveSvcFromFW"}),
            ExportNames(m_dll.get()));
  ASSERT_NE(nullptr, Export("RemoveSharedSvcFromFW"));
  EXPECT_EQ(Export("RemoveSharedSvcFromFW"), Export("RemoveSvcFromFW"));
  EXPECT_NE(Export("AddSharedSvcToFW"), Export("RemoveSharedSvcFromFW"));
}

TEST_F(FennickDllTest, AddsAndRemovesTheRuleThroughEitherRemoveName) {
  const ExportFn add = Export("AddSharedSvcToFW");
  ASSERT_NE(nullptr, add);
  for (const char* remove : {"RemoveSvcFromFW", "RemoveSharedSvcFromFW"}) {
    SCOPED_TRACE(remove);
    EXPECT_EQ(0u, add());
    EXPECT_EQ(std::vector<fwdouble::Rule>{ExpectedRule(m_folder.exePath())}, fwdouble::Rules());
    EXPECT_EQ(0u, Export(remove)());
    EXPECT_TRUE(fwdouble::Rules().empty());
  }
}

TEST_F(FennickDllTest, ReturnsZeroWhenNothingCanBeDone) {
  ASSERT_TRUE(m_folder.DeleteInstallDir());
  EXPECT_EQ(0u, Export("AddSharedSvcToFW")());
  EXPECT_TRUE(fwdouble::Rules().empty());

  fwdouble::SetFailure(L"Remove", E_ACCESSDENIED);
  EXPECT_EQ(0u, Export("RemoveSvcFromFW")());
}

TEST_F(FennickDllTest, CarriesTheBuildVersion) {
  const auto version = testsupport::ReadFixedFileVersion(testsupport::WinePath(FENNICK_DLL_PATH));
  ASSERT_TRUE(version.found);
  EXPECT_EQ(static_cast<DWORD>(MAKELONG(HOLLIN_VERSION_MINOR, HOLLIN_VERSION_MAJOR)), version.ms);
  EXPECT_EQ(static_cast<DWORD>(MAKELONG(HOLLIN_VERSION_REVISION, HOLLIN_VERSION_BUILD)),
            version.ls);
  EXPECT_EQ(L"Fennick.dll", version.originalFilename);
}

}  // namespace
