// Trust tables of the test programs: the built-in signer names, the test root as the only
// listed root, one refused test serial and the test list signer. Linked in place of
// trust/builtin/BuiltInTrustTables.cpp.
#include "TestTrustData.inc"
#include "trust/TrustTables.h"

namespace {
const BYTE kTestRoot[20] = {TEST_ROOT_SHA1};
}  // namespace

const wchar_t* const TrustedSignerNames[] = {L"Parvo Corporation", L"Telvan, Inc.", L"Telvan, LLC",
                                             L"Telvan, LLC.", nullptr};
const BYTE* const TrustedThumbprints[] = {kTestRoot};
const DWORD TrustedThumbprintCount = 1;
const wchar_t* const TrustedRefusedSerials[] = {TEST_REFUSED_SERIAL, nullptr};
const BYTE TrustedListSignerThumbprint[20] = {TEST_LIST_SIGNER_SHA1};
