// Finding, verifying and loading the code-validation library.
#include "trust/ValidationLibrary.h"

#include <windows.h>
// These need <windows.h> first.
#include <new>

#include "basalt/UniqueHandle.h"
#include "trust/WinTrustData.h"

namespace {

constexpr DWORD kNameLimit = 260;
// WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL
constexpr DWORD kLibraryProviderFlags = 0x1010;

bool IsAcceptedResult(LONG result) {
  switch (static_cast<DWORD>(result)) {
    case 0:
    case 0x80092026:  // CRYPT_E_SECURITY_SETTINGS
    case 0x800B0101:  // CERT_E_EXPIRED
    case 0x800B010E:  // CERT_E_REVOCATION_FAILURE
      return true;
    default:
      return false;
  }
}

bool IsNotFound(LONG result) {
  return result == ERROR_FILE_NOT_FOUND || static_cast<DWORD>(result) == 0x80092003;
}

// A zero-filled heap buffer of |count| characters, or null.
std::unique_ptr<wchar_t[]> AllocatePath(size_t count) {
  return std::unique_ptr<wchar_t[]>(new (std::nothrow) wchar_t[count]());
}

// |folder| + "\" + |name| in a new buffer (the folder already in |buffer|, |folderLength|
// characters); null when out of memory.
std::unique_ptr<wchar_t[]> JoinFolderAndName(const wchar_t* folder, size_t folderLength,
                                             const wchar_t* name, size_t nameLength) {
  std::unique_ptr<wchar_t[]> joined = AllocatePath(folderLength + 1 + nameLength + 1);
  if (!joined) return nullptr;
  memcpy(joined.get(), folder, folderLength * sizeof(wchar_t));
  joined[folderLength] = L'\\';
  memcpy(joined.get() + folderLength + 1, name, nameLength * sizeof(wchar_t));
  joined[folderLength + 1 + nameLength] = L'\0';
  return joined;
}

void ReportVerifyFailure(const wchar_t* candidate, LONG result) {
  wchar_t program[1024] = {};
  GetModuleFileNameW(nullptr, program, ARRAYSIZE(program));
  program[ARRAYSIZE(program) - 1] = L'\0';
  wchar_t message[1796] = {};
  wsprintfW(message, L"NotComDllGetInterface: %s loading %s, WinVerifyTrust failed with %08x\n",
            program, candidate, static_cast<unsigned>(result));
  message[ARRAYSIZE(message) - 1] = L'\0';
  OutputDebugStringW(message);
}

// |path| as the full path that the check, the hold and the load all use, so that a later
// change of the current folder, the loader's search or its ".dll" default cannot make the
// loaded file another than the verified one (a name without extension gets a trailing "."
// for that). Null with the error (8 without memory, else 2).
std::unique_ptr<wchar_t[]> FullLoadPath(const wchar_t* path, DWORD* error) {
  const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
  std::unique_ptr<wchar_t[]> full = needed != 0 ? AllocatePath(needed + 2) : nullptr;
  if (!full) {
    *error = needed != 0 ? ERROR_NOT_ENOUGH_MEMORY : ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  wchar_t* name = nullptr;
  const DWORD length = GetFullPathNameW(path, needed + 1, full.get(), &name);
  if (length == 0 || length > needed || name == nullptr) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  if (wcschr(name, L'.') == nullptr) full[length] = L'.';
  return full;
}

}  // namespace

LONG VerifyLibraryFileSignature(const wchar_t* path) {
  return VerifyFileTrust(path, WTD_STATEACTION_VERIFY, kLibraryProviderFlags);
}

bool GetBaseFrameInstallDir(bool use32, const wchar_t* name, wchar_t* buffer, DWORD capacity) {
  if (buffer == nullptr || capacity < 2 || capacity > 0x7FFFFFFF / sizeof(wchar_t)) return false;
  Basalt::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Telvan\\BaseFrame", 0,
                    KEY_READ | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS) {
    return false;
  }
  DWORD bytes = capacity * sizeof(wchar_t);
  if (RegQueryValueExW(key.get(), use32 ? L"szInstallDir32" : L"szInstallDir64", nullptr, nullptr,
                       reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS) {
    return false;
  }
  // The registry does not promise a terminator.
  const size_t stored = bytes / sizeof(wchar_t);
  buffer[stored < capacity ? stored : capacity - 1] = L'\0';
  const size_t folderLength = wcsnlen(buffer, capacity);
  const size_t nameLength = name != nullptr ? wcslen(name) : 0;
  // An empty folder would make "\name" (the current drive's root) and a path cut short
  // would name another file: neither is an install folder.
  if (folderLength == 0 || folderLength + 1 + nameLength + 1 > capacity) {
    buffer[0] = L'\0';
    return false;
  }
  buffer[folderLength] = L'\\';
  if (nameLength != 0) memcpy(buffer + folderLength + 1, name, nameLength * sizeof(wchar_t));
  buffer[folderLength + 1 + nameLength] = L'\0';
  return true;
}

DWORD LoadVerifiedLibrary(VerifiedLibraryLoad* record) {
  if (record == nullptr || record->library == nullptr) return ERROR_INVALID_PARAMETER;
  const wchar_t* name = record->library;
  const size_t nameLength = wcsnlen(name, kNameLimit);
  if (nameLength >= kNameLimit) return ERROR_INVALID_PARAMETER;
  const bool fullPath = nameLength < 3 || name[0] == L'\\' || name[1] == L':';

  wchar_t installPath[262];
  const bool inInstallFolder =
      !fullPath && GetBaseFrameInstallDir(false, name, installPath, ARRAYSIZE(installPath));

  size_t capacity = nameLength + 262;
  record->path = AllocatePath(capacity);
  if (!record->path) return ERROR_NOT_ENOUGH_MEMORY;
  const wchar_t* candidate = name;
  if (inInstallFolder) {
    lstrcpynW(record->path.get(), installPath, static_cast<int>(capacity));
    candidate = record->path.get();
  } else if (!fullPath) {
    DWORD got = GetCurrentDirectoryW(static_cast<DWORD>(nameLength + 260), record->path.get());
    if (got >= nameLength + 260) {
      capacity = static_cast<size_t>(got) + 262;
      record->path = AllocatePath(capacity);
      if (!record->path) return ERROR_NOT_ENOUGH_MEMORY;
      const DWORD again = GetCurrentDirectoryW(static_cast<DWORD>(capacity), record->path.get());
      if (again >= capacity) return ERROR_PATH_NOT_FOUND;
      got = again;
    }
    if (got != 0) {
      // Room for folder + "\" + name + terminator, whatever the folder's length.
      std::unique_ptr<wchar_t[]> joined =
          JoinFolderAndName(record->path.get(), got, name, nameLength);
      if (!joined) return ERROR_NOT_ENOUGH_MEMORY;
      record->path = std::move(joined);
      candidate = record->path.get();
    }
  }

  // The candidate is held open without write or delete sharing from before its check
  // until it is loaded: the file that was verified is the file that gets loaded. A file
  // that exists but cannot be held so (someone may be writing to it) is not loaded.
  Basalt::UniqueFile hold;
  auto verify = [&hold, record](const wchar_t* path) -> LONG {
    hold.reset();
    DWORD error = 0;
    std::unique_ptr<wchar_t[]> full = FullLoadPath(path, &error);
    if (!full) return static_cast<LONG>(error);
    record->path = std::move(full);
    hold.reset(CreateFileW(record->path.get(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr));
    if (!hold) {
      error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        return static_cast<LONG>(error != 0 ? error : ERROR_ACCESS_DENIED);
      }
    }
    return VerifyLibraryFileSignature(record->path.get());
  };
  LONG result = verify(candidate);
  if (IsNotFound(result) && !fullPath) {
    OutputDebugStringW(
        L"NotComDllGetInterface: DLL not found in install location, looking in current "
        L"directory\n");
    std::unique_ptr<wchar_t[]> module;
    DWORD got = 0;
    bool truncated = true;
    for (DWORD size = MAX_PATH; truncated && size <= 0x10000; size *= 2) {
      module = AllocatePath(size);
      if (!module) break;
      got = GetModuleFileNameW(record->besideModule, module.get(), size);
      truncated = got >= size;
    }
    if (!module || (got != 0 && truncated)) {
      result = ERROR_NOT_ENOUGH_MEMORY;  // still truncated, or no memory for it
    } else if (got != 0) {
      wchar_t* slash = wcsrchr(module.get(), L'\\');
      const size_t folderLength = slash != nullptr ? static_cast<size_t>(slash - module.get()) : 0;
      std::unique_ptr<wchar_t[]> beside =
          JoinFolderAndName(module.get(), folderLength, name, nameLength);
      result = beside ? verify(beside.get()) : ERROR_NOT_ENOUGH_MEMORY;
    }
  }

  if (!IsAcceptedResult(result)) {
    ReportVerifyFailure(record->path ? record->path.get() : name, result);
    record->path.reset();
    return static_cast<DWORD>(result);
  }
  record->module = LoadLibraryExW(record->path.get(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  return 0;
}

DWORD NotComDllGetInterface(const wchar_t* library, const char* interfaceName, void** out,
                            HMODULE besideModule) {
  if (library == nullptr || interfaceName == nullptr || out == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  VerifiedLibraryLoad record;
  record.library = library;
  record.besideModule = besideModule;
  const DWORD loaded = LoadVerifiedLibrary(&record);
  if (loaded != 0) return loaded;
  *out = nullptr;
  if (record.module == nullptr) {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_FILE_NOT_FOUND;
  }
  using GetInterfaceFn = DWORD(WINAPI*)(const char*, void**);
  const auto getInterface = reinterpret_cast<GetInterfaceFn>(
      reinterpret_cast<void*>(GetProcAddress(record.module, "NotComDllGetInterface")));
  DWORD result = 0;
  if (getInterface == nullptr) {
    result = GetLastError();
    if (result == 0) result = ERROR_PROC_NOT_FOUND;
  } else {
    result = getInterface(interfaceName, out);
  }
  FreeLibrary(record.module);
  record.path.reset();
  return result;
}
