// Finds the trace-controller library and checks its signature for the loader.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "basalt/FileVersionInfo.h"
#include "basalt/Registry/CRegKey.h"
#include "basalt/UniqueHandle.h"
#include "etwlogging/ETWAppProperties.h"

namespace ETWLogging {

// File name of the trace-controller library.
constexpr wchar_t kLogControllerFileName[] = L"Tamsel.dll";

// A library that passes VerifyModule stays held open, with writing, renaming and deleting
// denied, until ReleaseModuleHold (or the next check, or destruction): the file that was
// checked is the file that gets loaded, from the full path the check used.
class LogControllerHelper {
 public:
  LogControllerHelper(std::unique_ptr<Basalt::ShlObjAPI> shell,
                      std::unique_ptr<Basalt::CRegKey> key,
                      std::unique_ptr<internal::ETWAppProperties> names);
  LogControllerHelper(const LogControllerHelper&) = delete;
  LogControllerHelper& operator=(const LogControllerHelper&) = delete;
  virtual ~LogControllerHelper();

  // The library in the product's common-files folder: under "CommonFiles Dir64" of HKLM
  // "SOFTWARE\Telvan\KSC", else under the system's common-files folder. True when a path
  // was built (the file may not exist).
  virtual bool GetInstalledPath(std::wstring& path);
  // Holds the file at the absolute |path| and checks its signature (VerifyModuleSignature).
  // False, holding nothing, for a relative path, a file that cannot be held or a failed
  // check.
  virtual bool VerifyModule(const wchar_t* path);
  // The library beside the process's executable; |path| gets the held full path.
  virtual bool FindBesideExecutable(std::wstring& path);
  // The library at GetInstalledPath; |path| gets the held full path.
  virtual bool FindInstalled(std::wstring& path);
  // Beside the executable; else at the controller path of |appId|'s logging names; or, only
  // when those names cannot be loaded, at the installed path. |path| gets the held full
  // path; empty when nothing was found.
  virtual bool FindController(const wchar_t* appId, std::wstring& path);

  // Gives up the hold of the last checked library.
  void ReleaseModuleHold();

 private:
  std::unique_ptr<Basalt::ShlObjAPI> m_pShell;
  std::unique_ptr<Basalt::CRegKey> m_pKey;
  std::unique_ptr<internal::ETWAppProperties> m_pNames;
  Basalt::UniqueFile m_heldFile;
  std::wstring m_heldPath;
};

// A helper with a new known-folder object, registry key and empty names; null when out of
// memory.
std::unique_ptr<LogControllerHelper> CreateLogControllerHelper();

}  // namespace ETWLogging
