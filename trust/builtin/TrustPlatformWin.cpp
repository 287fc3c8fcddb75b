// Windows binding of the trust code's platform calls.
#include <windows.h>
// These need <windows.h> first.
#include <io.h>
#include <softpub.h>
#include <wintrust.h>

#include "basalt/CryptOwners.h"
#include "trust/HeldFileSignature.h"
#include "trust/TrustPlatform.h"
#include "trust/WinTrustData.h"

namespace TrustPlatform {

bool QueryEmbeddedSignature(const wchar_t* path, EmbeddedSignature* out) {
  return DecodeEmbeddedSignature(path, out);
}

DWORD VerifyAuthenticodeTimestampPolicy(PCCERT_CHAIN_CONTEXT chain) {
  return VerifyAuthenticodeTimestampChainPolicy(chain);
}

bool QueryHeldFileSignature(HANDLE file, EmbeddedSignature* out) {
  return DecodeHeldFileSignature(file, out);
}

LONG VerifyProgramFileTrust(const wchar_t* path) { return VerifyFileTrustHashOnly(path); }

LONG VerifyHeldProgramFileTrust(HANDLE file, const wchar_t* path) {
  return VerifyHeldFileTrustHashOnly(file, path);
}

bool VerifyCountersignature(const BYTE* signer, DWORD signerSize, const BYTE* countersignature,
                            DWORD countersignatureSize, PCCERT_CONTEXT countersigner) {
  return CryptMsgVerifyCountersignatureEncodedEx(
             0, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, const_cast<BYTE*>(signer), signerSize,
             const_cast<BYTE*>(countersignature), countersignatureSize, CMSG_VERIFY_SIGNER_CERT,
             const_cast<CERT_CONTEXT*>(countersigner), 0, nullptr) != FALSE;
}

bool QueryScriptSignature(const wchar_t* path, HCERTSTORE* store, HCRYPTMSG* message) {
  return CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store,
                          message, nullptr) != FALSE;
}

LONG VerifyScriptFileTrust(const wchar_t* path) { return VerifyFileTrustHashOnly(path); }

int CloseCabinetFile(int fd) { return _close(fd); }

ComCallAnswers QueryComCall() { return AskComAboutTheCall(); }

const wchar_t* InstalledTrustedListPath() { return nullptr; }

}  // namespace TrustPlatform
