// Whether a file is the image a process maps, over images the real loader mapped into this
// process: the caller DLL as built, relocated, and with its import table in a read-only section,
// against the files they came from, against files that differ from them and against hostile files
// made from them.
#include "trust/MappedImage.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <cstring>
#include <string>
#include <vector>

#include "TrustTestSupport.h"
#include "basalt/UniqueHandle.h"
#include "tests/support/PeImage.h"
#include "tests/support/TestFiles.h"

namespace {

using testsupport::ExeFolder;

const std::wstring kCaller = ExeFolder() + L"SecureComTestCaller.dll";
const std::wstring kCallerSigned = ExeFolder() + L"SecureComTestCaller_signed.dll";
const std::wstring kServer = ExeFolder() + L"SecureComTestServer.dll";

Basalt::UniqueFile OpenForReading(const std::wstring& path) {
  return Basalt::UniqueFile(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

// The section of |image| named |name|; null when there is none.
IMAGE_SECTION_HEADER* Section(testsupport::PeImage& image, const char* name) {
  auto* nt = const_cast<IMAGE_NT_HEADERS64*>(image.Headers());
  IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (std::strncmp(reinterpret_cast<const char*>(section->Name), name, 8) == 0) return section;
  }
  return nullptr;
}

class MappedImageTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = trust_test::MakeScratchFolder(L"mappedimage"); }
  void TearDown() override {
    for (HMODULE module : loaded_) FreeLibrary(module);
    trust_test::RemoveTree(folder_);
  }

  // A copy of the caller DLL under |name|, changed by |change| before it is written.
  template <typename Change>
  std::wstring CopyOfCaller(const wchar_t* name, Change change) {
    testsupport::PeImage image{trust_test::ReadFileBytes(kCaller)};
    EXPECT_FALSE(image.bytes.empty());
    change(image);
    const std::wstring path = folder_ + L"\\" + name;
    EXPECT_TRUE(trust_test::WriteFileBytes(path, image.bytes));
    return path;
  }
  std::wstring CopyOfCaller(const wchar_t* name) {
    return CopyOfCaller(name, [](testsupport::PeImage&) {});
  }
  // The same from |source|.
  template <typename Change>
  std::wstring CopyOf(const std::wstring& source, const wchar_t* name, Change change) {
    testsupport::PeImage image{trust_test::ReadFileBytes(source)};
    EXPECT_FALSE(image.bytes.empty());
    change(image);
    const std::wstring path = folder_ + L"\\" + name;
    EXPECT_TRUE(trust_test::WriteFileBytes(path, image.bytes));
    return path;
  }
  // A copy of |source| that the loader relocated (a first copy holds its preferred base).
  HMODULE LoadRelocated(const std::wstring& source, const wchar_t* tag) {
    const std::wstring first =
        CopyOf(source, (std::wstring(tag) + L"-first.dll").c_str(), [](testsupport::PeImage&) {});
    const std::wstring second =
        CopyOf(source, (std::wstring(tag) + L"-second.dll").c_str(), [](testsupport::PeImage&) {});
    Load(first);
    HMODULE relocated = Load(second);
    EXPECT_NE(PreferredBase(second), reinterpret_cast<ULONG_PTR>(relocated));
    return relocated;
  }

  HMODULE Load(const std::wstring& path) {
    HMODULE module = LoadLibraryW(path.c_str());
    EXPECT_NE(nullptr, module) << GetLastError();
    if (module != nullptr) loaded_.push_back(module);
    return module;
  }

