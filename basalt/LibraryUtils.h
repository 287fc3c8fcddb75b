// Library loading that never consults the DLL search path, and the path helpers the
// components use to find and create their folders.
#pragma once

#include <windows.h>

#include <string>

namespace Basalt {

// Restricts the process's default DLL search to the system folder. True only when
// kernel32 offers SetDefaultDllDirectories and it succeeded; nothing happens otherwise.
bool EnableSafeDllSearch();

// Loads |fileName| from the system folder with |flags| (LOAD_WITH_ALTERED_SEARCH_PATH
// removed). Null for a null name, an unknown system folder or a failed load (the last
// error is left as the failing call set it). The caller frees the module.
[[nodiscard]] HMODULE LoadSystemLibraryEx(const wchar_t* fileName, DWORD flags);

// LoadSystemLibraryEx(fileName, 0).
[[nodiscard]] HMODULE LoadSystemLibrary(const wchar_t* fileName);

// Loads |path| with |flags| only when it is absolute (root name and root directory,
// such as "C:\x" or "\\server\share\x"); a relative or drive-relative path gives null
// without any load. The caller frees the module.
[[nodiscard]] HMODULE LoadLibraryAbsoluteEx(const wchar_t* path, DWORD flags);

// LoadLibraryAbsoluteEx(path, 0).
[[nodiscard]] HMODULE LoadLibraryAbsolute(const wchar_t* path);

// Splits the full path of |module| (null: the process image) at its last backslash:
// |folder| gets the part before it (with the backslash when |keepTrailingBackslash|),
// |fileName| the part after it. False, with both outputs untouched, when the path is
// empty or holds no backslash.
[[nodiscard]] bool SplitModulePath(HMODULE module, std::wstring& folder, bool keepTrailingBackslash,
                                   std::wstring& fileName);

// The folder part of SplitModulePath; |folder| is untouched on failure.
[[nodiscard]] bool GetModuleDirectory(HMODULE module, std::wstring& folder,
                                      bool keepTrailingBackslash);

// GetModuleDirectory of the process image.
[[nodiscard]] bool GetProcessImageDirectory(std::wstring& folder, bool keepTrailingBackslash);

// True when |path| names an existing directory (an existing file is not one).
[[nodiscard]] bool DirectoryExists(const wchar_t* path);

// Creates |path| and every missing folder above it, top down. |path| may be absolute,
// "\\?\"-prefixed, UNC, rooted on the current drive ("\x"), drive-relative ("C:x") or
// relative to the current directory; "/" counts as "\" outside "\\?\" paths. |code| (optional)
// receives 87 for a null or empty path, 183 when the directory already exists, else the result of
// CreateDirectoryRecursive. True when the directory exists afterwards or an existing file already
// sits at |path|.
[[nodiscard]] bool CreateDirectoryTree(const wchar_t* path, DWORD* code = nullptr);

// Creates the absolute |path| (or "\\?\"-prefixed path), parents first. 0 when it exists
// afterwards (ERROR_ALREADY_EXISTS counts as success), else the Win32 code of the level
// that failed.
[[nodiscard]] DWORD CreateDirectoryRecursive(const wchar_t* path);

// The process's current directory; empty on failure.
std::wstring GetCurrentDirectoryString();

// Holder of one library loaded by absolute path. The library is told about its holder
// through its optional exports "DllAddRef" (after loading) and "DllRelease" (before
// freeing). Derived holders bind the exports they need from GetModule().
class CDllWrapperBase {
 public:
  CDllWrapperBase() noexcept = default;
  CDllWrapperBase(const CDllWrapperBase&) = delete;
  CDllWrapperBase& operator=(const CDllWrapperBase&) = delete;
  // Not virtual: derived holders are never deleted through this base. Calls "DllRelease"
  // when exported and frees the library.
  ~CDllWrapperBase();

  // Asked before |path| is loaded; nonzero refuses the load and becomes its result.
  virtual DWORD CheckModule(const wchar_t* path);

  // 0 when the library is loaded (also when one already was); the CheckModule answer
  // when it refuses; else GetLastError() of the failed absolute-path load.
  [[nodiscard]] DWORD LoadModule(const wchar_t* path);

  // The loaded library, or null.
  HMODULE GetModule() const noexcept { return m_hModule; }

 protected:
  HMODULE m_hModule = nullptr;
};

}  // namespace Basalt
