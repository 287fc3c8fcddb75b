#include "CQxSvcHostConfig.h"

#include <new>

#include "basalt/Registry/CRegKey.h"
#include "etwlogging/Logging.h"

namespace {

constexpr const wchar_t kLogFile[] = L"QxSvcHostConfig";
constexpr const wchar_t kOptimalBucketUpperLimitValue[] = L"WSSOptimalBucketUpperLimit";
constexpr const wchar_t kLegacyOccuranceCountValue[] = L"WSSOptiamlOccuranceCount";
constexpr const wchar_t kOccuranceCountValue[] = L"WSSOptimalOccuranceCount";
constexpr const wchar_t kIsOobeCheckRequiredValue[] = L"IsOobeCheckRequired";
constexpr const wchar_t kOobeExclusionListKey[] = L"OobeExclusionList";

CQxSvcHostConfig* g_pSvcHostConfig = nullptr;

bool IsServiceSeparator(wchar_t c) { return c == L';' || c == L':' || c == L','; }

// One line per working-set word, in the order Init reports them.
struct WssLogLine {
  const wchar_t* format;
  DWORD WSSConfig::*field;
};
constexpr WssLogLine kWssLogLines[] = {
    {L" dwEnabled                =%d", &WSSConfig::dwEnabled},
    {L" dwLoggingEnabled         =%d", &WSSConfig::dwLoggingEnabled},
    {L" dwTimerIntervalBase      =%d", &WSSConfig::dwTimerIntervalBase},
    {L" dwCpuUsageLimit          =%d", &WSSConfig::dwCpuUsageLimit},
    {L" dwCpuUsageDuration       =%d", &WSSConfig::dwCpuUsageDuration},
    {L" dwRandomizationRange     =%d", &WSSConfig::dwRandomizationRange},
    {L" dwLimitFactor            =%d", &WSSConfig::dwLimitFactor},
    {L" stOptimalBucketUpperLimit=%d", &WSSConfig::stOptimalBucketUpperLimit},
    {L" dwBucketRange            =%d", &WSSConfig::dwBucketRange},
    {L" dwOptimalOccuranceCount  =%d", &WSSConfig::dwOptimalOccuranceCount},
    {L" dwProcessIdleWaitTime    =%d", &WSSConfig::dwProcessIdleWaitTime},
};

}  // namespace

CQxSvcHostConfig::CQxSvcHostConfig() = default;
CQxSvcHostConfig::~CQxSvcHostConfig() = default;

CQxSvcHostConfig* CQxSvcHostConfig::GetInstance() {
  if (!g_pSvcHostConfig) g_pSvcHostConfig = new (std::nothrow) CQxSvcHostConfig();
  return g_pSvcHostConfig;
}

void CQxSvcHostConfig::DestroyInstance() {
  delete g_pSvcHostConfig;
  g_pSvcHostConfig = nullptr;
}

std::wstring CQxSvcHostConfig::GroupKeyPath() const {
  return std::wstring(QXSVCHOST_REG_KEY) + L"\\" + m_strGroupName;
}

bool CQxSvcHostConfig::Init(const wchar_t* groupName) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostConfig::Init";
  if (!groupName || !*groupName) return false;

  Basalt::UniqueHKey hostKey;
  if (!OpenRegistryKey(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, hostKey)) return false;

  LoadWorkingSetValues(hostKey.get());
  m_strGroupName = groupName;

  Basalt::UniqueHKey groupKey;
  if (OpenRegistryKey(HKEY_LOCAL_MACHINE, GroupKeyPath().c_str(), groupKey)) {
    DWORD limit = 0;
    if (QueryRegistryDWORDValue(groupKey.get(), kOptimalBucketUpperLimitValue, limit)) {
      m_wssConfig.stOptimalBucketUpperLimit = limit;
    } else {
      m_wssConfig.stOptimalBucketUpperLimit = 0;
      QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction,
            L"Failed to read REG_WSS_OPTIMAL_BUCKET_UPPER_LIMIT_VALUE_NAME reg value");
    }
  }

  if (!LoadOobeExclusionList()) {
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction,
          L"Failed to load the OOBE exclusion list for the group '%s'", m_strGroupName.c_str());
  }

  DWORD forceSerialLoads = 1;
  if (QueryRegistryDWORDValueInRange(hostKey.get(), L"ForceSerialLoads", forceSerialLoads, 0, 1,
                                     1)) {
    m_bForceSerialLoads = (forceSerialLoads == 1);
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Service loading will be %s",
        m_bForceSerialLoads ? L"serial" : L"parallel");

  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Working set configuration values:");
  for (const WssLogLine& line : kWssLogLines) {
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, line.format, m_wssConfig.*line.field);
  }

  m_bInitialized = true;
  return true;
}

