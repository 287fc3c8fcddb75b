// The signed trusted list file "trusted.js": its grammar, its own signature check,
// reading under file and memory locks and replacement by a newer signed copy.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "basalt/UniqueHandle.h"

// Global atom added after every replacement of the installed file; never deleted.
constexpr wchar_t kTrustedListReloadAtom[] = L"67136527-5D6B-4AC9-865B-3E392E982420";

// Section name -> that section's lines, in file order (names compare case-sensitively).
using TrustedListSections = std::map<std::wstring, std::vector<std::wstring>>;

// Files the lines of |text| (8-bit, one byte per character) into |sections|: trims
// " \t", skips empty and comment lines, stops at the first "// SIG //" line. Returns
// false on a header with an empty name (|sections| is then partly filled).
[[nodiscard]] bool ReadTrustedListSections(std::string_view text, TrustedListSections* sections);

// Decodes 40 hexadecimal digits into 20 bytes; false (|out| untouched) for any other text.
[[nodiscard]] bool TrustedListThumbprintFromHex(const std::wstring& text, BYTE out[20]);

// Root of the Windows drive + "Program Files\Common Files\Telvan\Platform\Core\trusted.js".
std::wstring GetDefaultTrustedListPath();

// Whole-file lock on an open list file; the lock and the handle are released together.
class CTrustedListFileLock {
 public:
  CTrustedListFileLock() = default;
  CTrustedListFileLock(CTrustedListFileLock&& other) noexcept;
  CTrustedListFileLock& operator=(CTrustedListFileLock&& other) noexcept;
  ~CTrustedListFileLock() { Release(); }

  // True when the file was opened (and locked).
  explicit operator bool() const { return file_.is_valid(); }
  HANDLE handle() const { return file_.get(); }
  void Release();

 private:
  friend CTrustedListFileLock OpenAndLockTrustedList(const wchar_t* path, bool exclusive);
  Basalt::UniqueFile file_;
  bool locked_ = false;
};

// Opens |path| (read, all sharing) and waits for a shared or exclusive lock on the whole
// file. An empty object when the file cannot be opened.
[[nodiscard]] CTrustedListFileLock OpenAndLockTrustedList(const wchar_t* path, bool exclusive);

// The file's own signature: exactly one signer whose certificate has the pinned list
// signer thumbprint, and a signature that the system accepts.
[[nodiscard]] BOOL VerifyTrustedListSignature(const wchar_t* path);

// One trusted list file and what was loaded from it.
class CTrustedList {
 public:
  // For |path|, or for the default path when |path| is null; nothing is read yet.
  explicit CTrustedList(const wchar_t* path);
  ~CTrustedList();
  CTrustedList(const CTrustedList&) = delete;
  CTrustedList& operator=(const CTrustedList&) = delete;

  // Under the shared lock.
  [[nodiscard]] BOOL IsLoaded();
  // Under the exclusive lock: loads the file unless already loaded.
  [[nodiscard]] BOOL EnsureLoaded();
  // Under the exclusive lock: loads the file again. When that fails, what was loaded
  // before stays in force and the result is false. A file replaced while it is read (an
  // update in another process) is read again.
  [[nodiscard]] BOOL Reload();
  // Under the exclusive lock: drops what was loaded (nothing is loaded after).
  void Discard();
  // Replaces this instance's file with a copy of |newFile| and loads it. Under the
  // exclusive locks the copy must load and its version must be greater than the
  // current file's (read through the locked file) and the loaded list's; otherwise, or
  // when the current file cannot be read, false and nothing changes.
  [[nodiscard]] BOOL Update(const wchar_t* newFile);

  const std::wstring& GetPath() const { return path; }

  // Holds the shared side of the list's lock; the accessors below need one.
  class SharedHold {
   public:
    explicit SharedHold(CTrustedList& list) : list_(list) { AcquireSRWLockShared(&list_.lock); }
    ~SharedHold() { ReleaseSRWLockShared(&list_.lock); }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;

   private:
    CTrustedList& list_;
  };

  // Caller holds the lock (shared or exclusive).
  BOOL IsLoadedLocked() const { return loaded; }
  DWORD GetVersion() const { return version; }
  const wchar_t* const* GetNames() const { return names; }
  const BYTE* const* GetThumbprints() const { return thumbprints; }
  DWORD GetThumbprintCount() const { return thumbprintCount; }
  const wchar_t* const* GetSerials() const { return serials; }

 protected:
  // Caller holds the exclusive lock.
  BOOL LoadFromFile();
  void Unload();
  // Caller holds the exclusive lock: loads the file into a list of its own and puts that
  // in force only when it loaded.
  BOOL LoadInPlaceOfCurrent();
  // Builds the lists from |sections|; false (lists cleared) when unusable.
  BOOL ParseEntries();

  TrustedListSections& Sections() { return sections; }

 private:
  void ClearLists();
  // One read of the file: its verified text in |text|.
  enum class ReadResult { kRead, kFailed, kReplaced };
  ReadResult ReadVerifiedFile(std::string* text) const;
  // The version that the file under |current| states, read through that handle: 0 when it
  // holds no list. False when it cannot be read.
  static bool ReadLockedFileVersion(const CTrustedListFileLock& current, DWORD* version);

  DWORD version = 0;
  const wchar_t** names = nullptr;
  BYTE** thumbprints = nullptr;
  DWORD thumbprintCount = 0;
  const wchar_t** serials = nullptr;
  SRWLOCK lock = SRWLOCK_INIT;
  TrustedListSections sections;
  BOOL loaded = FALSE;
  std::wstring path;
};

// A number that changes whenever a trusted list is loaded, dropped or replaced in this process,
// so that a verdict kept across calls is not used under other lists than it was made with.
[[nodiscard]] LONG TrustedListGeneration();

// The process-wide installed list, constructed on first use for its fixed path.
CTrustedList& GetInstalledTrustedList();

// Offers |candidate| to the installed list: installed when it loads, its version is
// above the built-in list version and above the installed list's. TRUE when replaced.
[[nodiscard]] BOOL ApplyTrustedListUpdate(const wchar_t* candidate);
