// Registry key object: a handle class whose virtual operations forward to a shared
// implementation that owns one open HKEY.
#pragma once

#include <windows.h>
// windows.h first: the security headers rely on it.
#include <accctrl.h>

#include <memory>
#include <string>

namespace Basalt {

namespace internal {

// Owns one open registry key. Every typed operation reaches the registry only through
// QueryValue and SetValue, called virtually, so a derived implementation that overrides those
// two changes how every typed value is stored. All operations return Win32 codes (0 success).
// One thread at a time per object.
class CRegKeyImpl {
 public:
  CRegKeyImpl() noexcept = default;
  CRegKeyImpl(const CRegKeyImpl&) = delete;
  CRegKeyImpl& operator=(const CRegKeyImpl&) = delete;

  // Closes the key (delete-on-close applies).
  virtual ~CRegKeyImpl();

  // Raw read: RegQueryValueExW with no checks of its own (a null key goes to the registry).
  [[nodiscard]] virtual LONG QueryValue(LPCWSTR pszValueName, DWORD* pdwType, void* pData,
                                        ULONG* pnBytes);
  // Raw write: 87 when pValue is null or nBytes is 0, else RegSetValueExW.
  [[nodiscard]] virtual LONG SetValue(LPCWSTR pszValueName, DWORD dwType, const void* pValue,
                                      ULONG nBytes);
  // Stores the GUID in registry form with braces as REG_SZ.
  [[nodiscard]] virtual LONG SetGUIDValue(LPCWSTR pszValueName, REFGUID guidValue);
  [[nodiscard]] virtual LONG SetBinaryValue(LPCWSTR pszValueName, const void* pValue, ULONG nBytes);
  [[nodiscard]] virtual LONG SetDWORDValue(LPCWSTR pszValueName, DWORD dwValue);
  [[nodiscard]] virtual LONG SetQWORDValue(LPCWSTR pszValueName, ULONGLONG qwValue);
  // 13 when pszValue is null; the terminator is stored with the text.
  [[nodiscard]] virtual LONG SetStringValue(LPCWSTR pszValueName, LPCWSTR pszValue,
                                            DWORD dwType = REG_SZ);
  // pszValue is a double-0-terminated list; 13 when null.
  [[nodiscard]] virtual LONG SetMultiStringValue(LPCWSTR pszValueName, LPCWSTR pszValue);

  // Zeroes guidValue first; 13 when the text is no braced GUID.
  [[nodiscard]] virtual LONG QueryGUIDValue(LPCWSTR pszValueName, GUID& guidValue);
  // 87 without a key; 13 for a type other than REG_BINARY (the buffer may have been
  // written by then). *pnBytes is in/out as for RegQueryValueExW.
  [[nodiscard]] virtual LONG QueryBinaryValue(LPCWSTR pszValueName, void* pValue, ULONG* pnBytes);
  // 87 without a key; 13 unless the value is REG_DWORD of exactly 4 bytes; dwValue is written
  // only on success.
  [[nodiscard]] virtual LONG QueryDWORDValue(LPCWSTR pszValueName, DWORD& dwValue);
  // As QueryDWORDValue for REG_QWORD of exactly 8 bytes.
  [[nodiscard]] virtual LONG QueryQWORDValue(LPCWSTR pszValueName, ULONGLONG& qwValue);
  // Whole REG_SZ/REG_EXPAND_SZ value up to its first 0; value is assigned only on success.
  [[nodiscard]] virtual LONG GetStringValue(LPCWSTR pszValueName, std::wstring& value);
  // pszValue may be null for a size query. *pnChars in: buffer size; out: chars stored or
  // needed, terminator included (also with 234); 0 after any other failure. The stored text
  // must be REG_SZ/REG_EXPAND_SZ, of even size and 0-terminated, else 13.
  [[nodiscard]] virtual LONG QueryStringValue(LPCWSTR pszValueName, LPWSTR pszValue,
                                              ULONG* pnChars);
  // As QueryStringValue for REG_MULTI_SZ, which must end in two 0 characters (or be one 0).
  // A buffer of fewer than 2 chars gives 122.
  [[nodiscard]] virtual LONG QueryMultiStringValue(LPCWSTR pszValueName, LPWSTR pszValue,
                                                   ULONG* pnChars);

  // 87 without a key or pnBytes; else RegGetKeySecurity.
  [[nodiscard]] virtual LONG GetKeySecurity(SECURITY_INFORMATION si, PSECURITY_DESCRIPTOR psd,
                                            LPDWORD pnBytes);
  // 87 without a key or psd; else RegSetKeySecurity.
  [[nodiscard]] virtual LONG SetKeySecurity(SECURITY_INFORMATION si, PSECURITY_DESCRIPTOR psd);

