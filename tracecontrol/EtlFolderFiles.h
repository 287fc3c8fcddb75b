// Files of a folder reached through a handle of that folder, never through a path that
// could be steered elsewhere: opened without following a reparse point, renamed within the
// folder, deleted by handle and listed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "basalt/HeldFolderChain.h"
#include "basalt/UniqueHandle.h"

namespace ETWLogging {

// A reparse point was met where a plain file or folder had to be.
constexpr DWORD kReparsePointMet = Basalt::kReparsePointMet;

// Opens |name| (a name in |folder|, no path) with |access| without following a reparse
// point. 0 with |file| set; 4395 for a reparse point, 5 for a folder or device, else the
// platform's error (2 when there is no such file); |file| is left alone on failure.
[[nodiscard]] DWORD OpenPlainFileIn(HANDLE folder, const std::wstring& name, ACCESS_MASK access,
                                    Basalt::UniqueFile& file);

// Renames |file| (opened with DELETE) to |name| in |folder|, replacing nothing: 0, 183 when
// the name is taken, or the platform's error.
[[nodiscard]] DWORD RenameWithin(HANDLE file, HANDLE folder, const std::wstring& name);

// Deletes |file| (opened with DELETE) once it is closed: 0 or the platform's error.
[[nodiscard]] DWORD DeleteOnClose(HANDLE file);

struct CFolderEntry {
  std::wstring name;
  DWORD attributes;
  FILETIME lastWrite;
};

// Every entry of |folder| (opened with FILE_LIST_DIRECTORY) but "." and "..": 0, or the
// error of the listing (what was listed before it stays in |entries|). May throw
// std::bad_alloc.
[[nodiscard]] DWORD ListFolder(HANDLE folder, std::vector<CFolderEntry>& entries);

}  // namespace ETWLogging
