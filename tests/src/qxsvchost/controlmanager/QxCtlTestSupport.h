// Shared pieces of the control-manager tests: a host configuration in a scratch registry key
// that stands in for HKEY_LOCAL_MACHINE, and the folder of the test's own executables.
#pragma once

#include <windows.h>

#include <string>

#include "basalt/UniqueHandle.h"
#include "src/qxsvchost/CQxSvcHostConfig.h"
#include "tests/support/ScratchMachineKey.h"

namespace qxctltest {

constexpr wchar_t kGroup[] = L"QxCtlTestGroup";

inline std::wstring ExeFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring full(path, n);
  return full.substr(0, full.find_last_of(L'\\') + 1);
}

// Redirects HKEY_LOCAL_MACHINE of this process to a scratch key for its lifetime and gives the
// host configuration singleton a group there; everything is removed again afterwards.
class ScratchHostConfig {
 public:
  explicit ScratchHostConfig(const std::wstring& testName) : m_machine(testName) {
    if (!m_machine.ok()) return;
    Basalt::UniqueHKey host;
    m_ok = RegCreateKeyExW(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, host.put(), nullptr) == ERROR_SUCCESS;
  }
  ~ScratchHostConfig() { CQxSvcHostConfig::DestroyInstance(); }
  ScratchHostConfig(const ScratchHostConfig&) = delete;
  ScratchHostConfig& operator=(const ScratchHostConfig&) = delete;

  bool ok() const { return m_ok; }

  // Stores |services| as the group's list (when not null) and initialises the singleton for the
  // group. Without a list the group key does not exist, so its services cannot be read.
  bool UseGroup(const wchar_t* services) {
    const std::wstring groupKey = std::wstring(QXSVCHOST_REG_KEY) + L"\\" + kGroup;
    if (services) {
      const DWORD bytes = static_cast<DWORD>((wcslen(services) + 1) * sizeof(wchar_t));
      if (RegSetKeyValueW(HKEY_LOCAL_MACHINE, groupKey.c_str(), nullptr, REG_SZ, services, bytes) !=
          ERROR_SUCCESS) {
        return false;
      }
    } else {
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, groupKey.c_str());
    }
    CQxSvcHostConfig::DestroyInstance();
    CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
    return config && config->Init(kGroup);
  }

 private:
  testsupport::ScratchMachineKey m_machine;
  bool m_ok = false;
};

}  // namespace qxctltest
