// Shared set-up of the installer's tests: the firewall double registered under the
// system's firewall class IDs, a scratch install folder named by "InstallDir" under a
// redirected HKEY_LOCAL_MACHINE, and a fixture that captures the log and checks that
// every firewall object was released and nothing unmodelled was called.
#pragma once

#include <gtest/gtest.h>
#include <netfw.h>
#include <windows.h>

#include <string>
#include <vector>

#include "basalt/LibraryUtils.h"
#include "basalt/UniqueHandle.h"
#include "double/FwRuleStore.h"
#include "tests/src/qxsvchost/QxTestLogCapture.h"
#include "tests/support/RawRegistry.h"
#include "tests/support/ScratchMachineKey.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestPrograms.h"

namespace fwdouble {

// Readable rules in failure messages.
inline void PrintTo(const Rule& rule, std::ostream* os) {
  const auto text = [](const std::optional<std::wstring>& v) {
    return v ? ::testing::PrintToString(*v) : std::string("unset");
  };
  const auto number = [](const std::optional<LONG>& v) {
    return v ? std::to_string(*v) : std::string("unset");
  };
  *os << "{name " << text(rule.name) << ", description " << text(rule.description)
      << ", application " << text(rule.applicationName) << ", enabled " << number(rule.enabled)
      << ", action " << number(rule.action) << ", profiles " << number(rule.profiles)
      << ", protocol " << number(rule.protocol) << ", local ports " << text(rule.localPorts)
      << ", remote ports " << text(rule.remotePorts) << "}";
}

}  // namespace fwdouble

namespace fwtest {

constexpr wchar_t kRuleName[] = L"Telvan Shared Service Host";
constexpr wchar_t kHostKey[] = L"SOFTWARE\\Telvan\\Platform\\QxSvcHost";
constexpr wchar_t kInstallDirError[] =
    L"GetSharedSvcInfo: Error getting InstallDir from 'SOFTWARE\\Telvan\\Platform\\QxSvcHost'";

inline std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// Points the NetFwPolicy2 and NetFwRule classes at the double and empties its store; the
// registrations held before (Wine's own) come back when the object goes. Tests that use it
// take the "firewall" resource lock: the registration is shared by the whole prefix.
class ScopedFirewallDouble {
 public:
  ScopedFirewallDouble() {
    fwdouble::Reset();
    // The double is built beside the test programs.
    std::wstring dll;
    if (Basalt::GetProcessImageDirectory(dll, true)) dll += L"FwRulesDouble.dll";
    m_module.reset(LoadLibraryW(dll.c_str()));  // keeps the leak check reachable
    for (REFCLSID clsid : {__uuidof(NetFwPolicy2), __uuidof(NetFwRule)}) {
      Saved saved;
      saved.path = L"CLSID\\" + GuidText(clsid) + L"\\InprocServer32";
      Basalt::UniqueHKey key;
      if (RegCreateKeyExW(HKEY_CLASSES_ROOT, saved.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                          nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        continue;
      saved.server = ReadText(key.get(), nullptr);
      saved.threading = ReadText(key.get(), L"ThreadingModel");
      WriteText(key.get(), nullptr, dll);
      WriteText(key.get(), L"ThreadingModel", L"Both");
      m_saved.push_back(saved);
    }
  }
  ~ScopedFirewallDouble() {
    for (const Saved& saved : m_saved) {
      Basalt::UniqueHKey key;
      if (RegOpenKeyExW(HKEY_CLASSES_ROOT, saved.path.c_str(), 0, KEY_ALL_ACCESS, key.put()) !=
          ERROR_SUCCESS)
        continue;
      WriteText(key.get(), nullptr, saved.server);
      WriteText(key.get(), L"ThreadingModel", saved.threading);
    }
    fwdouble::Reset();
  }
  ScopedFirewallDouble(const ScopedFirewallDouble&) = delete;
  ScopedFirewallDouble& operator=(const ScopedFirewallDouble&) = delete;

  bool ok() const { return m_module && m_saved.size() == 2; }
  // True when no object of the double is alive and no lock is held.
  bool AllReleased() const {
    using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
    const auto canUnload = reinterpret_cast<CanUnloadFn>(
        reinterpret_cast<void*>(GetProcAddress(m_module.get(), "DllCanUnloadNow")));
    return canUnload && canUnload() == S_OK;
  }

 private:
  struct Saved {
    std::wstring path;
    std::wstring server;
    std::wstring threading;
  };
  static std::wstring ReadText(HKEY key, const wchar_t* name) {
    wchar_t text[MAX_PATH + 1] = {};
    DWORD bytes = MAX_PATH * sizeof(wchar_t);
    RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &bytes);
    return text;
  }
  static void WriteText(HKEY key, const wchar_t* name, const std::wstring& text) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }

