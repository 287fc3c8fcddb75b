// Shared pieces of the control-manager tests: a host configuration in a scratch registry key
// that stands in for HKEY_LOCAL_MACHINE, the folder of the test's own executables, and
// throw-away services of the real service control manager.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "src/qxsvchost/CQxSvcHostConfig.h"
#include "tests/src/qxsvchost/QxServiceStatus.h"
#include "tests/support/ScratchMachineKey.h"
#include "tests/support/TestFiles.h"

namespace qxctltest {

constexpr wchar_t kGroup[] = L"QxCtlTestGroup";

using testsupport::ExeFolder;

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

// Installs demand-start services running QxCtlTestService.exe; after each test they are released,
// stopped and deleted.
class TestServiceFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager_) << GetLastError();
  }
  void TearDown() override {
    for (const std::wstring& name : services_) {
      Basalt::UniqueScHandle service = Open(name);
      if (!service) continue;
      SetEvent(ReleaseEvent(name).get());
      const ULONGLONG end = GetTickCount64() + 10000;
      while (qxtest::ServiceState(service.get()) == SERVICE_START_PENDING &&
             GetTickCount64() < end) {
        Sleep(20);
      }
      SERVICE_STATUS status = {};
      ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
      EXPECT_TRUE(qxtest::WaitForServiceState(service.get(), SERVICE_STOPPED, 10000))
          << "service left running";
      EXPECT_TRUE(DeleteService(service.get())) << GetLastError();
    }
  }

  // Installs |name| running the test service in |mode| ("stop", "stuck", "slow").
  std::wstring Install(const std::wstring& name, const wchar_t* mode) {
    const std::wstring command =
        L"\"" + ExeFolder() + L"QxCtlTestService.exe\" " + name + L" " + mode;
    Basalt::UniqueScHandle service(
        CreateServiceW(manager_.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(service) << GetLastError();
    if (service) services_.push_back(name);
    return name;
  }
  Basalt::UniqueScHandle Open(const std::wstring& name) {
    return Basalt::UniqueScHandle(OpenServiceW(manager_.get(), name.c_str(), SERVICE_ALL_ACCESS));
  }
  // The event that lets a "stuck" service finish its stop.
  static Basalt::UniqueKernelHandle ReleaseEvent(const std::wstring& name) {
    const std::wstring eventName = L"Global\\QxCtlTestRelease_" + name;
    return Basalt::UniqueKernelHandle(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
  }

  Basalt::UniqueScHandle manager_;
  std::vector<std::wstring> services_;
};

}  // namespace qxctltest
