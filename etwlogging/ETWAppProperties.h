// Per-application logging names: ETW provider and session, owner mutex, log
// and trace folders, settings keys and the trace-controller path.
#pragma once

#include <windows.h>

#include <string>

namespace Basalt {
class CRegKey;
}

namespace ETWLogging::internal {

class ETWAppProperties {
 public:
  ETWAppProperties() = default;
  ETWAppProperties(const ETWAppProperties&) = default;
  ETWAppProperties& operator=(const ETWAppProperties&) = default;
  virtual ~ETWAppProperties() = default;

  // Fills the names of |appId| (null or empty: "WSS") once: from the
  // registered-application key when it exists, else from the built-in names
  // (only "WSS" has them). True when the names are complete. A second call
  // returns false and changes nothing; a failed load leaves a partial object.
  virtual bool Load(const wchar_t* appId);
  // The ProgramData folder without a trailing backslash: 0, or 87 (|out| untouched).
  [[nodiscard]] virtual DWORD GetProgramDataPath(std::wstring& out);
  // Reads the names from the open application key, which this call takes over
  // (|key| is left closed).
  virtual bool LoadFromRegistry(const std::wstring& programDataPath, Basalt::CRegKey& key);
  // The built-in names; false for any application but "WSS".
  virtual bool LoadDefaults(const std::wstring& programDataPath);
  virtual void GetEtlFileName(std::wstring& out);   // "qxlogs.etl"
  virtual void GetRegistryRoot(std::wstring& out);  // "SOFTWARE\Telvan.logging"
  // Registry root + "\" + app ID, then "\" + |subkey| when one is given.
  virtual void GetAppKeyPath(std::wstring& out, const wchar_t* subkey);

  // Copies every field.
  void CopyFrom(const ETWAppProperties& other);

  const std::wstring& GetAppId() const noexcept { return m_strAppId; }
  const std::wstring& GetProgramData() const noexcept { return m_strProgramDataPath; }
  const GUID& GetSessionGuid() const noexcept { return m_guidSession; }
  const std::wstring& GetSessionName() const noexcept { return m_strSessionName; }
  const GUID& GetProviderGuid() const noexcept { return m_guidProvider; }
  const std::wstring& GetOwnerMutexName() const noexcept { return m_strOwnerMutexName; }
  const std::wstring& GetLogPath() const noexcept { return m_strLogPath; }
  const std::wstring& GetEtlPath() const noexcept { return m_strEtlPath; }
  const std::wstring& GetEtlFilePath() const noexcept { return m_strEtlFilePath; }
  const std::wstring& GetControllerPath() const noexcept { return m_strControllerPath; }
  HKEY GetRootKey() const noexcept { return m_hRegistryRoot; }
  const std::wstring& GetBaseKeyPath() const noexcept { return m_strBaseKeyPath; }
  const std::wstring& GetControllerKeyPath() const noexcept { return m_strControllerKeyPath; }
  const std::wstring& GetProviderKeyPath() const noexcept { return m_strProviderKeyPath; }
  const std::wstring& GetMonitoredKeyPath() const noexcept { return m_strMonitoredKeyPath; }

 private:
  std::wstring m_strAppId;
  std::wstring m_strProgramDataPath;
  GUID m_guidSession{};
  std::wstring m_strSessionName;
  GUID m_guidProvider{};
  std::wstring m_strOwnerMutexName;
  std::wstring m_strLogPath;
  std::wstring m_strEtlPath;
  std::wstring m_strEtlFilePath;
  std::wstring m_strControllerPath;
  HKEY m_hRegistryRoot = HKEY_LOCAL_MACHINE;
  std::wstring m_strBaseKeyPath;
  std::wstring m_strControllerKeyPath;
  std::wstring m_strProviderKeyPath;
  std::wstring m_strMonitoredKeyPath;
};

}  // namespace ETWLogging::internal
