// Version resources of files and the known-folder call behind them.
#pragma once

#include <shlobj.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace Basalt {

// Replaceable wrapper of the shell's known-folder call; held by shared pointers.
class ShlObjAPI {
 public:
  virtual ~ShlObjAPI() = default;

  // Forwards to ::SHGetKnownFolderPath; on success the caller frees |path| with
  // CoTaskMemFree.
  [[nodiscard]] virtual HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags,
                                                     HANDLE token, PWSTR* path);
};

// The version resource of one file, loaded once, with string lookups by name.
class FileVersionInfo {
 public:
  FileVersionInfo() = default;
  FileVersionInfo(const FileVersionInfo&) = default;
  FileVersionInfo& operator=(const FileVersionInfo&) = default;
  virtual ~FileVersionInfo() = default;

  // Reads the version resource of |path|. False when the file has none, the read fails,
  // or a block is already loaded (which then stays).
  [[nodiscard]] virtual bool Load(const wchar_t* path);

  // The string |name| (e.g. "ProductVersion") of the first translation whose string
  // table holds it; empty when not loaded, no translation table, or no such string.
  virtual std::wstring GetString(const wchar_t* name) const;

 protected:
  // Bytes from |pointer| to the end of the loaded block; 0 when it points elsewhere.
  size_t BytesToBlockEnd(const void* pointer) const noexcept;

  std::vector<BYTE> m_block;
  bool m_loaded = false;
};

// FileVersionInfo of a file named relative to the Windows system folder.
class SystemFileVersionInfo : public FileVersionInfo {
 public:
  // An empty |shell| makes a new ShlObjAPI.
  explicit SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell = nullptr);

  // Reads the version resource of the system folder's |fileName|. False also when the
  // system folder cannot be found (nothing is read at the drive root then).
  [[nodiscard]] bool Load(const wchar_t* fileName) override;

  // The system folder with a trailing "\", found once and remembered; "\" alone when it
  // cannot be found or comes back empty (nothing is remembered, the next call asks again).
  std::wstring GetSystemFolder();

 private:
  // The remembered or newly found folder; false (|folder| untouched) when not found.
  bool FindSystemFolder(std::wstring& folder);

  std::shared_ptr<ShlObjAPI> m_shell;
  std::wstring m_systemFolder;
};

}  // namespace Basalt
