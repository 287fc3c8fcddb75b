// WinVerifyTrust with the 88-byte WINTRUST_DATA of current Windows (mingw's ends before
// pSignatureSettings).
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <softpub.h>
#include <wintrust.h>

struct WinTrustData88 {
  DWORD cbStruct;
  LPVOID pPolicyCallbackData;
  LPVOID pSIPClientData;
  DWORD dwUIChoice;
  DWORD fdwRevocationChecks;
  DWORD dwUnionChoice;
  WINTRUST_FILE_INFO* pFile;
  DWORD dwStateAction;
  HANDLE hWVTStateData;
  WCHAR* pwszURLReference;
  DWORD dwProvFlags;
  DWORD dwUIContext;
  void* pSignatureSettings;
};
static_assert(sizeof(WinTrustData88) == 88, "WINTRUST_DATA of 88 bytes");
static_assert(sizeof(WINTRUST_FILE_INFO) == 32, "WINTRUST_FILE_INFO of 32 bytes");

// WTD_NO_POLICY_USAGE_FLAG | WTD_REVOCATION_CHECK_NONE | WTD_HASH_ONLY_FLAG |
// WTD_CACHE_ONLY_URL_RETRIEVAL
constexpr DWORD kWinTrustHashOnlyFlags = 0x1214;

// WinVerifyTrust of the file at |path| with no UI, no revocation checks, |stateAction| and
// |providerFlags|; with |held| (a handle open for reading) the file is read through that handle
// and |path| only names it. A verification state that WTD_STATEACTION_VERIFY opened is closed
// again. The first call's result.
inline LONG VerifyFileTrust(const wchar_t* path, DWORD stateAction, DWORD providerFlags,
                            HANDLE held = nullptr) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path;
  file.hFile = held;
  WinTrustData88 data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = stateAction;
  data.dwProvFlags = providerFlags;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const HWND window = static_cast<HWND>(INVALID_HANDLE_VALUE);
  const LONG result = WinVerifyTrust(window, &action, &data);
  if (stateAction == WTD_STATEACTION_VERIFY) {
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(window, &action, &data);
  }
  return result;
}

// WinVerifyTrust of the file at |path|: no UI, no revocation checks, state action 0,
// provider flags 0x1214. 0 when the system accepts the file's signature.
inline LONG VerifyFileTrustHashOnly(const wchar_t* path) {
  return VerifyFileTrust(path, 0, kWinTrustHashOnlyFlags);
}

// The same for the file open as |held| (|path| names it): WinVerifyTrust reads it through the
// handle, never by its path.
inline LONG VerifyHeldFileTrustHashOnly(HANDLE held, const wchar_t* path) {
  return VerifyFileTrust(path, 0, kWinTrustHashOnlyFlags, held);
}
