#include "CQxSvcHost.h"

#include <objbase.h>

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "basalt/UniqueHandle.h"
#include "etwlogging/Logging.h"
#include "src/qxsvchost/CComInitGuard.h"
#include "src/qxsvchost/CQxStopwatch.h"
#include "src/qxsvchost/CoQxSvcSubsystemControlManagerClassFactory.h"
#include "src/qxsvchost/QxSvcSubsystemControlManager.h"

namespace {

constexpr const wchar_t kLogFile[] = L"QxSvcHost";
constexpr DWORD kExitBadCommandLine = ERROR_INVALID_PARAMETER;  // 87
constexpr DWORD kExitNoServiceThread = ERROR_INTERNAL_ERROR;    // 1359
// How long the teardown waits for service mains still finishing after their last STOPPED report.
constexpr DWORD kServiceMainsDrainMs = 30000;
constexpr DWORD kComExecute = 1;  // COM_RIGHTS_EXECUTE
constexpr wchar_t kEveryone[] = L"Everyone";

DWORD ExitCodeFromHResult(HRESULT hr) { return static_cast<DWORD>(hr) & 0xFFFF; }

// A variable-length token or account record, such as a SID.
using ByteBuffer = std::vector<BYTE>;

bool QueryToken(HANDLE token, TOKEN_INFORMATION_CLASS kind, ByteBuffer& info) {
  DWORD bytes = 0;
  GetTokenInformation(token, kind, nullptr, 0, &bytes);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return false;
  try {
    info.assign(bytes, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return GetTokenInformation(token, kind, info.data(), bytes, &bytes) != FALSE;
}

// The absolute security descriptor that the host hands to CoInitializeSecurity: owner and group
// of the calling thread's token (else the process token) and a DACL that lets everyone call.
// Whatever cannot be had is left out; CoInitializeSecurity then decides.
class ComSecurityDescriptor {
 public:
  ComSecurityDescriptor() {
    InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (!SetOwnerAndGroup()) return;
    SetEveryoneDacl();
  }
  ComSecurityDescriptor(const ComSecurityDescriptor&) = delete;
  ComSecurityDescriptor& operator=(const ComSecurityDescriptor&) = delete;

  PSECURITY_DESCRIPTOR get() { return &m_descriptor; }

 private:
  bool SetOwnerAndGroup() {
    Basalt::UniqueKernelHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
      if (GetLastError() != ERROR_NO_TOKEN) return false;
      if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    }
    // The SIDs stay inside the token records, which live as long as the descriptor.
    if (!QueryToken(token.get(), TokenUser, m_user) ||
        !QueryToken(token.get(), TokenPrimaryGroup, m_group)) {
      return false;
    }
    if (!SetSecurityDescriptorOwner(
            &m_descriptor, reinterpret_cast<TOKEN_USER*>(m_user.data())->User.Sid, FALSE)) {
      return false;
    }
    return SetSecurityDescriptorGroup(
               &m_descriptor, reinterpret_cast<TOKEN_PRIMARY_GROUP*>(m_group.data())->PrimaryGroup,
               FALSE) != FALSE;
  }

  void SetEveryoneDacl() {
    DWORD sidBytes = 0;
    DWORD domainChars = 0;
    SID_NAME_USE use = SidTypeUnknown;
    LookupAccountNameW(nullptr, kEveryone, nullptr, &sidBytes, nullptr, &domainChars, &use);
    if (sidBytes == 0) return;
    std::vector<wchar_t> domain;
    try {
      m_everyone.assign(sidBytes, 0);
      domain.assign(domainChars + 1, L'\0');
    } catch (const std::bad_alloc&) {
      return;
    }
    if (!LookupAccountNameW(nullptr, kEveryone, m_everyone.data(), &sidBytes, domain.data(),
                            &domainChars, &use)) {
      return;
    }
    const DWORD aclBytes =
        sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(m_everyone.data());
    try {
      m_acl.assign(aclBytes, 0);
    } catch (const std::bad_alloc&) {
      return;
    }
    PACL acl = reinterpret_cast<PACL>(m_acl.data());
    if (!InitializeAcl(acl, aclBytes, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, kComExecute, m_everyone.data())) {
      return;
    }
    SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE);
  }

  SECURITY_DESCRIPTOR m_descriptor = {};
  ByteBuffer m_user;   // TOKEN_USER
  ByteBuffer m_group;  // TOKEN_PRIMARY_GROUP
  ByteBuffer m_everyone;
  ByteBuffer m_acl;
};

}  // namespace

CQxSvcHost::CQxSvcHost() = default;

