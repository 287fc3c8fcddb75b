// Signature check of the trace-controller library: an embedded Authenticode signer with a
// trusted name, a code-signing chain to a pinned root, and a file signature Windows accepts.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <wincrypt.h>

#include <string>

namespace ETWLogging {

// True when one signer of the file at |path| passes IsTrustedSigner, VerifyChainAtTime (at
// its countersigned signing time, else now) and VerifyFileTrust. False for a null or empty
// path, a file without an embedded signature, and on every failure. Reports nothing else.
[[nodiscard]] bool VerifyModuleSignature(const wchar_t* path);

// True when the certificate's simple display name equals one trusted signer name exactly
// (case and blanks included).
[[nodiscard]] bool IsTrustedSigner(PCCERT_CONTEXT certificate);

// The certificate's simple display name; false (|name| untouched) when it has none or it
// is empty.
[[nodiscard]] bool GetSignerSimpleName(PCCERT_CONTEXT certificate, std::wstring& name);

// The signing time of the signer's first PKCS #9 countersignature; false (|time|
// untouched) when there is none or it cannot be decoded.
[[nodiscard]] bool GetSigningTime(const CMSG_SIGNER_INFO* signer, FILETIME& time);

// True when the certificate's chain, built at |time| (null: now) with |store| as additional
// store for code signing, has no error, ends in a pinned root and passes the Authenticode
// chain policy.
[[nodiscard]] bool VerifyChainAtTime(PCCERT_CONTEXT certificate, HCERTSTORE store,
                                     const FILETIME* time);

// True when the root of one simple chain of |chain| has a pinned SHA-1 thumbprint.
[[nodiscard]] bool IsPinnedRoot(PCCERT_CHAIN_CONTEXT chain);

// True when WinVerifyTrust accepts the file's signature (no UI, no revocation checks,
// hash only).
[[nodiscard]] bool VerifyFileTrust(const wchar_t* path);

}  // namespace ETWLogging
