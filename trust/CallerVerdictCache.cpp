#include "trust/CallerVerdictCache.h"

#include <cstring>
#include <new>

#include "trust/TrustedList.h"

namespace {

constexpr size_t kCallerVerdicts = 256;

ULONGLONG Ticks(const FILETIME& time) {
  return ULONGLONG{time.dwHighDateTime} << 32 | time.dwLowDateTime;
}

// Holds the exclusive side of an SRW lock.
class ExclusiveHold {
 public:
  explicit ExclusiveHold(SRWLOCK& lock) : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
  ~ExclusiveHold() { ReleaseSRWLockExclusive(&m_lock); }
  ExclusiveHold(const ExclusiveHold&) = delete;
  ExclusiveHold& operator=(const ExclusiveHold&) = delete;

 private:
  SRWLOCK& m_lock;
};

}  // namespace

bool CallerVerdictKey::operator==(const CallerVerdictKey& other) const {
  return processId == other.processId && processCreation == other.processCreation &&
         volume == other.volume && std::memcmp(fileId, other.fileId, sizeof(fileId)) == 0 &&
         lastWrite == other.lastWrite && listGeneration == other.listGeneration;
}

bool MakeCallerVerdictKey(HANDLE process, HANDLE file, CallerVerdictKey* key) {
  CallerVerdictKey made;
  FILETIME creation, exit, kernel, user;
  FILE_BASIC_INFO basic = {};
  if (!GetProcessTimes(process, &creation, &exit, &kernel, &user) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic))) {
    return false;
  }
  made.processId = GetProcessId(process);
  made.processCreation = Ticks(creation);
  made.lastWrite = static_cast<ULONGLONG>(basic.LastWriteTime.QuadPart);
  FILE_ID_INFO id = {};
  if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof(id))) {
    made.volume = id.VolumeSerialNumber;
    static_assert(sizeof(id.FileId) == sizeof(made.fileId), "128-bit file IDs");
    std::memcpy(made.fileId, &id.FileId, sizeof(made.fileId));
  } else {
    // Systems before FileIdInfo: the 64-bit file index.
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info)) return false;
    made.volume = info.dwVolumeSerialNumber;
    const ULONGLONG index = ULONGLONG{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    std::memcpy(made.fileId, &index, sizeof(index));
  }
  if (made.processId == 0) return false;
  made.listGeneration = TrustedListGeneration();
  *key = made;
  return true;
}

CCallerVerdictCache::CCallerVerdictCache(size_t capacity) : m_capacity(capacity) {}

bool CCallerVerdictCache::Find(const CallerVerdictKey& key, DWORD* verdict) {
  ExclusiveHold hold(m_lock);
  for (Entry& entry : m_entries) {
    if (entry.key == key) {
      entry.used = ++m_clock;
      *verdict = entry.verdict;
      return true;
    }
  }
  return false;
}

void CCallerVerdictCache::Store(const CallerVerdictKey& key, DWORD verdict) {
  ExclusiveHold hold(m_lock);
  Entry* slot = nullptr;
  for (Entry& entry : m_entries) {
    if (entry.key == key) {
      slot = &entry;
      break;
    }
  }
  if (slot == nullptr && m_entries.size() < m_capacity) {
    try {
      m_entries.push_back(Entry{key, verdict, 0});
    } catch (const std::bad_alloc&) {
      return;
    }
    slot = &m_entries.back();
  }
  if (slot == nullptr) {
    if (m_entries.empty()) return;
    slot = &m_entries.front();
    for (Entry& entry : m_entries) {
      if (entry.used < slot->used) slot = &entry;
    }
  }
  *slot = Entry{key, verdict, ++m_clock};
}

size_t CCallerVerdictCache::Size() {
  ExclusiveHold hold(m_lock);
  return m_entries.size();
}

CCallerVerdictCache& CallerVerdicts() {
  // Never destroyed: a COM thread may still check a caller while the process ends.
  static CCallerVerdictCache* const verdicts = new CCallerVerdictCache(kCallerVerdicts);
  return *verdicts;
}
