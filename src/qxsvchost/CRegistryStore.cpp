#include "CRegistryStore.h"

#include <cwctype>
#include <utility>

#include "etwlogging/Logging.h"

namespace {

constexpr const wchar_t kLogFile[] = L"RegistryStore";
constexpr DWORD kStringBufferChars = 512;
constexpr DWORD kStringBufferBytes = 1022;
constexpr DWORD kValueNameChars = 256;

// RegOpenKeyExW and RegCreateKeyExW share the handling of their result.
bool StoreOpenedKey(LONG result, HKEY opened, const wchar_t* function, const wchar_t* path,
                    Basalt::UniqueHKey& key) {
  if (result == ERROR_SUCCESS && opened) {
    if (key.get() != opened) key.reset(opened);
    return true;
  }
  if (result == ERROR_FILE_NOT_FOUND) return false;
  QXLOG(ETWLogging::kLogError, kLogFile, function, L"Error 0x%08X on key '%s'",
        static_cast<DWORD>(result), path);
  return false;
}

}  // namespace

bool CRegistryStore::OpenRegistryKey(HKEY root, const wchar_t* path, Basalt::UniqueHKey& key) {
  HKEY opened = nullptr;
  const LONG result = RegOpenKeyExW(root, path, 0, KEY_ALL_ACCESS, &opened);
  return StoreOpenedKey(result, opened, L"CRegistryStore::OpenRegistryKey", path, key);
}

bool CRegistryStore::OpenOrCreateRegistryKey(HKEY root, const wchar_t* path,
                                             Basalt::UniqueHKey& key) {
  HKEY opened = nullptr;
  const LONG result = RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_ALL_ACCESS, nullptr, &opened, nullptr);
  return StoreOpenedKey(result, opened, L"CRegistryStore::OpenOrCreateRegistryKey", path, key);
}

bool CRegistryStore::QueryRegistryDWORDValue(HKEY key, const wchar_t* name, DWORD& value) {
  DWORD data = 0;
  DWORD type = REG_NONE;
  DWORD bytes = sizeof(data);
  LONG result = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes);
  if (result == ERROR_FILE_NOT_FOUND) return false;
  if (result == ERROR_SUCCESS) {
    if (type != REG_DWORD) {
      result = ERROR_SUCCESS;  // wrong type is reported with code 0
    } else if (bytes != sizeof(data)) {
      result = ERROR_INVALID_DATA;  // a short REG_DWORD would leave part of the word unset
    } else {
      value = data;
      return true;
    }
  }
  QXLOG(ETWLogging::kLogError, kLogFile, L"CRegistryStore::QueryRegistryDWORDValue",
        L"Error 0x%08X on key '%s'", static_cast<DWORD>(result), name);
  return false;
}

bool CRegistryStore::QueryRegistryDWORDValueInRange(HKEY key, const wchar_t* name, DWORD& value,
                                                    DWORD minimum, DWORD maximum,
                                                    DWORD defaultValue) {
  DWORD read = 0;
  if (!QueryRegistryDWORDValue(key, name, read)) {
    value = defaultValue;
    return false;
  }
  value = (read < minimum || read > maximum) ? defaultValue : read;
  return true;
}

bool CRegistryStore::QueryRegistryStringValue(HKEY key, const wchar_t* name, std::wstring& value) {
  wchar_t buffer[kStringBufferChars] = {};
  DWORD bytes = kStringBufferBytes;
  const LONG result =
      RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes);
  if (result == ERROR_FILE_NOT_FOUND) return false;
  if (result != ERROR_SUCCESS) {
    QXLOG(ETWLogging::kLogError, kLogFile, L"CRegistryStore::QueryRegistryStringValue",
          L"Error 0x%08X on key '%s'", static_cast<DWORD>(result), name);
    return false;
  }
  // At most 511 whole characters fit in 1022 bytes, so the terminator always fits.
  const DWORD chars = bytes / sizeof(wchar_t);
  if (chars == 0 || buffer[chars - 1] != L'\0') buffer[chars] = L'\0';
  value.assign(buffer);
  return true;
}

bool CRegistryStore::SetRegistryDWORDValue(HKEY key, const wchar_t* name, DWORD value) {
  const LONG result =
      RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  if (result == ERROR_SUCCESS) return true;
  QXLOG(ETWLogging::kLogError, kLogFile, L"CRegistryStore::SetRegistryDWORDValue",
        L"Error 0x%08X on key '%s'", static_cast<DWORD>(result), name);
  return false;
}

bool CRegistryStore::QueryRegistryInfoKey(HKEY key, DWORD& subKeys, DWORD& values) {
  if (!key) return false;
  DWORD subKeyCount = 0;
  DWORD valueCount = 0;
  const LONG result = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeyCount, nullptr,
                                       nullptr, &valueCount, nullptr, nullptr, nullptr, nullptr);
  if (result == ERROR_SUCCESS) {
    subKeys = subKeyCount;
    values = valueCount;
    return true;
  }
  if (result != ERROR_FILE_NOT_FOUND) {
    QXLOG(ETWLogging::kLogError, kLogFile, L"CRegistryStore::QueryRegistryInfoKey", L"Error 0x%08X",
          static_cast<DWORD>(result));
  }
  return false;
}

bool CRegistryStore::EnumerateRegistryValuesIntoContainer(HKEY key, std::vector<std::wstring>& list,
                                                          bool lowerCase) {
  static constexpr const wchar_t kFunction[] =
      L"CRegistryStore::EnumerateRegistryValuesIntoContainer";
  list.clear();
  if (!key) return false;
  DWORD subKeys = 0;
  DWORD values = 0;
  if (!QueryRegistryInfoKey(key, subKeys, values)) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"_enumValues: failed in _RegQueryInfoKey");
    return false;
  }
  for (DWORD index = 0; index < values; ++index) {
    wchar_t name[kValueNameChars] = {};
    DWORD nameChars = kValueNameChars;
    const LONG result =
        RegEnumValueW(key, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return true;
    if (result != ERROR_SUCCESS) {
      QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"Error 0x%08X",
            static_cast<DWORD>(result));
      return false;
    }
    std::wstring data;
    if (!QueryRegistryStringValue(key, name, data)) {
      QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"Error retrieving value for '%s'", name);
      continue;
    }
    std::wstring entry(name, nameChars);
    if (lowerCase) {
      for (wchar_t& c : entry) c = static_cast<wchar_t>(std::towlower(c));
    }
    list.push_back(std::move(entry));
  }
  return true;
}
