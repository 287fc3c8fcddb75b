#include "basalt/Registry/CRegKey.h"

#include <aclapi.h>
#include <objbase.h>
#include <shlwapi.h>

#include <atomic>
#include <new>
#include <utility>

#include "basalt/SecurityAPI.h"
#include "basalt/UniqueHandle.h"

namespace Basalt {
namespace internal {

namespace {

constexpr DWORD kViewMask = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr DWORD kEnumNameChars = 256;

using RegDeleteKeyExWFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// Looked up once per process; racing first calls store the same outcome.
std::atomic<RegDeleteKeyExWFn> g_pfnRegDeleteKeyExW{nullptr};
std::atomic<bool> g_bRegDeleteKeyExWLooked{false};

RegDeleteKeyExWFn GetRegDeleteKeyExW() {
  if (!g_bRegDeleteKeyExWLooked.load(std::memory_order_acquire)) {
    RegDeleteKeyExWFn pfn = nullptr;
    if (HMODULE hAdvapi = GetModuleHandleW(L"Advapi32.dll")) {
      pfn = reinterpret_cast<RegDeleteKeyExWFn>(
          reinterpret_cast<void*>(GetProcAddress(hAdvapi, "RegDeleteKeyExW")));
    }
    g_pfnRegDeleteKeyExW.store(pfn, std::memory_order_relaxed);
    g_bRegDeleteKeyExWLooked.store(true, std::memory_order_release);
  }
  return g_pfnRegDeleteKeyExW.load(std::memory_order_relaxed);
}

// Stored string data is a whole number of UTF-16 characters; a size query rounds an odd byte
// count up so that the follow-up read sees all of it (and rejects it).
ULONG CharsForBytes(ULONG nBytes) { return nBytes / 2 + (nBytes & 1); }

// A value of exactly |dwExpectedType| and sizeof(T) bytes; a shorter one would leave part of
// the result unwritten. |value| is written only on success.
template <typename T>
LONG QueryFixedSizeValue(CRegKeyImpl& key, LPCWSTR pszValueName, DWORD dwExpectedType, T& value) {
  if (key.GetHandle() == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD dwType = REG_NONE;
  T read{};
  ULONG nBytes = sizeof(read);
  const LONG lResult = key.QueryValue(pszValueName, &dwType, &read, &nBytes);
  if (lResult != ERROR_SUCCESS) return lResult;
  if (dwType != dwExpectedType || nBytes != sizeof(read)) return ERROR_INVALID_DATA;
  value = read;
  return ERROR_SUCCESS;
}

class SecurityApiCalls final : public IKeySecurityCalls {
 public:
  bool IsNT() override { return m_api.IsWinNT(); }
  bool Load() override { return m_api.Load(); }
  LONG RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION si, PSECURITY_DESCRIPTOR psd,
                         LPDWORD pcb) override {
    return m_api.RegGetKeySecurity(hKey, si, psd, pcb);
  }
  BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR psd, LPBOOL lpbPresent, PACL* pDacl,
                                 LPBOOL lpbDefaulted) override {
    return m_api.GetSecurityDescriptorDacl(psd, lpbPresent, pDacl, lpbDefaulted);
  }
  BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pAuthority, BYTE n, DWORD s0, DWORD s1,
                                DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7,
                                PSID* pSid) override {
    return m_api.AllocateAndInitializeSid(pAuthority, n, s0, s1, s2, s3, s4, s5, s6, s7, pSid);
  }
  DWORD SetEntriesInAclW(ULONG cCount, PEXPLICIT_ACCESS_W pList, PACL oldAcl,
                         PACL* newAcl) override {
    return m_api.SetEntriesInAclW(cCount, pList, oldAcl, newAcl);
  }
  BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR psd, DWORD dwRevision) override {
    return m_api.InitializeSecurityDescriptor(psd, dwRevision);
  }
  BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR psd, BOOL bPresent, PACL pDacl,
                                 BOOL bDefaulted) override {
    return m_api.SetSecurityDescriptorDacl(psd, bPresent, pDacl, bDefaulted);
  }

 private:
  SecurityAPI m_api;
};

