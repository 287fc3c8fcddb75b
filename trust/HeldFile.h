// A file held open while it is checked, so that its path keeps naming it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"

// The long-path form of the full path |path|: |path| itself when it is shorter than MAX_PATH or
// already carries the \\?\ prefix, else the path behind that prefix (\\?\UNC\ for a share path).
[[nodiscard]] std::wstring LongPathForm(const std::wstring& path);

// While a CHeldFile holds a file, nobody can write, rename or delete it, nor rename or delete a
// folder on its path: the path names the held file until it is closed. Move-only.
class CHeldFile {
 public:
  CHeldFile() = default;
  CHeldFile(CHeldFile&&) = default;
  CHeldFile& operator=(CHeldFile&&) = default;

  // Opens the file at the full path |path| (of any length) for reading and holds it and every
  // folder on its path below the root. 0, or the error of the open that failed; nothing is held
  // then. Throws std::bad_alloc when memory runs out.
  [[nodiscard]] DWORD Open(const std::wstring& path);

  // The held file (INVALID_HANDLE_VALUE when nothing is held).
  HANDLE get() const { return m_file.get(); }
  // The path it was opened by, in the form to hand to calls that take a path (LongPathForm).
  const std::wstring& Path() const { return m_path; }

  // True when opening Path() now gives the held file (the same volume and file index).
  [[nodiscard]] bool PathNamesTheHeldFile() const;

  // Lets the file and its folders go.
  void Close();

 private:
  Basalt::UniqueFile m_file;
  std::vector<Basalt::UniqueFile> m_folders;
  std::wstring m_path;
};
