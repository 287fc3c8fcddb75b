#include "fwinstaller/CQxWinFirewallInteg.h"

#include <comdef.h>
#include <netfw.h>
#include <wrl/client.h>

#include <cwchar>

#include "basalt/UniqueHandle.h"
#include "etwlogging/Logging.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kLogFile[] = L"QxWinFirewallInteg";
constexpr wchar_t kHostKey[] = L"SOFTWARE\\Telvan\\Platform\\QxSvcHost";
constexpr wchar_t kInstallDirValue[] = L"InstallDir";
constexpr wchar_t kExeSuffix[] = L"\\Hollin.exe";
constexpr wchar_t kRuleName[] = L"Telvan Shared Service Host";
constexpr wchar_t kAnyPorts[] = L"Any";
constexpr wchar_t kLogGroup[] = L"QxSvcHost";
constexpr LONG kAllProfiles = 7;    // domain, private and public
constexpr LONG kAnyProtocol = 256;  // NET_FW_IP_PROTOCOL_ANY, which mingw's header lacks

constexpr wchar_t kCtorFunction[] = L"CQxWinFirewallInteg::CQxWinFirewallInteg";
constexpr wchar_t kInfoFunction[] = L"CQxWinFirewallInteg::GetSharedSvcInfo";
constexpr wchar_t kAddFunction[] = L"CQxWinFirewallInteg::AddSharedSvcToFW";
constexpr wchar_t kRemoveFunction[] = L"CQxWinFirewallInteg::RemoveSharedSvcFromFW";

#define FW_LOG(level, function, ...) QXLOG(ETWLogging::level, kLogFile, function, __VA_ARGS__)

// Reads the install folder into |folder|. The value must be a non-empty string that leaves
// a terminator inside the buffer: stored data need not be terminated, so a value that
// fills the whole buffer is too long.
bool ReadInstallDir(wchar_t (&folder)[CQxWinFirewallInteg::kBufferChars]) {
  wmemset(folder, L'\0', CQxWinFirewallInteg::kBufferChars);
  Basalt::UniqueHKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHostKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return false;
  DWORD type = REG_NONE;
  DWORD bytes = sizeof(folder);
  if (RegQueryValueExW(key.get(), kInstallDirValue, nullptr, &type, reinterpret_cast<BYTE*>(folder),
                       &bytes) != ERROR_SUCCESS)
    return false;
  return type == REG_SZ && folder[CQxWinFirewallInteg::kBufferChars - 1] == L'\0' &&
         folder[0] != L'\0';
}

// |folder| + |suffix| into |out|; false, |out| untouched, when the whole does not fit.
bool JoinPath(wchar_t (&out)[CQxWinFirewallInteg::kBufferChars], const wchar_t* folder,
              const wchar_t* suffix) {
  const size_t folderChars = wcslen(folder);
  const size_t suffixChars = wcslen(suffix);
  if (folderChars + suffixChars >= CQxWinFirewallInteg::kBufferChars) return false;
  wmemcpy(out, folder, folderChars);
  wmemcpy(out + folderChars, suffix, suffixChars + 1);
  return true;
}

}  // namespace

void CQxWinFirewallInteg::ComInitGuard::Initialize() {
  hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  initialized = SUCCEEDED(hr);  // S_FALSE too: the call still has to be balanced
}

void CQxWinFirewallInteg::ComInitGuard::Uninitialize() {
  if (!initialized) return;
  initialized = false;
  CoUninitialize();
  hr = S_OK;
}

CQxWinFirewallInteg::CQxWinFirewallInteg() {
  m_comInit.Initialize();
  SetLogIdentity(nullptr, kLogGroup, nullptr, nullptr, 0);
  if (!m_comInit.initialized) {
    comInitFailed = true;
    FW_LOG(kLogError, kCtorFunction,
           L"CQxWinFirewallInteg::CQxWinFirewallInteg: CoInitialize failed hr = 0x%08X",
           static_cast<unsigned>(m_comInit.hr));
  }
}