  static DWORD Match(const std::wstring& file, const void* base) {
    Basalt::UniqueFile held = OpenForReading(file);
    EXPECT_TRUE(held);
    Basalt::UniqueKernelHandle self(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
    return MatchMappedImage(held.get(), self.get(), base);
  }

  static ULONGLONG PreferredBase(const std::wstring& file) {
    testsupport::PeImage image{trust_test::ReadFileBytes(file)};
    return image.Headers()->OptionalHeader.ImageBase;
  }

  std::wstring folder_;
  std::vector<HMODULE> loaded_;
};

TEST_F(MappedImageTest, TheFileOfEachMappedImageMatchesItWhateverTheLoaderChanged) {
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  // Copies of one file loaded side by side: all but the first are relocated.
  HMODULE first = Load(CopyOfCaller(L"first.dll"));
  const std::wstring relocated = CopyOfCaller(L"relocated.dll");
  // The import address table, which the loader fills, lying in a section the program cannot write.
  const std::wstring readOnlyImports =
      CopyOfCaller(L"readonlyimports.dll", [](testsupport::PeImage& image) {
        IMAGE_SECTION_HEADER* imports = Section(image, ".idata");
        ASSERT_NE(nullptr, imports);
        imports->Characteristics &= ~static_cast<DWORD>(IMAGE_SCN_MEM_WRITE);
      });
  HMODULE relocatedModule = Load(relocated);
  HMODULE readOnlyModule = Load(readOnlyImports);
  ASSERT_TRUE(first && relocatedModule && readOnlyModule);
  ASSERT_NE(PreferredBase(relocated), reinterpret_cast<ULONG_PTR>(relocatedModule));
  ASSERT_NE(PreferredBase(readOnlyImports), reinterpret_cast<ULONG_PTR>(readOnlyModule));

  struct Case {
    const char* what;
    std::wstring file;
    const void* base;
  } const cases[] = {
      {"this program", exe, GetModuleHandleW(nullptr)},
      {"a library at its preferred base", folder_ + L"\\first.dll", first},
      {"a relocated library", relocated, relocatedModule},
      {"imports in a read-only section", readOnlyImports, readOnlyModule},
  };
  for (const Case& c : cases) EXPECT_EQ(0u, Match(c.file, c.base)) << c.what;
}

TEST_F(MappedImageTest, AFileThatIsNotTheMappedImageDoesNotMatch) {
  const std::wstring mappedFile = CopyOfCaller(L"mapped.dll");
  HMODULE mapped = Load(mappedFile);
  ASSERT_NE(nullptr, mapped);
  // One byte changed in code, and one in read-only data.
  const std::wstring otherCode = CopyOfCaller(L"othercode.dll", [](testsupport::PeImage& image) {
    IMAGE_SECTION_HEADER* text = Section(image, ".text");
    ASSERT_NE(nullptr, text);
    image.bytes[text->PointerToRawData + text->Misc.VirtualSize / 2] ^= 0x01;
  });
  const std::wstring otherData = CopyOfCaller(L"otherdata.dll", [](testsupport::PeImage& image) {
    IMAGE_SECTION_HEADER* rdata = Section(image, ".rdata");
    ASSERT_NE(nullptr, rdata);
    image.bytes[rdata->PointerToRawData] ^= 0x01;
  });
  const std::wstring notAnImage = folder_ + L"\\notanimage.dll";
  ASSERT_TRUE(trust_test::WriteFileBytes(notAnImage, "MZ but nothing more"));

  struct Case {
    const char* what;
    std::wstring file;
    const void* base;
    DWORD expected;
  } const cases[] = {
      // Differs in its headers only (the signature's table entry).
      {"the same library signed", kCallerSigned, mapped, ERROR_ACCESS_DENIED},
      {"a byte of code changed", otherCode, mapped, ERROR_ACCESS_DENIED},
      {"a byte of read-only data changed", otherData, mapped, ERROR_ACCESS_DENIED},
      {"another library", kServer, mapped, ERROR_ACCESS_DENIED},
      {"no image", notAnImage, mapped, ERROR_BAD_EXE_FORMAT},
      {"an address inside the image", kCaller,
       static_cast<const BYTE*>(static_cast<void*>(mapped)) + 0x1000, ERROR_ACCESS_DENIED},
      {"memory of no image", kCaller, &folder_, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, Match(c.file, c.base)) << c.what;
}

// The bytes of a mapped image copied, once it is unmapped, to memory at the same address that maps
// no image: nothing the program runs comes from the file there.
TEST_F(MappedImageTest, AnImageCopiedToOtherMemoryIsNoMapping) {
  const std::wstring file = CopyOfCaller(L"copied.dll");
  HMODULE module = LoadLibraryW(file.c_str());
  ASSERT_NE(nullptr, module);
  const DWORD size =
      testsupport::PeImage{trust_test::ReadFileBytes(file)}.Headers()->OptionalHeader.SizeOfImage;
  const std::string bytes(reinterpret_cast<const char*>(module), size);
  ASSERT_TRUE(FreeLibrary(module));
  void* copy = VirtualAlloc(module, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  ASSERT_EQ(static_cast<void*>(module), copy);
  const auto release = Basalt::MakeScopeExit([&] { VirtualFree(copy, 0, MEM_RELEASE); });
  std::memcpy(copy, bytes.data(), size);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Match(file, copy));
}

IMAGE_NT_HEADERS64* Headers(testsupport::PeImage& image) {
  return const_cast<IMAGE_NT_HEADERS64*>(image.Headers());
}

// The first block of the image's relocation directory: its page and its first entry.
struct RelocationBlock {
  DWORD* page;
  WORD* firstEntry;
};
RelocationBlock FirstRelocationBlock(testsupport::PeImage& image) {
  const size_t at = image.Offset(image.Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC).VirtualAddress);
  return {reinterpret_cast<DWORD*>(&image.bytes[at]),
          reinterpret_cast<WORD*>(&image.bytes[at + 8])};
}

// An import directory of |descriptors| descriptors at the start of the code section, all sharing
// one table of |entries| non-zero entries that follows them.
void SharedImportTable(testsupport::PeImage& image, DWORD descriptors, DWORD entries) {
  IMAGE_SECTION_HEADER* text = Section(image, ".text");
  ASSERT_NE(nullptr, text);
  const DWORD tableRva = text->VirtualAddress + (descriptors + 1) * sizeof(IMAGE_IMPORT_DESCRIPTOR);
  ASSERT_LE((descriptors + 1) * sizeof(IMAGE_IMPORT_DESCRIPTOR) + (entries + 1) * sizeof(ULONGLONG),
            text->SizeOfRawData);
  BYTE* at = reinterpret_cast<BYTE*>(&image.bytes[text->PointerToRawData]);
  for (DWORD i = 0; i < descriptors; ++i, at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    IMAGE_IMPORT_DESCRIPTOR descriptor = {};
    descriptor.OriginalFirstThunk = tableRva;
    descriptor.Name = tableRva;
    descriptor.FirstThunk = tableRva;
    std::memcpy(at, &descriptor, sizeof(descriptor));
  }
  std::memset(at, 0, sizeof(IMAGE_IMPORT_DESCRIPTOR));
  at += sizeof(IMAGE_IMPORT_DESCRIPTOR);
  for (DWORD i = 0; i < entries; ++i, at += sizeof(ULONGLONG)) {
    const ULONGLONG entry = 0x8000000000000001ull;  // by ordinal
    std::memcpy(at, &entry, sizeof(entry));
  }
  std::memset(at, 0, sizeof(ULONGLONG));
  IMAGE_DATA_DIRECTORY& imports =
      Headers(image)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  imports.VirtualAddress = text->VirtualAddress;
  imports.Size = (descriptors + 1) * sizeof(IMAGE_IMPORT_DESCRIPTOR);
}

// Files that try to make the comparison write past its buffers, read without end or allocate
// without bound, each against the relocated mapping of the library it was made from: each is
// refused, and says why, within a bound.
TEST_F(MappedImageTest, AHostileFileIsRefusedClearly) {
  HMODULE caller = LoadRelocated(kCaller, L"caller");
  HMODULE server = LoadRelocated(kServer, L"server");
  ASSERT_TRUE(caller && server);
  const DWORD callerImage = testsupport::PeImage{trust_test::ReadFileBytes(kCaller)}
                                .Headers()
                                ->OptionalHeader.SizeOfImage;

  struct Case {
    const char* what;
    std::wstring file;
    HMODULE mapped;
    DWORD expected;
  } const cases[] = {
      {"a relocated slot whose end wraps around 32 bits",
       CopyOf(kCaller, L"wrapped.dll",
              [](testsupport::PeImage& image) {
                const RelocationBlock block = FirstRelocationBlock(image);
                *block.page = 0xFFFFF000;
                *block.firstEntry = IMAGE_REL_BASED_DIR64 << 12 | 0xFFE;
              }),
       caller, ERROR_BAD_EXE_FORMAT},
      {"a relocated slot that crosses the end of the image",
       CopyOf(kCaller, L"crossing.dll",
              [&](testsupport::PeImage& image) {
                const RelocationBlock block = FirstRelocationBlock(image);
                *block.page = callerImage - 0x1000;
                *block.firstEntry = IMAGE_REL_BASED_DIR64 << 12 | 0xFFC;
              }),
       caller, ERROR_BAD_EXE_FORMAT},
      {"a relocation directory larger than the bound",
       CopyOf(kCaller, L"hugerelocations.dll",
              [](testsupport::PeImage& image) {
                Headers(image)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size =
                    kMaxRelocationBytes + 8;
              }),
       caller, ERROR_FILE_TOO_LARGE},
      {"a section that reaches past the image",
       CopyOf(kCaller, L"longsection.dll",
              [&](testsupport::PeImage& image) {
                IMAGE_SECTION_HEADER* text = Section(image, ".text");
                text->Misc.VirtualSize = callerImage;
              }),
       caller, ERROR_BAD_EXE_FORMAT},
      {"two sections at one place",
       CopyOf(kCaller, L"overlapping.dll",
              [](testsupport::PeImage& image) {
                IMAGE_SECTION_HEADER* text = Section(image, ".text");
                IMAGE_SECTION_HEADER* data = Section(image, ".data");
                data->VirtualAddress = text->VirtualAddress;
              }),
       caller, ERROR_BAD_EXE_FORMAT},
      {"import descriptors that share one table, past the entry bound",
       CopyOf(kServer, L"sharedimports.dll",
              [](testsupport::PeImage& image) { SharedImportTable(image, 300, 4000); }),
       server, ERROR_FILE_TOO_LARGE},
      {"more import descriptors than the bound",
       CopyOf(kServer, L"manyimports.dll",
              [](testsupport::PeImage& image) {
                SharedImportTable(image, kMaxImportDescriptors + 1, 0);
              }),
       server, ERROR_FILE_TOO_LARGE},
  };
  for (const Case& c : cases) {
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(c.expected, Match(c.file, c.mapped)) << c.what;
    // Generous: the walk past the bound reads the file in large pieces.
    EXPECT_LT(GetTickCount64() - start, 10000u) << c.what;
  }
}

// The program image as the kernel records it: where this program runs, found by its entry point.
// A process environment block that names another image (the process may write it) is refused,
// and so is a file whose entry point lies elsewhere.
TEST_F(MappedImageTest, TheProgramImageIsWhereTheKernelRecordsIt) {
  Basalt::UniqueKernelHandle self(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  const HMODULE program = GetModuleHandleW(nullptr);
  const DWORD entry = testsupport::PeImage{trust_test::ReadFileBytes(exe)}
                          .Headers()
                          ->OptionalHeader.AddressOfEntryPoint;

  const void* base = nullptr;
  ULONGLONG entryRva = 0;
  ASSERT_EQ(0u, FindProgramImage(self.get(), &base, &entryRva));
  EXPECT_EQ(static_cast<const void*>(program), base);
  EXPECT_EQ(entry, entryRva);
  Basalt::UniqueFile file = OpenForReading(exe);
  EXPECT_EQ(0u, MatchProgramImage(file.get(), self.get(), base, entryRva));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
            MatchProgramImage(file.get(), self.get(), base, entryRva + 1));

  // This program's own record names the caller library as its image.
  HMODULE other = Load(CopyOfCaller(L"recorded.dll"));
  ASSERT_NE(nullptr, other);
  PROCESS_BASIC_INFORMATION basic = {};
  ASSERT_EQ(0, NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &basic,
                                         sizeof(basic), nullptr));
  auto* recorded = reinterpret_cast<void**>(reinterpret_cast<BYTE*>(basic.PebBaseAddress) + 0x10);
  ASSERT_EQ(static_cast<void*>(program), *recorded);
  *recorded = other;
  const DWORD found = FindProgramImage(self.get(), &base, &entryRva);
  *recorded = program;
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), found);
  EXPECT_EQ(static_cast<const void*>(program), base) << "untouched";
}

TEST(ProcessImageBase, IsTheBaseOfTheProgramImage) {
  Basalt::UniqueKernelHandle self(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
  EXPECT_EQ(static_cast<const void*>(GetModuleHandleW(nullptr)), ProcessImageBase(self.get()));
  EXPECT_EQ(nullptr, ProcessImageBase(nullptr));
}

}  // namespace
