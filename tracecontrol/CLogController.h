// Owner of one application's trace session: session ownership through a named mutex,
// settings from the registry, ETL rotation, and reactions to registry changes and to
// connected standby.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <evntrace.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "basalt/HeldFolderChain.h"
#include "basalt/UniqueHandle.h"
#include "etwlogging/ETWAppProperties.h"
#include "tracecontrol/CCSMonitor.h"
#include "tracecontrol/CLogControllerIf.h"
#include "tracecontrol/CSessionWatch.h"
#include "tracecontrol/ICStandbyListener.h"
#include "tracecontrol/Registry/monitored_reg_key.h"

namespace ETWLogging {

// Result codes of the controller besides the platform's own.
constexpr DWORD kControllerNoSession = ERROR_FILE_NOT_FOUND;    // 2
constexpr DWORD kControllerOwnedElsewhere = ERROR_NOT_OWNER;    // 288
constexpr DWORD kControllerAlreadyOwner = ERROR_INVALID_OWNER;  // 1307
constexpr DWORD kControllerFailed = ERROR_FUNCTION_FAILED;      // 1627
constexpr DWORD kControllerShutDown = ERROR_INVALID_STATE;      // 5023
constexpr DWORD kControllerAlreadyInitialized = 4055;
// The ETL path does not lead to the held ETL folder just before a session start.
constexpr DWORD kControllerEtlPathElsewhere = ERROR_BAD_PATHNAME;  // 161

// The trace properties block: EVENT_TRACE_PROPERTIES, the session name at byte 120 and the
// ETL file path at byte 2168, 1023 characters and a terminator each.
constexpr ULONG kTracePropertiesBytes = 4216;
constexpr ULONG kTraceLoggerNameOffset = 120;
constexpr ULONG kTraceLogFileNameOffset = 2168;
constexpr ULONG kTraceNameBytes = 1024 * sizeof(wchar_t);
static_assert(kTraceLoggerNameOffset == sizeof(EVENT_TRACE_PROPERTIES),
              "the session name follows EVENT_TRACE_PROPERTIES");
static_assert(kTraceLogFileNameOffset == kTraceLoggerNameOffset + kTraceNameBytes,
              "the ETL file path follows the session name");
static_assert(kTracePropertiesBytes == kTraceLogFileNameOffset + kTraceNameBytes,
              "the block ends with the ETL file path");

class CTraceProperties {
 public:
  EVENT_TRACE_PROPERTIES* get() const noexcept {
    return reinterpret_cast<EVENT_TRACE_PROPERTIES*>(m_bytes.get());
  }
  explicit operator bool() const noexcept { return m_bytes != nullptr; }

 private:
  friend class CLogController;
  std::unique_ptr<BYTE[]> m_bytes;
};

// Administrators-only security of the owner mutex; frees what it holds when it goes.
struct COwnerMutexSecurity {
  COwnerMutexSecurity() = default;
  COwnerMutexSecurity(const COwnerMutexSecurity&) = delete;
  COwnerMutexSecurity& operator=(const COwnerMutexSecurity&) = delete;
  ~COwnerMutexSecurity();

  PSID administrators = nullptr;              // FreeSid
  PACL acl = nullptr;                         // LocalFree
  PSECURITY_DESCRIPTOR descriptor = nullptr;  // LocalFree
  SECURITY_ATTRIBUTES attributes = {};
};

// One ETL backup found in the ETL folder.
struct CBackupFile {
  FILETIME lastWrite;
  std::wstring name;  // in the ETL folder
};
using CBackupFileList = std::vector<CBackupFile>;

// One object per process (see LogControllerExports.h). The public operations are called
// from one thread at a time; the registry monitor's thread, the standby monitor's thread and
// the session watch's thread run beside it, and every piece of shared state is used under
// the controller's own lock.
class CLogController : public CLogControllerIf, public ICStandbyListener {
 public:
  CLogController();
  CLogController(const CLogController&) = delete;
  CLogController& operator=(const CLogController&) = delete;

  // Joins the monitor and watch threads before anything else goes, then gives up
  // ownership; a running session keeps running.
  ~CLogController() override;