bool CQxWinFirewallInteg::FileExists(const wchar_t* path) {
  if (!path || !*path) return false;
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CQxWinFirewallInteg::GetSharedSvcInfo(wchar_t* ruleName, wchar_t* appPath) {
  if (!ruleName || !appPath) return false;

  wchar_t folder[kBufferChars];
  if (!ReadInstallDir(folder)) {
    FW_LOG(kLogError, kInfoFunction, L"GetSharedSvcInfo: Error getting InstallDir from '%s'",
           kHostKey);
    return false;
  }
  FW_LOG(kLogNormal, kInfoFunction, L"GetSharedSvcInfo: InstallDir '%ws'", folder);

  wchar_t path[kBufferChars] = {};
  if (!JoinPath(path, folder, kExeSuffix)) {
    FW_LOG(kLogError, kInfoFunction, L"GetSharedSvcInfo: InstallDir too long for '%ws'",
           kExeSuffix);
    return false;
  }
  FW_LOG(kLogNormal, kInfoFunction, L"GetSharedSvcInfo: Shared Svc path is '%ws' ", path);

  if (!FileExists(path)) {
    const DWORD error = GetLastError();
    FW_LOG(kLogError, kInfoFunction, L"GetSharedSvcInfo: File not found '%s', error 0x%08X", path,
           static_cast<unsigned>(error));
    return false;
  }
  wmemcpy(ruleName, kRuleName, sizeof(kRuleName) / sizeof(kRuleName[0]));
  wmemcpy(appPath, path, kBufferChars);
  return true;
}

bool CQxWinFirewallInteg::AddSharedSvcToFW() {
  FW_LOG(kLogNormal, kAddFunction, L" AddSharedSvcToFW : Entering ");
  if (comInitFailed) return false;

  wchar_t ruleName[kBufferChars] = {};
  wchar_t appPath[kBufferChars] = {};
  if (!GetSharedSvcInfo(ruleName, appPath)) {
    FW_LOG(kLogError, kAddFunction, L"AddSharedSvcToFW: GetSharedSvcInfo Failed");
    return false;
  }

  const _bstr_t name(ruleName);
  const _bstr_t description(ruleName);
  const _bstr_t path(appPath);
  if (name.length() == 0 || path.length() == 0) {
    FW_LOG(kLogError, kAddFunction, L"AddSharedSvcToFW: Invalid rule name/bin path");
    return false;
  }

  ComPtr<INetFwPolicy2> policy;
  if (FAILED(CoCreateInstance(__uuidof(NetFwPolicy2), nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&policy)))) {
    FW_LOG(kLogError, kAddFunction, L"AddSharedSvcToFW: Cannot create INetFwPolicy2 Instance");
    return false;
  }
  ComPtr<INetFwRules> rules;
  if (FAILED(policy->get_Rules(&rules)) || !rules) {
    FW_LOG(kLogError, kAddFunction, L"AddSharedSvcToFW: Cannot create INetFwRules Instance");
    return false;
  }
  ComPtr<INetFwRule> rule;
  if (FAILED(CoCreateInstance(__uuidof(NetFwRule), nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&rule)))) {
    FW_LOG(kLogError, kAddFunction, L"AddSharedSvcToFW: Cannot create INetFwRule Instance");
    return false;
  }
  if (FAILED(rule->put_Name(name))) {
    FW_LOG(kLogError, kAddFunction, L"AddSharedSvcToFW:INetFwRule->put_Name failed");
    return false;
  }
  if (FAILED(rule->put_Description(description))) {
    FW_LOG(kLogError, kAddFunction, L"AddSharedSvcToFW: INetFwRule->put_Description failed");
    return false;
  }
  if (FAILED(rule->put_ApplicationName(path))) {
    FW_LOG(kLogError, kAddFunction, L"AddSharedSvcToFW: INetFwRule->put_ApplicationName failed");
    return false;
  }
  const _bstr_t anyPorts(kAnyPorts);
  if (anyPorts.length() == 0) {
    FW_LOG(kLogError, kAddFunction, L"AddSharedSvcToFW: SysAllocString failed...");
    return false;
  }
  // Not examined: a value the firewall refuses leaves that property at its default.
  (void)rule->put_Enabled(VARIANT_TRUE);
  (void)rule->put_Action(NET_FW_ACTION_ALLOW);
  (void)rule->put_Profiles(kAllProfiles);
  (void)rule->put_Protocol(kAnyProtocol);
  (void)rule->put_LocalPorts(anyPorts);
  (void)rule->put_RemotePorts(anyPorts);

  ComPtr<INetFwRule> existing;
  const HRESULT found = rules->Item(name, &existing);
  if (SUCCEEDED(found)) {
    // An administrator may have changed the rule on purpose: keep it as it is.
    FW_LOG(kLogNormal, kAddFunction, L"AddSharedSvcToFW: Rula Already exists");
    return true;
  }
  if (found != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
    FW_LOG(kLogError, kAddFunction, L"AddSharedSvcToFW:INetFwRules->Item failed");
    return false;
  }
  FW_LOG(kLogNormal, kAddFunction, L"AddSharedSvcToFW: Rule DoesNot Exist, Trying to add Rule.");
  if (FAILED(rules->Add(rule.Get()))) {
    FW_LOG(kLogError, kAddFunction, L"AddSharedSvcToFW:INetFwRules->Add failed");
    return false;
  }
  FW_LOG(kLogNormal, kAddFunction, L"AddSharedSvcToFW: Rula Added Successfully");
  return true;
}

bool CQxWinFirewallInteg::RemoveSharedSvcFromFW() {
  FW_LOG(kLogNormal, kRemoveFunction, L"RemoveSharedSvcFromFW : Entering ");
  if (comInitFailed) return false;

  ComPtr<INetFwPolicy2> policy;
  if (FAILED(CoCreateInstance(__uuidof(NetFwPolicy2), nullptr, CLSCTX_INPROC_SERVER,
                              IID_PPV_ARGS(&policy)))) {
    FW_LOG(kLogError, kRemoveFunction,
           L"RemoveSharedSvcFromFW : Error creating INetFwPolicy2 Instance");
    return false;
  }
  ComPtr<INetFwRules> rules;
  if (FAILED(policy->get_Rules(&rules)) || !rules) {
    FW_LOG(kLogError, kRemoveFunction,
           L"RemoveSharedSvcFromFW :Cannot create INetFwRules Instance");
    return false;
  }
  const _bstr_t name(kRuleName);
  if (name.length() == 0) {
    FW_LOG(kLogError, kRemoveFunction, L"RemoveSharedSvcFromFW : SysAllocString failed..");
    return false;
  }
  if (FAILED(rules->Remove(name))) {
    FW_LOG(kLogError, kRemoveFunction, L"RemoveSharedSvcFromFW :INetFwRules Remove failed");
    return false;
  }
  FW_LOG(kLogNormal, kRemoveFunction, L"RemoveSharedSvcFromFW : Rule Removed Successfully");
  return true;
}
