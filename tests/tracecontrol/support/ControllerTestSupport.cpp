#include "ControllerTestSupport.h"

#include <algorithm>

#include "basalt/LibraryUtils.h"
#include "basalt/Registry/CObfuscatedRegKey.h"
#include "basalt/Registry/CRegKey.h"
#include "tests/support/TestFiles.h"

namespace tracetest {
namespace {

int g_appCounter = 0;

FILETIME DaysBeforeNow(int days) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER value;
  value.LowPart = now.dwLowDateTime;
  value.HighPart = now.dwHighDateTime;
  value.QuadPart -= static_cast<ULONGLONG>(days) * 24 * 3600 * 10000000ULL;
  FILETIME result;
  result.dwLowDateTime = value.LowPart;
  result.dwHighDateTime = value.HighPart;
  return result;
}

}  // namespace

foldertest::CFakeFolderSecurity& FolderSecurity() {
  static foldertest::CFakeFolderSecurity security;
  return security;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (!condition()) {
    if (GetTickCount64() > end) return condition();
    Sleep(10);
  }
  return true;
}

TestTraceApp::TestTraceApp(const std::wstring& tag) {
  const std::wstring unique =
      tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++g_appCounter);
  id = L"HollinTest" + unique;
  sessionName = L"Hollin.Test." + unique;
  mutexName = L"Global\\Hollin.Test." + unique;
  const std::wstring relativeEtl = L"\\HollinTests\\" + unique + L"\\ETW";
  etlFolder = testsupport::ProgramDataFolder() + relativeEtl;
  etlFile = etlFolder + L"\\qxlogs.etl";
  baseKey = L"SOFTWARE\\Telvan.logging\\" + id;
  controllerKey = baseKey + L"\\Controller";
  providerKey = baseKey + L"\\Provider";

  Basalt::CObfuscatedRegKey base, session, provider, controller;
  EXPECT_EQ(0, base.Create(HKEY_LOCAL_MACHINE, baseKey.c_str()));
  EXPECT_EQ(0, base.SetStringValue(L"ETL Path", relativeEtl.c_str()));
  EXPECT_EQ(0, session.Create(base.GetHandle(), L"Session"));
  const GUID sessionGuid = {0x5E55104Eu, 0x1111, 0x2222, {3, 3, 4, 4, 5, 5, 6, 6}};
  EXPECT_EQ(0, session.SetGUIDValue(L"Session ID Guid", sessionGuid));
  EXPECT_EQ(0, session.SetStringValue(L"Session Name", sessionName.c_str()));
  EXPECT_EQ(0, provider.Create(base.GetHandle(), L"Provider"));
  const GUID providerGuid = {0x920F1DE4u, 0xAAAA, 0xBBBB, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(0, provider.SetGUIDValue(L"Provider Guid", providerGuid));
  EXPECT_EQ(0, controller.Create(base.GetHandle(), L"Controller"));
  EXPECT_EQ(0, controller.SetStringValue(L"Controller Path", L"C:\\nowhere\\Tamsel.dll"));
  EXPECT_EQ(0, controller.SetStringValue(L"Owner Mutex Name", mutexName.c_str()));
}

TestTraceApp::~TestTraceApp() {
  const size_t cut = etlFolder.rfind(L'\\');
  testsupport::DeleteTree(etlFolder.substr(0, cut));
}

bool TestTraceApp::SetControllerValue(const wchar_t* name, DWORD value) const {
  Basalt::CObfuscatedRegKey key;
  return key.Create(HKEY_LOCAL_MACHINE, controllerKey.c_str()) == 0 &&
         key.SetDWORDValue(name, value) == 0;
}

bool TestTraceApp::SetPlainControllerValue(const wchar_t* name, DWORD value) const {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, controllerKey.c_str(), name, REG_DWORD, &value,
                         sizeof(value)) == ERROR_SUCCESS;
}

bool TestTraceApp::DeleteControllerValue(const wchar_t* name) const {
  Basalt::CObfuscatedRegKey key;
  return key.Open(HKEY_LOCAL_MACHINE, controllerKey.c_str()) == 0 && key.DeleteValue(name) == 0;
}

bool TestTraceApp::SetSeverity(DWORD value) const {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, providerKey.c_str(), L"Severity", REG_DWORD, &value,
                         sizeof(value)) == ERROR_SUCCESS;
}

bool TestTraceApp::PokeUntil(const std::function<bool()>& condition) const {
  for (DWORD poke = 1; poke <= 50; ++poke) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, baseKey.c_str(), L"Test Poke", REG_DWORD, &poke,
                    sizeof(poke));
    if (WaitUntil(condition, 100)) return true;
  }
  return false;
}

std::vector<std::wstring> TestTraceApp::EtlFolderEntries() const {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  const HANDLE find = FindFirstFileW((etlFolder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

bool TestTraceApp::MakeEtlFolderFile(const std::wstring& name, const std::string& content,
                                     int daysOld) const {
  if (!Basalt::CreateDirectoryTree(etlFolder.c_str())) return false;
  const HANDLE file = CreateFileW((etlFolder + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const FILETIME time = DaysBeforeNow(daysOld);
  const bool ok =
      WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
      SetFileTime(file, nullptr, nullptr, &time);
  CloseHandle(file);
  return ok;
}

TestController::~TestController() { StopMonitorThreads(); }

void TestController::OnStandby(bool entering) {
  CLogController::OnStandby(entering);
  ++standbyHandled;
}

std::unique_ptr<ETWLogging::CCSMonitor> TestController::MakeStandbyMonitor() {
  return monitorFactory ? monitorFactory() : nullptr;
}

void TestController::GetBackupTime(FILETIME& time) {
  if (fixedBackupTime) {
    time = backupTime;
  } else {
    CLogController::GetBackupTime(time);
  }
}

void ControllerTest::SetUp() {
  fake_trace::Reset();
  FolderSecurity().Reset();
  registry = std::make_unique<testsupport::ScratchMachineKey>(L"TraceController");
  ASSERT_TRUE(registry->ok());
  app = std::make_unique<TestTraceApp>(L"ctl");
}

void ControllerTest::TearDown() {
  fake_trace::Reset();
  FolderSecurity().Reset();
  app.reset();
  registry.reset();
}

std::unique_ptr<TestController> ControllerTest::MakeController(
    std::function<std::unique_ptr<ETWLogging::CCSMonitor>()> monitor) {
  auto controller = std::make_unique<TestController>();
  controller->monitorFactory = std::move(monitor);
  EXPECT_EQ(0u, controller->Initialize(app->Id()));
  return controller;
}

}  // namespace tracetest
