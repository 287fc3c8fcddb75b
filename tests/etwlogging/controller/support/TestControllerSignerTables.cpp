// Trust tables of the trace-controller signature check in test programs, linked in place of
// etwlogging/ControllerSignerTables.cpp: the same signer names, the build-made test root as
// the one pinned root, and a chain policy Wine can run (it lacks the Authenticode
// time-stamp policy): the base policy and the chain's own status, which a test can make fail.
#include "ControllerSignerTestControl.h"
#include "TestTrustData.inc"
#include "etwlogging/ControllerSignerTables.h"

namespace {
const BYTE kTestRoot[20] = {TEST_ROOT_SHA1};
bool g_policyFails = false;
}  // namespace

namespace controller_signer_test {
void SetChainPolicyFails(bool fails) { g_policyFails = fails; }
}  // namespace controller_signer_test

namespace ETWLogging::internal {

const wchar_t* const g_ControllerSignerNames[kControllerSignerNameCount] = {
    L"Parvo Corporation", L"Telvan, Inc.", L"Telvan, LLC", L"Telvan, LLC."};

const BYTE* const g_ControllerPinnedRoots[] = {kTestRoot};
const DWORD g_ControllerPinnedRootCount = 1;

DWORD VerifyControllerChainPolicy(PCCERT_CHAIN_CONTEXT chain) {
  if (g_policyFails) return static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
  CERT_CHAIN_POLICY_PARA para = {};
  para.cbSize = sizeof(para);
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof(status);
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain, &para, &status)) {
    return GetLastError();
  }
  if (status.dwError != 0) return status.dwError;
  return chain->TrustStatus.dwErrorStatus == 0 ? 0 : static_cast<DWORD>(CERT_E_CHAINING);
}

}  // namespace ETWLogging::internal