CQxSvcHost::CQxSvcHost(CQxSvcHostSeams seams) : m_seams(std::move(seams)) {}

CQxSvcHost::~CQxSvcHost() {
  (void)DeInitializeWSS();
  m_proxy.reset();
  m_wsHandler.reset();
}

DWORD CQxSvcHost::Start(int argc, wchar_t** argv) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHost::Start";
  const CQxStopwatch sinceStart;
  CoQxSvcSubsystemControlManagerClassFactory classObject;
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"---");

  std::wstring group;
  if (!ParseCommandLine(argc, argv, group)) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to parse the command line");
    QXLOG_ERROR(kLogFile, kFunction, L"Command Line: %s", GetCommandLineW());
    return kExitBadCommandLine;
  }

  CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
  if (!config || !config->Init(group.c_str())) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to initialize CQxSvcHostConfig");
    return kExitNoServiceThread;
  }

  if (!m_proxy) {
    IQxServiceControlApi& scm = m_seams.scm ? *m_seams.scm : SystemServiceControlApi();
    m_proxy.reset(new (std::nothrow)
                      CQxSvcHostProxy(scm, m_seams.newStartWaitMs, m_seams.lastEndWaitMs));
  }

  std::unique_ptr<CQxSCMInterface> table = m_seams.makeDispatcherTable
                                               ? m_seams.makeDispatcherTable()
                                               : std::make_unique<CQxSCMInterface>();
  if (!table || !AddServicesToScmInterface(*config, *table)) {
    const DWORD error = GetLastError();
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to add services to SCM interface (GLE=0x%08X)",
                error);
    return kExitBadCommandLine;
  }

  CComInitGuard com;
  com.Initialize(COINIT_MULTITHREADED);
  if (FAILED(com.hr())) {
    QXLOG_ERROR(kLogFile, kFunction, L"CoInitialize failed (hr=0x%08X)", com.hr());
    return ExitCodeFromHResult(com.hr());
  }

  ComSecurityDescriptor descriptor;
  const HRESULT security =
      CoInitializeSecurity(descriptor.get(), -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  if (FAILED(security)) {
    QXLOG_ERROR(kLogFile, kFunction, L"CoInitializeSecurity failed (hr=0x%08X)", security);
    return ExitCodeFromHResult(security);
  }

  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Initializing working set reduction");
  (void)InitializeWSS();
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Starting SCM after %0.04fs",
        sinceStart.Seconds());

  OpenControlManagerCalls();
  (void)classObject.RegisterClassObject();
  const DWORD dispatcher = table->RegisterServicesToSCM();
  // The services are gone: no client may reach the control manager from here on.
  classObject.RevokeClassObject();
  const DWORD exitCode = dispatcher == ERROR_SUCCESS ? ERROR_SUCCESS : kExitNoServiceThread;
  if (dispatcher != ERROR_SUCCESS) {
    QXLOG_ERROR(kLogFile, kFunction, L"SCM interface failed to start (Err=0x%08X)", dispatcher);
  }
  // A subsystem may report its service STOPPED before its service main has returned; what
  // follows tears down what that thread may still use. A subsystem that never returns does not
  // keep the process for ever, and nothing is torn down beneath it either.
  const DWORD waitMs =
      m_seams.serviceThreadsWaitMs ? m_seams.serviceThreadsWaitMs : kServiceMainsDrainMs;
  std::wstring stillRunning;
  if (!CQxSvcHostProxy::WaitForServiceMains(waitMs, &stillRunning)) {
    QXLOG_ERROR(kLogFile, kFunction,
                L"Service threads of '%s' still running %u ms after the last service stopped; "
                L"ending the process without teardown (exit code %u)",
                stillRunning.c_str(), waitMs, exitCode);
    if (m_seams.beforeForcedEnd) m_seams.beforeForcedEnd(exitCode);
    // Not exit or ExitProcess: static destructors and library detach code would run beneath
    // the live thread. Nothing needs flushing: the file logger writes each line through.
    TerminateProcess(GetCurrentProcess(), exitCode);
  }
  // The configuration that the control manager's calls work on is destroyed below.
  CloseControlManagerCalls();
  if (exitCode != ERROR_SUCCESS) return exitCode;
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"SCM stopped after %0.04fs",
        sinceStart.Seconds());

  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"De-initializing working set reduction");
  (void)DeInitializeWSS();

  config->DeInit();
  CQxSvcHostConfig::DestroyInstance();

  com.Uninitialize();
  if (com.hr() != S_OK) {
    QXLOG_ERROR(kLogFile, kFunction, L"Exception generated & suppressed during CoUninitialize");
  }
  return ERROR_SUCCESS;
}

