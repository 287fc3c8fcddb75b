// A countersignature of an Authenticode signer: a PKCS #9 countersignature or an
// RFC 3161 time-stamp token, decoded, and the check that it vouches for its time.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <wincrypt.h>

#include <vector>

#include "basalt/CryptOwners.h"

class CounterSignature {
 public:
  CounterSignature() = default;
  CounterSignature(const CounterSignature&) = delete;
  CounterSignature& operator=(const CounterSignature&) = delete;

  // Decodes a "1.2.840.113549.1.9.6" value (PKCS7_SIGNER_INFO). 0 or the decoding error.
  [[nodiscard]] DWORD DecodeLegacy(const CRYPT_ATTR_BLOB& value);
  // Opens a "1.3.6.1.4.1.311.3.3.1" value as a signed message and takes its signer 0.
  [[nodiscard]] DWORD DecodeTimeStampToken(const CRYPT_ATTR_BLOB& value);

  // The countersigner's information once decoded, else null.
  const CMSG_SIGNER_INFO* SignerInfo() const {
    return reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo_.get());
  }

  // True when the countersignature is cryptographically made over signer |signerIndex| of
  // |message| and its signer's certificate chains, at |time|, for time stamping to a root
  // that the machine trusts.
  [[nodiscard]] bool VerifiesSigner(HCRYPTMSG message, DWORD signerIndex,
                                    const FILETIME& time) const;

 private:
  bool VerifyLegacy(HCRYPTMSG message, DWORD signerIndex, const FILETIME& time) const;
  bool VerifyToken(HCRYPTMSG message, DWORD signerIndex, const FILETIME& time) const;

  ProcessHeapBuffer signerInfo_;
  std::vector<BYTE> legacyEncoded_;
  UniqueCryptMsg token_;
};
