// Redirects HKEY_LOCAL_MACHINE of this process to a scratch key of its own under
// HKEY_CURRENT_USER, so tests of code that hard-codes machine keys need no lock;
// the redirection ends and the scratch key is deleted when the object goes.
#pragma once

#include <windows.h>

#include <string>

#include "basalt/UniqueHandle.h"

namespace testsupport {

class ScratchMachineKey {
 public:
  // |name| tells the scratch keys of different tests apart; the process id is added.
  explicit ScratchMachineKey(const std::wstring& name)
      : m_path(L"Software\\HollinTests\\" + name + L"-" + std::to_wstring(GetCurrentProcessId())) {
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    if (RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        m_key.put(), nullptr) == ERROR_SUCCESS) {
      m_ok = RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_key.get()) == ERROR_SUCCESS;
    }
  }
  ~ScratchMachineKey() {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    m_key.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
  }
  ScratchMachineKey(const ScratchMachineKey&) = delete;
  ScratchMachineKey& operator=(const ScratchMachineKey&) = delete;

  // True while HKEY_LOCAL_MACHINE points at the scratch key.
  bool ok() const { return m_ok; }
  HKEY key() const { return m_key.get(); }
  // The scratch key's path under HKEY_CURRENT_USER, for a second process to redirect to.
  const std::wstring& path() const { return m_path; }

  // Plain DWORD value under the (redirected) machine key |sub|, created when missing.
  bool SetPlainDword(const wchar_t* sub, const wchar_t* name, DWORD value) const {
    return RegSetKeyValueW(m_key.get(), sub, name, REG_DWORD, &value, sizeof(value)) ==
           ERROR_SUCCESS;
  }

 private:
  std::wstring m_path;
  Basalt::UniqueHKey m_key;
  bool m_ok = false;
};

}  // namespace testsupport
