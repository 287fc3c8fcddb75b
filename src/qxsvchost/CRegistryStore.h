// Small set of registry operations over the plain Win32 registry functions.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"

class CRegistryStore {
 public:
  CRegistryStore() = default;
  virtual ~CRegistryStore() = default;

  // Opens root\path with KEY_ALL_ACCESS into |key| (closing a different key it held).
  // A missing key gives false without a log; |key| is untouched on failure.
  [[nodiscard]] bool OpenRegistryKey(HKEY root, const wchar_t* path, Basalt::UniqueHKey& key);

  // As OpenRegistryKey, creating the key (non-volatile, default security) when missing.
  [[nodiscard]] bool OpenOrCreateRegistryKey(HKEY root, const wchar_t* path,
                                             Basalt::UniqueHKey& key);

  // Reads a 4-byte REG_DWORD. A missing value gives false without a log; any other
  // failure (wrong type, wrong size included) is logged. |value| is untouched on failure.
  [[nodiscard]] bool QueryRegistryDWORDValue(HKEY key, const wchar_t* name, DWORD& value);

  // Reads a REG_DWORD; not read: |value| = default and false. Read: true, and |value| is
  // the stored number when it lies in [minimum, maximum], else the default.
  bool QueryRegistryDWORDValueInRange(HKEY key, const wchar_t* name, DWORD& value, DWORD minimum,
                                      DWORD maximum, DWORD defaultValue);

  // Reads up to 1022 bytes of any value type as text (terminated if the data is not).
  // A missing value gives false without a log; |value| is untouched on failure.
  [[nodiscard]] bool QueryRegistryStringValue(HKEY key, const wchar_t* name, std::wstring& value);

  // Writes a REG_DWORD; every failure is logged.
  [[nodiscard]] bool SetRegistryDWORDValue(HKEY key, const wchar_t* name, DWORD value);

  // Subkey and value counts of |key|; false (outputs untouched) for a null key or a failure.
  [[nodiscard]] bool QueryRegistryInfoKey(HKEY key, DWORD& subKeys, DWORD& values);

  // Empties |list|, then appends the names of the values of |key| whose data can be read,
  // in enumeration order, lower-cased when |lowerCase|. False on a null key or a failed
  // enumeration (names found before the failure stay in |list|).
  [[nodiscard]] bool EnumerateRegistryValuesIntoContainer(HKEY key, std::vector<std::wstring>& list,
                                                          bool lowerCase);
};
