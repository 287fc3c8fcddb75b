#include "etwlogging/ETWAppProperties.h"

#include <shlobj.h>
#include <wchar.h>

#include "basalt/FileVersionInfo.h"
#include "basalt/Registry/CObfuscatedRegKey.h"
#include "basalt/Registry/CRegKey.h"
#include "etwlogging/CLoggingIf.h"

namespace ETWLogging::internal {
namespace {

constexpr wchar_t kDefaultAppId[] = L"WSS";
constexpr wchar_t kRegistryRoot[] = L"SOFTWARE\\Telvan.logging";
constexpr wchar_t kEtlFileName[] = L"qxlogs.etl";
constexpr wchar_t kDefaultLogPath[] = L"\\Telvan\\QXLOGS";
constexpr wchar_t kDefaultEtlPath[] = L"\\Telvan\\QXLOGS\\ETW";

constexpr wchar_t kWssBaseKey[] = L"SOFTWARE\\Telvan\\Logging";
constexpr wchar_t kWssControllerKey[] = L"SOFTWARE\\Telvan\\Logging\\Controller";
constexpr wchar_t kWssProviderKey[] = L"SOFTWARE\\Telvan\\Logging\\Provider";
constexpr wchar_t kWssOwnerMutex[] = L"Global\\Telvan.{0696D115-BE52-46c3-BFEE-D73A305B6581}";
constexpr wchar_t kWssSessionName[] = L"Telvan.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}";
// {491FB070-54CC-11E0-B8AF-0800200C9A66}
constexpr GUID kWssSessionGuid = {
    0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
// {E16CA450-55CC-11E0-B8AF-0800200C9A66}
constexpr GUID kWssProviderGuid = {
    0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

}  // namespace

bool ETWAppProperties::Load(const wchar_t* appId) {
  if (!m_strAppId.empty()) return false;
  m_strAppId = (appId && *appId) ? appId : kDefaultAppId;

  if (m_strProgramDataPath.empty() && GetProgramDataPath(m_strProgramDataPath) != ERROR_SUCCESS) {
    return false;
  }
  std::wstring keyPath;
  GetAppKeyPath(keyPath, nullptr);
  Basalt::CRegKey key;
  if (key.Open(m_hRegistryRoot, keyPath.c_str(), KEY_QUERY_VALUE) == ERROR_SUCCESS) {
    return LoadFromRegistry(m_strProgramDataPath, key);
  }
  return LoadDefaults(m_strProgramDataPath);
}

DWORD ETWAppProperties::GetProgramDataPath(std::wstring& out) {
  Basalt::ShlObjAPI shell;
  PWSTR path = nullptr;
  if (FAILED(shell.SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &path)) ||
      !path) {
    if (path) CoTaskMemFree(path);
    return ERROR_INVALID_PARAMETER;
  }
  std::wstring folder(path);
  CoTaskMemFree(path);
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  out.swap(folder);
  return ERROR_SUCCESS;
}

bool ETWAppProperties::LoadFromRegistry(const std::wstring& programDataPath, Basalt::CRegKey& key) {
  Basalt::CObfuscatedRegKey appKey;
  appKey.Attach(key.Detach());

  Basalt::CObfuscatedRegKey session, provider, controller;
  if (session.Open(appKey.GetHandle(), L"Session", KEY_QUERY_VALUE) != ERROR_SUCCESS ||
      provider.Open(appKey.GetHandle(), L"Provider", KEY_QUERY_VALUE) != ERROR_SUCCESS ||
      controller.Open(appKey.GetHandle(), L"Controller", KEY_QUERY_VALUE) != ERROR_SUCCESS) {
    return false;
  }

  GetAppKeyPath(m_strBaseKeyPath, nullptr);
  GetAppKeyPath(m_strControllerKeyPath, L"Controller");
  GetAppKeyPath(m_strProviderKeyPath, L"Provider");
  m_strMonitoredKeyPath = m_strBaseKeyPath;

  std::wstring logPath, etlPath;
  if (appKey.GetStringValue(L"Log Path", logPath) != ERROR_SUCCESS) logPath = kDefaultLogPath;
  if (appKey.GetStringValue(L"ETL Path", etlPath) != ERROR_SUCCESS) etlPath = kDefaultEtlPath;
  m_strLogPath = programDataPath + logPath;
  m_strEtlPath = programDataPath + etlPath;
  std::wstring etlFileName;
  GetEtlFileName(etlFileName);
  m_strEtlFilePath = m_strEtlPath + L"\\" + etlFileName;

  if (controller.GetStringValue(L"Controller Path", m_strControllerPath) != ERROR_SUCCESS ||
      controller.GetStringValue(L"Owner Mutex Name", m_strOwnerMutexName) != ERROR_SUCCESS) {
    return false;
  }
  GUID guid;
  if (session.QueryGUIDValue(L"Session ID Guid", guid) != ERROR_SUCCESS) return false;
  m_guidSession = guid;
  if (session.GetStringValue(L"Session Name", m_strSessionName) != ERROR_SUCCESS) return false;
  if (provider.QueryGUIDValue(L"Provider Guid", guid) != ERROR_SUCCESS) return false;
  m_guidProvider = guid;
  return true;
}

bool ETWAppProperties::LoadDefaults(const std::wstring& programDataPath) {
  if (_wcsicmp(m_strAppId.c_str(), kDefaultAppId) != 0) return false;
  m_strProgramDataPath = programDataPath;
  m_guidSession = kWssSessionGuid;
  m_strSessionName = kWssSessionName;
  m_guidProvider = kWssProviderGuid;
  m_strOwnerMutexName = kWssOwnerMutex;
  m_strLogPath = programDataPath + kDefaultLogPath;
  m_strEtlPath = programDataPath + kDefaultEtlPath;
  std::wstring etlFileName;
  GetEtlFileName(etlFileName);
  m_strEtlFilePath = m_strEtlPath + L"\\" + etlFileName;
  m_strControllerPath.clear();
  m_hRegistryRoot = HKEY_LOCAL_MACHINE;
  m_strBaseKeyPath = kWssBaseKey;
  m_strControllerKeyPath = kWssControllerKey;
  m_strProviderKeyPath = kWssProviderKey;
  m_strMonitoredKeyPath = kWssBaseKey;
  return true;
}

void ETWAppProperties::GetEtlFileName(std::wstring& out) { out = kEtlFileName; }

void ETWAppProperties::GetRegistryRoot(std::wstring& out) { out = kRegistryRoot; }

void ETWAppProperties::GetAppKeyPath(std::wstring& out, const wchar_t* subkey) {
  std::wstring root;
  GetRegistryRoot(root);
  std::wstring path;
  FormatWide(path, L"%s\\%s", root.c_str(), m_strAppId.c_str());
  if (subkey) {
    std::wstring tail;
    FormatWide(tail, L"\\%s", subkey);
    path += tail;
  }
  out.swap(path);
}

void ETWAppProperties::CopyFrom(const ETWAppProperties& other) {
  if (this != &other) *this = other;
}

}  // namespace ETWLogging::internal
