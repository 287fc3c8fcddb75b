// ETL rotation of the trace session controller: the current ETL file becomes a numbered,
// time-stamped backup and the oldest backups beyond "Files To Keep" are deleted.
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "etwlogging/CLoggingIf.h"
#include "tracecontrol/CLogController.h"

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
  const errno_t exists = _waccess_s(m_appProperties.GetEtlFilePath().c_str(), 0);
  if (exists != 0) return static_cast<DWORD>(exists);
  const DWORD backup = BackupCurrentEtl();
  if (backup != ERROR_SUCCESS) return backup;
  CBackupFileList list;
  if (!ListBackupFiles(list)) return ERROR_NOT_ENOUGH_MEMORY;
  return list.empty() ? static_cast<DWORD>(ERROR_SUCCESS) : PruneBackupFiles(list);
}

DWORD CLogController::BackupCurrentEtl() {
  const std::wstring& etlFile = m_appProperties.GetEtlFilePath();
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; attempt < kBackupNameAttempts; ++attempt) {
    const LONG counter = InterlockedIncrement(&m_lBackupCounter);
    FILETIME now = {};
    GetBackupTime(now);
    std::wstring backup;
    if (!FormatWide(backup, L"%s\\%08d%08x%08x.etl.bak", m_appProperties.GetEtlPath().c_str(),
                    static_cast<int>(counter), now.dwHighDateTime, now.dwLowDateTime)) {
      return ERROR_INVALID_PARAMETER;
    }
    if (MoveFileW(etlFile.c_str(), backup.c_str())) return ERROR_SUCCESS;
    error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return error;
  }
  return error;
}

bool CLogController::ListBackupFiles(CBackupFileList& list) {
  try {
    std::wstring pattern;
    if (!FormatWide(pattern, L"%s\\*.bak", m_appProperties.GetEtlPath().c_str())) return true;
    WIN32_FIND_DATAW data;
    const Basalt::UniqueFindFile find(FindFirstFileW(pattern.c_str(), &data));
    if (!find) return true;
    do {
      // A folder cannot be deleted as a file and would hold up the pruning for good; the
      // pattern also matches short 8.3 names of longer extensions.
      if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
          !EndsWithBak(data.cFileName)) {
        continue;
      }
      list.push_back({data.ftLastWriteTime, m_appProperties.GetEtlPath() + L"\\" + data.cFileName});
    } while (FindNextFileW(find.get(), &data));
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
  DWORD firstError = ERROR_SUCCESS;
  for (size_t i = 0; i < excess; ++i) {
    if (!DeleteFileW(list[i].path.c_str()) && firstError == ERROR_SUCCESS) {
      firstError = GetLastError();
    }
  }
  return firstError;
}

}  // namespace ETWLogging
