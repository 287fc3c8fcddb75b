#include "basalt/LibraryUtils.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cwctype>
#include <string>
#include <vector>

#include "tests/support/TestFiles.h"

namespace {

using Basalt::CDllWrapperBase;

std::wstring SystemDirectory() {
  wchar_t buffer[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
  return std::wstring(buffer, length);
}

std::wstring ModulePath(HMODULE module) {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size())));
  return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring Env(const wchar_t* name) {
  wchar_t buffer[1024] = {};
  const DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
  return length < 1024 ? std::wstring(buffer, length) : std::wstring();
}

// Child mode: a copy of this exe started with "--split-module-child" checks how it sees its
// own image path against the expectation in its environment and exits with the verdict,
// before any test runs.
[[maybe_unused]] const bool g_splitChildChecked = [] {
  if (wcsstr(GetCommandLineW(), L"--split-module-child") == nullptr) return false;
  UINT verdict = 0;
  std::wstring folder = L"untouched", fileName = L"untouched";
  if (!Basalt::SplitModulePath(nullptr, folder, false, fileName)) verdict |= 1;
  if (folder != Env(L"B1_EXPECT_FOLDER")) verdict |= 2;
  if (fileName != Env(L"B1_EXPECT_FILE")) verdict |= 4;
  std::wstring withBackslash;
  if (!Basalt::GetProcessImageDirectory(withBackslash, true)) verdict |= 8;
  if (withBackslash != Env(L"B1_EXPECT_FOLDER") + L"\\") verdict |= 16;
  ExitProcess(verdict == 0 ? 0 : 100 + verdict);
}();

using testsupport::DeleteTree;

// A scratch folder of its own under the temp folder, and the current directory restored.
class ScratchDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static int counter = 0;
    root_ = std::wstring(temp) + L"b1_libutils_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(++counter);
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    savedCwd_ = Basalt::GetCurrentDirectoryString();
  }
  void TearDown() override {
    SetCurrentDirectoryW(savedCwd_.c_str());
    DeleteTree(L"\\\\?\\" + root_);
  }
  void MakeFile(const std::wstring& path) {
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
  }
  bool IsDir(const std::wstring& path) { return Basalt::DirectoryExists(path.c_str()); }

  std::wstring root_;
  std::wstring savedCwd_;
};

TEST(LibraryLoading, AbsoluteLoaderRefusesEveryPathTheSearchPathCouldResolve) {
  const std::wstring sys = SystemDirectory();
  ASSERT_EQ(GetModuleHandleW(L"cabinet.dll"), nullptr);
  const std::wstring savedCwd = Basalt::GetCurrentDirectoryString();
  SetCurrentDirectoryW(sys.c_str());
  const std::wstring drive = sys.substr(0, 2);
  const std::wstring refused[] = {
      L"cabinet.dll",                    // bare name
      L"system32\\cabinet.dll",          // relative
      drive + L"cabinet.dll",            // drive-relative
      sys.substr(2) + L"\\cabinet.dll",  // rooted, no drive
      L"\\\\server",                     // root name without root directory
      L"",
  };
  for (const std::wstring& path : refused) {
    SetLastError(0);
    EXPECT_EQ(Basalt::LoadLibraryAbsolute(path.c_str()), nullptr) << path;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << path;
  }
  EXPECT_EQ(Basalt::LoadLibraryAbsolute(nullptr), nullptr);
  EXPECT_EQ(GetModuleHandleW(L"cabinet.dll"), nullptr) << "a refused path was loaded";
  SetCurrentDirectoryW(savedCwd.c_str());

  const std::wstring accepted[] = {
      sys + L"\\cabinet.dll",
      L"\\\\?\\" + sys + L"\\cabinet.dll",
      drive + L"/" + sys.substr(3) + L"/cabinet.dll",
  };
  for (const std::wstring& path : accepted) {
    const HMODULE module = Basalt::LoadLibraryAbsolute(path.c_str());
    ASSERT_NE(module, nullptr) << path;
    EXPECT_TRUE(SamePath(ModulePath(module), sys + L"\\cabinet.dll"));
    FreeLibrary(module);
  }
  EXPECT_EQ(GetModuleHandleW(L"cabinet.dll"), nullptr);
}

