// Helpers of the trust test programs.
#include "TrustTestSupport.h"

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "tests/support/TestFiles.h"
#include "trust/TrustedList.h"

namespace trust_test {

namespace {

std::wstring TempFolder() {
  wchar_t folder[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, folder);
  return folder;
}

std::wstring ProgramFolder() {
  static const std::wstring folder =
      TempFolder() + L"hollin-trust-" + std::to_wstring(GetCurrentProcessId());
  return folder;
}

// Removes this program's folders when the tests are done.
class CleanupEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { RemoveTree(ProgramFolder()); }
};
::testing::Environment* const g_cleanup =
    ::testing::AddGlobalTestEnvironment(new CleanupEnvironment);

}  // namespace

std::wstring Fixture(const wchar_t* name) { return std::wstring(TRUST_FIXTURE_DIR) + L"\\" + name; }

std::wstring InstalledListPath() { return ProgramFolder() + L"\\Core\\trusted.js"; }

void SetInstalledListFile(const wchar_t* name) {
  const std::wstring path = InstalledListPath();
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(path.c_str());
  GetInstalledTrustedList().Discard();
  if (name != nullptr) {
    SHCreateDirectoryExW(nullptr, (ProgramFolder() + L"\\Core").c_str(), nullptr);
    EXPECT_TRUE(CopyFileW(Fixture(name).c_str(), path.c_str(), FALSE)) << GetLastError();
  }
}

void DeleteReloadAtom() {
  for (ATOM atom; (atom = GlobalFindAtomW(kTrustedListReloadAtom)) != 0;) {
    if (GlobalDeleteAtom(atom) != 0) break;
  }
}

std::wstring MakeScratchFolder(const wchar_t* tag) {
  static int counter = 0;
  const std::wstring folder = ProgramFolder() + L"\\" + tag + std::to_wstring(++counter);
  RemoveTree(folder);
  SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  return folder;
}

void RemoveTree(const std::wstring& folder) { testsupport::DeleteTree(folder); }

int CountTempFiles(const wchar_t* prefix, const wchar_t* suffix) {
  int count = 0;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((TempFolder() + prefix + L"*" + suffix).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return 0;
  do {
    ++count;
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return count;
}

std::string ReadFileBytes(const std::wstring& path) { return testsupport::ReadFileBytes(path); }

bool WriteFileBytes(const std::wstring& path, const std::string& data) {
  return testsupport::WriteFileBytes(path, data);
}

}  // namespace trust_test