  // 5023 when "Shutdown Controller" is 1; 1307 when this object owns the session, 288 when
  // another does, or the mutex error; else the session is started (after the running one of
  // that name is stopped and the ETL files are rotated), or only the ETL files are rotated
  // while the machine is in connected standby.
  [[nodiscard]] DWORD Start() override;
  // Takes ownership first when not holding it (288 etc.), then ends monitoring and
  // ownership; stops the session when |stopSession|.
  [[nodiscard]] DWORD Stop(BOOLEAN stopSession) override;
  // Stops the running session (2 when none runs: nothing else changes, unless this owner's
  // own start was refused because the ETL file stayed in place: then it starts the session)
  // and starts it again with rotation. An owner stays the owner throughout; a start that a
  // non-owner could not make is the owner's to make again (see SessionCheckDelay).
  [[nodiscard]] DWORD RestartSession() override;
  // Flushes the running session (2 when none runs).
  [[nodiscard]] DWORD FlushBuffers() override;
  // 4055 on a second call; 87 for a null ID or an application without names; else the
  // error of creating a missing folder down to the ETL folder; 0. Every folder from
  // ProgramData down to the ETL folder must then be a real folder that only SYSTEM and
  // Administrators control, held from then on: one that someone else made or could write
  // is moved aside and made anew (see CLogFolderSecurity for the rights). Where that fails
  // it is logged, and no ETL file is moved or deleted and no session started by this object.
  [[nodiscard]] DWORD Initialize(const wchar_t* appId) override;
  std::wstring GetDiagnostics() override;

  // Standby announcements; acted on only while this object owns the session and
  // "Shutdown Controller" is not set.
  void OnStandby(bool entering) override;

  // "{%08X-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X}"
  static std::wstring FormatGuid(const GUID& guid);

 protected:
  [[nodiscard]] virtual bool LoadAppProperties(const wchar_t* appId);
  [[nodiscard]] virtual DWORD EnsureEtlDirectory();
  [[nodiscard]] virtual bool BuildTraceProperties(CTraceProperties& properties);
  [[nodiscard]] virtual DWORD AcquireOwnerMutex();
  // The owner mutex (opened or created), or null with a nonzero last error.
  [[nodiscard]] virtual HANDLE CreateOwnerMutex();
  // False with the failing step's error as the thread's last error.
  [[nodiscard]] virtual bool BuildOwnerMutexSecurity(COwnerMutexSecurity& security);
  // Lock held. True, with the session handle learnt, when the session runs.
  [[nodiscard]] virtual bool QuerySession(CTraceProperties& properties);
  // Lock held. Stops the running session, rotates the ETL files when |rotate| and starts the
  // session. An ETL file that stayed in place is never started over, nor a session whose
  // ETL path does not lead to the held ETL folder (161, logged once until a start succeeds):
  // then nothing is started and the reason is returned; an owner tries again at its next
  // trigger or check.
  [[nodiscard]] virtual DWORD StartSession(BOOL rotate);
  [[nodiscard]] virtual DWORD StartOrResume();
  [[nodiscard]] virtual DWORD StopController(BOOLEAN stopSession);
  // Lock held.
  [[nodiscard]] virtual DWORD FlushSession();
  // Lock held.
  [[nodiscard]] virtual DWORD StopSession();
  // Lock held. Moves the ETL file to a new backup and prunes the backups: 0; 2 when there
  // is no ETL file; the error of the move (the ETL file then stays where it is); else the
  // first failed deletion. The reason when the folders could not be made safe; 161 when the
  // ETL path no longer leads to the held ETL folder. Files are
  // reached through the ETL folder's handle, never by following a reparse point; anything
  // that is not a plain file is neither moved nor deleted.
  [[nodiscard]] virtual DWORD RotateLogFiles();
  // Lock held. 0, 2 without an ETL file, or the error of the move; a backup name that is
  // taken is passed over.
  [[nodiscard]] virtual DWORD BackupCurrentEtl();
  // The plain files of the ETL folder whose names end in ".bak". False when out of memory.
  [[nodiscard]] virtual bool ListBackupFiles(CBackupFileList& list);
  // Deletes the oldest entries beyond Files To Keep; one that cannot be deleted is passed
  // over. 0, or the first failed deletion's error.
  [[nodiscard]] virtual DWORD PruneBackupFiles(CBackupFileList& list);
  [[nodiscard]] virtual DWORD StartRegistryMonitor();
  // Takes the lock. "Shutdown Controller" 1 stops the session; otherwise the settings are
  // read again and the provider enabled anew on the running session, or the session is
  // started when an earlier start was refused (see StartSession).
  [[nodiscard]] virtual DWORD ApplySettings();
  virtual void MigrateAutoUpgrade();
  [[nodiscard]] virtual bool IsShutdownRequested();
  virtual void ReadControllerSettings();
  virtual void ReadSeverity();