void CQxSvcHostConfig::LoadWorkingSetValues(HKEY hostKey) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostConfig::LoadWorkingSetValues";
  WSSConfig& c = m_wssConfig;
  QueryRegistryDWORDValueInRange(hostKey, L"WSSEnable", c.dwEnabled, 0, 1, 1);
  QueryRegistryDWORDValueInRange(hostKey, L"WSSLoggingEnable", c.dwLoggingEnabled, 0, 1, 0);
  QueryRegistryDWORDValueInRange(hostKey, L"WSSTimerBase", c.dwTimerIntervalBase, 300000, 1200000,
                                 600000);
  QueryRegistryDWORDValueInRange(hostKey, L"WSSCpuLimit", c.dwCpuUsageLimit, 2, 10, 5);
  QueryRegistryDWORDValueInRange(hostKey, L"WSSCpuInterval", c.dwCpuUsageDuration, 5000, 10000,
                                 5000);
  QueryRegistryDWORDValueInRange(hostKey, L"WSSRandomizationRange", c.dwRandomizationRange, 300000,
                                 900000, 600000);
  QueryRegistryDWORDValueInRange(hostKey, L"WSSLimitFactor", c.dwLimitFactor, 0, 200, 30);

  DWORD bucketRange = 0;
  if (QueryRegistryDWORDValue(hostKey, L"WSSBucketRange", bucketRange)) {
    c.dwBucketRange = bucketRange;
  } else {
    c.dwBucketRange = 0x500000;
    QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction, L"Failed to read Bucket range reg value");
  }

  // Older installations wrote the occurrence count under a misspelt name.
  DWORD legacyCount = 0;
  if (QueryRegistryDWORDValue(hostKey, kLegacyOccuranceCountValue, legacyCount)) {
    (void)SetRegistryDWORDValue(hostKey, kOccuranceCountValue, legacyCount);
    RegDeleteValueW(hostKey, kLegacyOccuranceCountValue);
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Replaced %s with %s",
          kLegacyOccuranceCountValue, kOccuranceCountValue);
  }
  QueryRegistryDWORDValueInRange(hostKey, kOccuranceCountValue, c.dwOptimalOccuranceCount, 3, 10,
                                 3);
  QueryRegistryDWORDValueInRange(hostKey, L"WSSProcessorIdleWaitTime", c.dwProcessIdleWaitTime,
                                 30000, 300000, 60000);
}

bool CQxSvcHostConfig::LoadOobeExclusionList() {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostConfig::LoadOobeExclusionList";
  const std::wstring path = GroupKeyPath() + L"\\" + kOobeExclusionListKey;
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction,
        L"Enumerating OOBE exclusion list, reg key path '%s'", path.c_str());

  Basalt::UniqueHKey key;
  if (!OpenRegistryKey(HKEY_LOCAL_MACHINE, path.c_str(), key)) {
    QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Failed to open exclusion list reg key");
    return false;
  }
  if (!EnumerateRegistryValuesIntoContainer(key.get(), m_oobeExclusionList, true)) {
    QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction, L"Failed to enum exclusion list values");
    return false;
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction,
        L"Successfully enumerated OOBE exclusion list");
  return true;
}

bool CQxSvcHostConfig::DeInit() {
  m_strGroupName.clear();
  m_oobeExclusionList.clear();
  m_bInitialized = false;
  return true;
}

bool CQxSvcHostConfig::GetGroupName(std::wstring& groupName) {
  groupName = m_strGroupName;
  return !groupName.empty();
}

