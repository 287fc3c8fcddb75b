// ctest-lock: trusted-list
// The built-in tables and the Windows binding of the platform calls, as deliverables have
// them, exercised under the test prefix (with the test roots installed).
#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "SignedFile.h"
#include "TrustFixturePaths.h"
#include "basalt/CryptOwners.h"
#include "trust/CodeTrust.h"
#include "trust/TrustPlatform.h"
#include "trust/TrustTables.h"
#include "trust/TrustedList.h"

namespace {

std::wstring Fixture(const wchar_t* name) { return std::wstring(TRUST_FIXTURE_DIR) + L"\\" + name; }

bool RunningUnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(BuiltInBinding, TablesHoldTheBuiltInSignersAndRootsOnly) {
  const char* const roots[] = {
      "afe5d244a8d1194230ff479fe2f897bbcd7a8cb4", "02faf3e291435468607857694df5e45b68851868",
      "742c3192e607e424eb4549542be1bbc53e6174e2", "4eb6d578499b1ccf5f581ead56be3d9b6744a5e5",
      "b1bc968bd4f49d622aa89a81f2150152a41d829c", "2b8f1b57330dbba2d07a6c51f70ee90ddab9ad8e"};
  ASSERT_EQ(TrustedThumbprintCount, 6u);
  for (DWORD i = 0; i < TrustedThumbprintCount; ++i) {
    char hex[41] = {};
    for (int b = 0; b < 20; ++b) wsprintfA(hex + 2 * b, "%02x", TrustedThumbprints[i][b]);
    EXPECT_STREQ(hex, roots[i]) << i;
  }
  EXPECT_EQ(TrustedRefusedSerials[0], nullptr);
  std::vector<std::wstring> names;
  for (const wchar_t* const* p = TrustedSignerNames; *p != nullptr; ++p) names.push_back(*p);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Parvo Corporation", L"Telvan, Inc.", L"Telvan, LLC",
                                              L"Telvan, LLC."}));
  EXPECT_EQ(kBuiltInTrustedListVersion, 7u);
  // No list signer is configured in this build: no list file is ever accepted.
  static const BYTE zero[20] = {};
  EXPECT_EQ(memcmp(TrustedListSignerThumbprint, zero, 20), 0);
  EXPECT_FALSE(VerifyTrustedListSignature(Fixture(L"list_v9.js").c_str()));
}

TEST(BuiltInBinding, TestRootIsNotTrustedByTheBuiltInTables) {
  // Signed by "Telvan, LLC" under the test root, which this prefix trusts but which is
  // none of the built-in roots.
  EXPECT_EQ(VerifyModuleFileTrust(Fixture(L"good.dll").c_str()), 5u);
  EXPECT_EQ(VerifyModuleFileTrust(Fixture(L"unsigned.dll").c_str()), 5u);
  EXPECT_EQ(VerifyModuleFileTrust(L""), 87u);
}

TEST(BuiltInBinding, InstalledListUsesTheDefaultPath) {
  EXPECT_EQ(TrustPlatform::InstalledTrustedListPath(), nullptr);
  wchar_t windows[MAX_PATH] = {};
  ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  PathStripToRootW(windows);
  const std::wstring expected =
      std::wstring(windows) + L"Program Files\\Common Files\\Telvan\\Platform\\Core\\trusted.js";
  EXPECT_EQ(CompareStringOrdinal(GetInstalledTrustedList().GetPath().c_str(), -1, expected.c_str(),
                                 -1, TRUE),
            CSTR_EQUAL)
      << GetInstalledTrustedList().GetPath();
}

TEST(BuiltInBinding, AuthenticodeTimestampPolicy) {
  const trust_test::SignedFile file = trust_test::OpenSigned(Fixture(L"good.dll"));
  ASSERT_NE(file.store, nullptr);
  PCCERT_CONTEXT certificate = CertEnumCertificatesInStore(file.store, nullptr);
  ASSERT_NE(certificate, nullptr);
  UniqueCertContext certificateOwner(certificate);
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof(para);
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  ASSERT_TRUE(CertGetCertificateChain(nullptr, certificate, nullptr, file.store, &para, 0, nullptr,
                                      &chain));
  UniqueCertChain chainOwner(chain);
  const DWORD result = TrustPlatform::VerifyAuthenticodeTimestampPolicy(chain);
  if (RunningUnderWine()) {
    EXPECT_NE(result, 0u) << "Wine has started to implement CERT_CHAIN_POLICY_AUTHENTICODE_TS";
  } else {
    EXPECT_EQ(result, 0u) << std::hex << result;
  }
}

TEST(BuiltInBinding, LegacyCountersignature) {
  const trust_test::SignedFile file = trust_test::OpenSigned(Fixture(L"expired_legacy.dll"));
  ASSERT_NE(file.message, nullptr);
  FILETIME time = {1, 1};
  ASSERT_EQ(GetCounterSignatureTime(file.message, 0, &time), 0u);
  const SYSTEMTIME stampTime = {2010, 6, 2, 1, 0, 0, 0, 0};
  FILETIME june2010 = {};
  ASSERT_TRUE(SystemTimeToFileTime(&stampTime, &june2010));
  if (RunningUnderWine()) {
    // The countersignature cannot be verified there: its time is not taken.
    EXPECT_EQ(time.dwLowDateTime | time.dwHighDateTime, 0u)
        << "Wine has started to implement CryptMsgVerifyCountersignatureEncodedEx";
  } else {
    EXPECT_EQ(CompareFileTime(&time, &june2010), 0);
  }
}

TEST(BuiltInBinding, ScriptSignatureOfAList) {
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  const bool found =
      TrustPlatform::QueryScriptSignature(Fixture(L"list_v9.js").c_str(), &store, &message);
  UniqueCertStore storeOwner(store);
  UniqueCryptMsg messageOwner(message);
  const LONG trust = TrustPlatform::VerifyScriptFileTrust(Fixture(L"list_v9.js").c_str());
  // The test lists are not signed the Windows way: neither Wine nor Windows sees a
  // script signature in them.
  EXPECT_FALSE(found);
  EXPECT_NE(trust, 0);
}

}  // namespace
