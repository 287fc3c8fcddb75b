#include "basalt/HeldFolderChain.h"

#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "basalt/FileUtils.h"

namespace Basalt {
namespace {

constexpr ULONG kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr SECURITY_INFORMATION kOwnerAndDacl =
    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
// Names that are taken are passed over; this many in a row mean something else is wrong.
constexpr int kSetAsideAttempts = 16;
// How often a folder is looked at again when another process made, moved or replaced it
// between the look and the step taken on it.
constexpr int kRaceAttempts = 4;

bool IsKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return IsValidSid(sid) && IsWellKnownSid(sid, type);
}

bool IsTrusted(PSID sid, PSID self) {
  return IsKnown(sid, WinLocalSystemSid) || IsKnown(sid, WinBuiltinAdministratorsSid) ||
         (self != nullptr && IsValidSid(sid) && EqualSid(sid, self));
}

// The groups of SYSTEM's token that entries may name.
bool IsInSystemToken(PSID sid) {
  return IsKnown(sid, WinLocalSystemSid) || IsKnown(sid, WinBuiltinAdministratorsSid) ||
         IsKnown(sid, WinWorldSid) || IsKnown(sid, WinAuthenticatedUserSid);
}

bool IsProtected(PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  return GetSecurityDescriptorControl(descriptor, &control, &revision) &&
         (control & SE_DACL_PROTECTED) != 0;
}

// The DACL of |descriptor| when it has one that is not null.
PACL DaclOf(PSECURITY_DESCRIPTOR descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (descriptor == nullptr ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present) {
    return nullptr;
  }
  return dacl;
}

bool SameDacl(PSECURITY_DESCRIPTOR have, PSECURITY_DESCRIPTOR want) {
  const PACL a = DaclOf(have);
  const PACL b = DaclOf(want);
  if (a == nullptr || b == nullptr || a->AceCount != b->AceCount ||
      IsProtected(have) != IsProtected(want)) {
    return false;
  }
  for (DWORD i = 0; i < b->AceCount; ++i) {
    void* x = nullptr;
    void* y = nullptr;
    if (!GetAce(a, i, &x) || !GetAce(b, i, &y)) return false;
    const WORD size = static_cast<const ACE_HEADER*>(y)->AceSize;
    if (static_cast<const ACE_HEADER*>(x)->AceSize != size || memcmp(x, y, size) != 0) {
      return false;
    }
  }
  return true;
}

bool IdentityOf(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
  return GetFileInformationByHandle(file, &info) != FALSE;
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

DWORD TagAttributes(HANDLE file, DWORD& attributes) {
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof(tag))) {
    return GetLastError();
  }
  attributes = tag.FileAttributes;
  return ERROR_SUCCESS;
}

bool ReparsePointByPath(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// SeBackupPrivilege and SeRestorePrivilege enabled on this thread while it lives: on the
// thread's own token, else on a copy of the process token that the thread impersonates.
// What cannot be enabled stays off; the steps then meet the folder's own rights.
class CBackupRestoreScope {
 public:
  CBackupRestoreScope() {
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, TRUE,
                         m_token.put())) {
      if (!ImpersonateSelf(SecurityImpersonation)) return;
      m_impersonating = true;
      if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, TRUE,
                           m_token.put())) {
        return;
      }
    }
    struct {
      DWORD count;
      LUID_AND_ATTRIBUTES privileges[2];
    } wanted = {2, {}};
    if (!LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &wanted.privileges[0].Luid) ||
        !LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &wanted.privileges[1].Luid)) {
      return;
    }
    wanted.privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    wanted.privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD bytes = 0;
    m_adjusted =
        AdjustTokenPrivileges(m_token.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&wanted),
                              sizeof(m_previous), &m_previous.header, &bytes) != FALSE;
  }
  ~CBackupRestoreScope() {
    const DWORD lastError = GetLastError();
    if (m_adjusted) {
      (void)AdjustTokenPrivileges(m_token.get(), FALSE, &m_previous.header, 0, nullptr, nullptr);
    }
    m_token.reset();
    if (m_impersonating) (void)RevertToSelf();
    SetLastError(lastError);
  }
  CBackupRestoreScope(const CBackupRestoreScope&) = delete;
  CBackupRestoreScope& operator=(const CBackupRestoreScope&) = delete;

 private:
  UniqueKernelHandle m_token;
  bool m_impersonating = false;
  bool m_adjusted = false;
  union {
    TOKEN_PRIVILEGES header;
    BYTE bytes[sizeof(TOKEN_PRIVILEGES) + sizeof(LUID_AND_ATTRIBUTES)];
  } m_previous = {};
};

