// The shipped Hollin.exe as a file: a 64-bit console program with the build's version that
// imports only system libraries and carries the built-in trust tables and no test root.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "HollinTestSupport.h"
#include "HollinVersion.h"
#include "TestTrustData.inc"
#include "tests/support/TestFiles.h"

namespace {

using hollintest::ShippedHost;
using hollintest::TrustingHost;

struct PeFile {
  std::string bytes;
  const IMAGE_NT_HEADERS64* Headers() const {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
    return reinterpret_cast<const IMAGE_NT_HEADERS64*>(bytes.data() + dos->e_lfanew);
  }
  size_t Offset(DWORD rva) const {
    const IMAGE_NT_HEADERS64* nt = Headers();
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
      if (rva >= section->VirtualAddress &&
          rva < section->VirtualAddress + section->SizeOfRawData) {
        return rva - section->VirtualAddress + section->PointerToRawData;
      }
    }
    return 0;
  }
  bool Contains(const BYTE* data, size_t size) const {
    return bytes.find(std::string(reinterpret_cast<const char*>(data), size)) != std::string::npos;
  }
};

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

  wchar_t system[MAX_PATH];
  ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH));
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  const auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
      image.bytes.data() + image.Offset(imports.VirtualAddress));
  int count = 0;
  for (; import->Name != 0; ++import, ++count) {
    const std::string name = image.bytes.c_str() + image.Offset(import->Name);
    SCOPED_TRACE(name);
    EXPECT_TRUE(testsupport::FileExists(std::wstring(system) + L"\\" +
                                        std::wstring(name.begin(), name.end())));
  }
  EXPECT_GT(count, 0);
}

TEST(HollinImageTest, CarriesTheBuildVersion) {
  const std::wstring path = ShippedHost();
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_NE(0u, size);
  std::vector<BYTE> data(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(static_cast<DWORD>(MAKELONG(6, 17)), fixed->dwFileVersionMS);
  EXPECT_EQ(static_cast<DWORD>(MAKELONG(0, 140)), fixed->dwFileVersionLS);
  wchar_t* text = nullptr;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904b0\\OriginalFilename",
                             reinterpret_cast<void**>(&text), &length));
  EXPECT_STREQ(L"Hollin.exe", text);
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
