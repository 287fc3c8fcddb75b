// Text-file back end of the logging client: appends each message as one UTF-16 line to a
// numbered ".log" file under ProgramData, rotating through a fixed number of files, with
// its settings in obfuscated "log.ini" files.
#pragma once

#include <windows.h>

#include <atomic>
#include <optional>
#include <string>

#include "basalt/UniqueHandle.h"
#include "etwlogging/CLoggingIf.h"

namespace Basalt {
class CObfuscatedIniReader;
}

namespace ETWLogging {

// Bits of the "Options" setting.
enum : DWORD {
  kLogOptionDebugOutput = 0x01,    // the finished line also goes to OutputDebugStringW
  kLogOptionProcessThread = 0x04,  // "[PID:%5lu TID:%5lu]$"
  kLogOptionSource = 0x08,         // "[%s:%5d]$": file name (20 columns) and line
  kLogOptionModule = 0x10,         // "[%s]$": module file name (15 columns)
  kLogOptionFunction = 0x20,       // "[%s()]$": function name (40 columns)
};

// Results of the file logger besides Win32 codes.
constexpr DWORD kLogErrorAlreadyInitialized = 20001;
constexpr DWORD kLogErrorNotInitialized = 20002;

// Defaults that construction and Reset restore.
constexpr DWORD kLogDefaultMaxSize = 0x40000;
constexpr DWORD kLogMinMaxSize = 0x40000;
constexpr DWORD kLogMaxMaxSize = 0xA00000;
constexpr DWORD kLogDefaultMaxEntries = 3;
constexpr DWORD kLogMinMaxEntries = 2;
constexpr DWORD kLogMaxMaxEntries = 100;
constexpr DWORD kLogDefaultOptions = kLogOptionModule;
// Threshold of a logger whose folder could not be made: no level passes.
constexpr DWORD kLogSeveritySilenced = 10000;
// Size in wide characters of the buffer LogV formats into.
constexpr size_t kLogVBufferChars = 4160;
// Size in wide characters of the buffers the fields of a line are built in.
constexpr size_t kLogFieldChars = 260;
// Line said once when "LastLogIdx" cannot be stored: the index, the folder log.ini and the
// failing call's code (13 when the stored index does not read back).
constexpr wchar_t kIndexNoteFormat[] =
    L"Cannot store LastLogIdx %lu in %s (error %lu); the index is kept in memory";

// Writers of one log folder, in any process, order themselves by exclusive byte-range locks
// of one byte at kLogLockOffset (far past any data): on a log file while a line is appended
// to it, and on kLogLockFileName of the folder while a file is started and the index stored.
constexpr wchar_t kLogLockFileName[] = L"log.lck";
constexpr ULONGLONG kLogLockOffset = 0x4000000000000000ull;

class CLogging : public CLoggingIf {
 public:
  enum class FolderCheck : DWORD { Pending, Passed, Failed };

  CLogging() noexcept;
  // Reset, then closes the mutex and a file left open.
  ~CLogging() override;
  CLogging(const CLogging&) = delete;
  CLogging& operator=(const CLogging&) = delete;

