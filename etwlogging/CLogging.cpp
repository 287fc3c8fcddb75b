#include "etwlogging/CLogging.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <new>

#include "basalt/CObfuscatedIniReader.h"
#include "basalt/LibraryUtils.h"
#include "etwlogging/CETWLogging.h"  // LoggingConfigListenerIf

namespace ETWLogging {

namespace {

constexpr wchar_t kConfigSection[] = L"Config";
constexpr wchar_t kLastLogIdx[] = L"LastLogIdx";
constexpr wchar_t kLogIniName[] = L"log.ini";
constexpr DWORD kMutexWaitMs = 7000;
// Longest time a "LastLogIdx" read (or the absence of the folder log.ini) is trusted.
constexpr ULONGLONG kIndexCacheMs = 100;

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
  if (GetFileAttributesW(m_strFolderIniPath->c_str()) == INVALID_FILE_ATTRIBUTES &&
      GetFileAttributesW(m_strRootIniPath->c_str()) == INVALID_FILE_ATTRIBUTES) {
    return ERROR_SUCCESS;
  }
  try {
    Basalt::CObfuscatedIniReader folderReader;
    Basalt::CObfuscatedIniReader rootReader;
    (void)folderReader.Load(*m_strFolderIniPath);
    (void)rootReader.Load(*m_strRootIniPath);
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
    if (!folderReader.SetIntValue(kConfigSection, name, static_cast<int>(defaultValue))) {
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
  if (!IsUnsetOrEmpty(m_strLogFolder) && Basalt::CreateDirectoryTree(m_strLogFolder->c_str())) {
    m_folderCheck = FolderCheck::Passed;
    return true;
  }
  m_folderCheck = FolderCheck::Failed;
  m_bEnabled = 0;
  m_dwSeverity = kLogSeveritySilenced;
  return false;
}

void CLogging::BuildFileName(DWORD index) {
  wchar_t suffix[32];
  FormatInto(suffix, _countof(suffix), L"%0.3lu%s", index, L".log");
  m_strFileName.assign(*m_strLogFolder);
  m_strFileName += L'\\';
  m_strFileName += *m_strModuleBaseName;
  if (m_strHost) {
    m_strFileName += L'_';
    m_strFileName += *m_strHost;
  }
  m_strFileName += suffix;
}

DWORD CLogging::OpenCurrentFile() {
  if (IsUnsetOrEmpty(m_strLogFolder) || IsUnsetOrEmpty(m_strModuleBaseName) ||
      (m_strHost && m_strHost->empty())) {
    return ERROR_INVALID_PARAMETER;
  }
  if (m_hLogFile) return ERROR_ALREADY_EXISTS;
  const DWORD maxEntries = m_dwMaxEntries;
  const DWORD maxSize = m_dwMaxSize;
  try {
    const DWORD index = m_indexHold.held ? m_indexHold.index : ReadLastLogIndex();
    if (index >= maxEntries) {
      BuildFileName(0);
      const DWORD result = OpenFile(m_strFileName, CREATE_ALWAYS);
      StoreIndex(0);
      return result;
    }
    BuildFileName(index);
    // Opening first and taking the size from the end of the open file spares a look-up of
    // the directory entry per line; as the file is closed after every line, both agree.
    Basalt::UniqueFile existing(CreateLogFileHandle(m_strFileName, OPEN_EXISTING));
    if (existing) {
      LARGE_INTEGER end;
      if (SetFilePointerEx(existing.get(), LARGE_INTEGER{}, &end, FILE_END)) {
        if (end.LowPart < maxSize) {
          m_hLogFile = std::move(existing);
          return ERROR_SUCCESS;
        }
        existing.reset();
        return OpenNextFile(index, maxEntries);
      }
      existing.reset();
    } else if (GetLastError() == ERROR_FILE_NOT_FOUND) {
      return OpenFile(m_strFileName, CREATE_ALWAYS);
    }
    // The file could not be opened or measured: the directory entry decides.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(m_strFileName.c_str(), GetFileExInfoStandard, &data)) {
      return OpenFile(m_strFileName, CREATE_ALWAYS);
    }
    if (data.nFileSizeLow < maxSize) return OpenFile(m_strFileName, OPEN_EXISTING);
    return OpenNextFile(index, maxEntries);
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

DWORD CLogging::OpenNextFile(DWORD index, DWORD maxEntries) {
  DWORD next = index + 1;
  if (next >= maxEntries) next = 0;
  BuildFileName(next);
  const DWORD result = OpenFile(m_strFileName, CREATE_ALWAYS);
  StoreIndex(next);
  return result;
}

void CLogging::StoreIndex(DWORD index) {
  const DWORD error = WriteLastLogIndex(index);
  if (error == ERROR_SUCCESS) {
    m_indexHold = IndexHold{};
    return;
  }
  // The stored index would lead the next line back to a full file, which it would then
  // start anew over the lines just written: the index is kept here instead.
  m_indexHold.held = true;
  m_indexHold.index = index;
  if (!m_indexHold.reported) m_indexHold.error = error;
}

HANDLE CLogging::CreateLogFileHandle(const std::wstring& name, DWORD disposition) {
  return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE, nullptr);
}

DWORD CLogging::OpenFile(const std::wstring& name, DWORD disposition) {
  if (name.empty()) return ERROR_INVALID_PARAMETER;
  if (m_hLogFile) return ERROR_ALREADY_EXISTS;
  Basalt::UniqueFile file(CreateLogFileHandle(name, disposition));
  if (!file) return GetLastError();
  if (disposition == OPEN_EXISTING) {
    SetFilePointer(file.get(), 0, nullptr, FILE_END);
  } else if (disposition == CREATE_ALWAYS) {
    static const BYTE kByteOrderMark[2] = {0xFF, 0xFE};
    DWORD written = 0;
    (void)WriteFile(file.get(), kByteOrderMark, sizeof(kByteOrderMark), &written, nullptr);
  }
  m_hLogFile = std::move(file);
  return ERROR_SUCCESS;
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

DWORD CLogging::ReadLastLogIndex() {
  using State = IndexCache::State;
  IndexCache& cache = m_indexCache;
  if (!m_strFolderIniPath) {
    cache.state = State::Unknown;
    return 0;
  }
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
  SetLastError(ERROR_SUCCESS);
  Basalt::CObfuscatedIniReader reader;
  (void)reader.Load(*m_strFolderIniPath);
  if (!reader.SetIntValue(kConfigSection, kLastLogIdx, static_cast<int>(index))) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_INVALID_PARAMETER;
  }
  // Stored is what the next line reads back, not what the write reported.
  if (ReadLastLogIndex() != index) return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
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
                           const wchar_t* message) {
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
    std::wstring& out = m_strLine;
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
  auto close_file = Basalt::MakeScopeExit([this] { m_hLogFile.reset(); });
  DWORD result = OpenCurrentFile();
  if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) return result;
  if (m_indexHold.held && !m_indexHold.reported) WriteIndexNote();
  result = FormatLine(file, function, line, level, message);
  if (result != ERROR_SUCCESS) return result;
  result = WriteFormattedLine();
  // The line buffer is kept for the next call, unless one huge message grew it.
  if (m_strLine.capacity() > kKeptLineChars) std::wstring().swap(m_strLine);
  return result;
}

DWORD CLogging::WriteFormattedLine() {
  DWORD result = ERROR_SUCCESS;
  DWORD written = 0;
  const DWORD bytes = static_cast<DWORD>(m_strLine.size() * sizeof(wchar_t));
  if (!WriteFile(m_hLogFile.get(), m_strLine.data(), bytes, &written, nullptr)) {
    result = GetLastError();
  }
  if ((m_dwOptions & kLogOptionDebugOutput) && !m_strLine.empty()) {
    OutputDebugStringW(m_strLine.c_str());
  }
  return result;
}

void CLogging::WriteIndexNote() {
  m_indexHold.reported = true;
  wchar_t note[2 * kLogFieldChars];
  FormatInto(note, _countof(note), kIndexNoteFormat, m_indexHold.index,
             m_strFolderIniPath ? m_strFolderIniPath->c_str() : L"", m_indexHold.error);
  if (FormatLine(L"CLogging.cpp", L"CLogging::WriteLastLogIndex", __LINE__, kLogError, note) ==
      ERROR_SUCCESS) {
    (void)WriteFormattedLine();
  }
}

}  // namespace ETWLogging