bool CQxSvcHost::ParseCommandLine(int argc, wchar_t** argv, std::wstring& group) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHost::ParseCommandLine";
  if (argc <= static_cast<int>(m_groupIndex)) {
    QXLOG_ERROR(kLogFile, kFunction,
                L"The group index is greater, mostly insufficient arguments, group index %d, "
                L"number of arguments %d",
                static_cast<int>(m_groupIndex), argc);
    return false;
  }
  if (!argv) {
    QXLOG_ERROR(kLogFile, kFunction, L"The argv is NULL");
    return false;
  }
  const wchar_t* entry = argv[m_groupIndex];
  const wchar_t* found = entry ? wcsstr(entry, m_groupDelimiter.c_str()) : nullptr;
  if (!found) {
    QXLOG_ERROR(kLogFile, kFunction, L"The group delimiter is not found. Group Entry '%s'", entry);
    return false;
  }
  const wchar_t* name = found + m_groupDelimiter.size();
  if (!*name) {
    QXLOG_ERROR(kLogFile, kFunction, L"The group name is empty. Group Entry '%s'", entry);
    return false;
  }
  group = name;
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"The group name selected to run is '%s'",
        name);
  return true;
}

bool CQxSvcHost::AddServicesToScmInterface(CQxSvcHostConfig& config, CQxSCMInterface& table) {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHost::AddServicesToScmInterface";
  std::wstring group;
  if (!config.GetGroupName(group)) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to get the group name %s", group.c_str());
    return false;
  }
  std::vector<std::wstring> services;
  if (!config.GetServices(services)) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to get group services %s", group.c_str());
    return false;
  }
  if (services.empty()) {
    QXLOG_ERROR(kLogFile, kFunction, L"There are no services in the group %s", group.c_str());
    return false;
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Adding services to the SCM interface");
  int added = 0;
  for (const std::wstring& name : services) {
    if (name.empty()) {
      QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction,
            L"Some service name in the group is empty");
      continue;
    }
    if (table.AddService(name.c_str(), &CQxSvcHostProxy::GenericServiceMain)) {
      QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction,
            L"Service added to SCM interface successfully '%s'", name.c_str());
      ++added;
    } else {
      QXLOG_ERROR(kLogFile, kFunction, L"Failed to add the service to SCM Interface '%s'",
                  name.c_str());
    }
  }
  if (added == 0) {
    QXLOG_ERROR(kLogFile, kFunction, L"There are no valid services in the group");
    return false;
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"%d services added to SCM interface", added);
  return true;
}

bool CQxSvcHost::InitializeWSS() {
  static constexpr const wchar_t kFunction[] = L"CQxSvcHost::InitializeWSS";
  WSSConfig settings = {};
  CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
  if (!config || !config->GetWSSValues(settings)) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to get the WSS configurations");
    return false;
  }
  if (settings.dwEnabled == 0) {
    QXLOG(ETWLogging::kLogWarning, kLogFile, kFunction, L"Working set adjustment is disabled");
    return true;
  }
  try {
    m_wsHandler = m_seams.makeWorkingSetHandler ? m_seams.makeWorkingSetHandler()
                                                : std::make_unique<CQxSvcHostWorkingSetHandler>();
  } catch (const std::bad_alloc&) {
    m_wsHandler.reset();
  }
  if (!m_wsHandler) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to create working set handler");
    return false;
  }
  if (!m_wsHandler->Initialize(settings)) {
    QXLOG_ERROR(kLogFile, kFunction, L"Failed to initialize working set handler");
    m_wsHandler.reset();
    return false;
  }
  QXLOG(ETWLogging::kLogNormal, kLogFile, kFunction, L"Working set handler initialized");
  return true;
}

bool CQxSvcHost::DeInitializeWSS() {
  if (!m_wsHandler) return false;
  if (!m_wsHandler->DeInitialize()) {
    QXLOG_ERROR(kLogFile, L"CQxSvcHost::DeInitializeWSS",
                L"Working set handler de-initialization failed");
    return false;
  }
  // Read only now: a run that ended while the handler was being stopped may have learned a newer
  // limit than the one in effect before.
  const SIZE_T limit = m_wsHandler->getOptimalBucketUpperLimit();
  CQxSvcHostConfig* config = CQxSvcHostConfig::GetInstance();
  if (config) (void)config->SetGroupOptimalBucketUpperLimit(limit);
  m_wsHandler.reset();
  return true;
}