  // 20001 when already initialised; else builds names, paths and settings: 87 for an
  // empty group or host or a failed path, 14 when a copy fails, the ProgramData error,
  // else 0. On failure the object is Reset. A given listener is not used, only deleted.
  [[nodiscard]] DWORD Initialize(const wchar_t* group, HMODULE module, const wchar_t* host,
                                 LoggingConfigListenerIf* listener) override;
  // Nothing to prepare: 0.
  DWORD Register() override;
  // Do nothing; |out| is left as it was.
  void GetQualifiedName(std::wstring& out) override;
  void GetGroupName(std::wstring& out) override;
  // 20002 when not initialised; else Reset and 0.
  DWORD Uninitialize() override;
  void SetEnabled(bool enabled) override;
  // True when enabled is exactly 1.
  bool IsEnabled() override;
  // When enabled and level >= Severity: formats into 4160 characters (at most 4159 kept)
  // and writes; 0 when filtered out, 87 for a null format, else the Write result.
  DWORD LogV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
             const wchar_t* format, ...) override;
  // Appends one line to the current file (opened and closed inside the call), on disk when
  // it returns; a folder found gone is made again and the line tried once more. 87 when not
  // initialised, the folder check failed, the message is null or empty or the level is
  // outside 1..6; 14 out of memory; 112 for a short write (what it wrote is cut off again
  // where it can be); else the file system's code or 0. No level filter.
  DWORD Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
              const wchar_t* message) override;
  // level >= Severity (unsigned): no level is exempt.
  bool IsLevelEnabled(LogLevel level) override;
  // Clamped to 2..100.
  void SetMaxEntries(DWORD entries) override;
  DWORD GetMaxEntries() override;
  // Clamped to 0x40000..0xA00000 bytes.
  void SetMaxSize(DWORD bytes) override;
  DWORD GetMaxSize() override;
  // Severity clamped to 1..6 and exchanged into the process-wide severity, whose
  // previous value is returned.
  DWORD SetSeverity(LogLevel level) override;
  DWORD GetSeverity() override;
  // Interlocked; Release deletes the object when the count drops from 1 to 0.
  ULONG AddRef() override;
  ULONG Release() override;

  // Slot 24: the ProgramData folder copied into |buffer| of |count| characters: 87 for a
  // null buffer (or no room at all) or when the folder is not returned, 80 when the copy
  // had to be cut (the buffer then holds the cut, terminated text), else 0.
  [[nodiscard]] virtual DWORD GetProgramDataPath(wchar_t* buffer, DWORD count);

  // Timestamp text of a line: "%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$" (month, day, year,
  // 12-hour clock, "AM"/"PM") into |buffer| of |count| characters, always terminated.
  static void FormatTimestamp(const SYSTEMTIME& time, wchar_t* buffer, size_t count) noexcept;

  // Whether |value| is acceptable for the setting |name| (compared without case); an
  // empty or null name is not valid.
  static bool IsValidSetting(const wchar_t* name, DWORD value) noexcept;

  // The level's name in text lines, or null outside 1..6.
  static const wchar_t* GetLevelName(LogLevel level) noexcept;

 protected:
  // Slot 25: the local time stamped on a line; tests pin it.
  virtual void GetLineTime(SYSTEMTIME* time);

  // Slot 26: one WriteFile of |bytes| into |file|, with WriteFile's contract (TRUE may come
  // with fewer bytes written than asked); tests make it write short.
  virtual BOOL WriteToFile(HANDLE file, const void* data, DWORD bytes, DWORD* written);

  // Takes ownership of |mutex| as the optional lock of Initialize, Uninitialize and
  // Write (each waits up to 7000 ms and goes on whether or not it got it). Nothing in
  // the system sets one; the destructor closes it.
  void SetMutex(HANDLE mutex) noexcept;

 private:
  class MutexWait;

  // Restores the state of construction except the process ID and the mutex.
  void Reset() noexcept;
  DWORD InitializeImpl(const wchar_t* group, HMODULE module, const wchar_t* host);
  DWORD BuildPaths();
  DWORD ReadSettings();
  bool ReadSetting(Basalt::CObfuscatedIniReader& folderReader,
                   Basalt::CObfuscatedIniReader& rootReader, const wchar_t* name,
                   DWORD defaultValue, DWORD& value);
  bool EnsureLogFolder();

  // One log file opened for a line, with the byte-range lock that orders the folder's writers
  // on it (released before the handle is closed).
  struct OpenLog;
  // An exclusive byte-range lock at kLogLockOffset, on a log file or on kLogLockFileName.
  class RangeLock;

  // Appends m_strLine to the current file: without the folder lock while that file has room,
  // else under it, where a full file leads to the next one. 3 when the folder is gone.
  DWORD AppendLine();
  DWORD AppendLineUnderFolderLock();
  // Starts the file of |index| (after a full file, or 000 after an index past the last) and
  // stores its index; |log| is left open on it, under its lock (without which nothing is
  // started). A file of that name that is full or holds no log is started anew; one with
  // room that holds lines is kept: another process writes it while its index is not stored.
  DWORD StartFile(DWORD index, DWORD storedIndex, OpenLog& log);
  // Opens the log file of |index| (its name into m_strFileName) and takes its lock, waiting
  // a short while. |writable| opens it for truncation too, else for appending only.
  DWORD OpenLogFile(DWORD index, DWORD disposition, bool writable, OpenLog& log);
  // Opens |name| inside the log folder (every file of the folder is opened here, by its
  // name in it); |share| defaults to reading and writing.
  DWORD OpenInFolder(const std::wstring& name, DWORD access, DWORD disposition,
                     Basalt::UniqueFile& file,
                     DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) const;
  // Takes the byte-range lock of |lock| on |file|; false when it is not had within the wait
  // (short, and none at all for a while after a wait ran out).
  bool TakeLock(RangeLock& lock, HANDLE file);
  // Writes the line (the mark first into a new file, and the note of a held index once) at
  // the end of |log|.
  DWORD WriteLineTo(OpenLog& log);
  // One whole piece of text at the end of |log|; a short write is cut off again when it can
  // be, else the next line starts with a line end. ERROR_DISK_FULL for a short write.
  DWORD WriteText(OpenLog& log, const std::wstring& text);
  // The index to write to: the stored one (read afresh when |fresh|), or a held one while
  // the stored index is still the one read when holding began. |readable| false when the
  // folder log.ini is there but cannot be read (the index read last is returned).
  DWORD CurrentIndex(bool fresh, bool* readable, DWORD* stored);
  // Stores |index| as "LastLogIdx", or holds it in memory when it cannot be stored (while
  // |storedIndex| is still the stored one), and has that said once in the log.
  void StoreIndex(DWORD index, DWORD storedIndex);
  // "LastLogIdx" of the folder log.ini: 0 when the file or the value is missing or damaged;
  // the index read last (and |readable| false) while the file is there but cannot be read.
  DWORD ReadLastLogIndex(bool fresh = false, bool* readable = nullptr);
  // 0 when |index| is stored and reads back; else the failing call's code, 87 when it
  // gives none, 13 when the stored index does not read back.
  DWORD WriteLastLogIndex(DWORD index);
  // Writes |value| of |name| into the folder log.ini as one step for its readers: a copy
  // beside it gets the value and replaces it. The folder lock must be held.
  DWORD StoreFolderValue(const wchar_t* name, int value);
  // Writes the line that says why the index is held in memory.
  void WriteIndexNote(OpenLog& log);
  // Name of the log file of |index| (no folder) into m_strFileName.
  void BuildFileName(DWORD index);
  // Builds the line into |out|: 87 for a level outside 1..6, 14 out of memory.
  DWORD FormatLine(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                   const wchar_t* message, std::wstring& out);

  // Fields, in their fixed order.
  DWORD m_bInitialized = 0;
  std::optional<std::wstring> m_strGroup;
  std::optional<std::wstring> m_strModuleBaseName;
  std::optional<std::wstring> m_strModuleFileName;
  DWORD m_dwProcessId = 0;
  std::optional<std::wstring> m_strHost;
  std::optional<std::wstring> m_strLogFolder;
  Basalt::UniqueFile m_hLogFile;
  LONG m_cRef = 0;
  HANDLE m_hMutex = nullptr;
  std::atomic<DWORD> m_dwMaxSize{kLogDefaultMaxSize};
  std::atomic<DWORD> m_dwMaxEntries{kLogDefaultMaxEntries};
  std::atomic<DWORD> m_dwSeverity{kDefaultSeverity};
  std::atomic<DWORD> m_dwOptions{kLogDefaultOptions};
  std::optional<std::wstring> m_strRootIniPath;
  std::optional<std::wstring> m_strFolderIniPath;
  std::atomic<DWORD> m_bEnabled{1};
  FolderCheck m_folderCheck = FolderCheck::Pending;

  // Process-local lock: the host logs from many threads through one object, and the
  // open-format-write-close sequence shares the file handle field.
  SRWLOCK m_lock = SRWLOCK_INIT;

  // What ReadLastLogIndex last found, reused for up to kIndexCacheMs while the file it
  // depends on is unchanged: for a present folder log.ini its metadata and "LastLogIdx"
  // (loading the file per line would cost more than the line); for an absent one the log
  // folder's metadata (a failed look-up costs several successful ones, and making the
  // file changes the folder). The age bound covers file systems with coarse times.
  struct IndexCache {
    enum class State { Unknown, Absent, Present } state = State::Unknown;
    FILETIME creationTime{};
    FILETIME lastWriteTime{};
    DWORD sizeHigh = 0;
    DWORD sizeLow = 0;
    ULONGLONG takenAt = 0;
    DWORD index = 0;  // kept when the state is reset: the index read last

    bool Matches(State expected, const WIN32_FILE_ATTRIBUTE_DATA& data, ULONGLONG now) const;
    void Set(State found, const WIN32_FILE_ATTRIBUTE_DATA& data, ULONGLONG now, DWORD value);
  } m_indexCache;

  // The current file's index while it cannot be stored: that file was started since the
  // last stored index, and the stored one would lead back to a full file. Held only while
  // the stored index is the one read when the store failed: once another process stores
  // one, that one leads.
  struct IndexHold {
    bool held = false;
    DWORD index = 0;
    DWORD stored = 0;       // the stored index when the store failed
    DWORD error = 0;        // why storing failed, as the note says it
    bool reported = false;  // said in the log since the last store that succeeded
  } m_indexHold;

  // When a wait for a lock of the folder last ran out (0: never): for a while after it,
  // locks are tried without waiting, so that no one holding them stalls every line.
  ULONGLONG m_lockTimedOutAt = 0;
  // A short write left part of a line that could not be cut off: the next line starts with
  // a line end.
  bool m_bFragment = false;

  // Working buffers of Write, kept between calls under the lock.
  std::wstring m_strFileName;
  std::wstring m_strLine;
  std::wstring m_strNote;
};

}  // namespace ETWLogging