  Basalt::UniqueModule m_module;
  std::vector<Saved> m_saved;
};

// A scratch install folder holding Hollin.exe, named by "InstallDir" under the redirected
// HKEY_LOCAL_MACHINE of |machine|.
class InstallFolder {
 public:
  explicit InstallFolder(const testsupport::ScratchMachineKey& machine) : m_machine(machine) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + L"fennick-" + std::to_wstring(GetCurrentProcessId());
    testsupport::DeleteTree(m_path);
    CreateDirectoryW(m_path.c_str(), nullptr);
    Basalt::UniqueFile exe(CreateFileW(exePath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    SetInstallDir(m_path);
  }
  ~InstallFolder() { testsupport::DeleteTree(m_path); }
  InstallFolder(const InstallFolder&) = delete;
  InstallFolder& operator=(const InstallFolder&) = delete;

  const std::wstring& path() const { return m_path; }
  std::wstring exePath() const { return m_path + L"\\Hollin.exe"; }

  // "InstallDir" as a string value (RegSetValueExW adds the terminator).
  bool SetInstallDir(const std::wstring& folder) const {
    return RegSetKeyValueW(m_machine.key(), kHostKey, L"InstallDir", REG_SZ, folder.c_str(),
                           static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
  }
  // "InstallDir" with exactly these bytes and this type, no terminator added.
  bool SetRawInstallDir(DWORD type, const void* data, ULONG bytes) const {
    Basalt::UniqueHKey key;
    if (RegCreateKeyExW(m_machine.key(), kHostKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
      return false;
    return testsupport::SetRawRegistryValue(key.get(), L"InstallDir", type, data, bytes) == 0;
  }
  bool DeleteInstallDir() const {
    return RegDeleteKeyValueW(m_machine.key(), kHostKey, L"InstallDir") == ERROR_SUCCESS;
  }

 private:
  const testsupport::ScratchMachineKey& m_machine;
  std::wstring m_path;
};

// Everything a test of the installer against the double needs.
class FirewallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_machine.ok());
    ASSERT_TRUE(m_double.ok());
    ASSERT_TRUE(m_capture.installed());
  }
  void TearDown() override {
    EXPECT_TRUE(m_double.AllReleased()) << "a firewall object was leaked";
    EXPECT_EQ(std::vector<std::wstring>{}, fwdouble::UnexpectedCalls());
  }

  qxtest::CapturingLogger& log() { return m_capture.log(); }
  // Every captured message, in order.
  std::vector<std::wstring> Messages() {
    std::vector<std::wstring> messages;
    for (const qxtest::LogLine& line : log().Lines()) messages.push_back(line.message);
    return messages;
  }

  // The rule as the installer adds it for |appPath|.
  static fwdouble::Rule ExpectedRule(const std::wstring& appPath) {
    fwdouble::Rule rule;
    rule.name = kRuleName;
    rule.description = kRuleName;
    rule.applicationName = appPath;
    rule.enabled = VARIANT_TRUE;
    rule.action = NET_FW_ACTION_ALLOW;
    rule.profiles = 7;
    rule.protocol = 256;
    rule.localPorts = L"Any";
    rule.remotePorts = L"Any";
    return rule;
  }

  testsupport::ScratchMachineKey m_machine{L"fennick"};
  ScopedFirewallDouble m_double;
  InstallFolder m_folder{m_machine};
  qxtest::ScopedLogCapture m_capture;
};

}  // namespace fwtest
