#include "tracecontrol/CEtlFolderSecurity.h"

#include <cstring>
#include <new>

namespace ETWLogging {
namespace {

struct Grant {
  WELL_KNOWN_SID_TYPE sid;
  DWORD rights;
};
constexpr Grant kGrants[] = {
    {WinLocalSystemSid, FILE_ALL_ACCESS},
    {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
    {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},
};
constexpr DWORD kGrantCount = sizeof(kGrants) / sizeof(kGrants[0]);

bool ProtectedDacl(SECURITY_DESCRIPTOR& descriptor, PACL acl) {
  return InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
         SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

}  // namespace

bool CEtlFolderSecurity::Build() {
  BYTE sids[kGrantCount][SECURITY_MAX_SID_SIZE];
  DWORD aclBytes = sizeof(ACL);
  for (DWORD i = 0; i < kGrantCount; ++i) {
    DWORD sidBytes = sizeof(sids[i]);
    if (!CreateWellKnownSid(kGrants[i].sid, nullptr, sids[i], &sidBytes)) return false;
    aclBytes += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sids[i]);
  }
  DWORD sidBytes = sizeof(m_administrators);
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, m_administrators, &sidBytes)) {
    return false;
  }
  m_acl.reset(new (std::nothrow) BYTE[aclBytes]());
  if (!m_acl) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  const PACL acl = reinterpret_cast<PACL>(m_acl.get());
  if (!InitializeAcl(acl, aclBytes, ACL_REVISION)) return false;
  for (DWORD i = 0; i < kGrantCount; ++i) {
    if (!AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                               kGrants[i].rights, sids[i])) {
      return false;
    }
  }
  if (!ProtectedDacl(m_descriptor, acl) || !ProtectedDacl(m_owned, acl) ||
      !SetSecurityDescriptorOwner(&m_owned, m_administrators, FALSE)) {
    return false;
  }
  m_attributes.nLength = sizeof(m_attributes);
  m_attributes.lpSecurityDescriptor = &m_descriptor;
  m_attributes.bInheritHandle = FALSE;
  return true;
}

bool CEtlFolderSecurity::IsMetBy(PSECURITY_DESCRIPTOR descriptor) const {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!m_acl || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr ||
      !(IsWellKnownSid(owner, WinLocalSystemSid) ||
        IsWellKnownSid(owner, WinBuiltinAdministratorsSid))) {
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
      (control & SE_DACL_PROTECTED) == 0 ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present ||
      dacl == nullptr) {
    return false;
  }
  const auto* wanted = reinterpret_cast<const ACL*>(m_acl.get());
  if (dacl->AceCount != wanted->AceCount) return false;
  for (DWORD i = 0; i < wanted->AceCount; ++i) {
    void* have = nullptr;
    void* want = nullptr;
    if (!GetAce(dacl, i, &have) || !GetAce(const_cast<PACL>(wanted), i, &want)) return false;
    const WORD size = static_cast<const ACE_HEADER*>(want)->AceSize;
    if (static_cast<const ACE_HEADER*>(have)->AceSize != size || memcmp(have, want, size) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace ETWLogging
