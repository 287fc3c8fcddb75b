// The trusted list file: grammar, signature pin, locked reading and replacement.
#include "trust/TrustedList.h"

#include <windows.h>
// These need <windows.h> first.
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <memory>
#include <new>

#include "basalt/CryptOwners.h"
#include "basalt/FileUtils.h"
#include "trust/TrustPlatform.h"
#include "trust/TrustTables.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// A real list is a few kilobytes; anything this large is not one.
constexpr DWORD kMaxTrustedListBytes = 4u * 1024 * 1024;
// Reads of a file that keeps being replaced while it is read.
constexpr int kReadAttempts = 8;
// Bumped at every load, drop or replacement of a list (TrustedListGeneration).
LONG g_listGeneration = 0;

std::string_view Trim(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// One byte per character.
std::wstring Widen(std::string_view s) {
  std::wstring wide;
  wide.reserve(s.size());
  for (char c : s) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

// An unsigned decimal number read from the start of |text|: at least one digit, no
// overflow.
bool ParseVersion(const std::wstring& text, DWORD* out) {
  unsigned long long value = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + static_cast<unsigned>(text[i] - L'0');
    if (value > 0xFFFFFFFFull) return false;
  }
  if (i == 0) return false;
  *out = static_cast<DWORD>(value);
  return true;
}

struct FileIdentity {
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
  DWORD sizeHigh = 0;
  DWORD sizeLow = 0;
  FILETIME lastWrite = {};

  bool operator==(const FileIdentity& o) const {
    return volume == o.volume && indexHigh == o.indexHigh && indexLow == o.indexLow &&
           sizeHigh == o.sizeHigh && sizeLow == o.sizeLow &&
           CompareFileTime(&lastWrite, &o.lastWrite) == 0;
  }
};

bool IdentityOf(HANDLE file, FileIdentity* out) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file, &info)) return false;
  out->volume = info.dwVolumeSerialNumber;
  out->indexHigh = info.nFileIndexHigh;
  out->indexLow = info.nFileIndexLow;
  out->sizeHigh = info.nFileSizeHigh;
  out->sizeLow = info.nFileSizeLow;
  out->lastWrite = info.ftLastWriteTime;
  return true;
}