std::wstring SetAsideName(const std::wstring& name, int attempt) {
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  wchar_t digits[40] = {};
  const ULONGLONG time = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  for (int i = 15; i >= 0; --i) digits[15 - i] = L"0123456789abcdef"[(time >> (4 * i)) & 0xF];
  std::wstring result = name + L".set-aside-" + digits;
  if (attempt > 0) result += L"-" + std::to_wstring(attempt);
  return result;
}

DWORD Fail(CFolderChainReport& report, CFolderChainReport::Step step, const std::wstring& path,
           DWORD error) {
  report.step = step;
  report.path = path;
  report.error = error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_INVALID_FUNCTION);
  return report.error;
}

}  // namespace

// --- Security calls --------------------------------------------------------------------

DWORD CFolderSecurityCalls::Read(HANDLE folder, std::vector<BYTE>& descriptor) {
  DWORD needed = 0;
  (void)GetKernelObjectSecurity(folder, kOwnerAndDacl, nullptr, 0, &needed);
  if (needed == 0) return GetLastError();
  try {
    std::vector<BYTE> bytes(needed);
    if (!GetKernelObjectSecurity(folder, kOwnerAndDacl, bytes.data(), needed, &needed)) {
      return GetLastError();
    }
    descriptor = std::move(bytes);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return ERROR_SUCCESS;
}

DWORD CFolderSecurityCalls::WriteDacl(HANDLE folder, PSECURITY_DESCRIPTOR descriptor) {
  return SetKernelObjectSecurity(folder, DACL_SECURITY_INFORMATION, descriptor)
             ? static_cast<DWORD>(ERROR_SUCCESS)
             : GetLastError();
}

DWORD CFolderSecurityCalls::Create(HANDLE parent, const std::wstring& name,
                                   PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK access,
                                   UniqueFile& folder) {
  return OpenByNameIn(parent, name, access, kShareReadWrite, FILE_CREATE,
                      FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, folder, nullptr, descriptor);
}

CFolderSecurityCalls& CFolderSecurityCalls::Real() {
  static CFolderSecurityCalls calls;
  return calls;
}

// --- Judging ---------------------------------------------------------------------------

CFolderVerdict JudgeFolderSecurity(PSECURITY_DESCRIPTOR descriptor, const CFolderRule& rule,
                                   PSID self) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (descriptor == nullptr || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      owner == nullptr || !IsTrusted(owner, self)) {
    return CFolderVerdict::kSetAside;
  }
  const PACL dacl = DaclOf(descriptor);
  if (dacl == nullptr) return CFolderVerdict::kSetAside;  // none, or null: anyone may do anything
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  ACCESS_MASK others = 0;
  ACCESS_MASK systemGranted = 0;
  ACCESS_MASK systemDenied = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) return CFolderVerdict::kSetAside;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;  // for what is made in it
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) {
      return CFolderVerdict::kSetAside;  // nothing this judge can weigh
    }
    // Allowing and denying entries share their layout.
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    const PSID sid = &ace->SidStart;
    ACCESS_MASK mask = ace->Mask;
    MapGenericMask(&mask, &mapping);
    const bool allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
    if (allows && !IsTrusted(sid, self)) others |= mask;
    if (IsInSystemToken(sid)) {
      if (allows) {
        systemGranted |= mask & ~systemDenied;
      } else {
        systemDenied |= mask & ~systemGranted;
      }
    }
  }
  if ((others & ~rule.othersMay) != 0 || (systemGranted & FILE_ALL_ACCESS) != FILE_ALL_ACCESS) {
    return CFolderVerdict::kSetAside;
  }
  if (DaclOf(rule.descriptor) != nullptr && !SameDacl(descriptor, rule.descriptor)) {
    return CFolderVerdict::kPutRights;
  }
  return CFolderVerdict::kAdopt;
}

bool TrustedSelf(BYTE* sid) {
  UniqueKernelHandle token;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    return false;
  }
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD bytes = 0;
  if (!GetTokenInformation(token.get(), TokenUser, &info, sizeof(info), &bytes) ||
      !CopySid(SECURITY_MAX_SID_SIZE, sid, info.user.User.Sid)) {
    return false;
  }
  if (IsKnown(sid, WinLocalSystemSid)) return true;
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD sidBytes = sizeof(administrators);
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidBytes) &&
         CheckTokenMembership(nullptr, administrators, &member) && member;
}

