#include "basalt/SecurityAPI.h"

#include "basalt/LibraryUtils.h"
#include "basalt/OSInfo.h"
#include "basalt/UniqueHandle.h"

namespace Basalt {
namespace {

template <typename Function>
void Bind(HMODULE module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

SecurityAPI::SecurityAPI() : m_pfnLoader(&LoadSystemLibrary) {
  WinOSVersionAPI versionApi;
  Init(versionApi);
}

SecurityAPI::SecurityAPI(WinOSVersionAPI& versionApi, LibraryLoader loader) : m_pfnLoader(loader) {
  Init(versionApi);
}

void SecurityAPI::Init(WinOSVersionAPI& versionApi) {
  // Cannot fail on any supported Windows; a spin count of 4000 keeps Load cheap under
  // contention.
  (void)InitializeCriticalSectionAndSpinCount(&m_csLoad, 4000);
  m_bIsNT = internal::IsPlatform(versionApi, VER_PLATFORM_WIN32_NT);
}

SecurityAPI::~SecurityAPI() {
  DeleteCriticalSection(&m_csLoad);
  if (m_hModule != nullptr) FreeLibrary(m_hModule);
}

bool SecurityAPI::Load() {
  EnterCriticalSection(&m_csLoad);
  const auto leave = MakeScopeExit([this] { LeaveCriticalSection(&m_csLoad); });

  if (m_hModule == nullptr) {
    const HMODULE module = m_pfnLoader != nullptr ? m_pfnLoader(L"advapi32.dll") : nullptr;
    if (module == nullptr) return false;
    m_hModule = module;
    Bind(module, "SetEntriesInAclW", m_pfnSetEntriesInAclW);
    Bind(module, "GetFileSecurityW", m_pfnGetFileSecurityW);
    Bind(module, "SetFileSecurityW", m_pfnSetFileSecurityW);
    Bind(module, "LookupAccountSidW", m_pfnLookupAccountSidW);
    Bind(module, "GetExplicitEntriesFromAclW", m_pfnGetExplicitEntriesFromAclW);
    Bind(module, "RegGetKeySecurity", m_pfnRegGetKeySecurity);
    Bind(module, "RegSetKeySecurity", m_pfnRegSetKeySecurity);
    Bind(module, "InitializeSecurityDescriptor", m_pfnInitializeSecurityDescriptor);
    Bind(module, "SetSecurityDescriptorDacl", m_pfnSetSecurityDescriptorDacl);
    Bind(module, "GetSecurityDescriptorDacl", m_pfnGetSecurityDescriptorDacl);
    Bind(module, "AllocateAndInitializeSid", m_pfnAllocateAndInitializeSid);
    Bind(module, "FreeSid", m_pfnFreeSid);
    Bind(module, "OpenThreadToken", m_pfnOpenThreadToken);
    Bind(module, "GetTokenInformation", m_pfnGetTokenInformation);
    Bind(module, "InitializeAcl", m_pfnInitializeAcl);
    Bind(module, "InitializeSid", m_pfnInitializeSid);
    Bind(module, "GetSidSubAuthority", m_pfnGetSidSubAuthority);
    Bind(module, "AddAccessAllowedAce", m_pfnAddAccessAllowedAce);
    Bind(module, "GetSecurityInfo", m_pfnGetSecurityInfo);
    Bind(module, "SetSecurityInfo", m_pfnSetSecurityInfo);
    Bind(module, "QueryServiceStatusEx", m_pfnQueryServiceStatusEx);
    Bind(module, "GetAce", m_pfnGetAce);
    Bind(module, "DeleteAce", m_pfnDeleteAce);
    Bind(module, "EqualSid", m_pfnEqualSid);
    Bind(module, "GetAclInformation", m_pfnGetAclInformation);
    Bind(module, "SetSecurityDescriptorControl", m_pfnSetSecurityDescriptorControl);
  }
  return AllBound();
}

bool SecurityAPI::AllBound() const noexcept {
  return m_pfnSetEntriesInAclW && m_pfnGetFileSecurityW && m_pfnRegGetKeySecurity &&
         m_pfnRegSetKeySecurity && m_pfnInitializeSecurityDescriptor &&
         m_pfnSetSecurityDescriptorDacl && m_pfnGetSecurityDescriptorDacl &&
         m_pfnAllocateAndInitializeSid && m_pfnSetFileSecurityW && m_pfnFreeSid &&
         m_pfnInitializeAcl && m_pfnInitializeSid && m_pfnGetSidSubAuthority &&
         m_pfnAddAccessAllowedAce && m_pfnGetSecurityInfo && m_pfnSetSecurityInfo &&
         m_pfnQueryServiceStatusEx && m_pfnOpenThreadToken && m_pfnGetTokenInformation &&
         m_pfnLookupAccountSidW && m_pfnGetAce && m_pfnDeleteAce && m_pfnEqualSid &&
         m_pfnGetAclInformation && m_pfnSetSecurityDescriptorControl &&
         m_pfnGetExplicitEntriesFromAclW;
}

BOOL SecurityAPI::AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority,
                                           BYTE subAuthorityCount, DWORD subAuthority0,
                                           DWORD subAuthority1, DWORD subAuthority2,
                                           DWORD subAuthority3, DWORD subAuthority4,
                                           DWORD subAuthority5, DWORD subAuthority6,
                                           DWORD subAuthority7, PSID* sid) {
  if (m_pfnAllocateAndInitializeSid == nullptr || !m_bIsNT) return FALSE;
  return m_pfnAllocateAndInitializeSid(authority, subAuthorityCount, subAuthority0, subAuthority1,
                                       subAuthority2, subAuthority3, subAuthority4, subAuthority5,
                                       subAuthority6, subAuthority7, sid);
}

BOOL SecurityAPI::GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL daclPresent,
                                            PACL* dacl, LPBOOL daclDefaulted) {
  if (m_pfnGetSecurityDescriptorDacl == nullptr || !m_bIsNT) return FALSE;
  return m_pfnGetSecurityDescriptorDacl(descriptor, daclPresent, dacl, daclDefaulted);
}

BOOL SecurityAPI::InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  if (m_pfnInitializeSecurityDescriptor == nullptr || !m_bIsNT) return FALSE;
  return m_pfnInitializeSecurityDescriptor(descriptor, revision);
}

BOOL SecurityAPI::SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent,
                                            PACL dacl, BOOL daclDefaulted) {
  if (m_pfnSetSecurityDescriptorDacl == nullptr || !m_bIsNT) return FALSE;
  return m_pfnSetSecurityDescriptorDacl(descriptor, daclPresent, dacl, daclDefaulted);
}

LONG SecurityAPI::RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                                    PSECURITY_DESCRIPTOR descriptor, LPDWORD descriptorSize) {
  if (m_pfnRegGetKeySecurity == nullptr || !m_bIsNT) return ERROR_INVALID_FUNCTION;
  return m_pfnRegGetKeySecurity(key, information, descriptor, descriptorSize);
}

DWORD SecurityAPI::SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl,
                                    PACL* newAcl) {
  if (m_pfnSetEntriesInAclW == nullptr || !m_bIsNT) return ERROR_INVALID_FUNCTION;
  return m_pfnSetEntriesInAclW(count, entries, oldAcl, newAcl);
}

}  // namespace Basalt
