// Trust tables of the trace-controller signature check, bound at link time: programs get the
// built-in tables (ControllerSignerTables.cpp); test programs link test tables with the same
// symbols in their place, so a shipped program never carries a test root.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <wincrypt.h>

namespace ETWLogging::internal {

constexpr DWORD kControllerSignerNameCount = 4;
constexpr DWORD kControllerThumbprintBytes = 20;

// Signer names, compared exactly and in this order.
extern const wchar_t* const g_ControllerSignerNames[kControllerSignerNameCount];
// SHA-1 thumbprints of the pinned root certificates, 20 bytes each, and their count.
extern const BYTE* const g_ControllerPinnedRoots[];
extern const DWORD g_ControllerPinnedRootCount;

// CERT_CHAIN_POLICY_AUTHENTICODE_TS over |chain| with no policy flags: 0 when the call
// succeeds and its status reports no error, else that error.
[[nodiscard]] DWORD VerifyControllerChainPolicy(PCCERT_CHAIN_CONTEXT chain);

}  // namespace ETWLogging::internal
