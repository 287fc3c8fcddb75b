#include "HostLinks.h"

#include <functional>

namespace foldertest {
namespace {

bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    Sleep(10);
  }
  return done();
}

// Runs a program of the Linux host (Wine starts those too, but its handle tells nothing of
// their end) and waits until |done| holds.
bool RunHostProgram(const std::wstring& command, const std::function<bool()>& done) {
  std::wstring line = command;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return WaitUntil(done);
}

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

}  // namespace

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

bool MakeLink(const std::wstring& target, const std::wstring& link) {
  const std::wstring from = UnixPath(target);
  const std::wstring to = UnixPath(link);
  return !from.empty() && !to.empty() &&
         RunHostProgram(L"Z:\\bin\\ln -sfn " + from + L" " + to, [&] {
           const DWORD attributes = Attributes(link);
           return attributes != INVALID_FILE_ATTRIBUTES &&
                  (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
         });
}

bool RemoveLink(const std::wstring& link) {
  const std::wstring path = UnixPath(link);
  return !path.empty() && RunHostProgram(L"Z:\\bin\\rm -d " + path, [&] {
    return Attributes(link) == INVALID_FILE_ATTRIBUTES;
  });
}

bool MoveOnHost(const std::wstring& from, const std::wstring& to) {
  const std::wstring a = UnixPath(from);
  const std::wstring b = UnixPath(to);
  return !a.empty() && !b.empty() && RunHostProgram(L"Z:\\bin\\mv " + a + L" " + b, [&] {
    return Attributes(to) != INVALID_FILE_ATTRIBUTES && Attributes(from) == INVALID_FILE_ATTRIBUTES;
  });
}

}  // namespace foldertest