bool IdentityOfPath(const wchar_t* path, FileIdentity* out) {
  Basalt::UniqueFile file(CreateFileW(path, FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  return file && IdentityOf(file.get(), out);
}

// The exclusive lock on the file now at |path|. Updaters serialise on it, also when there
// is no list yet (an empty file, which no reader accepts, is made to hold the lock), and
// a lock won on a file that another updater has meanwhile replaced is given up and taken
// again on the new one. Empty on failure.
CTrustedListFileLock LockCurrentFileForUpdate(const wchar_t* path) {
  for (int attempt = 0; attempt < 32; ++attempt) {
    CTrustedListFileLock current = OpenAndLockTrustedList(path, true);
    if (!current) {
      Basalt::UniqueFile created(CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, CREATE_NEW, 0, nullptr));
      if (!created && GetLastError() != ERROR_FILE_EXISTS) return current;
      continue;
    }
    if (Basalt::PathNamesFile(path, current.handle())) return current;
  }
  return CTrustedListFileLock();
}

// The version of the list file at |path| once it has loaded (own signature and parse); 0 when
// it does not load or memory for it runs out.
DWORD LoadedListVersion(const wchar_t* path) {
  try {
    CTrustedList list(path);
    if (!list.EnsureLoaded()) return 0;
    CTrustedList::SharedHold hold(list);
    return list.GetVersion();
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // namespace

bool ReadTrustedListSections(std::string_view text, TrustedListSections* sections) {
  if (sections == nullptr) return false;
  std::wstring current;
  bool inSection = false;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    std::string_view line =
        text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = Trim(line);
    if (line.empty()) continue;
    if (StartsWith(line, "// SIG //")) break;
    if (StartsWith(line, "/*") || StartsWith(line, "//") || StartsWith(line, "*/")) continue;
    // A name or value with an embedded NUL would compare as its prefix.
    if (line.find('\0') != std::string_view::npos) return false;
    if (line.size() > 1 && line.front() == '[' && line.back() == ']') {
      const std::string_view name = Trim(line.substr(1, line.size() - 2));
      if (name.empty()) return false;
      current = Widen(name);
      inSection = true;
      continue;
    }
    if (!inSection) continue;
    (*sections)[current].push_back(Widen(line));
  }
  return true;
}

bool TrustedListThumbprintFromHex(const std::wstring& text, BYTE out[20]) {
  if (text.size() != 40) return false;
  auto nibble = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
  };
  BYTE bytes[20];
  for (size_t i = 0; i < 20; ++i) {
    const int high = nibble(text[2 * i]);
    const int low = nibble(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<BYTE>(high << 4 | low);
  }
  memcpy(out, bytes, sizeof(bytes));
  return true;
}

std::wstring GetDefaultTrustedListPath() {
  wchar_t buffer[MAX_PATH] = {};
  const UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
  // Without the Windows folder there is no default list (never a relative path).
  if (n == 0 || n >= MAX_PATH) return {};
  PathStripToRootW(buffer);
  if (!PathAppendW(buffer, L"Program Files\\Common Files\\Telvan\\Platform\\Core\\trusted.js")) {
    return {};
  }
  return buffer;
}

CTrustedListFileLock::CTrustedListFileLock(CTrustedListFileLock&& other) noexcept
    : file_(std::move(other.file_)), locked_(std::exchange(other.locked_, false)) {}

CTrustedListFileLock& CTrustedListFileLock::operator=(CTrustedListFileLock&& other) noexcept {
  if (this != &other) {
    Release();
    file_ = std::move(other.file_);
    locked_ = std::exchange(other.locked_, false);
  }
  return *this;
}

void CTrustedListFileLock::Release() {
  if (locked_ && file_) {
    OVERLAPPED range = {};
    UnlockFileEx(file_.get(), 0, MAXDWORD, MAXDWORD, &range);
  }
  locked_ = false;
  file_.reset();
}

CTrustedListFileLock OpenAndLockTrustedList(const wchar_t* path, bool exclusive) {
  CTrustedListFileLock result;
  if (path == nullptr || *path == L'\0') return result;
  Basalt::UniqueFile file(CreateFileW(path, GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return result;
  OVERLAPPED range = {};
  if (!LockFileEx(file.get(), exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, MAXDWORD, MAXDWORD,
                  &range)) {
    return result;  // an unlocked handle is no reader's or writer's guarantee
  }
  result.file_ = std::move(file);
  result.locked_ = true;
  return result;
}

BOOL VerifyTrustedListSignature(const wchar_t* path) {
  if (path == nullptr || *path == L'\0') return FALSE;
  static const BYTE kNoSigner[20] = {};
  if (memcmp(TrustedListSignerThumbprint, kNoSigner, sizeof(kNoSigner)) == 0) return FALSE;
  HCERTSTORE rawStore = nullptr;
  HCRYPTMSG rawMessage = nullptr;
  if (!TrustPlatform::QueryScriptSignature(path, &rawStore, &rawMessage)) return FALSE;
  UniqueCertStore store(rawStore);
  UniqueCryptMsg message(rawMessage);
  if (!store || !message) return FALSE;
  DWORD signerCount = 0;
  DWORD size = sizeof(signerCount);
  if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &signerCount, &size) ||
      signerCount != 1) {
    return FALSE;
  }
  ProcessHeapBuffer signerBuffer =
      GetCryptMsgParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr);
  if (!signerBuffer) return FALSE;
  const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBuffer.get());
  CERT_INFO wanted = {};
  wanted.Issuer = signer->Issuer;
  wanted.SerialNumber = signer->SerialNumber;
  UniqueCertContext certificate(
      CertGetSubjectCertificateFromStore(store.get(), kEncoding, &wanted));
  if (!certificate) return FALSE;
  BYTE hash[20];
  DWORD hashSize = sizeof(hash);
  if (!CertGetCertificateContextProperty(certificate.get(), CERT_SHA1_HASH_PROP_ID, hash,
                                         &hashSize) ||
      hashSize != sizeof(hash) || memcmp(hash, TrustedListSignerThumbprint, sizeof(hash)) != 0) {
    return FALSE;
  }
  return TrustPlatform::VerifyScriptFileTrust(path) == 0;
}

