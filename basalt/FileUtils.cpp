#include "basalt/FileUtils.h"

#include <winternl.h>

#include <algorithm>
#include <new>

namespace Basalt {

bool IsPlainName(const std::wstring& name) {
  return !name.empty() && name != L"." && name != L".." &&
         name.find_first_of(L"\\/:") == std::wstring::npos &&
         name.size() * sizeof(wchar_t) < 0xFFFF;
}

DWORD OpenByNameIn(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share,
                   ULONG disposition, ULONG options, UniqueFile& file, bool* created,
                   PSECURITY_DESCRIPTOR descriptor) {
  if (!IsPlainName(name)) return ERROR_INVALID_NAME;
  UNICODE_STRING unicodeName;
  unicodeName.Buffer = const_cast<wchar_t*>(name.c_str());
  unicodeName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  unicodeName.MaximumLength = unicodeName.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE, folder, descriptor);
  IO_STATUS_BLOCK io = {};
  HANDLE opened = nullptr;
  const NTSTATUS status =
      NtCreateFile(&opened, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, disposition,
                   options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(status)) return RtlNtStatusToDosError(status);
  file.reset(opened);
  if (created) *created = io.Information == FILE_CREATED;
  return ERROR_SUCCESS;
}

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
  return named && SameFile(named.get(), file);
}

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x = {}, y = {};
  return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

}  // namespace Basalt
