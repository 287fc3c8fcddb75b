#include "ControllerTestSupport.h"

#include <sddl.h>

#include <algorithm>
#include <map>

#include "basalt/LibraryUtils.h"
#include "basalt/Registry/CObfuscatedRegKey.h"
#include "basalt/Registry/CRegKey.h"
#include "tests/support/TestFiles.h"

namespace tracetest {
namespace {

int g_appCounter = 0;

std::mutex g_folderLock;
std::map<std::wstring, std::vector<BYTE>> g_folderSecurity;  // by upper-case full path

std::wstring FolderKey(std::wstring path) {
  if (path.compare(0, 4, L"\\\\?\\") == 0) path.erase(0, 4);
  wchar_t full[MAX_PATH * 2] = {};
  const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
  if (length > 0 && length < MAX_PATH * 2) path = full;
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
  return path;
}

std::wstring PathOf(HANDLE folder) {
  wchar_t path[MAX_PATH * 2] = {};
  const DWORD length = GetFinalPathNameByHandleW(folder, path, MAX_PATH * 2, VOLUME_NAME_DOS);
  return length > 0 && length < MAX_PATH * 2 ? FolderKey(path) : std::wstring();
}

std::vector<BYTE> SelfRelative(PSECURITY_DESCRIPTOR descriptor) {
  DWORD bytes = 0;
  (void)MakeSelfRelativeSD(descriptor, nullptr, &bytes);
  std::vector<BYTE> copy(bytes);
  if (bytes == 0 || !MakeSelfRelativeSD(descriptor, copy.data(), &bytes)) {
    // Already self-relative, or not to be copied.
    const DWORD length =
        IsValidSecurityDescriptor(descriptor) ? GetSecurityDescriptorLength(descriptor) : 0;
    copy.assign(static_cast<BYTE*>(descriptor), static_cast<BYTE*>(descriptor) + length);
  }
  return copy;
}

// The SDDL of this process's default owner, as the system gives it to what the process makes.
std::wstring DefaultOwnerSddl() {
  Basalt::UniqueKernelHandle token;
  BYTE buffer[256];
  DWORD bytes = 0;
  LPWSTR text = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
      !GetTokenInformation(token.get(), TokenOwner, buffer, sizeof(buffer), &bytes) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner, &text)) {
    return L"";
  }
  const std::wstring owner = L"O:" + std::wstring(text);
  LocalFree(text);
  return owner;
}

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

DaclOf ReadDacl(PSECURITY_DESCRIPTOR descriptor) {
  DaclOf result;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present ||
      dacl == nullptr || !GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    return result;
  }
  result.present = true;
  result.isProtected = (control & SE_DACL_PROTECTED) != 0;
  ACL_SIZE_INFORMATION size = {};
  EXPECT_TRUE(GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation));
  for (DWORD i = 0; i < size.AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) break;
    WELL_KNOWN_SID_TYPE type = WinNullSid;
    for (const WELL_KNOWN_SID_TYPE known :
         {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinBuiltinUsersSid, WinWorldSid,
          WinAuthenticatedUserSid, WinCreatorOwnerSid}) {
      BYTE sid[SECURITY_MAX_SID_SIZE];
      DWORD sidSize = sizeof(sid);
      if (CreateWellKnownSid(known, nullptr, sid, &sidSize) && EqualSid(&ace->SidStart, sid)) {
        type = known;
      }
    }
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) type = WinNullSid;
    result.aces.emplace_back(type, ace->Mask, ace->Header.AceFlags);
  }
  return result;
}

namespace folder_security {

bool Set(const std::wstring& path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return false;
  }
  const Basalt::UniqueLocalMem hold(descriptor);
  Set(path, SelfRelative(descriptor));
  return true;
}

void Set(const std::wstring& path, std::vector<BYTE> selfRelative) {
  std::lock_guard<std::mutex> lock(g_folderLock);
  g_folderSecurity[FolderKey(path)] = std::move(selfRelative);
}

std::vector<BYTE> Get(const std::wstring& path) {
  std::lock_guard<std::mutex> lock(g_folderLock);
  const auto it = g_folderSecurity.find(FolderKey(path));
  return it != g_folderSecurity.end() ? it->second : std::vector<BYTE>();
}

void Reset() {
  std::lock_guard<std::mutex> lock(g_folderLock);
  g_folderSecurity.clear();
}

}  // namespace folder_security

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

DWORD TestController::CreateFolder(const wchar_t* path, SECURITY_ATTRIBUTES* attributes) {
  CreatedFolder folder{path, {}};
  if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
    DWORD bytes = 0;
    (void)MakeSelfRelativeSD(attributes->lpSecurityDescriptor, nullptr, &bytes);
    folder.descriptor.resize(bytes);
    if (bytes == 0 ||
        !MakeSelfRelativeSD(attributes->lpSecurityDescriptor, folder.descriptor.data(), &bytes)) {
      ADD_FAILURE() << "security descriptor of the folder cannot be copied";
    }
  }
  const DWORD created = CLogController::CreateFolder(path, attributes);
  // The folder carries what it was made with, and the maker's default owner.
  LPWSTR dacl = nullptr;
  if (created == ERROR_SUCCESS && !folder.descriptor.empty() &&
      ConvertSecurityDescriptorToStringSecurityDescriptorW(
          folder.descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &dacl, nullptr)) {
    EXPECT_TRUE(folder_security::Set(path, (DefaultOwnerSddl() + dacl).c_str()));
    LocalFree(dacl);
  }
  createdFolders.push_back(std::move(folder));
  return created;
}

DWORD TestController::OpenFolder(const wchar_t* path, Basalt::UniqueFile& folder,
                                 DWORD& attributes) {
  const DWORD opened = CLogController::OpenFolder(path, folder, attributes);
  // Wine follows a link that it is asked not to follow, and shows it by its path only.
  const DWORD byPath = GetFileAttributesW(path);
  if (opened == ERROR_SUCCESS && byPath != INVALID_FILE_ATTRIBUTES) {
    attributes |= byPath & FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return opened;
}

DWORD TestController::ReadFolderSecurity(HANDLE folder, std::vector<BYTE>& descriptor) {
  std::vector<BYTE> recorded = folder_security::Get(PathOf(folder));
  if (recorded.empty()) return CLogController::ReadFolderSecurity(folder, descriptor);
  descriptor = std::move(recorded);
  return ERROR_SUCCESS;
}

DWORD TestController::WriteFolderSecurity(HANDLE folder, PSECURITY_DESCRIPTOR descriptor) {
  ++folderWrites;
  if (folderWriteError != 0) return folderWriteError;
  const std::wstring path = PathOf(folder);
  if (path.empty()) return GetLastError();
  folder_security::Set(path, SelfRelative(descriptor));
  return ERROR_SUCCESS;
}

void ControllerTest::SetUp() {
  fake_trace::Reset();
  folder_security::Reset();
  registry = std::make_unique<testsupport::ScratchMachineKey>(L"TraceController");
  ASSERT_TRUE(registry->ok());
  app = std::make_unique<TestTraceApp>(L"ctl");
}

void ControllerTest::TearDown() {
  fake_trace::Reset();
  folder_security::Reset();
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