CTrustedList::CTrustedList(const wchar_t* listPath)
    : path(listPath != nullptr ? std::wstring(listPath) : GetDefaultTrustedListPath()) {}

CTrustedList::~CTrustedList() { Discard(); }

void CTrustedList::Discard() {
  AcquireSRWLockExclusive(&lock);
  Unload();
  ReleaseSRWLockExclusive(&lock);
}

BOOL CTrustedList::IsLoaded() {
  SharedHold hold(*this);
  return loaded;
}

BOOL CTrustedList::EnsureLoaded() {
  AcquireSRWLockExclusive(&lock);
  const BOOL result = loaded ? TRUE : LoadFromFile();
  ReleaseSRWLockExclusive(&lock);
  return result;
}

BOOL CTrustedList::Reload() {
  AcquireSRWLockExclusive(&lock);
  const BOOL result = LoadInPlaceOfCurrent();
  ReleaseSRWLockExclusive(&lock);
  return result;
}

BOOL CTrustedList::LoadInPlaceOfCurrent() {
  // A list that fails to load must not switch the loaded one off: the built-in lists refuse
  // no serial numbers. Neither may memory for the second list that runs out.
  std::unique_ptr<CTrustedList> fresh;
  try {
    fresh = std::make_unique<CTrustedList>(path.c_str());
  } catch (const std::bad_alloc&) {
    return FALSE;
  }
  if (!fresh->EnsureLoaded()) return FALSE;
  Unload();
  version = std::exchange(fresh->version, 0);
  names = std::exchange(fresh->names, nullptr);
  thumbprints = std::exchange(fresh->thumbprints, nullptr);
  thumbprintCount = std::exchange(fresh->thumbprintCount, 0);
  serials = std::exchange(fresh->serials, nullptr);
  // Swapping the maps keeps their nodes, so the name and serial pointers into them stay valid.
  sections.swap(fresh->sections);
  loaded = std::exchange(fresh->loaded, FALSE);
  InterlockedIncrement(&g_listGeneration);
  return loaded;
}

CTrustedList::ReadResult CTrustedList::ReadVerifiedFile(std::string* text) const {
  // The lock is taken before the signature is checked, and the file that is read must be
  // the one that was checked: a replacement in between means another read.
  CTrustedListFileLock file = OpenAndLockTrustedList(path.c_str(), false);
  if (!file) return ReadResult::kFailed;
  FileIdentity before, atPath, after;
  if (!IdentityOf(file.handle(), &before)) return ReadResult::kFailed;
  if (!IdentityOfPath(path.c_str(), &atPath) || !(before == atPath)) return ReadResult::kReplaced;
  if (!VerifyTrustedListSignature(path.c_str())) {
    // The file checked may have been a newer one than the file held.
    return IdentityOfPath(path.c_str(), &atPath) && before == atPath ? ReadResult::kFailed
                                                                     : ReadResult::kReplaced;
  }
  if (!IdentityOfPath(path.c_str(), &atPath) || !IdentityOf(file.handle(), &after) ||
      !(before == atPath) || !(before == after)) {
    return ReadResult::kReplaced;
  }
  return Basalt::ReadWholeFile(file.handle(), kMaxTrustedListBytes, *text) ? ReadResult::kRead
                                                                           : ReadResult::kFailed;
}

