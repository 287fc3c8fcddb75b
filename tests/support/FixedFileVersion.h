// The fixed part of a file's version resource, for tests that check what a build stamped.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

struct FixedFileVersion {
  bool found = false;
  DWORD ms = 0;  // major << 16 | minor
  DWORD ls = 0;  // build << 16 | revision
  std::wstring originalFilename;
};

// The file version of |path|, with its "OriginalFilename" (U.S. English, Unicode) when present.
inline FixedFileVersion ReadFixedFileVersion(const std::wstring& path) {
  FixedFileVersion version;
  std::vector<BYTE> block(GetFileVersionInfoSizeW(path.c_str(), nullptr));
  if (block.empty() ||
      !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data())) {
    return version;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT bytes = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &bytes) ||
      bytes < sizeof(*fixed)) {
    return version;
  }
  version.found = true;
  version.ms = fixed->dwFileVersionMS;
  version.ls = fixed->dwFileVersionLS;
  wchar_t* name = nullptr;
  if (VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\OriginalFilename",
                     reinterpret_cast<void**>(&name), &bytes) &&
      bytes > 0) {
    version.originalFilename.assign(name, wcsnlen(name, bytes));
  }
  return version;
}

}  // namespace testsupport
