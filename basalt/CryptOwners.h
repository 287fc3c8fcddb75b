// Owner types for CryptoAPI objects and process-heap buffers, and the chain helpers that the
// signature checks of the logging client and of the trust code share.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <wincrypt.h>

#include <memory>

#include "basalt/UniqueHandle.h"

namespace crypt_handle_traits {

struct CertStore {
  static bool IsValid(HCERTSTORE h) { return h != nullptr; }
  static void Close(HCERTSTORE h) { CertCloseStore(h, 0); }
  static HCERTSTORE Invalid() { return nullptr; }
};
struct CryptMsg {
  static bool IsValid(HCRYPTMSG h) { return h != nullptr; }
  static void Close(HCRYPTMSG h) { CryptMsgClose(h); }
  static HCRYPTMSG Invalid() { return nullptr; }
};
struct CertContext {
  static bool IsValid(PCCERT_CONTEXT h) { return h != nullptr; }
  static void Close(PCCERT_CONTEXT h) { CertFreeCertificateContext(h); }
  static PCCERT_CONTEXT Invalid() { return nullptr; }
};
struct CertChain {
  static bool IsValid(PCCERT_CHAIN_CONTEXT h) { return h != nullptr; }
  static void Close(PCCERT_CHAIN_CONTEXT h) { CertFreeCertificateChain(h); }
  static PCCERT_CHAIN_CONTEXT Invalid() { return nullptr; }
};

struct CryptProv {
  static bool IsValid(HCRYPTPROV h) { return h != 0; }
  static void Close(HCRYPTPROV h) { CryptReleaseContext(h, 0); }
  static HCRYPTPROV Invalid() { return 0; }
};
struct CryptHash {
  static bool IsValid(HCRYPTHASH h) { return h != 0; }
  static void Close(HCRYPTHASH h) { CryptDestroyHash(h); }
  static HCRYPTHASH Invalid() { return 0; }
};
struct CryptKey {
  static bool IsValid(HCRYPTKEY h) { return h != 0; }
  static void Close(HCRYPTKEY h) { CryptDestroyKey(h); }
  static HCRYPTKEY Invalid() { return 0; }
};

}  // namespace crypt_handle_traits

using UniqueCertStore = Basalt::UniqueHandle<HCERTSTORE, crypt_handle_traits::CertStore>;
using UniqueCryptMsg = Basalt::UniqueHandle<HCRYPTMSG, crypt_handle_traits::CryptMsg>;
using UniqueCertContext = Basalt::UniqueHandle<PCCERT_CONTEXT, crypt_handle_traits::CertContext>;
using UniqueCertChain = Basalt::UniqueHandle<PCCERT_CHAIN_CONTEXT, crypt_handle_traits::CertChain>;
using UniqueCryptProv = Basalt::UniqueHandle<HCRYPTPROV, crypt_handle_traits::CryptProv>;
using UniqueCryptHash = Basalt::UniqueHandle<HCRYPTHASH, crypt_handle_traits::CryptHash>;
using UniqueCryptKey = Basalt::UniqueHandle<HCRYPTKEY, crypt_handle_traits::CryptKey>;

struct ProcessHeapFree {
  void operator()(void* p) const { HeapFree(GetProcessHeap(), 0, p); }
};
using ProcessHeapBuffer = std::unique_ptr<BYTE, ProcessHeapFree>;

// |size| bytes from the process heap, or null.
inline ProcessHeapBuffer AllocateFromProcessHeap(SIZE_T size) {
  return ProcessHeapBuffer(static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size)));
}

// A CryptMsgGetParam value in a process-heap buffer (sizing call first); null on failure,
// with the error in GetLastError().
inline ProcessHeapBuffer GetCryptMsgParam(HCRYPTMSG message, DWORD param, DWORD index,
                                          DWORD* size) {
  DWORD needed = 0;
  if (!CryptMsgGetParam(message, param, index, nullptr, &needed)) return nullptr;
  ProcessHeapBuffer buffer = AllocateFromProcessHeap(needed != 0 ? needed : 1);
  if (!buffer) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!CryptMsgGetParam(message, param, index, buffer.get(), &needed)) return nullptr;
  if (size != nullptr) *size = needed;
  return buffer;
}

// CERT_CHAIN_POLICY_AUTHENTICODE_TS over |chain|: the policy's own error, or the call's error
// (TRUST_E_FAIL when it failed without one); 0 when the chain passes.
inline DWORD VerifyAuthenticodeTimestampChainPolicy(PCCERT_CHAIN_CONTEXT chain) {
  CERT_CHAIN_POLICY_PARA para = {};
  para.cbSize = sizeof(para);
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof(status);
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE_TS, chain, &para, &status)) {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : static_cast<DWORD>(TRUST_E_FAIL);
  }
  return status.dwError;
}

// CERT_CHAIN_RETURN_LOWER_QUALITY_CONTEXTS | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL
constexpr DWORD kTrustChainFlags = 0x84;

// The chain of |certificate| from the default engine at |time| (null: now), with |store| as
// additional store, required to be valid for the one enhanced key usage |usage|, built with
// the CERT_CHAIN_* |flags|. Empty when no chain could be built; its own TrustStatus is the
// caller's to judge.
inline UniqueCertChain BuildChainForUsage(PCCERT_CONTEXT certificate, const FILETIME* time,
                                          HCERTSTORE store, const char* usage,
                                          DWORD flags = kTrustChainFlags) {
  LPSTR usages[] = {const_cast<LPSTR>(usage)};
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof(para);
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  FILETIME at = time != nullptr ? *time : FILETIME{};
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, time != nullptr ? &at : nullptr, store, &para,
                               flags, nullptr, &chain)) {
    return UniqueCertChain();
  }
  return UniqueCertChain(chain);
}