struct SidTraits {
  static bool IsValid(PSID p) { return p != nullptr; }
  static void Close(PSID p) { FreeSid(p); }
  static PSID Invalid() { return nullptr; }
};
using UniqueSid = UniqueHandle<PSID, SidTraits>;

// The new descriptor and what it points to; freed together.
struct EveryoneDescriptor {
  UniqueSid sid;
  UniqueLocalMem acl;
  UniqueLocalMem descriptor;
};

LONG BuildEveryoneFullAccessDescriptor(IKeySecurityCalls& calls, PACL pOldDacl, DWORD dwRights,
                                       EveryoneDescriptor& out) {
  EveryoneDescriptor made;
  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  PSID pSid = nullptr;
  if (!calls.AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                      &pSid)) {
    return static_cast<LONG>(GetLastError());
  }
  made.sid.reset(pSid);

  EXPLICIT_ACCESS_W access = {};
  access.grfAccessPermissions = dwRights;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  access.Trustee.pMultipleTrustee = nullptr;
  access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = static_cast<LPWSTR>(pSid);

  PACL pNewAcl = nullptr;
  const DWORD dwAclResult = calls.SetEntriesInAclW(1, &access, pOldDacl, &pNewAcl);
  if (dwAclResult != ERROR_SUCCESS) return static_cast<LONG>(dwAclResult);
  made.acl.reset(pNewAcl);

  made.descriptor.reset(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
  if (!made.descriptor) return ERROR_NOT_ENOUGH_MEMORY;
  if (!calls.InitializeSecurityDescriptor(made.descriptor.get(), SECURITY_DESCRIPTOR_REVISION)) {
    return static_cast<LONG>(GetLastError());
  }
  if (!calls.SetSecurityDescriptorDacl(made.descriptor.get(), TRUE, pNewAcl, FALSE)) {
    return static_cast<LONG>(GetLastError());
  }
  out = std::move(made);
  return ERROR_SUCCESS;
}

LONG SetKeySecurityTree(HKEY hKey, SECURITY_INFORMATION si, PSECURITY_DESCRIPTOR psd,
                        bool bRecursive) {
  const LONG lResult = RegSetKeySecurity(hKey, si, psd);
  if (!bRecursive || lResult != ERROR_SUCCESS) return lResult;

  for (DWORD dwIndex = 0;; ++dwIndex) {
    WCHAR szName[kEnumNameChars] = {};
    DWORD cchName = kEnumNameChars;
    const LONG lEnum =
        RegEnumKeyExW(hKey, dwIndex, szName, &cchName, nullptr, nullptr, nullptr, nullptr);
    if (lEnum == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (lEnum != ERROR_SUCCESS) return lEnum;

    UniqueHKey subKey;
    if (RegOpenKeyExW(hKey, szName, 0, KEY_ALL_ACCESS, subKey.put()) != ERROR_SUCCESS) continue;
    const LONG lSub = SetKeySecurityTree(subKey.get(), si, psd, bRecursive);
    if (lSub != ERROR_SUCCESS) return lSub;
  }
}

}  // namespace

LONG GrantEveryoneFullAccessWith(IKeySecurityCalls& calls, HKEY hKey, bool bRecursive) {
  if (hKey == nullptr) return ERROR_INVALID_PARAMETER;
  if (!calls.IsNT()) return ERROR_SUCCESS;
  if (!calls.Load()) return ERROR_FILE_NOT_FOUND;

  DWORD cbDescriptor = 0;
  LONG lResult = calls.RegGetKeySecurity(hKey, DACL_SECURITY_INFORMATION, nullptr, &cbDescriptor);
  if (lResult != ERROR_INSUFFICIENT_BUFFER) return lResult;
  if (cbDescriptor == 0) return ERROR_BAD_LENGTH;

  UniqueLocalMem current(LocalAlloc(LPTR, cbDescriptor));
  if (!current) return ERROR_OUTOFMEMORY;
  lResult = calls.RegGetKeySecurity(hKey, DACL_SECURITY_INFORMATION, current.get(), &cbDescriptor);
  if (lResult != ERROR_SUCCESS) return lResult;

  BOOL bPresent = FALSE;
  BOOL bDefaulted = FALSE;
  PACL pDacl = nullptr;
  if (!calls.GetSecurityDescriptorDacl(current.get(), &bPresent, &pDacl, &bDefaulted)) {
    return static_cast<LONG>(GetLastError());
  }

  EveryoneDescriptor updated;
  lResult = BuildEveryoneFullAccessDescriptor(calls, pDacl, GENERIC_ALL, updated);
  if (lResult != ERROR_SUCCESS) return lResult;
  return SetKeySecurityTree(hKey, DACL_SECURITY_INFORMATION, updated.descriptor.get(), bRecursive);
}

