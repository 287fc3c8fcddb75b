// Helpers for files reached through a handle: whole-content reads and identity checks.
#pragma once

#include <windows.h>

#include <string>

#include "basalt/UniqueHandle.h"

namespace Basalt {

// True for one name that the system would not take as a path (no separator, no drive, not
// "." or "..") and that fits a counted string.
[[nodiscard]] bool IsPlainName(const std::wstring& name);

// Opens or creates |name| (one name, no path) inside the folder that the handle |folder| is
// open on, never along a path: NtCreateFile with |folder| as its root and the given access,
// sharing, disposition (FILE_OPEN, FILE_CREATE, ...) and create options; SYNCHRONIZE and
// FILE_SYNCHRONOUS_IO_NONALERT are always added. 0 with |file| set, 123 for a name that is
// not one plain name, else the platform's error; |file| is left alone on failure. |created|,
// when given, says whether the call created the file or folder; |descriptor|, when given, is
// the security of one it creates.
[[nodiscard]] DWORD OpenByNameIn(HANDLE folder, const std::wstring& name, ACCESS_MASK access,
                                 ULONG share, ULONG disposition, ULONG options, UniqueFile& file,
                                 bool* created = nullptr,
                                 PSECURITY_DESCRIPTOR descriptor = nullptr);

// The whole content of |file| (opened for reading), read from its start into |bytes|. False
// when it cannot be read, is larger than |maxBytes| or memory runs out; |bytes| is then
// unspecified. A file that shrinks while it is read gives what was there.
[[nodiscard]] bool ReadWholeFile(HANDLE file, ULONGLONG maxBytes, std::string& bytes);

// True when |a| and |b| are open on the same file (the same volume and file index); false also
// when either cannot be asked.
[[nodiscard]] bool SameFile(HANDLE a, HANDLE b);

// True when opening |path| now gives the file that |file| is open on (the same volume and
// file index); false also when either cannot be asked.
[[nodiscard]] bool PathNamesFile(const wchar_t* path, HANDLE file);

}  // namespace Basalt
