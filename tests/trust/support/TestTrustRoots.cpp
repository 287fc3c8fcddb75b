// Installs the test roots in the prefix's LocalMachine Root store before the tests run.
// They stay installed: other test programs of the same run rely on them, and the prefix
// is fresh for every CTest run.
#include <windows.h>
// These need <windows.h> first.
#include <gtest/gtest.h>
#include <wincrypt.h>

#include "TestTrustData.inc"

namespace {

const BYTE kTestRoot[] = {TEST_ROOT_DER};
const BYTE kUnlistedRoot[] = {TEST_UNLISTED_ROOT_DER};

class TestRootsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    ASSERT_NE(store, nullptr) << GetLastError();
    for (const auto& root : {std::make_pair(kTestRoot, sizeof(kTestRoot)),
                             std::make_pair(kUnlistedRoot, sizeof(kUnlistedRoot))}) {
      EXPECT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, root.first,
                                                   static_cast<DWORD>(root.second),
                                                   CERT_STORE_ADD_USE_EXISTING, nullptr))
          << std::hex << GetLastError();
    }
    CertCloseStore(store, 0);
  }
};

::testing::Environment* const g_roots =
    ::testing::AddGlobalTestEnvironment(new TestRootsEnvironment);

}  // namespace
