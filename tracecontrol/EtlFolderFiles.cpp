#include "tracecontrol/EtlFolderFiles.h"

#include <winternl.h>

#include <memory>

#include "basalt/FileUtils.h"

namespace ETWLogging {
namespace {

constexpr DWORD kNotPlain =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;
constexpr DWORD kListingBytes = 64 * 1024;

}  // namespace

DWORD OpenPlainFileIn(HANDLE folder, const std::wstring& name, ACCESS_MASK access,
                      Basalt::UniqueFile& file) {
  Basalt::UniqueFile candidate;
  const DWORD opened =
      Basalt::OpenByNameIn(folder, name, access | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                           FILE_OPEN_REPARSE_POINT | FILE_NON_DIRECTORY_FILE, candidate);
  if (opened != ERROR_SUCCESS) return opened;
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(candidate.get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
    return GetLastError();
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kReparsePointMet;
  if ((tag.FileAttributes & kNotPlain) != 0) return ERROR_ACCESS_DENIED;
  file = std::move(candidate);
  return ERROR_SUCCESS;
}

DWORD RenameWithin(HANDLE file, HANDLE folder, const std::wstring& name) {
  return Basalt::RenameInFolder(file, folder, name);
}

DWORD DeleteOnClose(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition))
             ? static_cast<DWORD>(ERROR_SUCCESS)
             : GetLastError();
}

DWORD ListFolder(HANDLE folder, std::vector<CFolderEntry>& entries) {
  std::unique_ptr<LONGLONG[]> buffer(new LONGLONG[kListingBytes / sizeof(LONGLONG)]);
  FILE_INFO_BY_HANDLE_CLASS request = FileFullDirectoryRestartInfo;
  for (;;) {
    if (!GetFileInformationByHandleEx(folder, request, buffer.get(), kListingBytes)) {
      const DWORD error = GetLastError();
      return error == ERROR_NO_MORE_FILES ? static_cast<DWORD>(ERROR_SUCCESS) : error;
    }
    request = FileFullDirectoryInfo;
    const BYTE* at = reinterpret_cast<const BYTE*>(buffer.get());
    for (;;) {
      const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
      std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") {
        FILETIME lastWrite;
        lastWrite.dwLowDateTime = entry->LastWriteTime.LowPart;
        lastWrite.dwHighDateTime = static_cast<DWORD>(entry->LastWriteTime.HighPart);
        entries.push_back({std::move(name), entry->FileAttributes, lastWrite});
      }
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
}

}  // namespace ETWLogging
