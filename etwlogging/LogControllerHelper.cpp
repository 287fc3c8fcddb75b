#include "etwlogging/LogControllerHelper.h"

#include <shlobj.h>

#include <new>
#include <utility>

#include "basalt/LibraryUtils.h"
#include "etwlogging/CLoggingIf.h"
#include "etwlogging/VerifyModuleSignature.h"

namespace ETWLogging {
namespace {

constexpr wchar_t kInstallKey[] = L"SOFTWARE\\Telvan\\KSC";
constexpr wchar_t kCommonFilesValue[] = L"CommonFiles Dir64";
constexpr wchar_t kProductFolder[] = L"QxSvcHost";
constexpr wchar_t kSystemCommonFilesFolder[] = L"\\Telvan\\Platform\\QxSvcHost";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A drive path ("C:\x") or a UNC or device path ("\\server\share\x", "\\?\C:\x"): the only
// kind the loader loads, so the only kind worth checking.
bool IsAbsolutePath(const wchar_t* path) {
  if (path[0] != L'\0' && path[1] == L':') return IsSeparator(path[2]);
  return IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] != L'\0' && !IsSeparator(path[2]);
}

// The full path of |path| as the check, the hold and the load all use it. A file name
// without extension gets a trailing "." so that the loader does not add ".dll" and load
// another file than the one checked.
bool FullModulePath(const wchar_t* path, std::wstring& full) {
  const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (needed == 0) return false;
  std::wstring buffer(needed + 1, L'\0');
  wchar_t* name = nullptr;
  const DWORD length = GetFullPathNameW(path, needed, &buffer[0], &name);
  if (length == 0 || length >= needed || name == nullptr) return false;
  buffer.resize(length);
  if (buffer.find(L'.', static_cast<size_t>(name - &buffer[0])) == std::wstring::npos) {
    buffer += L'.';
  }
  full.swap(buffer);
  return true;
}

}  // namespace

LogControllerHelper::LogControllerHelper(std::unique_ptr<Basalt::ShlObjAPI> shell,
                                         std::unique_ptr<Basalt::CRegKey> key,
                                         std::unique_ptr<internal::ETWAppProperties> names)
    : m_pShell(std::move(shell)), m_pKey(std::move(key)), m_pNames(std::move(names)) {}

LogControllerHelper::~LogControllerHelper() = default;

void LogControllerHelper::ReleaseModuleHold() {
  m_heldFile.reset();
  m_heldPath.clear();
}

bool LogControllerHelper::VerifyModule(const wchar_t* path) {
  ReleaseModuleHold();
  if (path == nullptr || !IsAbsolutePath(path)) return false;
  std::wstring full;
  if (!FullModulePath(path, full)) return false;
  // Reading is shared (the loader maps the file); writing, renaming and deleting are not.
  Basalt::UniqueFile hold(
      CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!hold || !VerifyModuleSignature(full.c_str())) return false;
  m_heldFile = std::move(hold);
  m_heldPath.swap(full);
  return true;
}

bool LogControllerHelper::FindBesideExecutable(std::wstring& path) {
  std::wstring folder;
  if (!Basalt::GetProcessImageDirectory(folder, true)) return false;
  if (!VerifyModule((folder + kLogControllerFileName).c_str())) return false;
  path = m_heldPath;
  return true;
}

bool LogControllerHelper::FindInstalled(std::wstring& path) {
  std::wstring installed;
  if (!GetInstalledPath(installed) || !VerifyModule(installed.c_str())) return false;
  path = m_heldPath;
  return true;
}

bool LogControllerHelper::FindController(const wchar_t* appId, std::wstring& path) {
  if (FindBesideExecutable(path)) return true;
  if (!m_pNames->Load(appId)) return FindInstalled(path);
  // The application names its own library; the installed one is not its to use.
  if (VerifyModule(m_pNames->GetControllerPath().c_str())) {
    path = m_heldPath;
    return true;
  }
  path.clear();
  return false;
}

bool LogControllerHelper::GetInstalledPath(std::wstring& path) {
  path.clear();
  std::wstring folder;
  if (m_pKey->Open(HKEY_LOCAL_MACHINE, kInstallKey, KEY_QUERY_VALUE) == ERROR_SUCCESS &&
      m_pKey->GetStringValue(kCommonFilesValue, folder) == ERROR_SUCCESS && !folder.empty()) {
    if (folder.back() != L'\\') folder += L'\\';
    FormatWide(path, L"%s%s\\%s", folder.c_str(), kProductFolder, kLogControllerFileName);
  } else {
    PWSTR common = nullptr;
    if (SUCCEEDED(
            m_pShell->SHGetKnownFolderPath(FOLDERID_ProgramFilesCommon, 0, nullptr, &common)) &&
        common != nullptr) {
      FormatWide(path, L"%s%s\\%s", common, kSystemCommonFilesFolder, kLogControllerFileName);
    }
    CoTaskMemFree(common);
  }
  m_pKey->Close();
  return !path.empty();
}

std::unique_ptr<LogControllerHelper> CreateLogControllerHelper() {
  try {
    return std::make_unique<LogControllerHelper>(std::make_unique<Basalt::ShlObjAPI>(),
                                                 std::make_unique<Basalt::CRegKey>(),
                                                 std::make_unique<internal::ETWAppProperties>());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace ETWLogging
