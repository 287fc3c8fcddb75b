#include "etwlogging/CLogging.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cwchar>
#include <new>

#include "basalt/CObfuscatedIniReader.h"
#include "basalt/FileUtils.h"
#include "basalt/HeldFolderChain.h"
#include "basalt/LibraryUtils.h"
#include "etwlogging/CETWLogging.h"  // LoggingConfigListenerIf
#include "etwlogging/CLogFolderSecurity.h"

namespace ETWLogging {

namespace {

constexpr wchar_t kConfigSection[] = L"Config";
constexpr wchar_t kLastLogIdx[] = L"LastLogIdx";
constexpr wchar_t kLogIniName[] = L"log.ini";
constexpr wchar_t kVendorFolder[] = L"Telvan";
constexpr wchar_t kLogsFolder[] = L"QXLOGS";
// Vendor folder and logs folder: the first two of the chain.
constexpr size_t kLogsDepth = 2;
constexpr DWORD kMutexWaitMs = 7000;
// Longest time a "LastLogIdx" read (or the absence of the folder log.ini) is trusted.
constexpr ULONGLONG kIndexCacheMs = 100;

// The copy of the folder log.ini that a store writes and then puts in its place.
constexpr wchar_t kIniCopyName[] = L"log.ini.tmp";
// Longest wait for a lock: a writer holds one for a line or for the start of a file. One that
// is held longer is not waited for again for kLockContestedMs: someone may hold it on purpose.
constexpr ULONGLONG kLockWaitMs = 500;
constexpr ULONGLONG kLockContestedMs = 5000;
// How long the replace of the folder log.ini is tried again while a reader has it open.
constexpr ULONGLONG kReplaceWaitMs = 200;
// A log file is opened to append only (each write lands at the end of the file as it is
// then) and to read, which the byte-range lock needs.
constexpr DWORD kAppendAccess =
    FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// Capacity of the line buffer that Write keeps between calls.
constexpr size_t kKeptLineChars = 16384;

constexpr int kModuleFieldWidth = 15;
constexpr int kSourceFieldWidth = 20;
constexpr int kFunctionFieldWidth = 40;

// FormatTruncatedV with the arguments given here.
size_t FormatInto(wchar_t* buffer, size_t count, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const size_t kept = FormatTruncatedV(buffer, count, format, args);
  va_end(args);
  return kept;
}

bool IsNullOrEmpty(const wchar_t* text) { return text == nullptr || *text == L'\0'; }

bool IsUnsetOrEmpty(const std::optional<std::wstring>& text) { return !text || text->empty(); }

// Copies a given string into |out| (left unset for null); false when the copy fails.
bool CopyOptional(const wchar_t* text, std::optional<std::wstring>& out) noexcept {
  try {
    if (text) out.emplace(text);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// The name up to its last "." (the whole name when it has none).
std::wstring BaseNameOf(const std::wstring& fileName) {
  const size_t dot = fileName.rfind(L'.');
  return dot == std::wstring::npos ? fileName : fileName.substr(0, dot);
}

const wchar_t* AfterLastBackslash(const wchar_t* path) {
  const wchar_t* slash = wcsrchr(path, L'\\');
  return slash ? slash + 1 : path;
}

bool SameFileTime(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

ULONGLONG FileSizeOf(const WIN32_FILE_ATTRIBUTE_DATA& data) {
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Whether |file| begins with the byte-order mark of a log file.
bool StartsWithByteOrderMark(HANDLE file) {
  BYTE mark[2] = {};
  DWORD read = 0;
  OVERLAPPED at{};
  return ReadFile(file, mark, sizeof(mark), &read, &at) && read == 2 && mark[0] == 0xFF &&
         mark[1] == 0xFE;
}

// The file-system disposition of a CreateFileW disposition; 0 for none.
ULONG NtDisposition(DWORD disposition) {
  switch (disposition) {
    case CREATE_NEW:
      return FILE_CREATE;
    case CREATE_ALWAYS:
      return FILE_OVERWRITE_IF;
    case OPEN_EXISTING:
      return FILE_OPEN;
    case OPEN_ALWAYS:
      return FILE_OPEN_IF;
    case TRUNCATE_EXISTING:
      return FILE_OVERWRITE;
    default:
      return 0;
  }
}

// The folders of a log group: one, or one per part between backslashes.
std::vector<std::wstring> GroupFolders(const std::optional<std::wstring>& group) {
  std::vector<std::wstring> folders;
  if (!group) return folders;
  for (size_t at = 0; at <= group->size();) {
    const size_t end = std::min(group->find(L'\\', at), group->size());
    if (end > at) folders.push_back(group->substr(at, end - at));
    at = end + 1;
  }
  return folders;
}

class SrwExclusive {
 public:
  explicit SrwExclusive(SRWLOCK* lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(lock_); }
  ~SrwExclusive() { ReleaseSRWLockExclusive(lock_); }
  SrwExclusive(const SrwExclusive&) = delete;
  SrwExclusive& operator=(const SrwExclusive&) = delete;

 private:
  SRWLOCK* lock_;
};

}  // namespace

// Waits for the optional mutex and releases it again only when it was obtained.
class CLogging::MutexWait {
 public:
  explicit MutexWait(HANDLE mutex) noexcept : mutex_(mutex) {
    if (mutex_) {
      const DWORD wait = WaitForSingleObject(mutex_, kMutexWaitMs);
      owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    }
  }
  ~MutexWait() {
    if (owned_) ReleaseMutex(mutex_);
  }
  MutexWait(const MutexWait&) = delete;
  MutexWait& operator=(const MutexWait&) = delete;

 private:
  HANDLE mutex_;
  bool owned_ = false;
};

// An exclusive byte-range lock at kLogLockOffset of a file, released when it goes (before the
// handle is closed, as the owner declares the handle first).
class CLogging::RangeLock {
 public:
  RangeLock() = default;
  ~RangeLock() { Release(); }
  RangeLock(const RangeLock&) = delete;
  RangeLock& operator=(const RangeLock&) = delete;

  // One try: 0 when taken, 33 when another handle holds it, else the platform's error.
  DWORD TryTake(HANDLE file) {
    OVERLAPPED at = Position();
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      const DWORD error = GetLastError();
      return error != ERROR_SUCCESS ? error : ERROR_LOCK_VIOLATION;
    }
    file_ = file;
    return ERROR_SUCCESS;
  }
  void Release() {
    if (file_ == nullptr) return;
    OVERLAPPED at = Position();
    (void)UnlockFileEx(file_, 0, 1, 0, &at);
    file_ = nullptr;
  }
  bool held() const { return file_ != nullptr; }

 private:
  static OVERLAPPED Position() {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(kLogLockOffset);
    at.OffsetHigh = static_cast<DWORD>(kLogLockOffset >> 32);
    return at;
  }
  HANDLE file_ = nullptr;
};

struct CLogging::OpenLog {
  Basalt::UniqueFile file;
  RangeLock lock;         // after the handle: released before it is closed
  DWORD index = 0;        // of the file
  ULONGLONG size = 0;     // where its end was once the lock was taken
  bool writable = false;  // opened to truncate, so writes go where the file pointer is

  void Reset() {
    lock.Release();
    file.reset();
  }
};

CLogging::CLogging() noexcept = default;

CLogging::~CLogging() {
  {
    SrwExclusive lock(&m_lock);
    Reset();
  }
  if (m_hMutex) CloseHandle(m_hMutex);
  m_hLogFile.reset();
}

void CLogging::SetMutex(HANDLE mutex) noexcept {
  if (m_hMutex) CloseHandle(m_hMutex);
  m_hMutex = mutex;
}

void CLogging::Reset() noexcept {
  ReleaseFolders();
  m_strProgramData.clear();
  m_setAsideNotes.clear();
  m_strGroup.reset();
  m_strModuleBaseName.reset();
  m_strModuleFileName.reset();
  m_strHost.reset();
  m_strLogFolder.reset();
  m_strRootIniPath.reset();
  m_strFolderIniPath.reset();
  m_hLogFile.reset();
  m_dwMaxSize = kLogDefaultMaxSize;
  m_dwMaxEntries = kLogDefaultMaxEntries;
  m_dwSeverity = kDefaultSeverity;
  m_dwOptions = kLogDefaultOptions;
  m_bEnabled = 1;
  m_folderCheck = FolderCheck::Pending;
  m_cRef = 0;
  m_bInitialized = 0;
  m_indexCache = IndexCache{};
  m_indexHold = IndexHold{};
}

DWORD CLogging::Initialize(const wchar_t* group, HMODULE module, const wchar_t* host,
                           LoggingConfigListenerIf* listener) {
  // The interface hands the listener over; this back end has no use for it.
  delete listener;
  MutexWait wait(m_hMutex);
  SrwExclusive lock(&m_lock);
  if (m_bInitialized) return kLogErrorAlreadyInitialized;
  const DWORD result = InitializeImpl(group, module, host);
  if (result != ERROR_SUCCESS) Reset();
  return result;
}

DWORD CLogging::InitializeImpl(const wchar_t* group, HMODULE module, const wchar_t* host) {
  m_bInitialized = 0;
  if ((group && *group == L'\0') || (host && *host == L'\0')) return ERROR_INVALID_PARAMETER;
  if (!CopyOptional(group, m_strGroup)) return ERROR_OUTOFMEMORY;

  try {
    std::wstring folder;
    std::wstring fileName;
    if (!Basalt::SplitModulePath(nullptr, folder, false, fileName)) return ERROR_OUTOFMEMORY;
    if (module) {
      std::wstring moduleFolder;
      std::wstring moduleFileName;
      if (Basalt::SplitModulePath(module, moduleFolder, false, moduleFileName)) {
        fileName.swap(moduleFileName);
      }
    }
    m_strModuleBaseName.emplace(BaseNameOf(fileName));
    m_strModuleFileName.emplace(std::move(fileName));
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }

  if (!CopyOptional(host, m_strHost)) return ERROR_OUTOFMEMORY;
  const DWORD result = BuildPaths();
  if (result != ERROR_SUCCESS) return result;
  (void)ReadSettings();
  m_dwProcessId = GetCurrentProcessId();
  m_bInitialized = 1;
  return ERROR_SUCCESS;
}

DWORD CLogging::BuildPaths() {
  if ((m_strGroup && m_strGroup->empty()) || IsUnsetOrEmpty(m_strModuleBaseName)) {
    return ERROR_INVALID_PARAMETER;
  }
  wchar_t programData[MAX_PATH];
  const DWORD result = GetProgramDataPath(programData, MAX_PATH);
  if (result != ERROR_SUCCESS) return result;
  try {
    m_strProgramData = programData;
    const std::wstring base = std::wstring(programData) + L"\\Telvan\\" + L"QXLOGS" + L"\\";
    if (m_strGroup) {
      m_strLogFolder.emplace(base + *m_strGroup + L"\\" + *m_strModuleBaseName);
    } else {
      m_strLogFolder.emplace(base + *m_strModuleBaseName);
    }
    m_strFolderIniPath.emplace(*m_strLogFolder + L"\\" + kLogIniName);
    m_strRootIniPath.emplace(base + kLogIniName);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return ERROR_SUCCESS;
}

DWORD CLogging::GetProgramDataPath(wchar_t* buffer, DWORD count) {
  if (buffer == nullptr || count == 0) return ERROR_INVALID_PARAMETER;
  PWSTR folder = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &folder);
  auto free_folder = Basalt::MakeScopeExit([&] { CoTaskMemFree(folder); });
  if (FAILED(hr) || folder == nullptr) return ERROR_INVALID_PARAMETER;
  const size_t length = wcslen(folder);
  if (length < count) {
    wmemcpy(buffer, folder, length + 1);
    return ERROR_SUCCESS;
  }
  wmemcpy(buffer, folder, count - 1);
  buffer[count - 1] = L'\0';
  return ERROR_FILE_EXISTS;  // 80: the folder did not fit and was cut
}

DWORD CLogging::ReadSettings() {
  if (!m_strFolderIniPath || !m_strRootIniPath) return ERROR_INVALID_PARAMETER;
  try {
    // The files are read through the folders that are there, held and checked as for the
    // lines; nothing is made for them (the first line makes the tree).
    const std::vector<std::wstring> names = FolderNames();
    size_t depth = 0;
    std::wstring path = m_strProgramData;
    for (const std::wstring& name : names) {
      path += L'\\';
      path += name;
      const DWORD attributes = GetFileAttributesW(path.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) break;
      ++depth;
    }
    if (depth < kLogsDepth) return ERROR_SUCCESS;
    Basalt::CFolderChainReport report;
    // What stands in the way is said by the first line's folder check.
    if (OpenFolders(depth, report) != ERROR_SUCCESS) return ERROR_SUCCESS;
    auto release = Basalt::MakeScopeExit([&] { ReleaseFolders(); });
    const bool rootThere =
        IsPlainFileIn(m_folders->Folder(kLogsDepth - 1), kLogIniName, *m_strRootIniPath);
    const bool folderThere =
        m_bLogFolderHeld && IsPlainFileIn(LogFolder(), kLogIniName, *m_strFolderIniPath);
    if (!rootThere && !folderThere) return ERROR_SUCCESS;
    Basalt::CObfuscatedIniReader folderReader;
    Basalt::CObfuscatedIniReader rootReader;
    if (folderThere) (void)folderReader.Load(*m_strFolderIniPath);
    if (rootThere) (void)rootReader.Load(*m_strRootIniPath);
    DWORD value = 0;
    if (ReadSetting(folderReader, rootReader, L"Enable", 1, value)) m_bEnabled = value != 0;
    if (ReadSetting(folderReader, rootReader, L"MaxSize", kLogDefaultMaxSize, value)) {
      SetMaxSize(value);
    }
    if (ReadSetting(folderReader, rootReader, L"MaxEntries", kLogDefaultMaxEntries, value)) {
      SetMaxEntries(value);
    }
    if (ReadSetting(folderReader, rootReader, L"Severity", kDefaultSeverity, value)) {
      m_dwSeverity = value;
    }
    if (ReadSetting(folderReader, rootReader, L"Options", kLogDefaultOptions, value)) {
      m_dwOptions = value;
    }
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return ERROR_SUCCESS;
}

bool CLogging::ReadSetting(Basalt::CObfuscatedIniReader& folderReader,
                           Basalt::CObfuscatedIniReader& rootReader, const wchar_t* name,
                           DWORD defaultValue, DWORD& value) {
  if (IsNullOrEmpty(name)) return false;
  int found = 0;
  if (folderReader.GetIntValue(kConfigSection, name, found)) {
    if (IsValidSetting(name, static_cast<DWORD>(found))) {
      value = static_cast<DWORD>(found);
      return true;
    }
    value = defaultValue;
    // Rewritten as the index is stored, so that no reader of the index meets a half-written
    // file.
    Basalt::UniqueFile lockFile;
    RangeLock folderLock;
    if (OpenInFolder(kLogLockFileName, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, lockFile) !=
            ERROR_SUCCESS ||
        !TakeLock(folderLock, lockFile.get()) ||
        StoreFolderValue(name, static_cast<int>(defaultValue)) != ERROR_SUCCESS) {
      return false;
    }
  }
  if (rootReader.GetIntValue(kConfigSection, name, found)) {
    if (IsValidSetting(name, static_cast<DWORD>(found))) {
      value = static_cast<DWORD>(found);
      return true;
    }
    value = defaultValue;
    return rootReader.SetIntValue(kConfigSection, name, static_cast<int>(defaultValue));
  }
  value = defaultValue;
  return true;
}

bool CLogging::IsValidSetting(const wchar_t* name, DWORD value) noexcept {
  if (IsNullOrEmpty(name)) return false;
  if (_wcsicmp(name, L"MaxSize") == 0) return value >= kLogMinMaxSize && value <= kLogMaxMaxSize;
  if (_wcsicmp(name, L"MaxEntries") == 0) {
    return value >= kLogMinMaxEntries && value <= kLogMaxMaxEntries;
  }
  if (_wcsicmp(name, L"Severity") == 0) return value < 7;
  return true;
}

DWORD CLogging::Register() { return ERROR_SUCCESS; }

void CLogging::GetQualifiedName(std::wstring& /*out*/) {}

void CLogging::GetGroupName(std::wstring& /*out*/) {}

DWORD CLogging::Uninitialize() {
  MutexWait wait(m_hMutex);
  SrwExclusive lock(&m_lock);
  if (!m_bInitialized) return kLogErrorNotInitialized;
  Reset();
  return ERROR_SUCCESS;
}

void CLogging::SetEnabled(bool enabled) { m_bEnabled = enabled ? 1 : 0; }

bool CLogging::IsEnabled() { return m_bEnabled == 1; }

bool CLogging::IsLevelEnabled(LogLevel level) { return level >= m_dwSeverity; }

void CLogging::SetMaxEntries(DWORD entries) {
  m_dwMaxEntries = entries < kLogMinMaxEntries
                       ? kLogMinMaxEntries
                       : (entries > kLogMaxMaxEntries ? kLogMaxMaxEntries : entries);
}

DWORD CLogging::GetMaxEntries() { return m_dwMaxEntries; }

void CLogging::SetMaxSize(DWORD bytes) {
  m_dwMaxSize =
      bytes < kLogMinMaxSize ? kLogMinMaxSize : (bytes > kLogMaxMaxSize ? kLogMaxMaxSize : bytes);
}

DWORD CLogging::GetMaxSize() { return m_dwMaxSize; }

DWORD CLogging::SetSeverity(LogLevel level) {
  const DWORD clamped = ClampSeverity(level);
  m_dwSeverity = clamped;
  return ExchangeProcessSeverity(clamped);
}

DWORD CLogging::GetSeverity() { return m_dwSeverity; }

ULONG CLogging::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

ULONG CLogging::Release() {
  const LONG count = InterlockedDecrement(&m_cRef);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

DWORD CLogging::LogV(LogLevel level, const wchar_t* file, const wchar_t* function, int line,
                     const wchar_t* format, ...) {
  if (m_bEnabled == 0 || level < m_dwSeverity) return ERROR_SUCCESS;
  if (format == nullptr) return ERROR_INVALID_PARAMETER;
  wchar_t message[kLogVBufferChars];
  va_list args;
  va_start(args, format);
  (void)FormatTruncatedV(message, kLogVBufferChars, format, args);
  va_end(args);
  return Write(file, function, line, level, message);
}

bool CLogging::EnsureLogFolder() {
  Basalt::CFolderChainReport report;
  DWORD result = ERROR_OUTOFMEMORY;
  try {
    result = OpenFolders(SIZE_MAX, report);
    if (result == ERROR_SUCCESS) {
      m_folderCheck = FolderCheck::Passed;
      return true;
    }
    // Said once: the logger stays silent from here on.
    const std::wstring reason =
        report.step == Basalt::CFolderChainReport::Step::kNone
            ? L"Cannot open " + (m_strLogFolder ? *m_strLogFolder : std::wstring())
            : report.Reason();
    wchar_t text[2 * MAX_PATH + 64];
    FormatInto(text, _countof(text), kFolderRefusedFormat, reason.c_str(), result);
    if (FormatLine(L"CLogging.cpp", L"CLogging::EnsureLogFolder", __LINE__, kLogError, text,
                   m_strNote) == ERROR_SUCCESS) {
      OutputDebugStringW(m_strNote.c_str());
    }
  } catch (const std::bad_alloc&) {
  }
  ReleaseFolders();
  m_folderCheck = FolderCheck::Failed;
  m_bEnabled = 0;
  m_dwSeverity = kLogSeveritySilenced;
  return false;
}

std::vector<std::wstring> CLogging::FolderNames() const {
  std::vector<std::wstring> names = {kVendorFolder, kLogsFolder};
  for (std::wstring& group : GroupFolders(m_strGroup)) names.push_back(std::move(group));
  if (m_strModuleBaseName) names.push_back(*m_strModuleBaseName);
  return names;
}

DWORD CLogging::OpenFolders(size_t depth, Basalt::CFolderChainReport& report) {
  ReleaseFolders();
  if (m_strProgramData.empty() || IsUnsetOrEmpty(m_strModuleBaseName)) {
    return ERROR_INVALID_PARAMETER;
  }
  CLogFolderSecurity security;
  if (!security.Build()) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR);
  }
  if (!m_folders) {
    m_folders.reset(new (std::nothrow) Basalt::CHeldFolderChain(FolderSecurityCalls()));
    if (!m_folders) return ERROR_NOT_ENOUGH_MEMORY;
  }
  std::vector<Basalt::CFolderRule> rules =
      security.Rules(kVendorFolder, kLogsFolder, GroupFolders(m_strGroup), *m_strModuleBaseName,
                     IsTrustedProcess());
  const bool whole = depth >= rules.size();
  if (!whole) rules.resize(depth);
  // The chain looks again at a folder that another process made or moved meanwhile.
  const DWORD result = m_folders->Open(m_strProgramData, rules, report);
  for (const Basalt::CFolderChainReport::SetAside& moved : report.setAside) {
    if (m_setAsideNotes.size() >= 8) break;
    wchar_t note[2 * MAX_PATH + 160];
    FormatInto(note, _countof(note), kFolderSetAsideFormat, moved.path.c_str(),
               moved.newName.c_str());
    m_setAsideNotes.emplace_back(note);
  }
  if (result == ERROR_SUCCESS) m_bLogFolderHeld = whole;
  return result;
}

void CLogging::ReleaseFolders() noexcept {
  if (m_folders) m_folders->Release();
  m_bLogFolderHeld = false;
}

HANDLE CLogging::LogFolder() const {
  return m_bLogFolderHeld && m_folders && m_folders->Count() > 0
             ? m_folders->Folder(m_folders->Count() - 1)
             : nullptr;
}

bool CLogging::LogFolderInPlace() const {
  return LogFolder() != nullptr && m_strLogFolder && m_folders->PathLeadsToLast(*m_strLogFolder);
}

bool CLogging::IsPlainFileIn(HANDLE folder, const std::wstring& name, const std::wstring& path) {
  Basalt::UniqueFile file;
  if (Basalt::OpenByNameIn(folder, name, FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                           FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT,
                           file) != ERROR_SUCCESS) {
    return false;
  }
  constexpr DWORD kNotPlain = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof(tag)) ||
      (tag.FileAttributes & kNotPlain) != 0) {
    return false;
  }
  // Wine shows a link by its path only, and follows it whatever it is asked.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNotPlain) == 0 &&
         Basalt::PathNamesFile(path.c_str(), file.get());
}

Basalt::CFolderSecurityCalls& CLogging::FolderSecurityCalls() {
  return Basalt::CFolderSecurityCalls::Real();
}

bool CLogging::IsTrustedProcess() {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  return Basalt::TrustedSelf(sid);
}

void CLogging::BuildFileName(DWORD index) {
  wchar_t suffix[32];
  FormatInto(suffix, _countof(suffix), L"%0.3lu%s", index, L".log");
  m_strFileName.assign(*m_strModuleBaseName);
  if (m_strHost) {
    m_strFileName += L'_';
    m_strFileName += *m_strHost;
  }
  m_strFileName += suffix;
}

DWORD CLogging::OpenInFolder(const std::wstring& name, DWORD access, DWORD disposition,
                             Basalt::UniqueFile& file, DWORD share) const {
  const HANDLE folder = LogFolder();
  if (folder == nullptr) return ERROR_PATH_NOT_FOUND;
  const ULONG how = NtDisposition(disposition);
  if (how == 0) return ERROR_INVALID_PARAMETER;
  return Basalt::OpenByNameIn(folder, name, access | FILE_READ_ATTRIBUTES, share, how,
                              FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, file);
}

void CLogging::DeleteInFolder(const std::wstring& name) const {
  Basalt::UniqueFile file;
  (void)OpenInFolder(name, DELETE, OPEN_EXISTING, file,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (!file) return;
  FILE_DISPOSITION_INFO disposition = {TRUE};
  (void)SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                   sizeof(disposition));
}

bool CLogging::TakeLock(RangeLock& lock, HANDLE file) {
  DWORD result = lock.TryTake(file);
  if (result != ERROR_LOCK_VIOLATION) return result == ERROR_SUCCESS;
  ULONGLONG now = GetTickCount64();
  if (m_lockTimedOutAt != 0 && now - m_lockTimedOutAt < kLockContestedMs) return false;
  const ULONGLONG deadline = now + kLockWaitMs;
  for (unsigned tries = 1; now < deadline; ++tries) {
    // The holder writes one line: yielding first is usually enough.
    if (tries < 16) {
      SwitchToThread();
    } else {
      Sleep(1);
    }
    result = lock.TryTake(file);
    if (result != ERROR_LOCK_VIOLATION) return result == ERROR_SUCCESS;
    now = GetTickCount64();
  }
  m_lockTimedOutAt = now != 0 ? now : 1;
  return false;
}

DWORD CLogging::OpenLogFile(DWORD index, DWORD disposition, bool writable, OpenLog& log) {
  log.Reset();
  BuildFileName(index);
  DWORD result =
      OpenInFolder(m_strFileName, writable ? GENERIC_READ | GENERIC_WRITE : kAppendAccess,
                   disposition, log.file);
  if (result != ERROR_SUCCESS) return result;
  log.index = index;
  log.writable = writable;
  // Without the lock (held too long by someone) the line is still appended: an append-only
  // handle cannot write over another line on Windows.
  (void)TakeLock(log.lock, log.file.get());
  LARGE_INTEGER size;
  if (!GetFileSizeEx(log.file.get(), &size)) {
    result = GetLastError();
    log.Reset();
    return result != ERROR_SUCCESS ? result : ERROR_INVALID_PARAMETER;
  }
  log.size = static_cast<ULONGLONG>(size.QuadPart);
  return ERROR_SUCCESS;
}

DWORD CLogging::AppendLine() {
  if (IsUnsetOrEmpty(m_strLogFolder) || IsUnsetOrEmpty(m_strModuleBaseName) ||
      (m_strHost && m_strHost->empty())) {
    return ERROR_INVALID_PARAMETER;
  }
  try {
    {
      const DWORD index = CurrentIndex(false, nullptr, nullptr);
      if (index < m_dwMaxEntries) {
        OpenLog log;
        const DWORD result = OpenLogFile(index, OPEN_EXISTING, false, log);
        if (result == ERROR_PATH_NOT_FOUND) return result;
        // A file with room takes the line as it is. A full, missing or unfinished one is
        // left to the folder lock (its own lock released first: the holder of the folder
        // lock may wait for it).
        if (result == ERROR_SUCCESS && log.size >= 2 && log.size < m_dwMaxSize) {
          return WriteLineTo(log);
        }
      }
    }
    return AppendLineUnderFolderLock();
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

DWORD CLogging::AppendLineUnderFolderLock() {
  const DWORD maxEntries = m_dwMaxEntries;
  const DWORD maxSize = m_dwMaxSize;
  Basalt::UniqueFile lockFile;
  RangeLock folderLock;
  DWORD result =
      OpenInFolder(kLogLockFileName, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, lockFile);
  if (result == ERROR_PATH_NOT_FOUND) return result;
  const bool locked = result == ERROR_SUCCESS && TakeLock(folderLock, lockFile.get());
  bool readable = true;
  DWORD stored = 0;
  DWORD index = CurrentIndex(locked, &readable, &stored);
  // Only the holder of the folder lock that knows the stored index starts a file and stores
  // an index; without either the line goes to the file at hand, full or not, and nothing is
  // started anew.
  bool mayStart = locked && readable;
  OpenLog log;
  if (index >= maxEntries) {
    if (mayStart) {
      result = StartFile(0, stored, log);
      if (result == ERROR_SUCCESS) return WriteLineTo(log);
      if (result == ERROR_PATH_NOT_FOUND) return result;
      mayStart = false;  // 000 could not be had: the line goes to it as it is
    }
    index = 0;
  }
  const DWORD next = index + 1 < maxEntries ? index + 1 : 0;
  result = OpenLogFile(index, OPEN_EXISTING, false, log);
  if (result == ERROR_FILE_NOT_FOUND) {
    // A missing file is made (no older one to replace); its index is not stored.
    result = OpenLogFile(index, OPEN_ALWAYS, false, log);
    return result == ERROR_SUCCESS ? WriteLineTo(log) : result;
  }
  if (result == ERROR_SUCCESS) {
    if (log.size >= maxSize && mayStart) {
      // The current file's lock is kept until the next file has taken over.
      OpenLog started;
      const DWORD opened = StartFile(next, stored, started);
      if (opened == ERROR_SUCCESS) return WriteLineTo(started);
      if (opened == ERROR_PATH_NOT_FOUND) return opened;
      // The next file cannot be had for now: the line stays in the full one.
    }
    return WriteLineTo(log);
  }
  if (result == ERROR_PATH_NOT_FOUND) return result;
  // The file cannot be opened (another program denies sharing it): its directory entry
  // decides whether it is left behind.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (mayStart &&
      GetFileAttributesExW((*m_strLogFolder + L'\\' + m_strFileName).c_str(), GetFileExInfoStandard,
                           &data) &&
      FileSizeOf(data) >= maxSize) {
    const DWORD opened = StartFile(next, stored, log);
    if (opened == ERROR_SUCCESS) return WriteLineTo(log);
  }
  return result;
}

DWORD CLogging::StartFile(DWORD index, DWORD storedIndex, OpenLog& log) {
  DWORD result = OpenLogFile(index, OPEN_ALWAYS, true, log);
  if (result != ERROR_SUCCESS) return result;
  // A writer that still has it for a line would lose that line to the truncation.
  if (!log.lock.held()) {
    log.Reset();
    return ERROR_LOCK_VIOLATION;
  }
  const bool holdsLines =
      log.size >= 2 && log.size < m_dwMaxSize && StartsWithByteOrderMark(log.file.get());
  if (log.size > 0 && !holdsLines) {
    if (!SetFilePointerEx(log.file.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(log.file.get())) {
      result = GetLastError();
      log.Reset();
      return result != ERROR_SUCCESS ? result : ERROR_INVALID_PARAMETER;
    }
    log.size = 0;
  }
  StoreIndex(index, storedIndex);
  return ERROR_SUCCESS;
}

DWORD CLogging::WriteLineTo(OpenLog& log) {
  if (log.size == 0) {
    // A new file: it begins with the mark (a failed mark is not the line's failure), and a
    // piece of a line left elsewhere is no concern of its lines.
    static const BYTE kByteOrderMark[2] = {0xFF, 0xFE};
    DWORD written = 0;
    if (WriteToFile(log.file.get(), kByteOrderMark, sizeof(kByteOrderMark), &written)) {
      log.size += written;
    }
    m_bFragment = false;
  }
  if (!m_setAsideNotes.empty()) WriteSetAsideNotes(log);
  if (m_indexHold.held && !m_indexHold.reported) WriteIndexNote(log);
  const DWORD result = WriteText(log, m_strLine);
  if ((m_dwOptions & kLogOptionDebugOutput) && !m_strLine.empty()) {
    OutputDebugStringW(m_strLine.c_str());
  }
  return result;
}

BOOL CLogging::WriteToFile(HANDLE file, const void* data, DWORD bytes, DWORD* written) {
  return WriteFile(file, data, bytes, written, nullptr);
}

DWORD CLogging::WriteText(OpenLog& log, const std::wstring& text) {
  const std::wstring* out = &text;
  std::wstring ended;
  if (m_bFragment) {
    ended.reserve(text.size() + 2);
    ended.assign(L"\r\n").append(text);
    out = &ended;
  }
  if (log.writable) (void)SetFilePointerEx(log.file.get(), LARGE_INTEGER{}, nullptr, FILE_END);
  const DWORD bytes = static_cast<DWORD>(out->size() * sizeof(wchar_t));
  DWORD written = 0;
  const BOOL ok = WriteToFile(log.file.get(), out->data(), bytes, &written);
  if (ok && written == bytes) {
    log.size += bytes;
    m_bFragment = false;
    return ERROR_SUCCESS;
  }
  DWORD error = ok ? static_cast<DWORD>(ERROR_DISK_FULL) : GetLastError();
  if (error == ERROR_SUCCESS) error = ERROR_WRITE_FAULT;
  if (written == 0) return error;
  // The piece is cut off again, so that the file goes on with whole lines; only under the
  // file's lock, and only while nothing came after it.
  bool cut = false;
  LARGE_INTEGER end;
  if (log.lock.held() && GetFileSizeEx(log.file.get(), &end) &&
      static_cast<ULONGLONG>(end.QuadPart) == log.size + written) {
    Basalt::UniqueFile truncate;
    BuildFileName(log.index);
    if (OpenInFolder(m_strFileName, GENERIC_WRITE, OPEN_EXISTING, truncate) == ERROR_SUCCESS) {
      LARGE_INTEGER at;
      at.QuadPart = static_cast<LONGLONG>(log.size);
      cut =
          SetFilePointerEx(truncate.get(), at, nullptr, FILE_BEGIN) && SetEndOfFile(truncate.get());
    }
  }
  if (!cut) {
    log.size += written;
    m_bFragment = true;
  }
  return error;
}

DWORD CLogging::CurrentIndex(bool fresh, bool* readable, DWORD* stored) {
  bool known = true;
  const DWORD index = ReadLastLogIndex(fresh, &known);
  if (readable) *readable = known;
  if (stored) *stored = index;
  if (!m_indexHold.held) return index;
  if (known && index != m_indexHold.stored) {
    // Another process stored an index since: it leads now.
    m_indexHold = IndexHold{};
    return index;
  }
  return m_indexHold.index;
}

void CLogging::StoreIndex(DWORD index, DWORD storedIndex) {
  const DWORD error = WriteLastLogIndex(index);
  if (error == ERROR_SUCCESS) {
    m_indexHold = IndexHold{};
    return;
  }
  // The stored index would lead the next line back to a full file: the index is kept here
  // instead, until another process stores one.
  m_indexHold.held = true;
  m_indexHold.index = index;
  m_indexHold.stored = storedIndex;
  if (!m_indexHold.reported) m_indexHold.error = error;
}

bool CLogging::IndexCache::Matches(State expected, const WIN32_FILE_ATTRIBUTE_DATA& data,
                                   ULONGLONG now) const {
  return state == expected && now - takenAt < kIndexCacheMs &&
         SameFileTime(lastWriteTime, data.ftLastWriteTime) &&
         SameFileTime(creationTime, data.ftCreationTime) && sizeHigh == data.nFileSizeHigh &&
         sizeLow == data.nFileSizeLow;
}

void CLogging::IndexCache::Set(State found, const WIN32_FILE_ATTRIBUTE_DATA& data, ULONGLONG now,
                               DWORD value) {
  state = found;
  creationTime = data.ftCreationTime;
  lastWriteTime = data.ftLastWriteTime;
  sizeHigh = data.nFileSizeHigh;
  sizeLow = data.nFileSizeLow;
  takenAt = now;
  index = value;
}

DWORD CLogging::ReadLastLogIndex(bool fresh, bool* readable) {
  using State = IndexCache::State;
  IndexCache& cache = m_indexCache;
  if (readable) *readable = true;
  if (!m_strFolderIniPath) {
    cache.state = State::Unknown;
    return 0;
  }
  if (fresh) cache.state = State::Unknown;
  const ULONGLONG now = GetTickCount64();
  WIN32_FILE_ATTRIBUTE_DATA folder;
  if (cache.state == State::Absent && m_strLogFolder &&
      GetFileAttributesExW(m_strLogFolder->c_str(), GetFileExInfoStandard, &folder) &&
      cache.Matches(State::Absent, folder, now)) {
    return 0;
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(m_strFolderIniPath->c_str(), GetFileExInfoStandard, &data)) {
    cache.state = State::Unknown;
    // The folder is measured before a second look confirms the absence, so that a log.ini
    // made in between changes the folder after the measurement.
    if (m_strLogFolder &&
        GetFileAttributesExW(m_strLogFolder->c_str(), GetFileExInfoStandard, &folder) &&
        (folder.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      if (!GetFileAttributesExW(m_strFolderIniPath->c_str(), GetFileExInfoStandard, &data)) {
        cache.Set(State::Absent, folder, now, 0);
        return 0;
      }
    } else {
      return 0;
    }
  }
  if (cache.Matches(State::Present, data, now)) return cache.index;

  Basalt::CObfuscatedIniReader reader;
  if (!reader.Load(*m_strFolderIniPath)) {
    // The file is there but cannot be read for now (another program writes it): the index
    // read last still holds. Reading 0 could start the current file anew.
    cache.state = State::Unknown;
    if (readable) *readable = false;
    return cache.index;
  }
  int value = 0;
  DWORD index = 0;
  if (reader.GetIntValue(kConfigSection, kLastLogIdx, value)) index = static_cast<DWORD>(value);
  cache.Set(State::Present, data, now, index);
  return index;
}

DWORD CLogging::WriteLastLogIndex(DWORD index) {
  m_indexCache.state = IndexCache::State::Unknown;
  if (!m_strFolderIniPath) return ERROR_INVALID_PARAMETER;
  const DWORD result = StoreFolderValue(kLastLogIdx, static_cast<int>(index));
  if (result == ERROR_SUCCESS) m_indexCache.index = index;
  return result;
}

DWORD CLogging::StoreFolderValue(const wchar_t* name, int value) {
  if (!m_strFolderIniPath || IsUnsetOrEmpty(m_strLogFolder)) return ERROR_INVALID_PARAMETER;
  // The profile functions take a path: the copy's path names the file made here, inside the
  // held log folder, whose folders nobody can move while they are held, that nobody can set
  // a link on (all but the caller, SYSTEM and Administrators may only read there) and that
  // the chain found free of links.
  const std::wstring copy = *m_strLogFolder + L'\\' + kIniCopyName;
  // The file as it stands, whole: its other values and its shape are kept.
  std::string bytes;
  bool present = false;
  {
    Basalt::UniqueFile file;
    const DWORD error = OpenInFolder(kLogIniName, GENERIC_READ, OPEN_EXISTING, file,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (error == ERROR_SUCCESS) {
      if (!Basalt::ReadWholeFile(file.get(), INT_MAX, bytes)) return ERROR_READ_FAULT;
      present = true;
    } else if (error != ERROR_FILE_NOT_FOUND) {
      // Present but not readable: replacing it would lose its other values.
      return error != ERROR_SUCCESS ? error : ERROR_INVALID_PARAMETER;
    }
  }
  // The copy is made anew under its name, never opened as found there: whatever stands
  // there (a link put in its place included) is removed first, and one that comes back
  // fails the store.
  DeleteInFolder(kIniCopyName);
  Basalt::UniqueFile out;
  DWORD error = OpenInFolder(kIniCopyName, GENERIC_WRITE, CREATE_NEW, out, FILE_SHARE_DELETE);
  if (error != ERROR_SUCCESS) return error;
  auto drop_copy = Basalt::MakeScopeExit([&] { DeleteInFolder(kIniCopyName); });
  if (!Basalt::PathNamesFile(copy.c_str(), out.get())) return ERROR_PATH_NOT_FOUND;
  DWORD written = 0;
  if (present && !bytes.empty() &&
      (!WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
       written != bytes.size())) {
    error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_DISK_FULL;
  }
  out.reset();
  Basalt::CObfuscatedIniReader writer;
  (void)writer.Load(copy);
  SetLastError(ERROR_SUCCESS);
  if (!writer.SetIntValue(kConfigSection, name, value)) {
    error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_INVALID_PARAMETER;
  }
  // Stored is what a reader reads back, not what the write reported.
  Basalt::CObfuscatedIniReader check;
  int back = 0;
  if (!check.Load(copy) || !check.GetIntValue(kConfigSection, name, back) || back != value) {
    return ERROR_INVALID_DATA;
  }
  // One rename within the folder puts it in place: a reader sees the old file or the new one.
  // A reader that has the file open holds the rename off for a moment.
  Basalt::UniqueFile moving;
  error = OpenInFolder(kIniCopyName, DELETE, OPEN_EXISTING, moving,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (error != ERROR_SUCCESS) return error;
  const ULONGLONG deadline = GetTickCount64() + kReplaceWaitMs;
  for (;;) {
    error = Basalt::ReplaceInFolder(moving.get(), LogFolder(), kLogIniName);
    if (error == ERROR_SUCCESS) {
      drop_copy.release();
      return ERROR_SUCCESS;
    }
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        GetTickCount64() >= deadline) {
      return error != ERROR_SUCCESS ? error : ERROR_INVALID_PARAMETER;
    }
    Sleep(1);
  }
}

void CLogging::GetLineTime(SYSTEMTIME* time) { GetLocalTime(time); }

void CLogging::FormatTimestamp(const SYSTEMTIME& time, wchar_t* buffer, size_t count) noexcept {
  if (buffer == nullptr || count == 0) return;
  WORD hour = time.wHour;
  const wchar_t* half = hour < 12 ? L"AM" : L"PM";
  if (hour == 0) {
    hour = 12;
  } else if (hour > 12) {
    hour = static_cast<WORD>(hour - 12);
  }
  FormatInto(buffer, count, L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %s$", time.wMonth, time.wDay,
             time.wYear, hour, time.wMinute, time.wSecond, half);
}

const wchar_t* CLogging::GetLevelName(LogLevel level) noexcept {
  static const wchar_t* const kNames[] = {L"Normal", L"Warning",  L"Information",
                                          L"Error",  L"Critical", L"Information"};
  return level >= 1 && level <= 6 ? kNames[level - 1] : nullptr;
}

DWORD CLogging::FormatLine(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                           const wchar_t* message, std::wstring& out) {
  const DWORD options = m_dwOptions;
  // Each field is cut to its width ("%*.*s"), so no name can overrun its buffer.
  wchar_t moduleField[kLogFieldChars] = L"";
  wchar_t processField[kLogFieldChars] = L"";
  wchar_t sourceField[kLogFieldChars] = L"";
  wchar_t functionField[kLogFieldChars] = L"";
  size_t moduleLength = 0;
  size_t processLength = 0;
  size_t sourceLength = 0;
  size_t functionLength = 0;
  if ((options & kLogOptionModule) && !IsUnsetOrEmpty(m_strModuleFileName)) {
    moduleLength = FormatInto(moduleField, kLogFieldChars, L"[%*.*s]$", kModuleFieldWidth,
                              kModuleFieldWidth, m_strModuleFileName->c_str());
  }
  if (options & kLogOptionProcessThread) {
    processLength = FormatInto(processField, kLogFieldChars, L"[PID:%5lu TID:%5lu]$", m_dwProcessId,
                               GetCurrentThreadId());
  }
  if ((options & kLogOptionSource) && !IsNullOrEmpty(file)) {
    sourceLength = FormatInto(sourceField, kLogFieldChars, L"[%*.*s:%5d]$", kSourceFieldWidth,
                              kSourceFieldWidth, AfterLastBackslash(file), line);
  }
  if ((options & kLogOptionFunction) && !IsNullOrEmpty(function)) {
    functionLength = FormatInto(functionField, kLogFieldChars, L"[%*.*s()]$", kFunctionFieldWidth,
                                kFunctionFieldWidth, function);
  }

  const wchar_t* levelName = GetLevelName(level);
  if (levelName == nullptr) return ERROR_INVALID_PARAMETER;
  SYSTEMTIME now;
  GetLineTime(&now);
  wchar_t timestamp[kLogFieldChars];
  FormatTimestamp(now, timestamp, kLogFieldChars);
  wchar_t head[kLogFieldChars];
  const size_t headLength = FormatInto(head, kLogFieldChars, L"%s -- (%s)$", timestamp, levelName);

  const size_t messageLength = wcslen(message);
  const size_t fieldsLength =
      headLength + moduleLength + processLength + sourceLength + functionLength + 30;
  // One WriteFile takes at most 4 GiB; a longer line would be cut without notice.
  if (messageLength > MAXDWORD / sizeof(wchar_t) - fieldsLength) return ERROR_OUTOFMEMORY;
  const bool endsWithLineFeed = messageLength > 0 && message[messageLength - 1] == L'\n';
  try {
    out.clear();
    out.reserve(fieldsLength + messageLength);
    out.append(head, headLength);
    if (options & kLogOptionModule) out.append(1, L' ').append(moduleField, moduleLength);
    if (options & kLogOptionProcessThread) out.append(1, L' ').append(processField, processLength);
    if (options & kLogOptionSource) out.append(1, L' ').append(sourceField, sourceLength);
    if (options & kLogOptionFunction) {
      out.append(1, L' ').append(functionField, functionLength);
    }
    out.append(1, L' ').append(message, messageLength);
    if (!endsWithLineFeed) out.append(L"\r\n");
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return ERROR_SUCCESS;
}

DWORD CLogging::Write(const wchar_t* file, const wchar_t* function, int line, LogLevel level,
                      const wchar_t* message) {
  MutexWait wait(m_hMutex);
  SrwExclusive lock(&m_lock);
  // A write before Initialize (or after Uninitialize) must not run the folder check: a
  // failed check would silence the logger for good.
  if (!m_bInitialized) return ERROR_INVALID_PARAMETER;
  if (m_folderCheck == FolderCheck::Pending) (void)EnsureLogFolder();
  if (m_folderCheck != FolderCheck::Passed || IsNullOrEmpty(message)) {
    return ERROR_INVALID_PARAMETER;
  }
  DWORD result = FormatLine(file, function, line, level, message, m_strLine);
  if (result != ERROR_SUCCESS) return result;
  result = AppendLine();
  // While held, the folders cannot be removed on Windows; one found gone nonetheless (or no
  // longer where its path leads) is looked for again.
  if (result == ERROR_PATH_NOT_FOUND || (result != ERROR_SUCCESS && !LogFolderInPlace())) {
    // The folder is gone: it is made again and the line tried once more. What was known
    // about its files went with it.
    m_indexCache = IndexCache{};
    m_indexHold = IndexHold{};
    result = EnsureLogFolder() ? AppendLine() : static_cast<DWORD>(ERROR_INVALID_PARAMETER);
  }
  // The line buffer is kept for the next call, unless one huge message grew it.
  if (m_strLine.capacity() > kKeptLineChars) std::wstring().swap(m_strLine);
  return result;
}

void CLogging::WriteSetAsideNotes(OpenLog& log) {
  for (const std::wstring& note : m_setAsideNotes) {
    if (FormatLine(L"CLogging.cpp", L"CLogging::EnsureLogFolder", __LINE__, kLogWarning,
                   note.c_str(), m_strNote) == ERROR_SUCCESS) {
      (void)WriteText(log, m_strNote);
    }
  }
  m_setAsideNotes.clear();
}

void CLogging::WriteIndexNote(OpenLog& log) {
  m_indexHold.reported = true;
  wchar_t note[2 * kLogFieldChars];
  FormatInto(note, _countof(note), kIndexNoteFormat, m_indexHold.index,
             m_strFolderIniPath ? m_strFolderIniPath->c_str() : L"", m_indexHold.error);
  if (FormatLine(L"CLogging.cpp", L"CLogging::WriteLastLogIndex", __LINE__, kLogError, note,
                 m_strNote) == ERROR_SUCCESS) {
    (void)WriteText(log, m_strNote);
  }
}

}  // namespace ETWLogging
