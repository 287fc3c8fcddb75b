#include "trust/HeldFile.h"

#include "basalt/FileUtils.h"

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

  // Without write or delete sharing the file can be neither changed nor renamed.
  Basalt::UniqueFile file(CreateFileW(longPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  // A folder handle that reads (lists) the folder and does not share delete keeps the folder from
  // being renamed; a handle for its attributes alone would take part in no sharing check.
  std::vector<Basalt::UniqueFile> folders;
  for (size_t slash = longPath.rfind(L'\\'); slash != std::wstring::npos && slash >= root;
       slash = longPath.rfind(L'\\', slash - 1)) {
    const std::wstring folder = longPath.substr(0, slash);
    Basalt::UniqueFile held(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!held) return GetLastError();
    folders.push_back(std::move(held));
  }
  m_file = std::move(file);
  m_folders = std::move(folders);
  m_path = std::move(longPath);
  return ERROR_SUCCESS;
}

bool CHeldFile::PathNamesTheHeldFile() const {
  return m_file && Basalt::PathNamesFile(m_path.c_str(), m_file.get());
}

void CHeldFile::Close() {
  m_file.reset();
  m_folders.clear();
  m_path.clear();
}
