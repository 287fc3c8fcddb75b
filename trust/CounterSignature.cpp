// Countersignature decoding and verification.
#include "trust/CounterSignature.h"

#include <string.h>

#include <new>

#include "trust/TrustPlatform.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// One DER element: its tag and its contents.
struct Der {
  BYTE tag = 0;
  const BYTE* content = nullptr;
  size_t length = 0;
};

// Reads the element at |*p| (bounded by |end|) and moves |*p| past it.
bool ReadDer(const BYTE** p, const BYTE* end, Der* out) {
  const BYTE* q = *p;
  if (end - q < 2) return false;
  out->tag = *q++;
  size_t length = *q++;
  if (length & 0x80) {
    const size_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 4 || static_cast<size_t>(end - q) < bytes) return false;
    length = 0;
    for (size_t i = 0; i < bytes; ++i) length = (length << 8) | *q++;
  }
  if (static_cast<size_t>(end - q) < length) return false;
  out->content = q;
  out->length = length;
  *p = q + length;
  return true;
}

// The messageImprint of a DER TSTInfo: the hash algorithm and the hashed bytes.
bool ParseMessageImprint(const BYTE* data, size_t size, ALG_ID* algorithm, Der* hashed) {
  const BYTE* p = data;
  Der info, version, policy, imprint, algorithmId, oid;
  if (!ReadDer(&p, data + size, &info)) return false;
  // Some decoders hand out the content with its OCTET STRING wrapper.
  if (info.tag == 0x04) {
    p = info.content;
    if (!ReadDer(&p, info.content + info.length, &info)) return false;
  }
  if (info.tag != 0x30) return false;
  p = info.content;
  const BYTE* end = info.content + info.length;
  if (!ReadDer(&p, end, &version) || version.tag != 0x02 || !ReadDer(&p, end, &policy) ||
      policy.tag != 0x06 || !ReadDer(&p, end, &imprint) || imprint.tag != 0x30) {
    return false;
  }
  p = imprint.content;
  end = imprint.content + imprint.length;
  if (!ReadDer(&p, end, &algorithmId) || algorithmId.tag != 0x30 || !ReadDer(&p, end, hashed) ||
      hashed->tag != 0x04) {
    return false;
  }
  const BYTE* a = algorithmId.content;
  if (!ReadDer(&a, algorithmId.content + algorithmId.length, &oid) || oid.tag != 0x06) return false;
  static const BYTE kSha1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
  static const BYTE kSha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
  static const BYTE kSha384[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
  static const BYTE kSha512[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};
  auto is = [&oid](const BYTE* bytes, size_t n) {
    return oid.length == n && memcmp(oid.content, bytes, n) == 0;
  };
  if (is(kSha1, sizeof(kSha1))) {
    *algorithm = CALG_SHA1;
  } else if (is(kSha256, sizeof(kSha256))) {
    *algorithm = CALG_SHA_256;
  } else if (is(kSha384, sizeof(kSha384))) {
    *algorithm = CALG_SHA_384;
  } else if (is(kSha512, sizeof(kSha512))) {
    *algorithm = CALG_SHA_512;
  } else {
    return false;
  }
  return true;
}

bool HashEquals(ALG_ID algorithm, const BYTE* data, DWORD size, const Der& expected) {
  UniqueCryptProv provider;
  HCRYPTPROV rawProvider = 0;
  if (!CryptAcquireContextW(&rawProvider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    return false;
  }
  provider.reset(rawProvider);
  HCRYPTHASH rawHash = 0;
  if (!CryptCreateHash(provider.get(), algorithm, 0, 0, &rawHash)) return false;
  UniqueCryptHash hash(rawHash);
  if (!CryptHashData(hash.get(), data, size, 0)) return false;
  BYTE value[64];
  DWORD valueSize = sizeof(value);
  if (!CryptGetHashParam(hash.get(), HP_HASHVAL, value, &valueSize, 0)) return false;
  return valueSize == expected.length && memcmp(value, expected.content, valueSize) == 0;
}

// The countersigner's certificate, looked up by issuer and serial in |store|.
UniqueCertContext FindSignerCertificate(HCERTSTORE store, const CMSG_SIGNER_INFO* signer) {
  CERT_INFO wanted = {};
  wanted.Issuer = signer->Issuer;
  wanted.SerialNumber = signer->SerialNumber;
  return UniqueCertContext(CertGetSubjectCertificateFromStore(store, kEncoding, &wanted));
}

// The certificate chains at |time| for time stamping without any error.
bool ChainsForTimeStamping(PCCERT_CONTEXT certificate, HCERTSTORE store, const FILETIME& time) {
  UniqueCertChain chain =
      BuildChainForUsage(certificate, &time, store, szOID_PKIX_KP_TIMESTAMP_SIGNING);
  return chain && chain.get()->TrustStatus.dwErrorStatus == 0;
}

DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = GetLastError();
  return error != 0 ? error : fallback;
}

}  // namespace

