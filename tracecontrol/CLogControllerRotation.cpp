// ETL rotation of the trace session controller: the current ETL file becomes a numbered,
// time-stamped backup and the oldest backups beyond "Files To Keep" are deleted.
#include <algorithm>
#include <new>

#include "etwlogging/CLoggingIf.h"
#include "tracecontrol/CLogController.h"
#include "tracecontrol/EtlFolderFiles.h"

namespace ETWLogging {
namespace {

// Names that are taken (the counter starts at 1 in every controller, and clocks repeat)
// are passed over; this many in a row mean something else is wrong.
constexpr int kBackupNameAttempts = 64;

bool EndsWithBak(const wchar_t* name) {
  const size_t length = wcslen(name);
  return length >= 4 && _wcsicmp(name + length - 4, L".bak") == 0;
}

}  // namespace

DWORD CLogController::RotateLogFiles() {
  if (!EtlFolder()) return NoEtlFolderReason();
  // Wine reaches names in a held folder through the path it was opened by: a folder that no
  // longer lies there is not worked in.
  if (!EtlPathLeadsToHeldFolder()) return kControllerEtlPathElsewhere;
  const DWORD backup = BackupCurrentEtl();
  if (backup != ERROR_SUCCESS) return backup;
  CBackupFileList list;
  if (!ListBackupFiles(list)) return ERROR_NOT_ENOUGH_MEMORY;
  return list.empty() ? static_cast<DWORD>(ERROR_SUCCESS) : PruneBackupFiles(list);
}

DWORD CLogController::BackupCurrentEtl() {
  if (!EtlFolder()) return NoEtlFolderReason();
  Basalt::UniqueFile etl;
  DWORD error = OpenPlainFileIn(EtlFolder(), EtlFileName(), DELETE, etl);
  if (error != ERROR_SUCCESS) return error;
  for (int attempt = 0; attempt < kBackupNameAttempts; ++attempt) {
    const LONG counter = InterlockedIncrement(&m_lBackupCounter);
    FILETIME now = {};
    GetBackupTime(now);
    std::wstring backup;
    if (!FormatWide(backup, L"%08d%08x%08x.etl.bak", static_cast<int>(counter), now.dwHighDateTime,
                    now.dwLowDateTime)) {
      return ERROR_INVALID_PARAMETER;
    }
    error = RenameWithin(etl.get(), EtlFolder(), backup);
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return error;
  }
  return error;
}

bool CLogController::ListBackupFiles(CBackupFileList& list) {
  if (!EtlFolder()) return true;
  try {
    std::vector<CFolderEntry> entries;
    (void)ListFolder(EtlFolder(), entries);  // what was listed before an error counts
    for (const CFolderEntry& entry : entries) {
      // Only plain files are ever deleted: a folder or link would hold up the pruning for
      // good, or lead elsewhere.
      if ((entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE |
                               FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
          !EndsWithBak(entry.name.c_str())) {
        continue;
      }
      list.push_back({entry.lastWrite, entry.name});
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

DWORD CLogController::PruneBackupFiles(CBackupFileList& list) {
  std::stable_sort(list.begin(), list.end(), [](const CBackupFile& a, const CBackupFile& b) {
    return CompareFileTime(&a.lastWrite, &b.lastWrite) < 0;
  });
  if (list.size() <= m_dwFilesToKeep) return ERROR_SUCCESS;
  // Only the oldest entries beyond the count are candidates: one that cannot be deleted is
  // passed over, never made up for with a newer backup.
  const size_t excess = list.size() - m_dwFilesToKeep;
  if (!EtlFolder()) return NoEtlFolderReason();
  DWORD firstError = ERROR_SUCCESS;
  for (size_t i = 0; i < excess; ++i) {
    // Deleted in the ETL folder the handle names, by the name the listing gave.
    Basalt::UniqueFile file;
    DWORD error = OpenPlainFileIn(EtlFolder(), list[i].name, DELETE, file);
    if (error == ERROR_SUCCESS) error = DeleteOnClose(file.get());
    if (error != ERROR_SUCCESS && firstError == ERROR_SUCCESS) firstError = error;
  }
  return firstError;
}

}  // namespace ETWLogging
