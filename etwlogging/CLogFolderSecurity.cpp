#include "etwlogging/CLogFolderSecurity.h"

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
constexpr Grant kLogsGrants[] = {
    {WinLocalSystemSid, FILE_ALL_ACCESS, kInherited},
    {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS, kInherited},
    // Whoever makes a folder here owns it and what is made in it.
    {WinCreatorOwnerSid, FILE_ALL_ACCESS, kInherited | INHERIT_ONLY_ACE},
    {WinBuiltinUsersSid, kRead, kInherited},
    // Standard users' own folders; not inherited, so nobody else writes below.
    {WinBuiltinUsersSid, FILE_ADD_SUBDIRECTORY, 0},
};
// The module folder and the ETL folder.
constexpr Grant kProtectedGrants[] = {
    {WinLocalSystemSid, FILE_ALL_ACCESS, kInherited},
    {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS, kInherited},
    {WinBuiltinUsersSid, kRead, kInherited},
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

bool CLogFolderSecurity::Build() {
  DWORD sidBytes = sizeof(m_administrators);
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, m_administrators, &sidBytes) &&
         BuildAcl(kLogsGrants, m_logsAcl) && BuildAcl(kProtectedGrants, m_protectedAcl) &&
         Describe(m_vendor, m_administrators, nullptr) &&
         Describe(m_logs, m_administrators, reinterpret_cast<PACL>(m_logsAcl.get())) &&
         Describe(m_module, m_administrators, reinterpret_cast<PACL>(m_protectedAcl.get()));
}

std::vector<Basalt::CFolderRule> CLogFolderSecurity::Rules(const std::wstring& vendor,
                                                           const std::wstring& logs,
                                                           const std::vector<std::wstring>& groups,
                                                           const std::wstring& module,
                                                           bool trusted) {
  // The vendor and logs folders are made with the controller's rights by whoever makes them
  // (a process that may not name Administrators their owner cannot); the folders below by
  // a standard user's process take what the folder above hands down.
  std::vector<Basalt::CFolderRule> rules = {
      {vendor, &m_vendor, kVendorOthersMay, trusted},
      {logs, &m_logs, kRead | FILE_ADD_SUBDIRECTORY, trusted},
  };
  for (const std::wstring& group : groups) {
    rules.push_back({group, trusted ? &m_logs : nullptr, kRead | FILE_ADD_SUBDIRECTORY, trusted});
  }
  rules.push_back({module, trusted ? &m_module : nullptr, kRead, trusted});
  return rules;
}

std::vector<Basalt::CFolderRule> CLogFolderSecurity::EtlRules(
    const std::vector<std::wstring>& names) {
  std::vector<Basalt::CFolderRule> rules;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i + 1 == names.size()) {
      rules.push_back({names[i], &m_module, kRead});
    } else if (i + 2 == names.size()) {
      rules.push_back({names[i], &m_logs, kRead | FILE_ADD_SUBDIRECTORY});
    } else {
      rules.push_back({names[i], &m_vendor, kVendorOthersMay});
    }
  }
  return rules;
}

}  // namespace ETWLogging