  // RegCreateKeyExW. *lpdwDisposition (when given) is written on failure too (0 then). On
  // failure the key held before is kept; on success it is closed and its Close result returned.
  [[nodiscard]] virtual LONG Create(HKEY hKeyParent, LPCWSTR lpszKeyName,
                                    LPWSTR lpszClass = nullptr,
                                    DWORD dwOptions = REG_OPTION_NON_VOLATILE,
                                    REGSAM samDesired = KEY_READ | KEY_WRITE,
                                    LPSECURITY_ATTRIBUTES lpSecAttr = nullptr,
                                    LPDWORD lpdwDisposition = nullptr);
  // RegOpenKeyExW; otherwise as Create.
  [[nodiscard]] virtual LONG Open(HKEY hKeyParent, LPCWSTR lpszKeyName,
                                  REGSAM samDesired = KEY_READ | KEY_WRITE);
  // Deletes the key with its subtree first when delete-on-close is set; 0 when nothing is held.
  virtual LONG Close();
  // 87 without a key; else RegFlushKey.
  [[nodiscard]] virtual LONG Flush();
  // Gives up the handle without closing it; the object is left closed.
  [[nodiscard]] virtual HKEY Detach();
  // Takes ownership of hKey (view bits 0). A handle already held is neither closed nor returned.
  virtual void Attach(HKEY hKey);
  // 87 without a key; else RegEnumKeyExW. pftLastWriteTime may be null.
  [[nodiscard]] virtual LONG EnumKey(DWORD iIndex, LPWSTR pszName, LPDWORD pnNameLength,
                                     FILETIME* pftLastWriteTime = nullptr);
  // 87 without a key; else RegNotifyChangeKeyValue.
  [[nodiscard]] virtual LONG NotifyChangeKeyValue(BOOL bWatchSubtree, DWORD dwNotifyFilter,
                                                  HANDLE hEvent, BOOL bAsync = TRUE);
  // 87 without a key or name; deletes a subkey that has no subkeys, in this key's view.
  [[nodiscard]] virtual LONG DeleteSubKey(LPCWSTR lpszSubKey);
  // 87 without a key or name; deletes the subkey with its whole subtree (2 when missing).
  [[nodiscard]] virtual LONG RecurseDeleteKey(LPCWSTR lpszKey);
  // 87 without a key or name (the default value cannot be deleted here); else RegDeleteValueW.
  [[nodiscard]] virtual LONG DeleteValue(LPCWSTR lpszValue);
  // Adds an inheritable Everyone:GENERIC_ALL entry to the key's DACL (and to every subkey
  // that opens with KEY_ALL_ACCESS when bRecursive). 0 and nothing done off Windows NT;
  // 2 when the security functions cannot be loaded.
  [[nodiscard]] virtual LONG GrantEveryoneFullAccess(bool bRecursive);
  virtual void SetDeleteOnClose(bool bDeleteOnClose);
  virtual bool GetDeleteOnClose();

  // The open handle (null when closed); the object keeps ownership.
  HKEY GetHandle() const noexcept { return m_hKey; }
  // KEY_WOW64_64KEY/KEY_WOW64_32KEY bits of the last successful Open or Create.
  REGSAM GetViewBits() const noexcept { return m_dwViewBits; }

 protected:
  HKEY m_hKey = nullptr;
  DWORD m_dwViewBits = 0;
  bool m_bDeleteOnClose = false;

 private:
  // Success road of Open and Create: closes the key held before (virtually) and holds
  // hNewKey in the view of samDesired; returns the Close result.
  LONG HoldNewKey(HKEY hNewKey, REGSAM samDesired);
};

// The security calls GrantEveryoneFullAccess makes (all but RegSetKeySecurity), so the
// platform can be replaced in tests. Return values follow the Win32 functions of those names.
class IKeySecurityCalls {
 public:
  virtual ~IKeySecurityCalls() = default;
  virtual bool IsNT() = 0;
  virtual bool Load() = 0;
  virtual LONG RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION si, PSECURITY_DESCRIPTOR psd,
                                 LPDWORD pcbSecurityDescriptor) = 0;
  virtual BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR psd, LPBOOL lpbDaclPresent,
                                         PACL* pDacl, LPBOOL lpbDaclDefaulted) = 0;
  virtual BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pAuthority, BYTE nSubAuthorities,
                                        DWORD s0, DWORD s1, DWORD s2, DWORD s3, DWORD s4, DWORD s5,
                                        DWORD s6, DWORD s7, PSID* pSid) = 0;
  virtual DWORD SetEntriesInAclW(ULONG cCount, PEXPLICIT_ACCESS_W pList, PACL oldAcl,
                                 PACL* newAcl) = 0;
  virtual BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR psd, DWORD dwRevision) = 0;
  virtual BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR psd, BOOL bDaclPresent, PACL pDacl,
                                         BOOL bDaclDefaulted) = 0;
};

// GrantEveryoneFullAccess on hKey with the given calls (the object's own operation uses a fresh
// Basalt::SecurityAPI). 87 without a key.
[[nodiscard]] LONG GrantEveryoneFullAccessWith(IKeySecurityCalls& calls, HKEY hKey,
                                               bool bRecursive);

}  // namespace internal

