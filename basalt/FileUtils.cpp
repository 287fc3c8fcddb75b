#include "basalt/FileUtils.h"

#include <algorithm>
#include <new>

#include "basalt/UniqueHandle.h"

namespace Basalt {

bool ReadWholeFile(HANDLE file, ULONGLONG maxBytes, std::string& bytes) {
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size) || static_cast<ULONGLONG>(size.QuadPart) > maxBytes) {
    return false;
  }
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  try {
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
  } catch (const std::bad_alloc&) {
    return false;
  }
  size_t filled = 0;
  while (filled < bytes.size()) {
    DWORD read = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - filled, MAXDWORD));
    if (!ReadFile(file, &bytes[filled], want, &read, nullptr)) {
      return false;
    }
    if (read == 0) break;
    filled += read;
  }
  bytes.resize(filled);
  return true;
}

bool PathNamesFile(const wchar_t* path, HANDLE file) {
  const UniqueFile named(CreateFileW(path, FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
  BY_HANDLE_FILE_INFORMATION a = {}, b = {};
  return named && GetFileInformationByHandle(named.get(), &a) &&
         GetFileInformationByHandle(file, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace Basalt
