// Signature check of the trace-controller library against the test signer tables.
#include "etwlogging/VerifyModuleSignature.h"

#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ControllerFixtures.h"
#include "ControllerSignerTestControl.h"
#include "basalt/CryptOwners.h"

namespace {

using controller_test::ControllerFixture;
using controller_test::TrustFixture;

TEST(VerifyModuleSignature, SignedFiles) {
  struct Case {
    const wchar_t* file;
    bool trusted;
  };
  const Case cases[] = {
      {L"good.dll", true},         // "Telvan, LLC"
      {L"inc.dll", true},          // "Telvan, Inc."
      {L"timestamped.dll", true},  // an RFC 3161 stamp is not read: checked at the current time
      {L"case.dll", false},        // "TELVAN, llc"
      {L"wrong.dll", false},       // "Mallory Software"
      {L"unlisted.dll", false},    // trusted name, root trusted by the machine but not pinned
      {L"expired.dll", false},     // no countersignature: the chain is built for now
      {L"tampered.dll", false},   {L"unsigned.dll", false}, {L"no-such-file.dll", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.file);
    EXPECT_EQ(c.trusted, ETWLogging::VerifyModuleSignature(TrustFixture(c.file).c_str()));
  }
  EXPECT_FALSE(ETWLogging::VerifyModuleSignature(nullptr));
  EXPECT_FALSE(ETWLogging::VerifyModuleSignature(L""));
  EXPECT_TRUE(ETWLogging::VerifyModuleSignature(ControllerFixture(L"real").c_str()));
}

TEST(VerifyModuleSignature, AChainPolicyErrorFailsTheCheck) {
  controller_signer_test::SetChainPolicyFails(true);
  EXPECT_FALSE(ETWLogging::VerifyModuleSignature(TrustFixture(L"good.dll").c_str()));
  controller_signer_test::SetChainPolicyFails(false);
  EXPECT_TRUE(ETWLogging::VerifyModuleSignature(TrustFixture(L"good.dll").c_str()));
}

// A self-signed certificate named |name| (only its name is looked at).
UniqueCertContext CertificateNamed(const wchar_t* name) {
  const std::wstring x500 = std::wstring(L"CN=\"") + name + L"\"";
  DWORD size = 0;
  if (!CertStrToNameW(X509_ASN_ENCODING, x500.c_str(), CERT_X500_NAME_STR, nullptr, nullptr, &size,
                      nullptr)) {
    return UniqueCertContext();
  }
  std::vector<BYTE> encoded(size);
  if (!CertStrToNameW(X509_ASN_ENCODING, x500.c_str(), CERT_X500_NAME_STR, nullptr, encoded.data(),
                      &size, nullptr)) {
    return UniqueCertContext();
  }
  CERT_NAME_BLOB subject = {size, encoded.data()};
  return UniqueCertContext(
      CertCreateSelfSignCertificate(0, &subject, 0, nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST(VerifyModuleSignature, SignerNamesMatchExactly) {
  struct Case {
    const wchar_t* name;
    bool trusted;
  };
  const Case cases[] = {
      {L"Parvo Corporation", true}, {L"Telvan, LLC", true},   {L"Telvan, LLC.", true},
      {L"Telvan, Inc.", true},      {L"Telvan, LLC ", false}, {L"telvan, llc", false},
      {L" Telvan, LLC", false},     {L"Telvan", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "[" << std::string(c.name, c.name + wcslen(c.name)) << "]");
    const UniqueCertContext certificate = CertificateNamed(c.name);
    ASSERT_TRUE(certificate);
    std::wstring name;
    ASSERT_TRUE(ETWLogging::GetSignerSimpleName(certificate.get(), name));
    EXPECT_EQ(c.name, name);
    EXPECT_EQ(c.trusted, ETWLogging::IsTrustedSigner(certificate.get()));
  }
}

// A signer whose PKCS #9 countersignature carries a signing time.
TEST(VerifyModuleSignature, SigningTimeComesFromTheCountersignature) {
  constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  SYSTEMTIME when = {2021, 3, 0, 14, 15, 9, 26, 0};
  FILETIME signedAt;
  ASSERT_TRUE(SystemTimeToFileTime(&when, &signedAt));
  auto encode = [&](const char* type, const void* value) {
    DWORD size = 0;
    EXPECT_TRUE(CryptEncodeObject(kEncoding, type, value, nullptr, &size));
    std::vector<BYTE> bytes(size);
    EXPECT_TRUE(CryptEncodeObject(kEncoding, type, value, bytes.data(), &size));
    bytes.resize(size);
    return bytes;
  };
  std::vector<BYTE> time = encode(szOID_RSA_signingTime, &signedAt);
  CRYPT_ATTR_BLOB timeValue = {static_cast<DWORD>(time.size()), time.data()};
  CRYPT_ATTRIBUTE timeAttribute = {const_cast<LPSTR>(szOID_RSA_signingTime), 1, &timeValue};
  BYTE serial[] = {1, 2, 3};
  BYTE hash[] = {9, 9, 9, 9};
  CMSG_SIGNER_INFO counterSigner = {};
  counterSigner.dwVersion = 1;
  CERT_RDN_ATTR rdnAttribute = {const_cast<LPSTR>(szOID_COMMON_NAME),
                                CERT_RDN_PRINTABLE_STRING,
                                {4, reinterpret_cast<BYTE*>(const_cast<char*>("Test"))}};
  CERT_RDN rdn = {1, &rdnAttribute};
  CERT_NAME_INFO nameInfo = {1, &rdn};
  std::vector<BYTE> issuer = encode(X509_NAME, &nameInfo);
  counterSigner.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
  counterSigner.SerialNumber = {sizeof(serial), serial};
  counterSigner.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_OIWSEC_sha1);
  counterSigner.HashEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
  counterSigner.EncryptedHash = {sizeof(hash), hash};
  counterSigner.AuthAttrs = {1, &timeAttribute};
  std::vector<BYTE> counterSignature = encode(PKCS7_SIGNER_INFO, &counterSigner);
  ASSERT_FALSE(counterSignature.empty());

  CRYPT_ATTR_BLOB counterValue = {static_cast<DWORD>(counterSignature.size()),
                                  counterSignature.data()};
  CRYPT_ATTRIBUTE other = {const_cast<LPSTR>("1.3.6.1.4.1.311.3.3.1"), 1, &counterValue};
  CRYPT_ATTRIBUTE counter = {const_cast<LPSTR>(szOID_RSA_counterSign), 1, &counterValue};
  CRYPT_ATTRIBUTE unauthenticated[] = {other, counter};
  CMSG_SIGNER_INFO signer = {};
  signer.UnauthAttrs = {2, unauthenticated};
  FILETIME found = {};
  ASSERT_TRUE(ETWLogging::GetSigningTime(&signer, found));
  EXPECT_EQ(0, CompareFileTime(&signedAt, &found));

  signer.UnauthAttrs = {1, &other};  // only another kind of time stamp
  FILETIME untouched = {7, 7};
  EXPECT_FALSE(ETWLogging::GetSigningTime(&signer, untouched));
  EXPECT_EQ(7u, untouched.dwLowDateTime);
  EXPECT_FALSE(ETWLogging::GetSigningTime(nullptr, untouched));
}

}  // namespace
