// The shipped Hollin.exe as a file: a 64-bit console program with the build's version that
// imports only system libraries and carries the built-in trust tables and no test root.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "HollinTestSupport.h"
#include "HollinVersion.h"
#include "TestTrustData.inc"
#include "tests/support/FixedFileVersion.h"
#include "tests/support/PeImage.h"
#include "tests/support/TestFiles.h"

namespace {

using hollintest::ShippedHost;
using hollintest::TrustingHost;

using PeFile = testsupport::PeImage;

const BYTE kTestRoot[] = {TEST_ROOT_SHA1};
const BYTE kTestListSigner[] = {TEST_LIST_SIGNER_SHA1};
// The first pinned root of the built-in tables (trust and trace-controller check alike).
const BYTE kBuiltInRoot[] = {0xAF, 0xE5, 0xD2, 0x44, 0xA8, 0xD1, 0x19, 0x42, 0x30, 0xFF,
                             0x47, 0x9F, 0xE2, 0xF8, 0x97, 0xBB, 0xCD, 0x7A, 0x8C, 0xB4};

TEST(HollinImageTest, AConsoleProgramForX64ThatImportsOnlySystemLibraries) {
  const PeFile image{testsupport::ReadFileBytes(ShippedHost())};
  ASSERT_GT(image.bytes.size(), 4096u);
  const IMAGE_NT_HEADERS64* nt = image.Headers();
  EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, nt->FileHeader.Machine);
  EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR64_MAGIC, nt->OptionalHeader.Magic);
  EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_CUI, nt->OptionalHeader.Subsystem);

  EXPECT_FALSE(image.ImportedLibraries().empty());
  EXPECT_EQ(std::vector<std::string>{}, image.ImportsOutsideSystemFolder());
}

TEST(HollinImageTest, CarriesTheBuildVersion) {
  const auto version = testsupport::ReadFixedFileVersion(ShippedHost());
  ASSERT_TRUE(version.found);
  EXPECT_EQ(static_cast<DWORD>(MAKELONG(6, 17)), version.ms);
  EXPECT_EQ(static_cast<DWORD>(MAKELONG(0, 140)), version.ls);
  EXPECT_EQ(L"Hollin.exe", version.originalFilename);
}

// The shipped program trusts only the built-in roots; the test-only host carries the test root
// (which shows that the search would find it).
TEST(HollinImageTest, OnlyTheTestHostCarriesTheTestRoots) {
  const PeFile shipped{testsupport::ReadFileBytes(ShippedHost())};
  const PeFile trusting{testsupport::ReadFileBytes(TrustingHost())};
  ASSERT_GT(shipped.bytes.size(), 4096u);
  ASSERT_GT(trusting.bytes.size(), 4096u);
  EXPECT_TRUE(shipped.Contains(kBuiltInRoot, sizeof(kBuiltInRoot)));
  EXPECT_FALSE(shipped.Contains(kTestRoot, sizeof(kTestRoot)));
  EXPECT_FALSE(shipped.Contains(kTestListSigner, sizeof(kTestListSigner)));
  EXPECT_TRUE(trusting.Contains(kTestRoot, sizeof(kTestRoot)));
}

}  // namespace