namespace {

DWORD RenameWithin(HANDLE file, HANDLE folder, const std::wstring& name, bool replace) {
  if (!IsPlainName(name)) return ERROR_INVALID_NAME;
  const size_t nameBytes = name.size() * sizeof(wchar_t);
  const size_t bytes = offsetof(FILE_RENAME_INFORMATION, FileName) + nameBytes;
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[bytes + sizeof(wchar_t)]());
  if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.get());
  rename->ReplaceIfExists = replace ? TRUE : FALSE;
  // The new name is resolved in the folder this handle names, not along a path.
  rename->RootDirectory = folder;
  rename->FileNameLength = static_cast<ULONG>(nameBytes);
  memcpy(rename->FileName, name.data(), nameBytes);
  IO_STATUS_BLOCK io = {};
  const NTSTATUS status =
      NtSetInformationFile(file, &io, rename, static_cast<ULONG>(bytes), FileRenameInformation);
  return NT_SUCCESS(status) ? static_cast<DWORD>(ERROR_SUCCESS) : RtlNtStatusToDosError(status);
}

}  // namespace

DWORD RenameInFolder(HANDLE file, HANDLE folder, const std::wstring& name) {
  return RenameWithin(file, folder, name, false);
}

DWORD ReplaceInFolder(HANDLE file, HANDLE folder, const std::wstring& name) {
  return RenameWithin(file, folder, name, true);
}

// --- The chain -------------------------------------------------------------------------

void CHeldFolderChain::Release() {
  // Innermost first, so that no folder is let go while one inside it is still held.
  while (!m_folders.empty()) m_folders.pop_back();
  m_paths.clear();
}

