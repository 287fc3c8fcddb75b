// Verdicts on client processes kept between calls, so that a client pays for the check once.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

// What a verdict on a client process was made for: the process (its ID and creation time), its
// program file (volume, file ID and last write time) and the trusted lists in force
// (TrustedListGeneration). A verdict is used again only for an equal key.
struct CallerVerdictKey {
  DWORD processId = 0;
  ULONGLONG processCreation = 0;
  ULONGLONG volume = 0;
  BYTE fileId[16] = {};
  ULONGLONG lastWrite = 0;
  LONG listGeneration = 0;

  bool operator==(const CallerVerdictKey& other) const;
};

// The key of the client |process| (opened with PROCESS_QUERY_LIMITED_INFORMATION) whose program
// file is open as |file|, under the current trusted lists; false when one of them cannot be asked.
[[nodiscard]] bool MakeCallerVerdictKey(HANDLE process, HANDLE file, CallerVerdictKey* key);

// At most |capacity| verdicts; storing one more drops the one least recently found or stored.
// Safe on any number of threads at once.
class CCallerVerdictCache {
 public:
  explicit CCallerVerdictCache(size_t capacity);
  CCallerVerdictCache(const CCallerVerdictCache&) = delete;
  CCallerVerdictCache& operator=(const CCallerVerdictCache&) = delete;

  // True with |*verdict| set when a verdict is kept for |key|; |*verdict| untouched otherwise.
  [[nodiscard]] bool Find(const CallerVerdictKey& key, DWORD* verdict);
  // Keeps |verdict| for |key| (in place of one kept for it before). Nothing is kept when memory
  // runs out.
  void Store(const CallerVerdictKey& key, DWORD verdict);
  // The number of verdicts kept.
  [[nodiscard]] size_t Size();

 private:
  struct Entry {
    CallerVerdictKey key;
    DWORD verdict;
    ULONGLONG used;  // the clock at its last find or store
  };

  SRWLOCK m_lock = SRWLOCK_INIT;
  const size_t m_capacity;
  std::vector<Entry> m_entries;
  ULONGLONG m_clock = 0;
};

// The verdicts of this process's caller checks (256 client processes at most).
CCallerVerdictCache& CallerVerdicts();