// Registry key. Each virtual operation forwards to the implementation; several objects may
// share one implementation, and destroying any of them closes the key for all. Hand a key
// over with Attach(other.Detach()).
class CRegKey {
 public:
  // Holds a new plain implementation.
  CRegKey();
  // Holds pImpl, or a new plain implementation when pImpl is empty.
  explicit CRegKey(std::shared_ptr<internal::CRegKeyImpl> pImpl);
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;
  // Closes the implementation's key, then releases it.
  virtual ~CRegKey();

  [[nodiscard]] virtual LONG QueryValue(LPCWSTR pszValueName, DWORD* pdwType, void* pData,
                                        ULONG* pnBytes);
  [[nodiscard]] virtual LONG SetValue(LPCWSTR pszValueName, DWORD dwType, const void* pValue,
                                      ULONG nBytes);
  [[nodiscard]] virtual LONG SetGUIDValue(LPCWSTR pszValueName, REFGUID guidValue);
  [[nodiscard]] virtual LONG SetBinaryValue(LPCWSTR pszValueName, const void* pValue, ULONG nBytes);
  [[nodiscard]] virtual LONG SetDWORDValue(LPCWSTR pszValueName, DWORD dwValue);
  [[nodiscard]] virtual LONG SetQWORDValue(LPCWSTR pszValueName, ULONGLONG qwValue);
  [[nodiscard]] virtual LONG SetStringValue(LPCWSTR pszValueName, LPCWSTR pszValue,
                                            DWORD dwType = REG_SZ);
  [[nodiscard]] virtual LONG SetMultiStringValue(LPCWSTR pszValueName, LPCWSTR pszValue);
  [[nodiscard]] virtual LONG QueryGUIDValue(LPCWSTR pszValueName, GUID& guidValue);
  [[nodiscard]] virtual LONG QueryBinaryValue(LPCWSTR pszValueName, void* pValue, ULONG* pnBytes);
  [[nodiscard]] virtual LONG QueryDWORDValue(LPCWSTR pszValueName, DWORD& dwValue);
  [[nodiscard]] virtual LONG QueryQWORDValue(LPCWSTR pszValueName, ULONGLONG& qwValue);
  [[nodiscard]] virtual LONG GetStringValue(LPCWSTR pszValueName, std::wstring& value);
  [[nodiscard]] virtual LONG QueryStringValue(LPCWSTR pszValueName, LPWSTR pszValue,
                                              ULONG* pnChars);
  [[nodiscard]] virtual LONG QueryMultiStringValue(LPCWSTR pszValueName, LPWSTR pszValue,
                                                   ULONG* pnChars);
  [[nodiscard]] virtual LONG GetKeySecurity(SECURITY_INFORMATION si, PSECURITY_DESCRIPTOR psd,
                                            LPDWORD pnBytes);
  [[nodiscard]] virtual LONG SetKeySecurity(SECURITY_INFORMATION si, PSECURITY_DESCRIPTOR psd);
  [[nodiscard]] virtual LONG Create(HKEY hKeyParent, LPCWSTR lpszKeyName,
                                    LPWSTR lpszClass = nullptr,
                                    DWORD dwOptions = REG_OPTION_NON_VOLATILE,
                                    REGSAM samDesired = KEY_READ | KEY_WRITE,
                                    LPSECURITY_ATTRIBUTES lpSecAttr = nullptr,
                                    LPDWORD lpdwDisposition = nullptr);
  [[nodiscard]] virtual LONG Open(HKEY hKeyParent, LPCWSTR lpszKeyName,
                                  REGSAM samDesired = KEY_READ | KEY_WRITE);
  [[nodiscard]] virtual LONG Flush();
  [[nodiscard]] virtual LONG EnumKey(DWORD iIndex, LPWSTR pszName, LPDWORD pnNameLength,
                                     FILETIME* pftLastWriteTime = nullptr);
  [[nodiscard]] virtual LONG NotifyChangeKeyValue(BOOL bWatchSubtree, DWORD dwNotifyFilter,
                                                  HANDLE hEvent, BOOL bAsync = TRUE);
  [[nodiscard]] virtual LONG DeleteSubKey(LPCWSTR lpszSubKey);
  [[nodiscard]] virtual LONG RecurseDeleteKey(LPCWSTR lpszKey);
  [[nodiscard]] virtual LONG DeleteValue(LPCWSTR lpszValue);
  [[nodiscard]] virtual LONG GrantEveryoneFullAccess(bool bRecursive);

  // Closes the key (see CRegKeyImpl::Close).
  LONG Close();
  // Takes ownership of hKey; see CRegKeyImpl::Attach.
  void Attach(HKEY hKey);
  // Gives up the handle without closing it.
  [[nodiscard]] HKEY Detach();
  // The open handle (null when closed), e.g. as the parent of another key's Open.
  HKEY GetHandle() const noexcept;

 protected:
  internal::CRegKeyImpl& Impl() const noexcept { return *m_pImpl; }

 private:
  std::shared_ptr<internal::CRegKeyImpl> m_pImpl;
};

}  // namespace Basalt