TEST(LibraryLoading, AbsoluteLoaderPassesFlagsOn) {
  const std::wstring path = SystemDirectory() + L"\\cabinet.dll";
  const HMODULE data = Basalt::LoadLibraryAbsoluteEx(path.c_str(), LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(data, nullptr);
  EXPECT_NE(reinterpret_cast<ULONG_PTR>(data) & 3, 0u) << "not mapped as a data file";
  FreeLibrary(data);
}

TEST(LibraryLoading, SystemLoaderLoadsOnlyFromTheSystemFolder) {
  const std::wstring sys = SystemDirectory();
  const HMODULE module = Basalt::LoadSystemLibrary(L"cabinet.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_TRUE(SamePath(ModulePath(module), sys + L"\\cabinet.dll"));
  FreeLibrary(module);

  EXPECT_EQ(Basalt::LoadSystemLibrary(nullptr), nullptr);

  // A library that exists only beside the process is not found: the search path is never
  // consulted.
  std::wstring exeFolder;
  ASSERT_TRUE(Basalt::GetProcessImageDirectory(exeFolder, false));
  const std::wstring exeName = ModulePath(nullptr).substr(exeFolder.size() + 1);
  SetLastError(0);
  EXPECT_EQ(Basalt::LoadSystemLibrary(exeName.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(LibraryLoading, SystemLoaderDropsAlteredSearchPath) {
  // The loader rejects LOAD_WITH_ALTERED_SEARCH_PATH together with a search flag, so this
  // load succeeds only when the flag was removed.
  const HMODULE module = Basalt::LoadSystemLibraryEx(
      L"cabinet.dll", LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
  ASSERT_NE(module, nullptr) << GetLastError();
  FreeLibrary(module);
}

TEST(LibraryLoading, SafeDllSearchIsAvailable) { EXPECT_TRUE(Basalt::EnableSafeDllSearch()); }

TEST(ModulePaths, SplitsLoadedModuleAndProcessImage) {
  const std::wstring sys = SystemDirectory();
  std::wstring folder, fileName;
  ASSERT_TRUE(Basalt::SplitModulePath(GetModuleHandleW(L"kernel32.dll"), folder, false, fileName));
  EXPECT_TRUE(SamePath(folder, sys));
  EXPECT_TRUE(SamePath(fileName, L"kernel32.dll"));

  ASSERT_TRUE(Basalt::SplitModulePath(GetModuleHandleW(L"kernel32.dll"), folder, true, fileName));
  EXPECT_TRUE(SamePath(folder, sys + L"\\"));

  const std::wstring image = ModulePath(nullptr);
  ASSERT_TRUE(Basalt::SplitModulePath(nullptr, folder, false, fileName));
  EXPECT_EQ(folder + L"\\" + fileName, image);
  std::wstring directory;
  ASSERT_TRUE(Basalt::GetModuleDirectory(nullptr, directory, true));
  EXPECT_EQ(directory, folder + L"\\");
}

TEST(ModulePaths, FailureLeavesOutputsUntouched) {
  std::wstring folder = L"keep", fileName = L"keep";
  // An address that is no module: GetModuleFileNameW fails.
  EXPECT_FALSE(Basalt::SplitModulePath(reinterpret_cast<HMODULE>(0x10), folder, true, fileName));
  EXPECT_EQ(folder, L"keep");
  EXPECT_EQ(fileName, L"keep");
  EXPECT_FALSE(Basalt::GetModuleDirectory(reinterpret_cast<HMODULE>(0x10), folder, false));
  EXPECT_EQ(folder, L"keep");
}

TEST_F(ScratchDirTest, SplitsProcessImageAtItsOwnPath) {
  // A copy of this exe at dir\file.exe, and one whose path is longer than the first
  // 255-character buffer, each checks its own image path.
  const std::wstring self = ModulePath(nullptr);
  const std::wstring shortFolder = root_ + L"\\dir";
  std::wstring longFolder = root_ + L"\\" + std::wstring(120, L'x');
  longFolder += L"\\" + std::wstring(258 - longFolder.size() - 10, L'y');
  struct Case {
    std::wstring folder, file;
  } cases[] = {{shortFolder, L"file.exe"}, {longFolder, L"long.exe"}};
  for (const Case& c : cases) {
    ASSERT_TRUE(Basalt::CreateDirectoryTree(c.folder.c_str()));
    const std::wstring copy = c.folder + L"\\" + c.file;
    ASSERT_TRUE(CopyFileW(self.c_str(), copy.c_str(), FALSE));
    SetEnvironmentVariableW(L"B1_EXPECT_FOLDER", c.folder.c_str());
    SetEnvironmentVariableW(L"B1_EXPECT_FILE", c.file.c_str());
    std::wstring commandLine = L"\"" + copy + L"\" --split-module-child";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(copy.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process))
        << GetLastError() << " " << copy.size();
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(exitCode, 0u) << "path length " << copy.size();
  }
  SetEnvironmentVariableW(L"B1_EXPECT_FOLDER", nullptr);
  SetEnvironmentVariableW(L"B1_EXPECT_FILE", nullptr);
}

TEST_F(ScratchDirTest, DirectoryExistsOnlyForDirectories) {
  MakeFile(root_ + L"\\file");
  EXPECT_TRUE(Basalt::DirectoryExists(root_.c_str()));
  EXPECT_FALSE(Basalt::DirectoryExists((root_ + L"\\file").c_str()));
  EXPECT_FALSE(Basalt::DirectoryExists((root_ + L"\\missing").c_str()));
  EXPECT_FALSE(Basalt::DirectoryExists(L""));
  EXPECT_FALSE(Basalt::DirectoryExists(nullptr));
}

TEST_F(ScratchDirTest, CreatesMissingLevelsTopDown) {
  DWORD code = 1;
  ASSERT_TRUE(Basalt::CreateDirectoryTree((root_ + L"\\a").c_str(), &code));
  EXPECT_EQ(code, 0u);
  ASSERT_TRUE(Basalt::CreateDirectoryTree((root_ + L"\\a\\b\\c").c_str(), &code));
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(IsDir(root_ + L"\\a\\b"));
  EXPECT_TRUE(IsDir(root_ + L"\\a\\b\\c"));

  ASSERT_TRUE(Basalt::CreateDirectoryTree((root_ + L"\\t\\u\\").c_str(), &code));
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(IsDir(root_ + L"\\t\\u"));

  EXPECT_EQ(Basalt::CreateDirectoryRecursive((root_ + L"\\r1\\r2").c_str()), 0u);
  EXPECT_TRUE(IsDir(root_ + L"\\r1\\r2"));
  EXPECT_TRUE(Basalt::CreateDirectoryTree((root_ + L"\\nocode").c_str()));
}

TEST_F(ScratchDirTest, ReportsExistingAndBadInput) {
  MakeFile(root_ + L"\\file");
  struct Case {
    const wchar_t* path;
    bool result;
    DWORD code;
  };
  const std::wstring existing = root_;
  const std::wstring fileAtTarget = root_ + L"\\file";
  const std::wstring fileAbove = root_ + L"\\file\\below";
  const Case cases[] = {
      {nullptr, false, ERROR_INVALID_PARAMETER},
      {L"", false, ERROR_INVALID_PARAMETER},
      {existing.c_str(), true, ERROR_ALREADY_EXISTS},
      // An existing file at the target is taken as success, as callers expect.
      {fileAtTarget.c_str(), true, ERROR_SUCCESS},
      {fileAbove.c_str(), false, ERROR_PATH_NOT_FOUND},
      // A prefix without a path names nothing that could be created.
      {L"\\\\?\\", false, ERROR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    DWORD code = 12345;
    EXPECT_EQ(Basalt::CreateDirectoryTree(c.path, &code), c.result) << (c.path ? c.path : L"null");
    EXPECT_EQ(code, c.code) << (c.path ? c.path : L"null");
  }
}

TEST_F(ScratchDirTest, KeepsLongPathPrefixOnEveryLevel) {
  // Only a "\\?\" path keeps trailing dots: each level shows whether it kept the prefix.
  const std::wstring prefixed = L"\\\\?\\" + root_ + L"\\p.\\q.\\r.";
  DWORD code = 1;
  ASSERT_TRUE(Basalt::CreateDirectoryTree(prefixed.c_str(), &code));
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(IsDir(L"\\\\?\\" + root_ + L"\\p."));
  EXPECT_TRUE(IsDir(L"\\\\?\\" + root_ + L"\\p.\\q."));
  EXPECT_TRUE(IsDir(prefixed));
  EXPECT_FALSE(IsDir(root_ + L"\\p"));
}

TEST_F(ScratchDirTest, CompletesPathsAgainstTheCurrentDirectory) {
  ASSERT_TRUE(SetCurrentDirectoryW(root_.c_str()));
  EXPECT_TRUE(SamePath(Basalt::GetCurrentDirectoryString(), root_));

  const std::wstring rootedOnDrive = root_.substr(2) + L"\\rooted\\x";  // "\users\...\x"
  const std::wstring slashes = root_ + L"/fwd/x";
  const std::wstring device = L"\\\\.\\" + root_ + L"\\device\\x";  // begins with "\\": whole
  struct Case {
    std::wstring path, expect;
  } cases[] = {
      {L"bare", root_ + L"\\bare"},
      {L"rel\\x", root_ + L"\\rel\\x"},
      {rootedOnDrive, root_ + L"\\rooted\\x"},
      {slashes, root_ + L"\\fwd\\x"},
      {device, root_ + L"\\device\\x"},
      {root_.substr(0, 2) + L"drel\\x", root_ + L"\\drel\\x"},  // "C:drel\x"
  };
  for (const Case& c : cases) {
    DWORD code = 1;
    EXPECT_TRUE(Basalt::CreateDirectoryTree(c.path.c_str(), &code)) << c.path << " " << code;
    EXPECT_EQ(code, 0u) << c.path;
    EXPECT_TRUE(IsDir(c.expect)) << c.path;
  }
}

// Holder whose check refuses paths containing "refuse".
class CheckingWrapper : public CDllWrapperBase {
 public:
  DWORD CheckModule(const wchar_t* path) override {
    ++checks;
    return wcsstr(path, L"refuse") != nullptr ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
  }
  int checks = 0;
};

TEST(DllWrapper, LoadsOnceByAbsolutePathAndFreesOnDestruction) {
  const std::wstring path = SystemDirectory() + L"\\cabinet.dll";
  ASSERT_EQ(GetModuleHandleW(L"cabinet.dll"), nullptr);
  {
    CheckingWrapper wrapper;
    EXPECT_EQ(wrapper.GetModule(), nullptr);
    ASSERT_EQ(wrapper.LoadModule(path.c_str()), 0u);
    const HMODULE module = wrapper.GetModule();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"cabinet.dll"), module);
    EXPECT_EQ(wrapper.LoadModule(path.c_str()), 0u);
    EXPECT_EQ(wrapper.GetModule(), module);
    EXPECT_EQ(wrapper.checks, 2);
  }
  EXPECT_EQ(GetModuleHandleW(L"cabinet.dll"), nullptr) << "a second load took a reference";
}

std::wstring ProbeEvents() { return Env(L"DLLREFPROBE_EVENTS"); }

// DllRefProbe.dll (tests/basalt/doubles), built beside this exe, records its attach, its
// "DllAddRef" and "DllRelease" calls and its detach in DLLREFPROBE_EVENTS.
TEST(DllWrapper, TellsTheLibraryOnceAfterLoadingAndBeforeFreeing) {
  std::wstring folder;
  ASSERT_TRUE(Basalt::GetProcessImageDirectory(folder, true));
  const std::wstring probe = folder + L"DllRefProbe.dll";
  if (GetFileAttributesW(probe.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "DllRefProbe.dll was not built beside the test";
  }
  SetEnvironmentVariableW(L"DLLREFPROBE_EVENTS", nullptr);
  {
    CheckingWrapper refused;
    EXPECT_EQ(refused.LoadModule((folder + L"refuse\\..\\DllRefProbe.dll").c_str()),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(ProbeEvents(), L"");
  {
    CheckingWrapper wrapper;
    ASSERT_EQ(wrapper.LoadModule(probe.c_str()), 0u);
    EXPECT_EQ(ProbeEvents(), L"attach;DllAddRef;");
    ASSERT_EQ(wrapper.LoadModule(probe.c_str()), 0u);
    EXPECT_EQ(ProbeEvents(), L"attach;DllAddRef;") << "told again on a second load";
  }
  EXPECT_EQ(ProbeEvents(), L"attach;DllAddRef;DllRelease;detach;");
  EXPECT_EQ(GetModuleHandleW(L"DllRefProbe.dll"), nullptr);
  SetEnvironmentVariableW(L"DLLREFPROBE_EVENTS", nullptr);
}

TEST(DllWrapper, RefusedAndRelativePathsLoadNothing) {
  CheckingWrapper wrapper;
  EXPECT_EQ(wrapper.LoadModule(L"C:\\refuse\\cabinet.dll"),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(wrapper.GetModule(), nullptr);
  SetLastError(0);
  EXPECT_EQ(wrapper.LoadModule(L"cabinet.dll"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(wrapper.GetModule(), nullptr);
  const std::wstring missing = SystemDirectory() + L"\\b1_no_such_library.dll";
  EXPECT_EQ(wrapper.LoadModule(missing.c_str()), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(wrapper.GetModule(), nullptr);
  EXPECT_EQ(GetModuleHandleW(L"cabinet.dll"), nullptr);
}

}  // namespace