DWORD CHeldFolderChain::Open(const std::wstring& root, const std::vector<CFolderRule>& rules,
                             CFolderChainReport& report) {
  Release();
  report = CFolderChainReport();
  try {
    UniqueFile parent(CreateFileW(root.c_str(),
                                  READ_CONTROL | FILE_TRAVERSE | FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!parent) return Fail(report, CFolderChainReport::Step::kRoot, root, GetLastError());
    BYTE selfBytes[SECURITY_MAX_SID_SIZE] = {};
    const PSID self = TrustedSelf(selfBytes) ? static_cast<PSID>(selfBytes) : nullptr;
    std::wstring path = root;
    while (path.size() > 1 && path.back() == L'\\') path.pop_back();
    for (const CFolderRule& rule : rules) {
      path += L"\\" + rule.name;
      if (!IsPlainName(rule.name)) {
        Release();
        return Fail(report, CFolderChainReport::Step::kOpen, path, ERROR_INVALID_NAME);
      }
      UniqueFile folder;
      const DWORD opened = OpenOne(m_folders.empty() ? parent.get() : m_folders.back().get(), path,
                                   rule, self, folder, report);
      if (opened != ERROR_SUCCESS) {
        Release();
        return opened;
      }
      m_folders.push_back(std::move(folder));
      m_paths.push_back(path);
    }
  } catch (const std::bad_alloc&) {
    Release();
    return Fail(report, CFolderChainReport::Step::kOpen, L"", ERROR_NOT_ENOUGH_MEMORY);
  }
  return ERROR_SUCCESS;
}

DWORD CHeldFolderChain::OpenOne(HANDLE parent, const std::wstring& path, const CFolderRule& rule,
                                PSID self, UniqueFile& folder, CFolderChainReport& report) {
  using Step = CFolderChainReport::Step;
  DWORD error = ERROR_SUCCESS;
  for (int attempt = 0; attempt < kRaceAttempts; ++attempt) {
    report.step = Step::kNone;
    report.error = ERROR_SUCCESS;
    error = OpenOnce(parent, path, rule, self, folder, report);
    // Another process made the folder, or moved or replaced it, between the look and the step
    // taken on it (two hosts starting at once make the same folders): what stands there now is
    // looked at and judged anew, never taken unjudged.
    const bool raced = (report.step == Step::kCreate &&
                        (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) ||
                       (report.step == Step::kSetAside &&
                        (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_NOT_FOUND));
    if (!raced) break;
  }
  return error;
}

DWORD CHeldFolderChain::OpenOnce(HANDLE parent, const std::wstring& path, const CFolderRule& rule,
                                 PSID self, UniqueFile& folder, CFolderChainReport& report) {
  using Step = CFolderChainReport::Step;
  // Wine shows a link by its path only, and follows it whatever it is asked.
  if (ReparsePointByPath(path)) return Fail(report, Step::kNotPlain, path, kReparsePointMet);
  const ACCESS_MASK access = rule.judged ? kHeldAccess : kListedAccess;
  UniqueFile candidate;
  DWORD error = OpenByNameIn(parent, rule.name, access, kShareReadWrite, FILE_OPEN,
                             FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, candidate);
  if (error == ERROR_FILE_NOT_FOUND) {
    CBackupRestoreScope privileges;
    error = m_calls.Create(parent, rule.name, rule.descriptor, access, folder);
    return error == ERROR_SUCCESS ? error : Fail(report, Step::kCreate, path, error);
  }
  // A file in its place, or a folder that shuts this caller out, has to go.
  if (rule.judged && (error == ERROR_DIRECTORY || error == ERROR_ACCESS_DENIED)) {
    return SetAsideAndCreate(parent, path, rule, nullptr, folder, report);
  }
  if (error != ERROR_SUCCESS) return Fail(report, Step::kOpen, path, error);
  DWORD attributes = 0;
  error = TagAttributes(candidate.get(), attributes);
  if (error != ERROR_SUCCESS) return Fail(report, Step::kOpen, path, error);
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return Fail(report, Step::kNotPlain, path, kReparsePointMet);
  }
  if (!rule.judged) {
    folder = std::move(candidate);
    return ERROR_SUCCESS;
  }
  std::vector<BYTE> descriptor;
  error = m_calls.Read(candidate.get(), descriptor);
  if (error == ERROR_SUCCESS && descriptor.empty()) error = ERROR_INVALID_SECURITY_DESCR;
  if (error != ERROR_SUCCESS) return Fail(report, Step::kSecurity, path, error);
  switch (JudgeFolderSecurity(descriptor.data(), rule, self)) {
    case CFolderVerdict::kAdopt:
      break;
    case CFolderVerdict::kPutRights:
      // Nobody else could open it for more than the rule allows, so no earlier handle
      // outlives these rights with more.
      error = m_calls.WriteDacl(candidate.get(), rule.descriptor);
      if (error != ERROR_SUCCESS) return Fail(report, Step::kRights, path, error);
      break;
    case CFolderVerdict::kSetAside: {
      // Rights are checked when a handle is opened: whoever made or could write this folder
      // may hold a handle that would keep them whatever it is given now.
      BY_HANDLE_FILE_INFORMATION judged = {};
      if (!IdentityOf(candidate.get(), judged)) {
        return Fail(report, Step::kSetAside, path, GetLastError());
      }
      candidate.reset();
      return SetAsideAndCreate(parent, path, rule, &judged, folder, report);
    }
  }
  folder = std::move(candidate);
  return ERROR_SUCCESS;
}

DWORD CHeldFolderChain::SetAsideAndCreate(HANDLE parent, const std::wstring& path,
                                          const CFolderRule& rule,
                                          const BY_HANDLE_FILE_INFORMATION* judged,
                                          UniqueFile& folder, CFolderChainReport& report) {
  using Step = CFolderChainReport::Step;
  CBackupRestoreScope privileges;
  UniqueFile moving;
  DWORD error = OpenByNameIn(parent, rule.name, DELETE | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                             FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, moving);
  if (error != ERROR_SUCCESS) return Fail(report, Step::kSetAside, path, error);
  DWORD attributes = 0;
  error = TagAttributes(moving.get(), attributes);
  if (error != ERROR_SUCCESS) return Fail(report, Step::kSetAside, path, error);
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || ReparsePointByPath(path)) {
    return Fail(report, Step::kNotPlain, path, kReparsePointMet);
  }
  BY_HANDLE_FILE_INFORMATION now = {};
  if (judged != nullptr && (!IdentityOf(moving.get(), now) || !SameIdentity(now, *judged))) {
    // Something else stands there since it was judged.
    return Fail(report, Step::kSetAside, path, ERROR_ALREADY_EXISTS);
  }
  std::wstring newName;
  error = ERROR_ALREADY_EXISTS;
  for (int attempt = 0; attempt < kSetAsideAttempts && error == ERROR_ALREADY_EXISTS; ++attempt) {
    newName = SetAsideName(rule.name, attempt);
    error = RenameInFolder(moving.get(), parent, newName);
    if (error == ERROR_FILE_EXISTS) error = ERROR_ALREADY_EXISTS;
  }
  if (error != ERROR_SUCCESS) return Fail(report, Step::kSetAside, path, error);
  report.setAside.push_back({path, newName});
  moving.reset();
  // FILE_CREATE: whatever appears in its place meanwhile is not taken for it.
  error = m_calls.Create(parent, rule.name, rule.descriptor, kHeldAccess, folder);
  return error == ERROR_SUCCESS ? error : Fail(report, Step::kCreate, path, error);
}

std::wstring CFolderChainReport::Reason() const {
  switch (step) {
    case Step::kNotPlain:
      return path + L" is a reparse point";
    case Step::kSecurity:
      return L"Cannot read the owner and rights of " + path;
    case Step::kSetAside:
      return L"Cannot move aside " + path;
    case Step::kCreate:
      return L"Cannot create " + path;
    case Step::kRights:
      return L"Cannot set the rights of " + path;
    default:
      return L"Cannot open " + path;
  }
}

bool CHeldFolderChain::PathLeadsToLast(const std::wstring& path) const {
  if (m_folders.empty()) return false;
  const UniqueFile named(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION a = {}, b = {};
  return named && IdentityOf(named.get(), a) && IdentityOf(m_folders.back().get(), b) &&
         SameIdentity(a, b);
}

}  // namespace Basalt
