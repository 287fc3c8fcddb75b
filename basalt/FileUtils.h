// Helpers for files reached through a handle: whole-content reads and identity checks.
#pragma once

#include <windows.h>

#include <string>

namespace Basalt {

// The whole content of |file| (opened for reading), read from its start into |bytes|. False
// when it cannot be read, is larger than |maxBytes| or memory runs out; |bytes| is then
// unspecified. A file that shrinks while it is read gives what was there.
[[nodiscard]] bool ReadWholeFile(HANDLE file, ULONGLONG maxBytes, std::string& bytes);

// True when opening |path| now gives the file that |file| is open on (the same volume and
// file index); false also when either cannot be asked.
[[nodiscard]] bool PathNamesFile(const wchar_t* path, HANDLE file);

}  // namespace Basalt
