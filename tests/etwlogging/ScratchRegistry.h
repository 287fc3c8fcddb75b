// Test support: redirects HKEY_LOCAL_MACHINE of this process to a scratch key
// of its own under HKEY_CURRENT_USER, so tests of code that hard-codes machine
// keys need no lock; the scratch key is deleted afterwards.
#pragma once

#include <windows.h>

#include <string>

namespace etwlogging_test {

class ScratchMachineKey {
 public:
  explicit ScratchMachineKey(const wchar_t* name) {
    wchar_t path[256];
    wsprintfW(path, L"Software\\HollinTests\\L1\\%s-%lu", name, GetCurrentProcessId());
    m_path = path;
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    if (RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &m_key, nullptr) == ERROR_SUCCESS) {
      m_ok = RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_key) == ERROR_SUCCESS;
    }
  }
  ~ScratchMachineKey() {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    if (m_key) RegCloseKey(m_key);
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
  }
  ScratchMachineKey(const ScratchMachineKey&) = delete;
  ScratchMachineKey& operator=(const ScratchMachineKey&) = delete;

  bool ok() const { return m_ok; }
  HKEY key() const { return m_key; }

  // Plain DWORD value under the (redirected) machine key |sub|.
  bool SetPlainDword(const wchar_t* sub, const wchar_t* name, DWORD value) const {
    HKEY key = nullptr;
    if (RegCreateKeyExW(m_key, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    const bool ok = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                   sizeof(value)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
  }

 private:
  std::wstring m_path;
  HKEY m_key = nullptr;
  bool m_ok = false;
};

}  // namespace etwlogging_test
