#include "basalt/LibraryUtils.h"

#include <shlobj.h>

#include <cwchar>
#include <memory>
#include <new>

namespace Basalt {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Absolute as the Windows path grammar defines it: a root name (drive letter and colon,
// or two separators and a name, which covers "\\server" and "\\?") followed by a root
// directory. std::filesystem of libstdc++ does not see UNC paths this way.
bool IsAbsolutePath(const wchar_t* path) {
  const size_t length = wcslen(path);
  if (length >= 3 && IsDriveLetter(path[0]) && path[1] == L':') return IsSeparator(path[2]);
  if (length >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]) && !IsSeparator(path[2])) {
    size_t i = 2;
    while (i < length && !IsSeparator(path[i])) ++i;
    return i < length;
  }
  return false;
}

bool HasLongPathPrefix(const std::wstring& path) { return path.compare(0, 4, L"\\\\?\\") == 0; }

// The root that "\x" refers to: "C:" for a drive directory, "\\server\share" for a UNC one.
std::wstring CurrentRoot(const std::wstring& currentDirectory) {
  if (currentDirectory.size() >= 2 && currentDirectory[1] == L':') {
    return currentDirectory.substr(0, 2);
  }
  if (currentDirectory.compare(0, 2, L"\\\\") == 0) {
    size_t end = currentDirectory.find(L'\\', 2);
    if (end != std::wstring::npos) end = currentDirectory.find(L'\\', end + 1);
    return currentDirectory.substr(0, end);
  }
  return currentDirectory.substr(0, 2);
}

// Completes |path| against the current directory; false when it needs the current
// directory and that cannot be read (|code| then holds the reason).
bool CompletePath(std::wstring path, std::wstring& completed, DWORD& code) {
  if (HasLongPathPrefix(path)) {
    completed = std::move(path);
    return true;
  }
  // Win32 reads "/" as "\" outside "\\?\" paths; the recursive creation splits at "\".
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  const bool drivePath = path.size() >= 2 && path[1] == L':';
  const bool uncPath = path.compare(0, 2, L"\\\\") == 0;
  if (drivePath && path.size() > 2 && path[2] != L'\\') {
    // "C:name" is relative to that drive's current directory; taken whole it would hold no
    // backslash and "succeed" without creating anything.
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const DWORD length =
        needed != 0 ? GetFullPathNameW(path.c_str(), needed, &full[0], nullptr) : 0;
    if (length == 0 || length >= needed) {
      const DWORD error = GetLastError();
      code = length == 0 && error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_BAD_PATHNAME);
      return false;
    }
    full.resize(length);
    completed = std::move(full);
    return true;
  }
  if (drivePath || uncPath) {
    completed = std::move(path);
    return true;
  }
  const std::wstring currentDirectory = GetCurrentDirectoryString();
  if (currentDirectory.empty()) {
    const DWORD error = GetLastError();
    code = error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
    return false;
  }
  if (path[0] == L'\\') {
    completed = CurrentRoot(currentDirectory) + path;
  } else {
    std::wstring base = currentDirectory;
    if (base.back() != L'\\') base += L'\\';
    completed = base + path;
  }
  return true;
}

struct CoTaskMemDeleter {
  void operator()(wchar_t* text) const noexcept { CoTaskMemFree(text); }
};
using CoTaskMemString = std::unique_ptr<wchar_t, CoTaskMemDeleter>;

using DllRefFunction = void (*)();

void CallOptionalExport(HMODULE module, const char* name) {
  const DWORD lastError = GetLastError();
  const auto function = reinterpret_cast<DllRefFunction>(GetProcAddress(module, name));
  SetLastError(lastError);
  if (function != nullptr) function();
}

}  // namespace

bool EnableSafeDllSearch() {
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return false;
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (setDefaultDllDirectories == nullptr) return false;
  return setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}

HMODULE LoadSystemLibraryEx(const wchar_t* fileName, DWORD flags) {
  if (fileName == nullptr) return nullptr;
  PWSTR rawFolder = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_System, 0, nullptr, &rawFolder);
  const CoTaskMemString folder(rawFolder);
  if (FAILED(hr) || folder == nullptr) {
    SetLastError(FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_WIN32
                     ? static_cast<DWORD>(HRESULT_CODE(hr))
                     : static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    return nullptr;
  }
  std::wstring path;
  try {
    path = std::wstring(folder.get()) + L"\\" + fileName;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_OUTOFMEMORY);
    return nullptr;
  }
  return LoadLibraryExW(path.c_str(), nullptr,
                        flags & ~static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH));
}

HMODULE LoadSystemLibrary(const wchar_t* fileName) { return LoadSystemLibraryEx(fileName, 0); }

