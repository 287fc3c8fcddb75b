#include "trust/HeldFile.h"

#include <cstring>

#include "basalt/FileUtils.h"
#include "trust/NtRecords.h"

namespace {

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kLongUncPrefix[] = L"\\\\?\\UNC\\";

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

// Length of the root of a full path, its last backslash included ("C:\", "\\server\share\",
// "\\?\C:\", "\\?\UNC\server\share\"); 0 when |path| is no full path.
size_t RootLength(const std::wstring& path) {
  // The end of the |parts|-th component after |from|, its backslash included.
  const auto after = [&path](size_t from, int parts) -> size_t {
    for (; parts > 0; --parts) {
      const size_t slash = path.find(L'\\', from);
      if (slash == std::wstring::npos || slash == from) return 0;
      from = slash + 1;
    }
    return from;
  };
  if (StartsWith(path, kLongUncPrefix)) return after(wcslen(kLongUncPrefix), 2);
  if (StartsWith(path, kLongPrefix) || StartsWith(path, L"\\\\.\\")) return after(4, 1);
  if (StartsWith(path, L"\\\\")) return after(2, 2);
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return 3;
  return 0;
}

// Whether a reparse point with |tag| may lead somewhere else than where it stands: a name
// surrogate (mount point, symbolic link, ...) does, and so may one whose tag is not shown (Wine
// shows a link without a tag). Compressed, deduplicated or placeholder files keep their data
// where they stand.
bool MayRedirect(DWORD tag) { return tag == 0 || IsReparseTagNameSurrogate(tag); }

}  // namespace

std::wstring LongPathForm(const std::wstring& path) {
  if (path.size() < MAX_PATH || StartsWith(path, kLongPrefix) || StartsWith(path, L"\\\\.\\")) {
    return path;
  }
  if (StartsWith(path, L"\\\\")) return kLongUncPrefix + path.substr(2);
  return kLongPrefix + path;
}

DWORD CHeldFile::Open(const std::wstring& path) {
  Close();
  std::wstring longPath = LongPathForm(path);
  const size_t root = RootLength(longPath);
  if (root == 0 || root >= longPath.size()) return ERROR_INVALID_NAME;
  std::vector<std::wstring> names;
  for (size_t at = root;;) {
    const size_t slash = longPath.find(L'\\', at);
    names.push_back(longPath.substr(at, slash == std::wstring::npos ? slash : slash - at));
    if (!Basalt::IsPlainName(names.back())) return ERROR_INVALID_NAME;
    if (slash == std::wstring::npos) break;
    at = slash + 1;
  }
  if (names.size() - 1 > kMaxHeldFolders) return ERROR_FILENAME_EXCED_RANGE;

  // A folder handle that reads (lists) the folder and does not share delete keeps the folder from
  // being renamed; a handle for its attributes alone would take part in no sharing check.
  std::vector<Basalt::UniqueFile> folders;
  folders.reserve(names.size());
  Basalt::UniqueFile rootFolder(CreateFileW(
      longPath.substr(0, root).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
      nullptr));
  if (!rootFolder) return GetLastError();
  folders.push_back(std::move(rootFolder));
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    Basalt::UniqueFile folder;
    const DWORD error = OpenListedName(folders.back().get(), names[i], true, folder);
    if (error != ERROR_SUCCESS) return error;
    folders.push_back(std::move(folder));
  }
  // Without write or delete sharing the file can be neither changed nor renamed.
  Basalt::UniqueFile file;
  const DWORD error = OpenListedName(folders.back().get(), names.back(), false, file);
  if (error != ERROR_SUCCESS) return error;
  m_file = std::move(file);
  m_folders = std::move(folders);
  m_path = std::move(longPath);
  return ERROR_SUCCESS;
}

DWORD CHeldFile::OpenListedName(HANDLE folder, const std::wstring& name, bool isFolder,
                                Basalt::UniqueFile& opened) {
  Basalt::UniqueFile candidate;
  DWORD error =
      isFolder ? Basalt::OpenByNameIn(folder, name, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                      FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, candidate)
               : Basalt::OpenByNameIn(folder, name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                                      FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, candidate);
  if (error != ERROR_SUCCESS) return error;
  // Windows opens the link itself and shows it on the handle.
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(candidate.get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
    return GetLastError();
  }
  const bool reparsePoint = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (reparsePoint && MayRedirect(tag.ReparseTag)) return kReparsePointOnPath;
  // Wine follows a link even when asked not to and shows it only in the folder's listing. The
  // listing is read after the open, so a name that a link took over in between is seen too, and
  // one turned back again names another file than the one opened.
  error = ListedEntryMatches(folder, name, candidate.get());
  if (error != ERROR_SUCCESS) return error;
  if (reparsePoint && !isFolder) {
    // A compressed or deduplicated program file is read through the filter that keeps its data,
    // which an open of the reparse point itself passes by; it stays the file judged above.
    Basalt::UniqueFile data;
    error = Basalt::OpenByNameIn(folder, name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE, data);
    if (error != ERROR_SUCCESS) return error;
    if (!Basalt::SameFile(data.get(), candidate.get())) return ERROR_FILE_INVALID;
    candidate = std::move(data);
  }
  opened = std::move(candidate);
  return ERROR_SUCCESS;
}

DWORD CHeldFile::ListedEntryMatches(HANDLE folder, const std::wstring& name, HANDLE opened) {
  // The name is taken as the folder's search pattern at its first listing; each folder handle is
  // listed once.
  alignas(LONGLONG) BYTE buffer[sizeof(FILE_ID_BOTH_DIR_INFO) + 256 * sizeof(wchar_t)];
  UNICODE_STRING pattern;
  pattern.Buffer = const_cast<wchar_t*>(name.c_str());
  pattern.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  pattern.MaximumLength = pattern.Length;
  IO_STATUS_BLOCK io = {};
  NTSTATUS status =
      NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer, sizeof(buffer),
                           FileIdBothDirectoryInformation, TRUE, &pattern, TRUE);
  if (!NT_SUCCESS(status)) return RtlNtStatusToDosError(status);
  FILE_ID_BOTH_DIR_INFO entry;
  std::memcpy(&entry, buffer, sizeof(entry));
  // A reparse point's listing carries its tag where extended attributes' size would be.
  if ((entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && MayRedirect(entry.EaSize)) {
    return kReparsePointOnPath;
  }
  FILE_INTERNAL_INFORMATION index = {};
  status = NtQueryInformationFile(opened, &io, &index, sizeof(index), FileInternalInformation);
  if (!NT_SUCCESS(status)) return RtlNtStatusToDosError(status);
  return entry.FileId.QuadPart == index.IndexNumber.QuadPart
             ? static_cast<DWORD>(ERROR_SUCCESS)
             : static_cast<DWORD>(ERROR_FILE_INVALID);
}

bool CHeldFile::PathNamesTheHeldFile() const {
  return m_file && Basalt::PathNamesFile(m_path.c_str(), m_file.get());
}

void CHeldFile::Close() {
  m_file.reset();
  m_folders.clear();
  m_path.clear();
}
