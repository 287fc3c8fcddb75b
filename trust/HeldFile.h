// A file held open while it is checked, so that its path keeps naming it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"

// The long-path form of the full path |path|: |path| itself when it is shorter than MAX_PATH or
// already carries the \\?\ prefix, else the path behind that prefix (\\?\UNC\ for a share path).
[[nodiscard]] std::wstring LongPathForm(const std::wstring& path);

// ERROR_REPARSE_POINT_ENCOUNTERED, which mingw does not name.
constexpr DWORD kReparsePointOnPath = 4395;
// Most folders a held file may lie below its root in.
constexpr size_t kMaxHeldFolders = 256;

// While a CHeldFile holds a file, nobody can write, rename or delete it, nor rename or delete a
// folder on its path: the path names the held file until it is closed. Each folder is opened by
// its name inside the folder before it, never along the path, and none of them (nor the file) may
// be a reparse point. Move-only.
class CHeldFile {
 public:
  CHeldFile() = default;
  CHeldFile(CHeldFile&&) = default;
  CHeldFile& operator=(CHeldFile&&) = default;

  // Opens the file at the full path |path| for reading and holds it and every folder on its path.
  // 0; ERROR_INVALID_NAME for no full path or an empty, "." or ".." name on it;
  // ERROR_FILENAME_EXCED_RANGE for more than kMaxHeldFolders folders below the root (nothing is
  // opened then); kReparsePointOnPath when a folder on the path or the file is a
  // reparse point (a link, as the folder above lists it or as its handle shows it);
  // ERROR_FILE_INVALID when a name no longer lists what was opened by it; otherwise the error of
  // the open that failed. Nothing is held on failure. Throws std::bad_alloc when memory runs out.
  [[nodiscard]] DWORD Open(const std::wstring& path);

  // The held file (INVALID_HANDLE_VALUE when nothing is held), opened for synchronous reads.
  HANDLE get() const { return m_file.get(); }
  // The path it was opened by, in the form to hand to calls that take a path (LongPathForm).
  const std::wstring& Path() const { return m_path; }

  // True when opening Path() now gives the held file (the same volume and file index).
  [[nodiscard]] bool PathNamesTheHeldFile() const;

  // Lets the file and its folders go.
  void Close();

 private:
  // Opens |name| inside |folder| (a folder or, for |isFolder| false, the file for reading without
  // write or delete sharing), refusing a reparse point; the error codes of Open.
  static DWORD OpenListedName(HANDLE folder, const std::wstring& name, bool isFolder,
                              Basalt::UniqueFile& opened);
  // 0 when |folder| lists |name| as no reparse point and with the file ID of |opened|.
  static DWORD ListedEntryMatches(HANDLE folder, const std::wstring& name, HANDLE opened);

  Basalt::UniqueFile m_file;
  std::vector<Basalt::UniqueFile> m_folders;
  std::wstring m_path;
};