CRegKeyImpl::~CRegKeyImpl() { Close(); }

LONG CRegKeyImpl::QueryValue(LPCWSTR pszValueName, DWORD* pdwType, void* pData, ULONG* pnBytes) {
  return RegQueryValueExW(m_hKey, pszValueName, nullptr, pdwType, static_cast<LPBYTE>(pData),
                          pnBytes);
}

LONG CRegKeyImpl::SetValue(LPCWSTR pszValueName, DWORD dwType, const void* pValue, ULONG nBytes) {
  if (pValue == nullptr || nBytes == 0) return ERROR_INVALID_PARAMETER;
  return RegSetValueExW(m_hKey, pszValueName, 0, dwType, static_cast<const BYTE*>(pValue), nBytes);
}

LONG CRegKeyImpl::SetGUIDValue(LPCWSTR pszValueName, REFGUID guidValue) {
  WCHAR szGuid[64] = {};
  StringFromGUID2(guidValue, szGuid, 64);
  return SetStringValue(pszValueName, szGuid, REG_SZ);
}

LONG CRegKeyImpl::SetBinaryValue(LPCWSTR pszValueName, const void* pValue, ULONG nBytes) {
  return SetValue(pszValueName, REG_BINARY, pValue, nBytes);
}

LONG CRegKeyImpl::SetDWORDValue(LPCWSTR pszValueName, DWORD dwValue) {
  return SetValue(pszValueName, REG_DWORD, &dwValue, sizeof(dwValue));
}

LONG CRegKeyImpl::SetQWORDValue(LPCWSTR pszValueName, ULONGLONG qwValue) {
  return SetValue(pszValueName, REG_QWORD, &qwValue, sizeof(qwValue));
}

LONG CRegKeyImpl::SetStringValue(LPCWSTR pszValueName, LPCWSTR pszValue, DWORD dwType) {
  if (pszValue == nullptr) return ERROR_INVALID_DATA;
  const ULONG nBytes = (static_cast<ULONG>(lstrlenW(pszValue)) + 1) * sizeof(WCHAR);
  return SetValue(pszValueName, dwType, pszValue, nBytes);
}

LONG CRegKeyImpl::SetMultiStringValue(LPCWSTR pszValueName, LPCWSTR pszValue) {
  if (pszValue == nullptr) return ERROR_INVALID_DATA;
  ULONG nBytes = 0;
  for (LPCWSTR p = pszValue;;) {
    const ULONG nLength = static_cast<ULONG>(lstrlenW(p));
    nBytes += (nLength + 1) * sizeof(WCHAR);
    if (nLength == 0) break;
    p += nLength + 1;
  }
  return SetValue(pszValueName, REG_MULTI_SZ, pszValue, nBytes);
}