BOOL CTrustedList::LoadFromFile() {
  if (loaded) return TRUE;
  if (path.empty() || !PathFileExistsW(path.c_str())) return FALSE;
  std::string text;
  ReadResult read = ReadResult::kReplaced;
  for (int attempt = 0; attempt < kReadAttempts && read == ReadResult::kReplaced; ++attempt) {
    read = ReadVerifiedFile(&text);
  }
  if (read != ReadResult::kRead) return FALSE;

  sections.clear();
  bool parsed = false;
  try {
    parsed = ReadTrustedListSections(text, &sections);
  } catch (const std::bad_alloc&) {
    parsed = false;
  }
  if (!parsed) {
    sections.clear();
    return FALSE;
  }
  loaded = ParseEntries();
  InterlockedIncrement(&g_listGeneration);
  if (!loaded) {
    ClearLists();
    sections.clear();
  }
  return loaded;
}

BOOL CTrustedList::ParseEntries() {
  ClearLists();
  const auto ver = sections.find(L"VER");
  if (ver == sections.end() || ver->second.size() != 1) return FALSE;
  DWORD parsedVersion = 0;
  if (!ParseVersion(ver->second.front(), &parsedVersion)) return FALSE;

  auto makeList = [this](const wchar_t* section, const wchar_t*** out) {
    const auto it = sections.find(section);
    if (it == sections.end() || it->second.empty()) return true;
    const size_t n = it->second.size();
    *out = new (std::nothrow) const wchar_t*[n + 1];
    if (*out == nullptr) return false;
    for (size_t i = 0; i < n; ++i) (*out)[i] = it->second[i].c_str();
    (*out)[n] = nullptr;
    return true;
  };
  if (!makeList(L"ORG", &names) || !makeList(L"SER", &serials)) {
    ClearLists();
    return FALSE;
  }
  const auto sha = sections.find(L"SHA");
  if (sha != sections.end() && !sha->second.empty()) {
    const size_t n = sha->second.size();
    thumbprints = new (std::nothrow) BYTE*[n]();
    if (thumbprints == nullptr) {
      ClearLists();
      return FALSE;
    }
    thumbprintCount = static_cast<DWORD>(n);
    for (size_t i = 0; i < n; ++i) {
      BYTE decoded[20];
      if (!TrustedListThumbprintFromHex(sha->second[i], decoded)) continue;  // never matches
      thumbprints[i] = new (std::nothrow) BYTE[20];
      if (thumbprints[i] == nullptr) {
        ClearLists();
        return FALSE;
      }
      memcpy(thumbprints[i], decoded, sizeof(decoded));
    }
  }
  // Neither signer names nor roots would admit every signer: such a list is unusable.
  if (names == nullptr && thumbprintCount == 0) {
    ClearLists();
    return FALSE;
  }
  version = parsedVersion;
  return TRUE;
}

void CTrustedList::ClearLists() {
  version = 0;
  delete[] names;
  names = nullptr;
  delete[] serials;
  serials = nullptr;
  if (thumbprints != nullptr) {
    for (DWORD i = 0; i < thumbprintCount; ++i) delete[] thumbprints[i];
    delete[] thumbprints;
  }
  thumbprints = nullptr;
  thumbprintCount = 0;
}

void CTrustedList::Unload() {
  ClearLists();
  sections.clear();
  loaded = FALSE;
  InterlockedIncrement(&g_listGeneration);
}

LONG TrustedListGeneration() { return InterlockedCompareExchange(&g_listGeneration, 0, 0); }