bool CQxSvcHostConfig::GetServices(std::vector<std::wstring>& services) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostConfig::GetServices";
  if (m_strGroupName.empty()) return false;

  const std::wstring path = GroupKeyPath();
  Basalt::CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ | KEY_WRITE) != ERROR_SUCCESS) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction,
          L"Failed to open registry key to look up service list %s", path.c_str());
    return false;
  }
  services.clear();

  std::wstring list;
  if (key.GetStringValue(nullptr, list) != ERROR_SUCCESS) {
    QXLOG(ETWLogging::kLogCritical, kLogFile, kFunction, L"Unable to read list of services from %s",
          path.c_str());
    return false;
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"The supported services are: %s",
        list.c_str());

  size_t pos = 0;
  while (pos < list.size()) {
    while (pos < list.size() && IsServiceSeparator(list[pos])) ++pos;
    const size_t start = pos;
    while (pos < list.size() && !IsServiceSeparator(list[pos])) ++pos;
    if (pos > start) services.emplace_back(list, start, pos - start);
  }
  return true;
}

bool CQxSvcHostConfig::GetSvcCLSID(const wchar_t* serviceName, std::wstring& clsid) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostConfig::GetSvcCLSID";
  // A null name would read the group's default value, which is the service list.
  if (!m_bInitialized || !serviceName) return false;

  Basalt::CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, GroupKeyPath().c_str(), KEY_READ | KEY_WRITE) != ERROR_SUCCESS) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction,
          L"Failed to open registry key to look up service CLSID");
    return false;
  }
  const LONG result = key.GetStringValue(serviceName, clsid);
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Mapping %s => %s (0x%08X)", serviceName,
        clsid.c_str(), static_cast<DWORD>(result));
  return result == ERROR_SUCCESS;
}

bool CQxSvcHostConfig::GetWSSValues(WSSConfig& config) {
  if (!m_bInitialized) return false;
  config = m_wssConfig;
  return true;
}

bool CQxSvcHostConfig::GetForceSerialLoads() { return m_bInitialized && m_bForceSerialLoads; }

bool CQxSvcHostConfig::IsInOobeExclusionList(const wchar_t* serviceName) {
  if (!serviceName) return false;
  for (const std::wstring& entry : m_oobeExclusionList) {
    if (entry == serviceName) return true;
  }
  return false;
}

bool CQxSvcHostConfig::SetGroupOptimalBucketUpperLimit(SIZE_T limit) {
  if (!m_bInitialized) return false;
  {
    // The host key must exist; it is never created here.
    Basalt::UniqueHKey hostKey;
    if (!OpenRegistryKey(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, hostKey)) return false;
  }
  Basalt::UniqueHKey groupKey;
  if (!OpenOrCreateRegistryKey(HKEY_LOCAL_MACHINE, GroupKeyPath().c_str(), groupKey)) return false;
  if (!SetRegistryDWORDValue(groupKey.get(), kOptimalBucketUpperLimitValue,
                             static_cast<DWORD>(limit))) {
    QXLOG(ETWLogging::kLogWarning, kLogFile, L"CQxSvcHostConfig::SetGroupOptimalBucketUpperLimit",
          L"Failed to set the optimal bucket upper limit");
    return false;
  }
  return true;
}

bool CQxSvcHostConfig::GetIsOobeCheckRequired(DWORD& value) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostConfig::GetIsOobeCheckRequired";
  Basalt::CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, KEY_READ | KEY_WRITE) != ERROR_SUCCESS) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction,
          L"Failed to open registry key IsOobeCheckRequired");
    return false;
  }
  DWORD read = 0;
  if (key.QueryDWORDValue(kIsOobeCheckRequiredValue, read) != ERROR_SUCCESS) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction,
          L"Cant read registry key IsOobeCheckRequired");
    return false;
  }
  value = read;
  return true;
}

bool CQxSvcHostConfig::SetIsOobeCheckRequired(const DWORD& value) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHostConfig::SetIsOobeCheckRequired";
  Basalt::CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, QXSVCHOST_REG_KEY, KEY_READ | KEY_WRITE) != ERROR_SUCCESS) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction, L"Failed to open registry key %s",
          QXSVCHOST_REG_KEY);
    return false;
  }
  if (key.SetDWORDValue(kIsOobeCheckRequiredValue, value) != ERROR_SUCCESS) {
    QXLOG(ETWLogging::kLogError, kLogFile, kFunction,
          L"Cant set registry key to IsOobeCheckRequired");
    return false;
  }
  return true;
}
