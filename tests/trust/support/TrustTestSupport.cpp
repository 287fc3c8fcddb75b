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

// The Linux path of |path|, as Wine names it; empty when there is none.
std::wstring UnixPath(const std::wstring& path) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unixName != nullptr ? unixName(path.c_str()) : nullptr;
  if (name == nullptr) return L"";
  std::wstring result;
  for (const char* c = name; *c != '\0'; ++c) result += static_cast<wchar_t>(*c);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Starts a program of the Linux host (Wine's handle of it tells nothing of its end) and waits
// at most 10 s until |done| holds.
template <typename Done>
bool RunHostProgram(std::wstring command, Done done) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    Sleep(10);
  }
  return done();
}

bool ShownAsLink(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

bool MakeUnixLink(const std::wstring& target, const std::wstring& link) {
  const std::wstring from = UnixPath(target), to = UnixPath(link);
  if (from.empty() || to.empty()) return false;
  return RunHostProgram(L"Z:\\bin\\ln -s " + from + L" " + to, [&] { return ShownAsLink(link); });
}

bool RemoveUnixLink(const std::wstring& link) {
  const std::wstring path = UnixPath(link);
  if (path.empty()) return false;
  return RunHostProgram(L"Z:\\bin\\rm -f " + path, [&] {
    return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES;
  });
}

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
