// File helpers shared by the tests: scratch trees, whole-file reads and writes, folders.
#pragma once

#include <shlobj.h>
#include <windows.h>

#include <string>

#include "basalt/UniqueHandle.h"

namespace testsupport {

inline bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removes a folder and everything below it, read-only files included. Works on
// "\\?\" paths, so names that Win32 would trim (trailing dots) go too.
inline void DeleteTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        DeleteTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

// Whole file as bytes; empty when it cannot be read.
inline std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  // Owned, so that a failed append does not leave the file open (and undeletable).
  Basalt::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return bytes;
  char chunk[65536];
  DWORD read = 0;
  while (ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0)
    bytes.append(chunk, read);
  return bytes;
}

// Writes |bytes| as the whole file at |path| (made or replaced); false when it cannot.
inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  const Basalt::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return file &&
         WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

// The folder of the running test program, with its trailing backslash.
inline std::wstring ExeFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring full(path, n);
  return full.substr(0, full.find_last_of(L'\\') + 1);
}

// The machine's ProgramData folder; empty when the shell cannot name it.
inline std::wstring ProgramDataFolder() {
  PWSTR path = nullptr;
  std::wstring result;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &path))) result = path;
  CoTaskMemFree(path);
  return result;
}

}  // namespace testsupport
