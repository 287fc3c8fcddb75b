// ctest-lock: firewall
// The real Fennick.dll: exactly three export names, RemoveSvcFromFW the very same function
// as RemoveSharedSvcFromFW, each called through GetProcAddress, and its version resource.
#include <windows.h>

#include <string>
#include <vector>

#include "FwTestSupport.h"
#include "HollinVersion.h"
#include "tests/support/FixedFileVersion.h"
#include "tests/support/PeImage.h"
#include "tests/support/TestFiles.h"

namespace {

using fwtest::FirewallTest;
using ExportFn = UINT(WINAPI*)();

// Names in the export table of a loaded module.
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
  const testsupport::PeImage image{
      testsupport::ReadFileBytes(testsupport::WinePath(FENNICK_DLL_PATH))};
  EXPECT_EQ(
      (std::vector<std::string>{"AddSharedSvcToFW", "RemoveSharedSvcFromFW", "RemoveSvcFromFW"}),
      image.ExportedNames());
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