bool CTrustedList::ReadLockedFileVersion(const CTrustedListFileLock& current, DWORD* version) {
  *version = 0;
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(current.handle(), &size)) return false;
  if (size.QuadPart == 0 || size.QuadPart > kMaxTrustedListBytes) return true;  // no list
  std::string text;
  if (!Basalt::ReadWholeFile(current.handle(), kMaxTrustedListBytes, text)) return false;
  // The signature check reads by path, which the exclusive lock may bar: the version is
  // taken from the locked bytes as they stand. A file that merely claims a high version
  // can only hold back an update, never let an older list in.
  try {
    CTrustedList parsed(L"");
    if (ReadTrustedListSections(text, &parsed.sections) && parsed.ParseEntries()) {
      *version = parsed.version;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

BOOL CTrustedList::Update(const wchar_t* newFile) {
  if (newFile == nullptr || *newFile == L'\0' || path.empty() || path.size() >= MAX_PATH) {
    return FALSE;
  }
  AcquireSRWLockExclusive(&lock);
  auto releaseLock = Basalt::MakeScopeExit([this] { ReleaseSRWLockExclusive(&lock); });

  wchar_t folder[MAX_PATH];
  lstrcpynW(folder, path.c_str(), MAX_PATH);
  PathRemoveFileSpecW(folder);
  SHCreateDirectoryExW(nullptr, folder, nullptr);
  CTrustedListFileLock current = LockCurrentFileForUpdate(path.c_str());
  if (!current) return FALSE;
  // An empty file made only to hold the lock goes again when nothing replaces it.
  auto dropPlaceholder = Basalt::MakeScopeExit([this, &current] {
    LARGE_INTEGER size = {};
    if (current && GetFileSizeEx(current.handle(), &size) && size.QuadPart == 0) {
      DeleteFileW(path.c_str());
    }
  });
  wchar_t temporary[MAX_PATH];
  lstrcpynW(temporary, folder, MAX_PATH);
  if (!PathAppendW(temporary, L"trusted.tmp")) return FALSE;
  // A read-only leftover would make the copy fail; the copy itself must stay replaceable.
  SetFileAttributesW(temporary, FILE_ATTRIBUTE_NORMAL);
  if (!CopyFileW(newFile, temporary, FALSE)) return FALSE;
  SetFileAttributesW(temporary, FILE_ATTRIBUTE_NORMAL);

  // What gets installed is the copy, so the copy is what is checked; and the version is
  // compared again under the exclusive locks, so that no updater in this or another
  // process installs an older list over a newer one.
  const DWORD copyVersion = LoadedListVersion(temporary);
  DWORD fileVersion = 0;
  if (!ReadLockedFileVersion(current, &fileVersion)) {
    DeleteFileW(temporary);
    return FALSE;
  }
  const DWORD installedVersion = std::max(loaded ? version : 0, fileVersion);
  if (copyVersion == 0 || copyVersion <= installedVersion ||
      copyVersion <= kBuiltInTrustedListVersion) {
    DeleteFileW(temporary);
    return FALSE;
  }

  const BOOL replaced = ReplaceFileW(path.c_str(), temporary, nullptr,
                                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
  if (!replaced) {
    MoveFileExW(temporary, path.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT);
    return FALSE;
  }
  dropPlaceholder.release();
  current.Release();
  GlobalAddAtomW(kTrustedListReloadAtom);
  return LoadInPlaceOfCurrent();
}

CTrustedList& GetInstalledTrustedList() {
  static CTrustedList installed(TrustPlatform::InstalledTrustedListPath());
  return installed;
}

BOOL ApplyTrustedListUpdate(const wchar_t* candidate) {
  if (candidate == nullptr || *candidate == L'\0') return FALSE;
  const DWORD offeredVersion = LoadedListVersion(candidate);
  if (offeredVersion == 0) return FALSE;
  CTrustedList& installed = GetInstalledTrustedList();
  {
    CTrustedList::SharedHold hold(installed);
    if (installed.IsLoadedLocked() && installed.GetVersion() >= offeredVersion) return FALSE;
  }
  if (offeredVersion <= kBuiltInTrustedListVersion) return FALSE;
  return installed.Update(candidate);
}
