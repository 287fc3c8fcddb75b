#include "etwlogging/VerifyModuleSignature.h"

#include <windows.h>
// These need <windows.h> first.
#include <softpub.h>
#include <wintrust.h>

#include <cstring>
#include <memory>
#include <new>

#include "basalt/CryptOwners.h"
#include "basalt/EmbeddedSignature.h"
#include "etwlogging/ControllerSignerTables.h"

namespace ETWLogging {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kCounterSignatureOid[] = "1.2.840.113549.1.9.6";
constexpr char kSigningTimeOid[] = "1.2.840.113549.1.9.5";
constexpr char kCodeSigningOid[] = "1.3.6.1.5.5.7.3.3";
// WTD_NO_POLICY_USAGE_FLAG | WTD_REVOCATION_CHECK_NONE | WTD_HASH_ONLY_FLAG
constexpr DWORD kFileTrustProviderFlags = 0x214;

static_assert(sizeof(WINTRUST_DATA) == 80, "the check passes an 80-byte WINTRUST_DATA");
static_assert(sizeof(WINTRUST_FILE_INFO) == 32, "WINTRUST_FILE_INFO of 32 bytes");

// The first attribute of |attributes| with |oid| that has a value, or null.
const CRYPT_ATTR_BLOB* FirstAttributeValue(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
  for (DWORD i = 0; i < attributes.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
    if (attribute.pszObjId == nullptr || strcmp(attribute.pszObjId, oid) != 0) continue;
    return attribute.cValue != 0 ? &attribute.rgValue[0] : nullptr;
  }
  return nullptr;
}

// Every test of signer |index|.
bool VerifySigner(const wchar_t* path, HCERTSTORE store, HCRYPTMSG message, DWORD index) {
  ProcessHeapBuffer signerBuffer =
      GetCryptMsgParam(message, CMSG_SIGNER_INFO_PARAM, index, nullptr);
  if (!signerBuffer) return false;
  const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBuffer.get());
  CERT_INFO wanted = {};
  wanted.Issuer = signer->Issuer;
  wanted.SerialNumber = signer->SerialNumber;
  const UniqueCertContext certificate(
      CertGetSubjectCertificateFromStore(store, kEncoding, &wanted));
  if (!certificate || !IsTrustedSigner(certificate.get())) return false;
  FILETIME signingTime = {};
  const bool timed = GetSigningTime(signer, signingTime);
  return VerifyChainAtTime(certificate.get(), store, timed ? &signingTime : nullptr) &&
         VerifyFileTrust(path);
}

}  // namespace

bool VerifyModuleSignature(const wchar_t* path) {
  if (path == nullptr || *path == L'\0') return false;
  EmbeddedSignature signature;
  if (!DecodeEmbeddedSignature(path, &signature)) return false;
  for (const EmbeddedSignature::Signer& signer : signature.signers) {
    if (VerifySigner(path, signer.store, signer.message, signer.index)) return true;
  }
  return false;
}

bool GetSignerSimpleName(PCCERT_CONTEXT certificate, std::wstring& name) {
  const DWORD length =
      CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
  if (length == 0) return false;
  std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[length + 1]());
  if (!buffer) return false;
  const DWORD read = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                        buffer.get(), length + 1);
  if (read < 2) return false;
  try {
    name.assign(buffer.get());
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool IsTrustedSigner(PCCERT_CONTEXT certificate) {
  std::wstring name;
  if (!GetSignerSimpleName(certificate, name)) return false;
  for (const wchar_t* trusted : internal::g_ControllerSignerNames) {
    if (trusted != nullptr && name == trusted) return true;
  }
  return false;
}

bool GetSigningTime(const CMSG_SIGNER_INFO* signer, FILETIME& time) {
  if (signer == nullptr) return false;
  const CRYPT_ATTR_BLOB* counterSignature =
      FirstAttributeValue(signer->UnauthAttrs, kCounterSignatureOid);
  if (counterSignature == nullptr) return false;
  DWORD size = 0;
  if (!CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, counterSignature->pbData,
                         counterSignature->cbData, 0, nullptr, &size)) {
    return false;
  }
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
  if (!buffer || !CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, counterSignature->pbData,
                                    counterSignature->cbData, 0, buffer.get(), &size)) {
    return false;
  }
  const auto* counterSigner = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.get());
  const CRYPT_ATTR_BLOB* signingTime =
      FirstAttributeValue(counterSigner->AuthAttrs, kSigningTimeOid);
  if (signingTime == nullptr) return false;
  FILETIME decoded = {};
  DWORD decodedSize = sizeof(decoded);
  if (!CryptDecodeObject(kEncoding, kSigningTimeOid, signingTime->pbData, signingTime->cbData, 0,
                         &decoded, &decodedSize)) {
    return false;
  }
  time = decoded;
  return true;
}

bool VerifyChainAtTime(PCCERT_CONTEXT certificate, HCERTSTORE store, const FILETIME* time) {
  const UniqueCertChain chain = BuildChainForUsage(certificate, time, store, kCodeSigningOid, 0);
  return chain && chain.get()->TrustStatus.dwErrorStatus == 0 && IsPinnedRoot(chain.get()) &&
         internal::VerifyControllerChainPolicy(chain.get()) == 0;
}

bool IsPinnedRoot(PCCERT_CHAIN_CONTEXT chain) {
  if (chain == nullptr) return false;
  for (DWORD i = 0; i < chain->cChain; ++i) {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[i];
    if (simple == nullptr || simple->cElement == 0) continue;
    const CERT_CHAIN_ELEMENT* root = simple->rgpElement[simple->cElement - 1];
    if (root == nullptr || root->pCertContext == nullptr) continue;
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(root->pCertContext, CERT_SHA1_HASH_PROP_ID, nullptr,
                                           &size)) {
      return false;
    }
    BYTE hash[64] = {};
    if (size > sizeof(hash) || !CertGetCertificateContextProperty(
                                   root->pCertContext, CERT_SHA1_HASH_PROP_ID, hash, &size)) {
      return false;
    }
    if (size != internal::kControllerThumbprintBytes) continue;
    for (DWORD j = 0; j < internal::g_ControllerPinnedRootCount; ++j) {
      const BYTE* pinned = internal::g_ControllerPinnedRoots[j];
      if (pinned != nullptr && memcmp(hash, pinned, size) == 0) return true;
    }
  }
  return false;
}

bool VerifyFileTrust(const wchar_t* path) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_IGNORE;
  data.dwProvFlags = kFileTrustProviderFlags;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data) == 0;
}

}  // namespace ETWLogging
