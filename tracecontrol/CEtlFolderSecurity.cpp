#include "tracecontrol/CEtlFolderSecurity.h"

#include <new>

namespace ETWLogging {
namespace {

constexpr ACCESS_MASK kRead = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
constexpr BYTE kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

struct Grant {
  WELL_KNOWN_SID_TYPE sid;
  DWORD rights;
  BYTE flags;
};
constexpr Grant kEtlGrants[] = {
    {WinLocalSystemSid, FILE_ALL_ACCESS, kInherited},
    {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS, kInherited},
    {WinBuiltinUsersSid, kRead, kInherited},
};
constexpr Grant kLogsGrants[] = {
    {WinLocalSystemSid, FILE_ALL_ACCESS, kInherited},
    {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS, kInherited},
    // Whoever makes a folder here owns it and what is made in it.
    {WinCreatorOwnerSid, FILE_ALL_ACCESS, kInherited | INHERIT_ONLY_ACE},
    {WinBuiltinUsersSid, kRead, kInherited},
    // Standard users' own log folders; not inherited, so nobody else writes below.
    {WinBuiltinUsersSid, FILE_ADD_SUBDIRECTORY, 0},
};
// What a vendor folder may let others do, as ProgramData hands it down: add files and
// folders, set attributes; never delete, rename what is in it, or change its rights.
constexpr ACCESS_MASK kVendorOthersMay = kRead | FILE_GENERIC_WRITE;

template <size_t N>
bool BuildAcl(const Grant (&grants)[N], std::unique_ptr<BYTE[]>& bytes) {
  BYTE sids[N][SECURITY_MAX_SID_SIZE];
  DWORD aclBytes = sizeof(ACL);
  for (size_t i = 0; i < N; ++i) {
    DWORD sidBytes = sizeof(sids[i]);
    if (!CreateWellKnownSid(grants[i].sid, nullptr, sids[i], &sidBytes)) return false;
    aclBytes += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sids[i]);
  }
  bytes.reset(new (std::nothrow) BYTE[aclBytes]());
  if (!bytes) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  const PACL acl = reinterpret_cast<PACL>(bytes.get());
  if (!InitializeAcl(acl, aclBytes, ACL_REVISION)) return false;
  for (size_t i = 0; i < N; ++i) {
    if (!AddAccessAllowedAceEx(acl, ACL_REVISION, grants[i].flags, grants[i].rights, sids[i])) {
      return false;
    }
  }
  return true;
}

bool Describe(SECURITY_DESCRIPTOR& descriptor, PSID owner, PACL acl) {
  if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorOwner(&descriptor, owner, FALSE)) {
    return false;
  }
  return acl == nullptr ||
         (SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
          SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
}

}  // namespace

bool CEtlFolderSecurity::Build() {
  DWORD sidBytes = sizeof(m_administrators);
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, m_administrators, &sidBytes) &&
         BuildAcl(kEtlGrants, m_etlAcl) && BuildAcl(kLogsGrants, m_logsAcl) &&
         Describe(m_etl, m_administrators, reinterpret_cast<PACL>(m_etlAcl.get())) &&
         Describe(m_logs, m_administrators, reinterpret_cast<PACL>(m_logsAcl.get())) &&
         Describe(m_vendor, m_administrators, nullptr);
}

std::vector<Basalt::CFolderRule> CEtlFolderSecurity::Rules(const std::vector<std::wstring>& names) {
  std::vector<Basalt::CFolderRule> rules;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i + 1 == names.size()) {
      rules.push_back({names[i], &m_etl, kRead});
    } else if (i + 2 == names.size()) {
      rules.push_back({names[i], &m_logs, kRead | FILE_ADD_SUBDIRECTORY});
    } else {
      rules.push_back({names[i], &m_vendor, kVendorOthersMay});
    }
  }
  return rules;
}

}  // namespace ETWLogging