LONG CRegKeyImpl::QueryGUIDValue(LPCWSTR pszValueName, GUID& guidValue) {
  guidValue = GUID_NULL;
  WCHAR szGuid[64] = {};
  ULONG nChars = 64;
  const LONG lResult = QueryStringValue(pszValueName, szGuid, &nChars);
  if (lResult != ERROR_SUCCESS) return lResult;
  if (szGuid[0] != L'{') return ERROR_INVALID_DATA;
  GUID parsed;
  if (FAILED(CLSIDFromString(szGuid, &parsed))) return ERROR_INVALID_DATA;
  guidValue = parsed;
  return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryBinaryValue(LPCWSTR pszValueName, void* pValue, ULONG* pnBytes) {
  if (m_hKey == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD dwType = REG_NONE;
  const LONG lResult = QueryValue(pszValueName, &dwType, pValue, pnBytes);
  if (lResult != ERROR_SUCCESS) return lResult;
  if (dwType != REG_BINARY) return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryDWORDValue(LPCWSTR pszValueName, DWORD& dwValue) {
  return QueryFixedSizeValue(*this, pszValueName, REG_DWORD, dwValue);
}

LONG CRegKeyImpl::QueryQWORDValue(LPCWSTR pszValueName, ULONGLONG& qwValue) {
  return QueryFixedSizeValue(*this, pszValueName, REG_QWORD, qwValue);
}

LONG CRegKeyImpl::GetStringValue(LPCWSTR pszValueName, std::wstring& value) {
  ULONG nChars = 0;
  LONG lResult = QueryStringValue(pszValueName, nullptr, &nChars);
  if (lResult != ERROR_SUCCESS) return lResult;

  const ULONG nAlloc = nChars == 0 ? 1 : nChars;
  std::unique_ptr<WCHAR[]> buffer(new (std::nothrow) WCHAR[nAlloc]);
  if (!buffer) return ERROR_OUTOFMEMORY;
  nChars = nAlloc;
  lResult = QueryStringValue(pszValueName, buffer.get(), &nChars);
  if (lResult != ERROR_SUCCESS) return lResult;

  try {
    value.assign(buffer.get());
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
  return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryStringValue(LPCWSTR pszValueName, LPWSTR pszValue, ULONG* pnChars) {
  if (m_hKey == nullptr || pnChars == nullptr) return ERROR_INVALID_PARAMETER;
  const ULONG nCapacity = *pnChars;
  ULONG nBytes = nCapacity * sizeof(WCHAR);
  *pnChars = 0;
  DWORD dwType = REG_NONE;
  const LONG lResult = QueryValue(pszValueName, &dwType, pszValue, &nBytes);
  if (lResult == ERROR_MORE_DATA) {
    *pnChars = CharsForBytes(nBytes);
    return lResult;
  }
  if (lResult != ERROR_SUCCESS) return lResult;
  if (dwType != REG_SZ && dwType != REG_EXPAND_SZ) return ERROR_INVALID_DATA;

  if (nBytes == 0) {
    // Empty data reads as an empty string, which still needs room for its terminator.
    if (pszValue != nullptr) {
      if (nCapacity == 0) {
        *pnChars = 1;
        return ERROR_MORE_DATA;
      }
      pszValue[0] = L'\0';
    }
    *pnChars = 1;
    return ERROR_SUCCESS;
  }
  if (pszValue != nullptr) {
    if ((nBytes % sizeof(WCHAR)) != 0 || pszValue[nBytes / sizeof(WCHAR) - 1] != L'\0') {
      return ERROR_INVALID_DATA;
    }
  }
  *pnChars = CharsForBytes(nBytes);
  return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryMultiStringValue(LPCWSTR pszValueName, LPWSTR pszValue, ULONG* pnChars) {
  if (pnChars == nullptr) return ERROR_INVALID_PARAMETER;
  if (pszValue != nullptr && *pnChars < 2) return ERROR_INSUFFICIENT_BUFFER;
  ULONG nBytes = *pnChars * sizeof(WCHAR);
  *pnChars = 0;
  DWORD dwType = REG_NONE;
  const LONG lResult = QueryValue(pszValueName, &dwType, pszValue, &nBytes);
  if (lResult == ERROR_MORE_DATA) {
    *pnChars = CharsForBytes(nBytes);
    return lResult;
  }
  if (lResult != ERROR_SUCCESS) return lResult;
  if (dwType != REG_MULTI_SZ) return ERROR_INVALID_DATA;

  const ULONG n = nBytes / sizeof(WCHAR);
  if (pszValue != nullptr) {
    if ((nBytes % sizeof(WCHAR)) != 0 || n == 0 || pszValue[n - 1] != L'\0' ||
        (n >= 2 && pszValue[n - 2] != L'\0')) {
      return ERROR_INVALID_DATA;
    }
  }
  *pnChars = CharsForBytes(nBytes);
  return ERROR_SUCCESS;
}

LONG CRegKeyImpl::GetKeySecurity(SECURITY_INFORMATION si, PSECURITY_DESCRIPTOR psd,
                                 LPDWORD pnBytes) {
  if (m_hKey == nullptr || pnBytes == nullptr) return ERROR_INVALID_PARAMETER;
  return RegGetKeySecurity(m_hKey, si, psd, pnBytes);
}

LONG CRegKeyImpl::SetKeySecurity(SECURITY_INFORMATION si, PSECURITY_DESCRIPTOR psd) {
  if (m_hKey == nullptr || psd == nullptr) return ERROR_INVALID_PARAMETER;
  return RegSetKeySecurity(m_hKey, si, psd);
}

LONG CRegKeyImpl::Create(HKEY hKeyParent, LPCWSTR lpszKeyName, LPWSTR lpszClass, DWORD dwOptions,
                         REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecAttr,
                         LPDWORD lpdwDisposition) {
  DWORD dwDisposition = 0;
  HKEY hNewKey = nullptr;
  const LONG lResult = RegCreateKeyExW(hKeyParent, lpszKeyName, 0, lpszClass, dwOptions, samDesired,
                                       lpSecAttr, &hNewKey, &dwDisposition);
  if (lpdwDisposition != nullptr) *lpdwDisposition = dwDisposition;
  if (lResult != ERROR_SUCCESS) return lResult;

  return HoldNewKey(hNewKey, samDesired);
}

LONG CRegKeyImpl::Open(HKEY hKeyParent, LPCWSTR lpszKeyName, REGSAM samDesired) {
  HKEY hNewKey = nullptr;
  const LONG lResult = RegOpenKeyExW(hKeyParent, lpszKeyName, 0, samDesired, &hNewKey);
  if (lResult != ERROR_SUCCESS) return lResult;

  return HoldNewKey(hNewKey, samDesired);
}

LONG CRegKeyImpl::HoldNewKey(HKEY hNewKey, REGSAM samDesired) {
  const LONG lClose = Close();
  m_hKey = hNewKey;
  m_dwViewBits = samDesired & kViewMask;
  m_bDeleteOnClose = false;
  return lClose;
}

LONG CRegKeyImpl::Close() {
  if (m_hKey == nullptr) {
    m_dwViewBits = 0;
    return ERROR_SUCCESS;
  }
  if (m_bDeleteOnClose) {
    SHDeleteKeyW(m_hKey, L"");
    // Some registries only empty the key above; remove the key itself as well.
    RegDeleteKeyW(m_hKey, L"");
    m_bDeleteOnClose = false;
  }
  const LONG lResult = RegCloseKey(m_hKey);
  m_hKey = nullptr;
  m_dwViewBits = 0;
  return lResult;
}

LONG CRegKeyImpl::Flush() {
  if (m_hKey == nullptr) return ERROR_INVALID_PARAMETER;
  return RegFlushKey(m_hKey);
}

HKEY CRegKeyImpl::Detach() {
  HKEY hKey = m_hKey;
  m_hKey = nullptr;
  m_dwViewBits = 0;
  m_bDeleteOnClose = false;
  return hKey;
}

void CRegKeyImpl::Attach(HKEY hKey) {
  m_hKey = hKey;
  m_dwViewBits = 0;
  m_bDeleteOnClose = false;
}

LONG CRegKeyImpl::EnumKey(DWORD iIndex, LPWSTR pszName, LPDWORD pnNameLength,
                          FILETIME* pftLastWriteTime) {
  if (m_hKey == nullptr) return ERROR_INVALID_PARAMETER;
  FILETIME ftLocal;
  if (pftLastWriteTime == nullptr) pftLastWriteTime = &ftLocal;
  return RegEnumKeyExW(m_hKey, iIndex, pszName, pnNameLength, nullptr, nullptr, nullptr,
                       pftLastWriteTime);
}

LONG CRegKeyImpl::NotifyChangeKeyValue(BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                       BOOL bAsync) {
  if (m_hKey == nullptr) return ERROR_INVALID_PARAMETER;
  return RegNotifyChangeKeyValue(m_hKey, bWatchSubtree, dwNotifyFilter, hEvent, bAsync);
}

LONG CRegKeyImpl::DeleteSubKey(LPCWSTR lpszSubKey) {
  if (m_hKey == nullptr || lpszSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  if (RegDeleteKeyExWFn pfn = GetRegDeleteKeyExW()) {
    return pfn(m_hKey, lpszSubKey, m_dwViewBits, 0);
  }
  return RegDeleteKeyW(m_hKey, lpszSubKey);
}

LONG CRegKeyImpl::RecurseDeleteKey(LPCWSTR lpszKey) {
  // A null name would open this key itself and empty it before DeleteSubKey refused the name.
  if (m_hKey == nullptr || lpszKey == nullptr) return ERROR_INVALID_PARAMETER;
  CRegKeyImpl child;
  LONG lResult = child.Open(m_hKey, lpszKey, m_dwViewBits | KEY_READ | KEY_WRITE);
  if (lResult != ERROR_SUCCESS) return lResult;

  for (;;) {
    WCHAR szName[kEnumNameChars];
    DWORD cchName = kEnumNameChars;
    if (RegEnumKeyExW(child.m_hKey, 0, szName, &cchName, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    lResult = child.CRegKeyImpl::RecurseDeleteKey(szName);
    if (lResult != ERROR_SUCCESS) {
      child.Close();
      return lResult;
    }
  }
  child.Close();
  return DeleteSubKey(lpszKey);
}

LONG CRegKeyImpl::DeleteValue(LPCWSTR lpszValue) {
  if (m_hKey == nullptr || lpszValue == nullptr) return ERROR_INVALID_PARAMETER;
  return RegDeleteValueW(m_hKey, lpszValue);
}

LONG CRegKeyImpl::GrantEveryoneFullAccess(bool bRecursive) {
  if (m_hKey == nullptr) return ERROR_INVALID_PARAMETER;
  SecurityApiCalls calls;
  return GrantEveryoneFullAccessWith(calls, m_hKey, bRecursive);
}

void CRegKeyImpl::SetDeleteOnClose(bool bDeleteOnClose) { m_bDeleteOnClose = bDeleteOnClose; }

bool CRegKeyImpl::GetDeleteOnClose() { return m_bDeleteOnClose; }

}  // namespace internal

CRegKey::CRegKey() : m_pImpl(std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::CRegKey(std::shared_ptr<internal::CRegKeyImpl> pImpl)
    : m_pImpl(pImpl ? std::move(pImpl) : std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::~CRegKey() { m_pImpl->Close(); }

LONG CRegKey::QueryValue(LPCWSTR pszValueName, DWORD* pdwType, void* pData, ULONG* pnBytes) {
  return m_pImpl->QueryValue(pszValueName, pdwType, pData, pnBytes);
}
LONG CRegKey::SetValue(LPCWSTR pszValueName, DWORD dwType, const void* pValue, ULONG nBytes) {
  return m_pImpl->SetValue(pszValueName, dwType, pValue, nBytes);
}
LONG CRegKey::SetGUIDValue(LPCWSTR pszValueName, REFGUID guidValue) {
  return m_pImpl->SetGUIDValue(pszValueName, guidValue);
}
LONG CRegKey::SetBinaryValue(LPCWSTR pszValueName, const void* pValue, ULONG nBytes) {
  return m_pImpl->SetBinaryValue(pszValueName, pValue, nBytes);
}
LONG CRegKey::SetDWORDValue(LPCWSTR pszValueName, DWORD dwValue) {
  return m_pImpl->SetDWORDValue(pszValueName, dwValue);
}
LONG CRegKey::SetQWORDValue(LPCWSTR pszValueName, ULONGLONG qwValue) {
  return m_pImpl->SetQWORDValue(pszValueName, qwValue);
}
LONG CRegKey::SetStringValue(LPCWSTR pszValueName, LPCWSTR pszValue, DWORD dwType) {
  return m_pImpl->SetStringValue(pszValueName, pszValue, dwType);
}
LONG CRegKey::SetMultiStringValue(LPCWSTR pszValueName, LPCWSTR pszValue) {
  return m_pImpl->SetMultiStringValue(pszValueName, pszValue);
}
LONG CRegKey::QueryGUIDValue(LPCWSTR pszValueName, GUID& guidValue) {
  return m_pImpl->QueryGUIDValue(pszValueName, guidValue);
}
LONG CRegKey::QueryBinaryValue(LPCWSTR pszValueName, void* pValue, ULONG* pnBytes) {
  return m_pImpl->QueryBinaryValue(pszValueName, pValue, pnBytes);
}
LONG CRegKey::QueryDWORDValue(LPCWSTR pszValueName, DWORD& dwValue) {
  return m_pImpl->QueryDWORDValue(pszValueName, dwValue);
}
LONG CRegKey::QueryQWORDValue(LPCWSTR pszValueName, ULONGLONG& qwValue) {
  return m_pImpl->QueryQWORDValue(pszValueName, qwValue);
}
LONG CRegKey::GetStringValue(LPCWSTR pszValueName, std::wstring& value) {
  return m_pImpl->GetStringValue(pszValueName, value);
}
LONG CRegKey::QueryStringValue(LPCWSTR pszValueName, LPWSTR pszValue, ULONG* pnChars) {
  return m_pImpl->QueryStringValue(pszValueName, pszValue, pnChars);
}
LONG CRegKey::QueryMultiStringValue(LPCWSTR pszValueName, LPWSTR pszValue, ULONG* pnChars) {
  return m_pImpl->QueryMultiStringValue(pszValueName, pszValue, pnChars);
}
LONG CRegKey::GetKeySecurity(SECURITY_INFORMATION si, PSECURITY_DESCRIPTOR psd, LPDWORD pnBytes) {
  return m_pImpl->GetKeySecurity(si, psd, pnBytes);
}
LONG CRegKey::SetKeySecurity(SECURITY_INFORMATION si, PSECURITY_DESCRIPTOR psd) {
  return m_pImpl->SetKeySecurity(si, psd);
}
LONG CRegKey::Create(HKEY hKeyParent, LPCWSTR lpszKeyName, LPWSTR lpszClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecAttr, LPDWORD lpdwDisposition) {
  return m_pImpl->Create(hKeyParent, lpszKeyName, lpszClass, dwOptions, samDesired, lpSecAttr,
                         lpdwDisposition);
}
LONG CRegKey::Open(HKEY hKeyParent, LPCWSTR lpszKeyName, REGSAM samDesired) {
  return m_pImpl->Open(hKeyParent, lpszKeyName, samDesired);
}
LONG CRegKey::Flush() { return m_pImpl->Flush(); }
LONG CRegKey::EnumKey(DWORD iIndex, LPWSTR pszName, LPDWORD pnNameLength,
                      FILETIME* pftLastWriteTime) {
  return m_pImpl->EnumKey(iIndex, pszName, pnNameLength, pftLastWriteTime);
}
LONG CRegKey::NotifyChangeKeyValue(BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                   BOOL bAsync) {
  return m_pImpl->NotifyChangeKeyValue(bWatchSubtree, dwNotifyFilter, hEvent, bAsync);
}
LONG CRegKey::DeleteSubKey(LPCWSTR lpszSubKey) { return m_pImpl->DeleteSubKey(lpszSubKey); }
LONG CRegKey::RecurseDeleteKey(LPCWSTR lpszKey) { return m_pImpl->RecurseDeleteKey(lpszKey); }
LONG CRegKey::DeleteValue(LPCWSTR lpszValue) { return m_pImpl->DeleteValue(lpszValue); }
LONG CRegKey::GrantEveryoneFullAccess(bool bRecursive) {
  return m_pImpl->GrantEveryoneFullAccess(bRecursive);
}

LONG CRegKey::Close() { return m_pImpl->Close(); }
void CRegKey::Attach(HKEY hKey) { m_pImpl->Attach(hKey); }
HKEY CRegKey::Detach() { return m_pImpl->Detach(); }
HKEY CRegKey::GetHandle() const noexcept { return m_pImpl->GetHandle(); }

}  // namespace Basalt