HMODULE LoadLibraryAbsoluteEx(const wchar_t* path, DWORD flags) {
  // A refused path sets an error of its own, so callers that report GetLastError() never
  // report success for a load that did not happen.
  if (path == nullptr || !IsAbsolutePath(path)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return LoadLibraryExW(path, nullptr, flags);
}

HMODULE LoadLibraryAbsolute(const wchar_t* path) { return LoadLibraryAbsoluteEx(path, 0); }

bool SplitModulePath(HMODULE module, std::wstring& folder, bool keepTrailingBackslash,
                     std::wstring& fileName) {
  std::wstring path;
  try {
    path.resize(255);
    for (;;) {
      const DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
      if (length == 0) return false;
      if (length < path.size()) {
        path.resize(length);
        break;
      }
      path.resize(path.size() + 255);
    }
    const size_t lastBackslash = path.rfind(L'\\');
    if (lastBackslash == std::wstring::npos) return false;
    std::wstring newFolder =
        path.substr(0, keepTrailingBackslash ? lastBackslash + 1 : lastBackslash);
    std::wstring newFileName = path.substr(lastBackslash + 1);
    folder.swap(newFolder);
    fileName.swap(newFileName);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool GetModuleDirectory(HMODULE module, std::wstring& folder, bool keepTrailingBackslash) {
  std::wstring fileName;
  return SplitModulePath(module, folder, keepTrailingBackslash, fileName);
}

bool GetProcessImageDirectory(std::wstring& folder, bool keepTrailingBackslash) {
  return GetModuleDirectory(nullptr, folder, keepTrailingBackslash);
}

bool DirectoryExists(const wchar_t* path) {
  if (path == nullptr || *path == L'\0') return false;
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateDirectoryTree(const wchar_t* path, DWORD* code) {
  DWORD result;
  if (path == nullptr || *path == L'\0') {
    result = ERROR_INVALID_PARAMETER;
  } else if (DirectoryExists(path)) {
    result = ERROR_ALREADY_EXISTS;
  } else {
    try {
      std::wstring completed;
      if (CompletePath(path, completed, result)) {
        result = CreateDirectoryRecursive(completed.c_str());
      }
    } catch (const std::bad_alloc&) {
      result = ERROR_OUTOFMEMORY;
    }
  }
  if (code != nullptr) *code = result;
  return result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS;
}

DWORD CreateDirectoryRecursive(const wchar_t* path) {
  if (path == nullptr || *path == L'\0') return ERROR_INVALID_PARAMETER;
  if (DirectoryExists(path)) return ERROR_SUCCESS;
  try {
    const std::wstring fullPath(path);
    const size_t restStart = HasLongPathPrefix(fullPath) ? 4 : 0;
    const size_t lastBackslash = fullPath.rfind(L'\\');
    if (lastBackslash == std::wstring::npos || lastBackslash < restStart) {
      // A bare drive has nothing to create; any other single name ("\\?\x", "\\?\") goes
      // to CreateDirectoryW, so that a name it refuses is not reported as created.
      const size_t restLength = fullPath.size() - restStart;
      if (restLength == 2 && fullPath[restStart + 1] == L':') return ERROR_SUCCESS;
    } else if (fullPath.find(L'\\', restStart) != lastBackslash) {
      const DWORD parentResult =
          CreateDirectoryRecursive(fullPath.substr(0, lastBackslash).c_str());
      if (parentResult != ERROR_SUCCESS) return parentResult;
    }
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  if (CreateDirectoryW(path, nullptr)) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS ? static_cast<DWORD>(ERROR_SUCCESS) : error;
}

std::wstring GetCurrentDirectoryString() {
  std::wstring directory;
  try {
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    while (needed != 0) {
      directory.resize(needed);
      const DWORD length = GetCurrentDirectoryW(needed, &directory[0]);
      if (length == 0) break;
      if (length < needed) {
        directory.resize(length);
        return directory;
      }
      needed = length;  // the directory changed between the calls and grew
    }
  } catch (const std::bad_alloc&) {
  }
  return std::wstring();
}

CDllWrapperBase::~CDllWrapperBase() {
  if (m_hModule != nullptr) {
    CallOptionalExport(m_hModule, "DllRelease");
    FreeLibrary(m_hModule);
    m_hModule = nullptr;
  }
}

DWORD CDllWrapperBase::CheckModule(const wchar_t* /*path*/) { return ERROR_SUCCESS; }

DWORD CDllWrapperBase::LoadModule(const wchar_t* path) {
  const DWORD check = CheckModule(path);
  if (check != ERROR_SUCCESS) return check;
  if (m_hModule != nullptr) return ERROR_SUCCESS;
  const HMODULE module = LoadLibraryAbsolute(path);
  if (module == nullptr) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_MOD_NOT_FOUND);
  }
  m_hModule = module;
  CallOptionalExport(m_hModule, "DllAddRef");
  return ERROR_SUCCESS;
}

}  // namespace Basalt