  // The standby monitor of this machine: a CCSMonitor from Windows 8 on, else none.
  virtual std::unique_ptr<CCSMonitor> MakeStandbyMonitor();
  // The time stamp of a new backup's name.
  virtual void GetBackupTime(FILETIME& time);
  // The security calls of the folders from ProgramData down to the ETL folder.
  virtual Basalt::CFolderSecurityCalls& FolderSecurityCalls();
  // While this object owns the session and it should run (from Start on, outside standby,
  // until "Shutdown Controller" or Stop), a watch checks that a session runs under its name
  // and, when none does at two checks in a row, starts it with rotation. The delay in ms
  // before the next check: |failedChecks| 0 while the session runs, else the number of
  // checks (or failed starts) in a row that found none running. Checks come at most 30 s
  // apart, so a session comes back within 30 s of the ETL file being let go.
  [[nodiscard]] virtual DWORD SessionCheckDelay(DWORD failedChecks);

  // Joins the monitor and watch threads. Derived classes whose overrides run on those
  // threads call it from their destructors.
  void StopMonitorThreads();

  const internal::ETWAppProperties& AppProperties() const noexcept { return m_appProperties; }

 private:
  bool IsOwner();
  // The reason the folders from ProgramData down to the ETL folder are not safe to work in
  // (logged), or 0 with all of them held; |report| tells where it stopped.
  DWORD SecureEtlFolders(Basalt::CFolderChainReport& report);
  // The held ETL folder, or null.
  HANDLE EtlFolder() const;
  // Lock held. Whether the folder of the ETL file's path is the ETL folder held; the first
  // time it is not, since a session last started, that is logged.
  bool EtlPathLeadsToHeldFolder();
  // "qxlogs.etl": the name of the ETL file in the ETL folder.
  std::wstring EtlFileName() const;
  // Why the ETL folder is not held: the reason its securing failed, else 6 (not initialised).
  DWORD NoEtlFolderReason() const;
  void StartStandbyWatch();
  void StartSessionWatch();
  // The session watch's check; the delay before the next one.
  DWORD CheckSession();
  // Lock held. After a failed start by the owner: the watch checks again soon.
  void CheckAgainSoon();
  // Lock held. Whether a session runs under the session name.
  bool SessionRuns();
  // Lock held. StartSession after its stop: rotation, the refusal of an ETL file that stayed
  // in place, the start of the session with |properties| and the enabling of the provider.
  DWORD StartStoppedSession(BOOL rotate, CTraceProperties& properties);
  bool EtlFileExists();
  // Lock held. Enables the provider at Severity on the session running under the session
  // name, as a query finds it now; 2 when none is found. |started| is the handle of a
  // session that the caller has just started, used when the query cannot tell.
  DWORD EnableProvider(TRACEHANDLE started);

  bool m_bInitialized = false;
  volatile LONG m_lBackupCounter = 0;
  TRACEHANDLE m_hSession = 0;
  Basalt::UniqueKernelHandle m_ownerMutex;
  Basalt::monitored_reg_key m_registryMonitor;
  internal::ETWAppProperties m_appProperties;
  DWORD m_dwBufferSize = 9;
  DWORD m_dwMaxBuffers = 256;
  DWORD m_dwMinBuffers = 0xFFFFFFFF;
  DWORD m_dwFlushTimer = 0;
  DWORD m_dwFileMode = EVENT_TRACE_FILE_MODE_CIRCULAR | EVENT_TRACE_USE_PAGED_MEMORY;
  DWORD m_dwFileSize = 16;
  DWORD m_dwFilesToKeep = 10;
  DWORD m_dwSeverity = 4;
  bool m_bInStandby = false;
  // The owner's start of the session was refused because the ETL file could not be moved
  // aside; the next settings change, RestartSession or check of the watch tries again.
  bool m_bStartPending = false;
  // The owner's session should run: set by the owner's start, cleared by "Shutdown
  // Controller" and by the end of ownership.
  bool m_bSessionWanted = false;
  DWORD m_dwFailedChecks = 0;
  std::unique_ptr<CCSMonitor> m_pStandbyMonitor;
  bool m_bStandbyWatching = false;
  CSessionWatch m_sessionWatch;
  // The folders from ProgramData down to the ETL folder, held from Initialize on once they
  // are safe; else why they are not.
  std::unique_ptr<Basalt::CHeldFolderChain> m_folders;
  DWORD m_dwFolderRefusal = ERROR_SUCCESS;
  // A start was refused because the ETL path led elsewhere than the held ETL folder, and
  // that was logged; cleared by the next start.
  bool m_bElsewhereLogged = false;
  std::mutex m_lock;
};

}  // namespace ETWLogging
