// Security functions of the system's advapi32.dll, bound by name at run time.
#pragma once

#include <aclapi.h>
#include <windows.h>

namespace Basalt {

class WinOSVersionAPI;

// Table of advapi32's security functions, loaded from the system folder. The
// call-throughs reach advapi32 only after a successful Load on Windows NT; otherwise
// they return a fixed failure without calling anything.
class SecurityAPI {
 public:
  // Loader of the library: given "advapi32.dll", returns a module or null.
  using LibraryLoader = HMODULE (*)(const wchar_t* fileName);

  // Nothing loaded; the NT flag comes from a fresh platform test.
  SecurityAPI();
  SecurityAPI(const SecurityAPI&) = delete;
  SecurityAPI& operator=(const SecurityAPI&) = delete;
  // Frees the library when one is held.
  ~SecurityAPI();

  // Loads advapi32 from the system folder once and binds all 26 functions. True only when
  // every one is bound. A failed load is retried by the next call; once a module is held
  // later calls only repeat the bound test.
  [[nodiscard]] bool Load();

  // True when the platform is Windows NT (the call-throughs work only then).
  bool IsWinNT() const noexcept { return m_bIsNT; }

  // Call-throughs with the arguments of the Win32 functions of the same names.
  // FALSE when not bound or not NT.
  BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount,
                                DWORD subAuthority0, DWORD subAuthority1, DWORD subAuthority2,
                                DWORD subAuthority3, DWORD subAuthority4, DWORD subAuthority5,
                                DWORD subAuthority6, DWORD subAuthority7, PSID* sid);
  BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL daclPresent, PACL* dacl,
                                 LPBOOL daclDefaulted);
  BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
  BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl,
                                 BOOL daclDefaulted);
  // ERROR_INVALID_FUNCTION (1) when not bound or not NT.
  LONG RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                         PSECURITY_DESCRIPTOR descriptor, LPDWORD descriptorSize);
  DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl);

 protected:
  // For tests: |versionApi| answers the platform test, |loader| loads the library.
  SecurityAPI(WinOSVersionAPI& versionApi, LibraryLoader loader);

 private:
  void Init(WinOSVersionAPI& versionApi);
  bool AllBound() const noexcept;

  HMODULE m_hModule = nullptr;
  CRITICAL_SECTION m_csLoad;
  bool m_bIsNT = false;

  decltype(&::SetEntriesInAclW) m_pfnSetEntriesInAclW = nullptr;
  decltype(&::GetFileSecurityW) m_pfnGetFileSecurityW = nullptr;
  decltype(&::RegGetKeySecurity) m_pfnRegGetKeySecurity = nullptr;
  decltype(&::RegSetKeySecurity) m_pfnRegSetKeySecurity = nullptr;
  decltype(&::InitializeSecurityDescriptor) m_pfnInitializeSecurityDescriptor = nullptr;
  decltype(&::SetSecurityDescriptorDacl) m_pfnSetSecurityDescriptorDacl = nullptr;
  decltype(&::GetSecurityDescriptorDacl) m_pfnGetSecurityDescriptorDacl = nullptr;
  decltype(&::AllocateAndInitializeSid) m_pfnAllocateAndInitializeSid = nullptr;
  decltype(&::SetFileSecurityW) m_pfnSetFileSecurityW = nullptr;
  decltype(&::FreeSid) m_pfnFreeSid = nullptr;
  decltype(&::InitializeAcl) m_pfnInitializeAcl = nullptr;
  decltype(&::InitializeSid) m_pfnInitializeSid = nullptr;
  decltype(&::GetSidSubAuthority) m_pfnGetSidSubAuthority = nullptr;
  decltype(&::AddAccessAllowedAce) m_pfnAddAccessAllowedAce = nullptr;
  decltype(&::GetSecurityInfo) m_pfnGetSecurityInfo = nullptr;
  decltype(&::SetSecurityInfo) m_pfnSetSecurityInfo = nullptr;
  decltype(&::QueryServiceStatusEx) m_pfnQueryServiceStatusEx = nullptr;
  decltype(&::OpenThreadToken) m_pfnOpenThreadToken = nullptr;
  decltype(&::GetTokenInformation) m_pfnGetTokenInformation = nullptr;
  decltype(&::LookupAccountSidW) m_pfnLookupAccountSidW = nullptr;
  decltype(&::GetAce) m_pfnGetAce = nullptr;
  decltype(&::DeleteAce) m_pfnDeleteAce = nullptr;
  decltype(&::EqualSid) m_pfnEqualSid = nullptr;
  decltype(&::GetAclInformation) m_pfnGetAclInformation = nullptr;
  decltype(&::SetSecurityDescriptorControl) m_pfnSetSecurityDescriptorControl = nullptr;
  decltype(&::GetExplicitEntriesFromAclW) m_pfnGetExplicitEntriesFromAclW = nullptr;

  LibraryLoader m_pfnLoader;
};

}  // namespace Basalt
