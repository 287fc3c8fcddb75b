#include "tracecontrol/CLogController.h"

#include <aclapi.h>

#include <algorithm>
#include <new>
#include <utility>

#include "basalt/LibraryUtils.h"
#include "basalt/Logging/CLogger.h"
#include "basalt/OSInfo.h"
#include "basalt/Registry/CObfuscatedRegKey.h"
#include "basalt/Registry/CRegKey.h"
#include "etwlogging/CLogFolderSecurity.h"
#include "etwlogging/CLoggingIf.h"
#include "tracecontrol/EtlFolderFiles.h"
#include "tracecontrol/TraceSessionCalls.h"

namespace ETWLogging {
namespace {

constexpr REGSAM kSettingsAccess = KEY_READ | KEY_WRITE;  // 0x2001F
constexpr DWORD kRegistryFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
constexpr DWORD kMaxFilesToKeep = 50;
constexpr DWORD kMinBuffersNotConfigured = 0xFFFFFFFF;
constexpr ULONG kSystemTimeClientContext = 2;
constexpr size_t kMaxTraceNameChars = kTraceNameBytes / sizeof(wchar_t) - 1;  // 1023
// The session watch: a look every 30 s while the session runs; after a start that failed, again
// after 1 s, doubling up to those 30 s.
constexpr DWORD kSessionCheckMs = 30000;
constexpr DWORD kFirstRetryMs = 1000;
constexpr wchar_t kSourceFile[] = L"LogController";
constexpr wchar_t kSecureFunction[] = L"ETWLogging::CLogController::SecureEtlFolders";
constexpr wchar_t kStartFunction[] = L"ETWLogging::CLogController::StartSession";

DWORD TwiceTheProcessors() {
  SYSTEM_INFO info = {};
  GetSystemInfo(&info);
  return 2 * info.dwNumberOfProcessors;
}

// Logs why the trace folders are not worked in; |reason| names the folder.
void LogFolderRefusal(const wchar_t* function, int line, const std::wstring& reason, DWORD code) {
  Basalt::CLogger::Log(Basalt::kLoggerLevelError, kSourceFile, function, line,
                       L"%s (error %lu): ETL files are not rotated and no trace session is "
                       L"started.",
                       reason.c_str(), code);
}

// The folder holding |path|: |path| up to its last backslash.
std::wstring FolderOf(const std::wstring& path) {
  const size_t cut = path.find_last_of(L'\\');
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

void CopyTraceName(BYTE* block, ULONG offset, const std::wstring& name) {
  wchar_t* target = reinterpret_cast<wchar_t*>(block + offset);
  const size_t length = std::min(name.size(), kMaxTraceNameChars);
  wmemcpy(target, name.c_str(), length);
  target[length] = L'\0';
}

}  // namespace

COwnerMutexSecurity::~COwnerMutexSecurity() {
  const DWORD lastError = GetLastError();
  if (descriptor != nullptr) LocalFree(descriptor);
  if (acl != nullptr) LocalFree(acl);
  if (administrators != nullptr) FreeSid(administrators);
  SetLastError(lastError);
}

CLogController::CLogController() = default;

CLogController::~CLogController() {
  StopMonitorThreads();
  std::lock_guard<std::mutex> lock(m_lock);
  m_ownerMutex.reset();
}

void CLogController::StopMonitorThreads() {
  m_registryMonitor.stop();
  if (m_pStandbyMonitor) m_pStandbyMonitor->Stop();
  m_bStandbyWatching = false;
  m_sessionWatch.Stop();
}

bool CLogController::IsOwner() {
  std::lock_guard<std::mutex> lock(m_lock);
  return static_cast<bool>(m_ownerMutex);
}

// --- Public operations ----------------------------------------------------------------

DWORD CLogController::Initialize(const wchar_t* appId) {
  if (m_bInitialized) return kControllerAlreadyInitialized;
  if (appId == nullptr || !LoadAppProperties(appId)) return ERROR_INVALID_PARAMETER;
  const DWORD directory = EnsureEtlDirectory();
  if (directory != ERROR_SUCCESS) return directory;
  m_pStandbyMonitor = MakeStandbyMonitor();
  m_bInitialized = true;
  return ERROR_SUCCESS;
}

DWORD CLogController::Start() {
  if (IsShutdownRequested()) return kControllerShutDown;
  const DWORD ownership = AcquireOwnerMutex();
  if (ownership != ERROR_SUCCESS) return ownership;
  return StartOrResume();
}

DWORD CLogController::Stop(BOOLEAN stopSession) {
  if (!IsOwner()) {
    const DWORD ownership = AcquireOwnerMutex();
    if (ownership != ERROR_SUCCESS) return ownership;
  }
  return StopController(stopSession);
}

DWORD CLogController::RestartSession() {
  const Basalt::UniqueKernelHandle probe(CreateOwnerMutex());
  if (!probe) return GetLastError();
  const bool owner = IsOwner();
  // Neither may start the session between the stop and the start below.
  m_registryMonitor.stop();
  m_sessionWatch.Stop();
  DWORD result;
  bool startPending;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    result = StopSession();
    startPending = m_bStartPending;
  }
  // No session runs because this controller's own start of it was refused: start it now.
  if (result == ERROR_SUCCESS || (result == kControllerNoSession && startPending)) {
    result = StartOrResume();
  } else if (owner) {
    // Nothing was restarted: the owner goes on watching as before.
    (void)StartRegistryMonitor();
    StartSessionWatch();
  }
  return result;
}

DWORD CLogController::FlushBuffers() {
  const Basalt::UniqueKernelHandle probe(CreateOwnerMutex());
  if (!probe) return GetLastError();
  std::lock_guard<std::mutex> lock(m_lock);
  return FlushSession();
}

std::wstring CLogController::FormatGuid(const GUID& guid) {
  std::wstring text;
  FormatWide(text, L"{%08X-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
             guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
             guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::wstring CLogController::GetDiagnostics() {
  const internal::ETWAppProperties& names = m_appProperties;
  std::wstring text;
  FormatWide(text,
             L"App ID: %s\nSession name: %s\nSession ID: %s\nLog Path: %s\nETL Path: %s\n"
             L"ETL File Name: %s\nProvider GUID: %s\n",
             names.GetAppId().c_str(), names.GetSessionName().c_str(),
             FormatGuid(names.GetSessionGuid()).c_str(), names.GetLogPath().c_str(),
             names.GetEtlPath().c_str(), names.GetEtlFilePath().c_str(),
             FormatGuid(names.GetProviderGuid()).c_str());
  return text;
}

void CLogController::OnStandby(bool entering) {
  std::lock_guard<std::mutex> lock(m_lock);
  // Only the owner's session is ours to stop and start.
  if (!m_ownerMutex) return;
  if (entering) {
    if (m_bInStandby || IsShutdownRequested()) return;
    ReadSeverity();
    if (m_dwSeverity == 1) return;  // every message passes: keep recording
    (void)StopSession();
    m_bInStandby = true;
    return;
  }
  if (!m_bInStandby) return;
  m_bInStandby = false;
  if (IsShutdownRequested()) return;
  // The ETL file still holds the trace from before standby; a new session would truncate it.
  (void)StartSession(TRUE);
}

// --- Set-up ----------------------------------------------------------------------------

bool CLogController::LoadAppProperties(const wchar_t* appId) { return m_appProperties.Load(appId); }

DWORD CLogController::EnsureEtlDirectory() {
  // Under ProgramData any user may have made these folders, or put a link in their place:
  // nothing is moved, deleted or started in them until they are the controller's own.
  Basalt::CFolderChainReport report;
  m_dwFolderRefusal = SecureEtlFolders(report);
  if (m_dwFolderRefusal == ERROR_SUCCESS) return ERROR_SUCCESS;
  // A folder that is missing and cannot be made fails the controller, as it always did.
  const bool setAside = !report.setAside.empty() && report.setAside.back().path == report.path;
  return report.step == Basalt::CFolderChainReport::Step::kCreate && !setAside
             ? m_dwFolderRefusal
             : static_cast<DWORD>(ERROR_SUCCESS);
}

DWORD CLogController::SecureEtlFolders(Basalt::CFolderChainReport& report) {
  m_folders.reset();
  CLogFolderSecurity security;
  if (!security.Build()) {
    DWORD code = GetLastError();
    if (code == ERROR_SUCCESS) code = ERROR_INVALID_SECURITY_DESCR;
    LogFolderRefusal(kSecureFunction, __LINE__, L"Cannot build the rights of the ETL folders",
                     code);
    return code;
  }
  const std::wstring& etlPath = m_appProperties.GetEtlPath();
  const std::wstring& programData = m_appProperties.GetProgramData();
  try {
    std::vector<std::wstring> names;
    if (!programData.empty() && etlPath.size() > programData.size() &&
        _wcsnicmp(etlPath.c_str(), programData.c_str(), programData.size()) == 0 &&
        etlPath[programData.size()] == L'\\') {
      size_t at = programData.size();
      while (at < etlPath.size()) {
        const size_t next = std::min(etlPath.find(L'\\', at + 1), etlPath.size());
        if (next > at + 1) names.push_back(etlPath.substr(at + 1, next - at - 1));
        at = next;
      }
    }
    if (names.empty()) {
      LogFolderRefusal(kSecureFunction, __LINE__, etlPath + L" is not below " + programData,
                       ERROR_BAD_PATHNAME);
      return ERROR_BAD_PATHNAME;
    }
    std::unique_ptr<Basalt::CHeldFolderChain> folders(
        new (std::nothrow) Basalt::CHeldFolderChain(FolderSecurityCalls()));
    if (!folders) return ERROR_NOT_ENOUGH_MEMORY;
    const DWORD code = folders->Open(programData, security.EtlRules(names), report);
    for (const Basalt::CFolderChainReport::SetAside& moved : report.setAside) {
      Basalt::CLogger::Log(Basalt::kLoggerLevelInformation, kSourceFile, kSecureFunction, __LINE__,
                           L"%s was made or could be changed by someone other than SYSTEM or "
                           L"Administrators: it is now %s beside it, and made anew.",
                           moved.path.c_str(), moved.newName.c_str());
    }
    if (code != ERROR_SUCCESS) {
      LogFolderRefusal(kSecureFunction, __LINE__, report.Reason(), code);
      return code;
    }
    m_folders = std::move(folders);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

bool CLogController::EtlPathLeadsToHeldFolder() {
  const std::wstring& etlFile = m_appProperties.GetEtlFilePath();
  if (m_folders && m_folders->PathLeadsToLast(FolderOf(etlFile))) return true;
  if (!m_bElsewhereLogged) {
    m_bElsewhereLogged = true;
    Basalt::CLogger::Log(Basalt::kLoggerLevelError, kSourceFile, kStartFunction, __LINE__,
                         L"%s does not lead to the ETL folder held (error %lu): no trace session "
                         L"is started.",
                         etlFile.c_str(), kControllerEtlPathElsewhere);
  }
  return false;
}

HANDLE CLogController::EtlFolder() const {
  return m_folders && m_folders->Count() > 0 ? m_folders->Folder(m_folders->Count() - 1) : nullptr;
}

Basalt::CFolderSecurityCalls& CLogController::FolderSecurityCalls() {
  return Basalt::CFolderSecurityCalls::Real();
}

std::unique_ptr<CCSMonitor> CLogController::MakeStandbyMonitor() {
  Basalt::OSInfo os;
  if (os.GetOSCode() < Basalt::kOSWin8) return nullptr;
  return std::unique_ptr<CCSMonitor>(new (std::nothrow) CCSMonitor());
}

void CLogController::GetBackupTime(FILETIME& time) { GetSystemTimeAsFileTime(&time); }

bool CLogController::BuildTraceProperties(CTraceProperties& properties) {
  std::unique_ptr<BYTE[]> bytes(new (std::nothrow) BYTE[kTracePropertiesBytes]());
  if (!bytes) return false;
  auto* block = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(bytes.get());
  block->Wnode.BufferSize = kTracePropertiesBytes;
  block->Wnode.Guid = m_appProperties.GetSessionGuid();
  block->Wnode.ClientContext = kSystemTimeClientContext;
  block->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
  block->BufferSize = m_dwBufferSize;
  block->MinimumBuffers =
      m_dwMinBuffers == kMinBuffersNotConfigured ? TwiceTheProcessors() : m_dwMinBuffers;
  block->MaximumBuffers = m_dwMaxBuffers;
  block->MaximumFileSize = m_dwFileSize;
  block->LogFileMode = m_dwFileMode;
  block->FlushTimer = m_dwFlushTimer;
  block->NumberOfBuffers = TwiceTheProcessors();
  block->LogFileNameOffset = kTraceLogFileNameOffset;
  block->LoggerNameOffset = kTraceLoggerNameOffset;
  CopyTraceName(bytes.get(), kTraceLoggerNameOffset, m_appProperties.GetSessionName());
  CopyTraceName(bytes.get(), kTraceLogFileNameOffset, m_appProperties.GetEtlFilePath());
  properties.m_bytes = std::move(bytes);
  return true;
}

// --- Ownership -------------------------------------------------------------------------

DWORD CLogController::AcquireOwnerMutex() {
  if (IsOwner()) return kControllerAlreadyOwner;
  SetLastError(ERROR_SUCCESS);
  Basalt::UniqueKernelHandle mutex(CreateOwnerMutex());
  const DWORD error = GetLastError();
  if (!mutex) return error;
  if (error == ERROR_ALREADY_EXISTS) return kControllerOwnedElsewhere;
  std::lock_guard<std::mutex> lock(m_lock);
  m_ownerMutex = std::move(mutex);
  return ERROR_SUCCESS;
}

HANDLE CLogController::CreateOwnerMutex() {
  COwnerMutexSecurity security;
  if (!BuildOwnerMutexSecurity(security)) {
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return nullptr;
  }
  const HANDLE mutex =
      CreateMutexW(&security.attributes, FALSE, m_appProperties.GetOwnerMutexName().c_str());
  if (mutex == nullptr && GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_INVALID_HANDLE);
  return mutex;
}

bool CLogController::BuildOwnerMutexSecurity(COwnerMutexSecurity& security) {
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                &security.administrators)) {
    return false;
  }
  EXPLICIT_ACCESS_W access = {};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = static_cast<LPWSTR>(security.administrators);
  // SetEntriesInAclW reports its error as its result and leaves the last error alone.
  const DWORD aclResult = SetEntriesInAclW(1, &access, nullptr, &security.acl);
  if (aclResult != ERROR_SUCCESS) {
    SetLastError(aclResult);
    return false;
  }
  security.descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (security.descriptor == nullptr) return false;
  if (!InitializeSecurityDescriptor(security.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(security.descriptor, TRUE, security.acl, FALSE)) {
    return false;
  }
  security.attributes.nLength = sizeof(security.attributes);
  security.attributes.lpSecurityDescriptor = security.descriptor;
  security.attributes.bInheritHandle = FALSE;
  return true;
}

// --- Session ---------------------------------------------------------------------------

DWORD CLogController::StartOrResume() {
  {
    // Tried again below (or when standby ends), not also by the settings applied first.
    std::lock_guard<std::mutex> lock(m_lock);
    m_bStartPending = false;
  }
  MigrateAutoUpgrade();
  const DWORD monitor = StartRegistryMonitor();
  if (monitor != ERROR_SUCCESS) return monitor;
  StartStandbyWatch();
  StartSessionWatch();
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_ownerMutex) m_bSessionWanted = true;
  if (m_bInStandby) {
    (void)RotateLogFiles();  // the session starts when standby ends
    return ERROR_SUCCESS;
  }
  return StartSession(TRUE);
}

void CLogController::StartStandbyWatch() {
  if (!m_pStandbyMonitor || m_bStandbyWatching || !IsOwner()) return;
  m_bStandbyWatching = true;  // a failed start is cleaned up by the monitor's Stop
  (void)m_pStandbyMonitor->Start(this);
}

void CLogController::StartSessionWatch() {
  if (m_sessionWatch.IsRunning() || !IsOwner()) return;
  // Without the thread the session still runs; it only does not come back by itself.
  (void)m_sessionWatch.Start([this] { return CheckSession(); }, SessionCheckDelay(0));
}

DWORD CLogController::SessionCheckDelay(DWORD failedChecks) {
  if (failedChecks == 0) return kSessionCheckMs;
  const DWORD doublings = std::min<DWORD>(failedChecks - 1, 15);
  return std::min<DWORD>(kFirstRetryMs << doublings, kSessionCheckMs);
}

DWORD CLogController::CheckSession() {
  std::lock_guard<std::mutex> lock(m_lock);
  // In standby the session stays stopped and its files stay where they are.
  if (!m_ownerMutex || !m_bSessionWanted || m_bInStandby) {
    m_dwFailedChecks = 0;
    return SessionCheckDelay(0);
  }
  if (IsShutdownRequested()) {
    m_bSessionWanted = false;  // as when the setting is applied: not until the next Start
    m_bStartPending = false;
    m_dwFailedChecks = 0;
    return SessionCheckDelay(0);
  }
  // Whoever restarted it, a session under the name is the one to keep: the watch starts one
  // only where none runs and never stops one, also when another process starts it meanwhile.
  if (!SessionRuns()) {
    // Missed for the first time: another process may be between the stop and the start of a
    // restart. Look again shortly before starting one over it.
    if (m_dwFailedChecks == 0) {
      m_dwFailedChecks = 1;
      return SessionCheckDelay(1);
    }
    CTraceProperties properties;
    if (BuildTraceProperties(properties)) (void)StartStoppedSession(TRUE, properties);
    // A start reported failed may still leave a session running (another process's start came
    // first, or only the provider could not be enabled).
    if (!SessionRuns()) return SessionCheckDelay(++m_dwFailedChecks);
  }
  m_bStartPending = false;
  m_dwFailedChecks = 0;
  return SessionCheckDelay(0);
}

void CLogController::CheckAgainSoon() {
  if (!m_ownerMutex) return;
  m_dwFailedChecks = std::max<DWORD>(m_dwFailedChecks, 1);
  m_sessionWatch.RunWithin(SessionCheckDelay(m_dwFailedChecks));
}

bool CLogController::SessionRuns() {
  CTraceProperties properties;
  return BuildTraceProperties(properties) && QuerySession(properties);
}

DWORD CLogController::StopController(BOOLEAN stopSession) {
  StopMonitorThreads();
  std::lock_guard<std::mutex> lock(m_lock);
  const DWORD result = stopSession ? StopSession() : static_cast<DWORD>(ERROR_SUCCESS);
  m_bStartPending = false;
  m_bSessionWanted = false;
  m_dwFailedChecks = 0;
  m_ownerMutex.reset();
  return result;
}

bool CLogController::EtlFileExists() {
  if (!EtlFolder()) return true;  // nothing can be known about it
  Basalt::UniqueFile file;
  const DWORD opened = OpenPlainFileIn(EtlFolder(), EtlFileName(), 0, file);
  return opened != ERROR_FILE_NOT_FOUND && opened != ERROR_PATH_NOT_FOUND;
}

std::wstring CLogController::EtlFileName() const {
  const std::wstring& file = m_appProperties.GetEtlFilePath();
  const size_t cut = file.find_last_of(L'\\');
  return cut == std::wstring::npos ? file : file.substr(cut + 1);
}

DWORD CLogController::NoEtlFolderReason() const {
  return m_dwFolderRefusal != ERROR_SUCCESS ? m_dwFolderRefusal
                                            : static_cast<DWORD>(ERROR_INVALID_HANDLE);
}

DWORD CLogController::StartSession(BOOL rotate) {
  CTraceProperties properties;
  if (!BuildTraceProperties(properties)) return kControllerFailed;
  (void)StopSession();
  return StartStoppedSession(rotate, properties);
}

DWORD CLogController::StartStoppedSession(BOOL rotate, CTraceProperties& properties) {
  // The session would write its file through whatever the folder leads to.
  if (m_dwFolderRefusal != ERROR_SUCCESS) return m_dwFolderRefusal;
  if (rotate && EtlPathLeadsToHeldFolder()) {
    const DWORD rotation = RotateLogFiles();
    // A circular session truncates its file: never start over a trace that stayed in place.
    // The owner starts the session this call stopped once whoever holds the file lets go: at
    // its next trigger (a settings change, RestartSession, the end of standby) or check.
    if (EtlFileExists()) {
      if (m_ownerMutex) m_bStartPending = true;
      CheckAgainSoon();
      return rotation != ERROR_SUCCESS ? rotation : static_cast<DWORD>(ERROR_FILE_EXISTS);
    }
  }
  // StartTrace takes a path: it must still lead to the folder held, whatever was done to the
  // folders along it since they were secured.
  if (!EtlPathLeadsToHeldFolder()) {
    if (m_ownerMutex) m_bStartPending = true;
    CheckAgainSoon();
    return kControllerEtlPathElsewhere;
  }
  TRACEHANDLE handle = 0;
  const ULONG started = TraceSessionCalls::StartTrace(
      &handle, m_appProperties.GetSessionName().c_str(), properties.get());
  if (started != ERROR_SUCCESS) {
    CheckAgainSoon();
    return started;
  }
  m_bStartPending = false;
  m_bElsewhereLogged = false;
  m_dwFailedChecks = 0;
  m_hSession = handle;
  return EnableProvider(handle);
}

DWORD CLogController::EnableProvider(TRACEHANDLE started) {
  // Another process may have stopped or restarted the session since its handle was learnt:
  // enable on the one that runs under the name now.
  CTraceProperties properties;
  if (!BuildTraceProperties(properties)) return kControllerFailed;
  if (!QuerySession(properties)) {
    if (started == 0) return kControllerNoSession;
    m_hSession = started;
  }
  return TraceSessionCalls::EnableTrace(TRUE, 0, m_dwSeverity, &m_appProperties.GetProviderGuid(),
                                        m_hSession);
}

DWORD CLogController::StopSession() {
  CTraceProperties properties;
  if (!BuildTraceProperties(properties)) return kControllerFailed;
  if (!QuerySession(properties)) return kControllerNoSession;
  (void)TraceSessionCalls::EnableTrace(FALSE, 0, 0, &m_appProperties.GetProviderGuid(), m_hSession);
  const ULONG stopped =
      TraceSessionCalls::ControlTrace(m_hSession, m_appProperties.GetSessionName().c_str(),
                                      properties.get(), EVENT_TRACE_CONTROL_STOP);
  m_hSession = 0;
  return stopped;
}

DWORD CLogController::FlushSession() {
  CTraceProperties properties;
  if (!BuildTraceProperties(properties)) return kControllerFailed;
  if (!QuerySession(properties)) return kControllerNoSession;
  return TraceSessionCalls::ControlTrace(m_hSession, m_appProperties.GetSessionName().c_str(),
                                         properties.get(), EVENT_TRACE_CONTROL_FLUSH);
}

bool CLogController::QuerySession(CTraceProperties& properties) {
  if (TraceSessionCalls::ControlTrace(0, m_appProperties.GetSessionName().c_str(), properties.get(),
                                      EVENT_TRACE_CONTROL_QUERY) != ERROR_SUCCESS ||
      properties.get()->Wnode.HistoricalContext == 0) {
    return false;
  }
  m_hSession = properties.get()->Wnode.HistoricalContext;
  return true;
}

// --- Settings --------------------------------------------------------------------------

DWORD CLogController::StartRegistryMonitor() {
  const LONG created = m_registryMonitor.create(m_appProperties.GetRootKey(),
                                                m_appProperties.GetMonitoredKeyPath().c_str(),
                                                nullptr, 0, kSettingsAccess);
  if (created != ERROR_SUCCESS) return static_cast<DWORD>(created);
  if (!m_registryMonitor.start([this] { (void)ApplySettings(); }, true, kRegistryFilter)) {
    return kControllerFailed;
  }
  (void)ApplySettings();
  return ERROR_SUCCESS;
}

DWORD CLogController::ApplySettings() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (IsShutdownRequested()) {
    m_bStartPending = false;  // the session is not to run until the next Start
    m_bSessionWanted = false;
    return StopSession();
  }
  ReadControllerSettings();
  ReadSeverity();
  if (m_bStartPending && !m_bInStandby) return StartSession(TRUE);
  return EnableProvider(0);
}

void CLogController::MigrateAutoUpgrade() {
  Basalt::CRegKey base;
  if (base.Create(m_appProperties.GetRootKey(), m_appProperties.GetBaseKeyPath().c_str(), nullptr,
                  0, kSettingsAccess) != ERROR_SUCCESS) {
    return;
  }
  DWORD upgraded = 0;
  if (base.QueryDWORDValue(L"Auto Upgraded", upgraded) == ERROR_SUCCESS && upgraded == 1) return;
  (void)base.DeleteValue(L"Logging Mechanism");
  (void)base.SetDWORDValue(L"Auto Upgraded", 1);
}

bool CLogController::IsShutdownRequested() {
  Basalt::CObfuscatedRegKey controller;
  if (controller.Open(m_appProperties.GetRootKey(), m_appProperties.GetControllerKeyPath().c_str(),
                      kSettingsAccess) != ERROR_SUCCESS) {
    return false;
  }
  DWORD shutdown = 0;
  return controller.QueryDWORDValue(L"Shutdown Controller", shutdown) == ERROR_SUCCESS &&
         shutdown == 1;
}

void CLogController::ReadControllerSettings() {
  Basalt::CObfuscatedRegKey controller;
  if (controller.Open(m_appProperties.GetRootKey(), m_appProperties.GetControllerKeyPath().c_str(),
                      kSettingsAccess) == ERROR_SUCCESS) {
    // An absent or unreadable value leaves its setting as it was.
    (void)controller.QueryDWORDValue(L"Buffer Size", m_dwBufferSize);
    (void)controller.QueryDWORDValue(L"Max Buffers", m_dwMaxBuffers);
    (void)controller.QueryDWORDValue(L"File Mode", m_dwFileMode);
    (void)controller.QueryDWORDValue(L"File Size", m_dwFileSize);
    (void)controller.QueryDWORDValue(L"Files To Keep", m_dwFilesToKeep);
    (void)controller.QueryDWORDValue(L"Flush Timer", m_dwFlushTimer);
    DWORD minBuffers = 0;
    if (controller.QueryDWORDValue(L"Min Buffers", minBuffers) == ERROR_SUCCESS) {
      m_dwMinBuffers = minBuffers;
    }
  }
  if (m_dwFilesToKeep == 0) m_dwFilesToKeep = 1;
  if (m_dwFilesToKeep > kMaxFilesToKeep) m_dwFilesToKeep = kMaxFilesToKeep;
}

void CLogController::ReadSeverity() {
  Basalt::CRegKey provider;
  if (provider.Open(m_appProperties.GetRootKey(), m_appProperties.GetProviderKeyPath().c_str(),
                    KEY_QUERY_VALUE) == ERROR_SUCCESS) {
    (void)provider.QueryDWORDValue(L"Severity", m_dwSeverity);
  }
}

}  // namespace ETWLogging
