#include "CTvssApiModule.h"

#include <cwchar>

#include "basalt/UniqueHandle.h"
#include "etwlogging/Logging.h"
#include "trust/CodeTrust.h"

namespace {

constexpr wchar_t kTvssHostKey[] = L"SOFTWARE\\Telvan\\TVSSHOST";
constexpr wchar_t kLibraryName[] = L"TVSSAPI.DLL";
constexpr DWORD kPathChars = MAX_PATH;
constexpr DWORD kLoadFlags[] = {
    LOAD_LIBRARY_SEARCH_SYSTEM32,
    LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR,
    LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
        LOAD_LIBRARY_SEARCH_APPLICATION_DIR,
};

}  // namespace

CTvssApiModule::~CTvssApiModule() {
  if (m_pServiceManager) m_pServiceManager->Release();
  m_pServiceManager = nullptr;
  if (m_hModule) FreeLibrary(m_hModule);
  m_hModule = nullptr;
}

DWORD CTvssApiModule::CreateObject(LPCWSTR libraryPath) {
  HMODULE handle = nullptr;
  // A library the process already has is used as it is: it was checked when it came in.
  if (!GetModuleHandleExW(0, libraryPath, &handle)) {
    handle = nullptr;
    if (GetLastError() != ERROR_SUCCESS) {
      const DWORD trust = VerifyModuleFileTrust(libraryPath);
      if (trust != kTrustVerdictTrusted) return trust;
      DWORD error = ERROR_SUCCESS;
      for (const DWORD flags : kLoadFlags) {
        handle = LoadLibraryExW(libraryPath, nullptr, flags);
        if (handle) break;
        error = GetLastError();
        if (error == ERROR_SUCCESS) break;
      }
      if (!handle && error != ERROR_SUCCESS) return error;
    }
  }

  const auto getClassObject = reinterpret_cast<QxDllGetClassObjectFunction>(
      reinterpret_cast<void*>(GetProcAddress(handle, "QxDllGetClassObject")));
  if (!getClassObject) {
    const DWORD error = GetLastError();
    if (handle) FreeLibrary(handle);
    return error;
  }
  void* object = nullptr;
  const DWORD result = getClassObject(L"IServiceManager", &object);
  if (result != 0) {
    if (object) static_cast<IServiceManager*>(object)->Release();
    if (handle) FreeLibrary(handle);
    return result;
  }
  if (!object) {
    // Success without an interface would leave the caller nothing to call.
    if (handle) FreeLibrary(handle);
    return kErrorNoInterface;
  }
  if (m_pServiceManager) m_pServiceManager->Release();
  m_pServiceManager = static_cast<IServiceManager*>(object);
  if (m_hModule == handle) {
    if (handle) FreeLibrary(handle);  // the reference taken above; the held one stays
  } else {
    if (m_hModule) FreeLibrary(m_hModule);
    m_hModule = handle;
  }
  return ERROR_SUCCESS;
}

DWORD GetTvssApiPath(CTvssApiModule& module) {
  // One character more than the value may fill: a value stored without its terminator still ends.
  wchar_t path[kPathChars + 1] = {};
  Basalt::UniqueHKey key;
  LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kTvssHostKey, 0,
                              KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
  if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
  DWORD type = REG_NONE;
  DWORD bytes = kPathChars * sizeof(wchar_t);
  result = RegQueryValueExW(key.get(), L"szInstallDir64", nullptr, &type,
                            reinterpret_cast<BYTE*>(path), &bytes);
  key.reset();
  if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
  if (type != REG_SZ) return ERROR_INVALID_DATA;

  size_t length = wcsnlen(path, bytes / sizeof(wchar_t));
  if (bytes > 2 * sizeof(wchar_t) && length > 0 && path[length - 1] == L'\\') {
    path[--length] = L'\0';
  }
  const size_t needed = length + 1 + wcslen(kLibraryName) + 1;
  if (needed > kPathChars) {
    QXLOG_ERROR(L"QxSvcSubsystemControlManager", L"GetTvssApiPath",
                L"The install folder is too long for the library path (%d characters)",
                static_cast<int>(length));
    return ERROR_FILENAME_EXCED_RANGE;
  }
  path[length] = L'\\';
  wcscpy(path + length + 1, kLibraryName);
  return module.CreateObject(path);
}