DWORD CounterSignature::DecodeLegacy(const CRYPT_ATTR_BLOB& value) {
  DWORD size = 0;
  if (!CryptDecodeObjectEx(kEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData, 0, nullptr,
                           nullptr, &size)) {
    return LastErrorOr(static_cast<DWORD>(CRYPT_E_ASN1_ERROR));
  }
  ProcessHeapBuffer buffer = AllocateFromProcessHeap(size);
  if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
  if (!CryptDecodeObjectEx(kEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData, 0, nullptr,
                           buffer.get(), &size)) {
    return LastErrorOr(static_cast<DWORD>(CRYPT_E_ASN1_ERROR));
  }
  try {
    legacyEncoded_.assign(value.pbData, value.pbData + value.cbData);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  signerInfo_ = std::move(buffer);
  return 0;
}

DWORD CounterSignature::DecodeTimeStampToken(const CRYPT_ATTR_BLOB& value) {
  UniqueCryptMsg token(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
  if (!token) return LastErrorOr(static_cast<DWORD>(CRYPT_E_ASN1_ERROR));
  if (!CryptMsgUpdate(token.get(), value.pbData, value.cbData, TRUE)) {
    return LastErrorOr(static_cast<DWORD>(CRYPT_E_ASN1_ERROR));
  }
  ProcessHeapBuffer info = GetCryptMsgParam(token.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr);
  if (!info) return LastErrorOr(static_cast<DWORD>(CRYPT_E_ASN1_ERROR));
  signerInfo_ = std::move(info);
  token_ = std::move(token);
  return 0;
}

bool CounterSignature::VerifiesSigner(HCRYPTMSG message, DWORD signerIndex,
                                      const FILETIME& time) const {
  if (!signerInfo_ || message == nullptr) return false;
  return token_ ? VerifyToken(message, signerIndex, time)
                : VerifyLegacy(message, signerIndex, time);
}

bool CounterSignature::VerifyLegacy(HCRYPTMSG message, DWORD signerIndex,
                                    const FILETIME& time) const {
  if (legacyEncoded_.empty()) return false;
  UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message));
  if (!store) return false;
  UniqueCertContext certificate = FindSignerCertificate(store.get(), SignerInfo());
  if (!certificate) return false;
  DWORD encodedSize = 0;
  ProcessHeapBuffer encodedSigner =
      GetCryptMsgParam(message, CMSG_ENCODED_SIGNER, signerIndex, &encodedSize);
  if (!encodedSigner) return false;
  if (!TrustPlatform::VerifyCountersignature(
          encodedSigner.get(), encodedSize, legacyEncoded_.data(),
          static_cast<DWORD>(legacyEncoded_.size()), certificate.get())) {
    return false;
  }
  return ChainsForTimeStamping(certificate.get(), store.get(), time);
}

bool CounterSignature::VerifyToken(HCRYPTMSG message, DWORD signerIndex,
                                   const FILETIME& time) const {
  UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, token_.get()));
  if (!store) return false;
  UniqueCertContext certificate = FindSignerCertificate(store.get(), SignerInfo());
  if (!certificate) return false;
  if (!CryptMsgControl(token_.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, certificate.get()->pCertInfo)) {
    return false;
  }
  // The token must stamp this very signature: its imprint is the hash of the signer's
  // encrypted digest.
  DWORD contentSize = 0;
  ProcessHeapBuffer content = GetCryptMsgParam(token_.get(), CMSG_CONTENT_PARAM, 0, &contentSize);
  if (!content) return false;
  ALG_ID algorithm = 0;
  Der hashed;
  if (!ParseMessageImprint(content.get(), contentSize, &algorithm, &hashed)) return false;
  ProcessHeapBuffer signerBuffer =
      GetCryptMsgParam(message, CMSG_SIGNER_INFO_PARAM, signerIndex, nullptr);
  if (!signerBuffer) return false;
  const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBuffer.get());
  if (!HashEquals(algorithm, signer->EncryptedHash.pbData, signer->EncryptedHash.cbData, hashed)) {
    return false;
  }
  return ChainsForTimeStamping(certificate.get(), store.get(), time);
}
