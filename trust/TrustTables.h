// Trust tables compiled into the verifier. Deliverables get the built-in tables
// (trust/builtin); test programs link test tables with the same symbols instead.
#pragma once

#include <windows.h>

// Version of the built-in lists, compared with a loaded list's VER.
constexpr DWORD kBuiltInTrustedListVersion = 7;

// Trusted signer names, null-terminated.
extern const wchar_t* const TrustedSignerNames[];
// Trusted root-certificate SHA-1 thumbprints (20 bytes each) and their count.
extern const BYTE* const TrustedThumbprints[];
extern const DWORD TrustedThumbprintCount;
// Refused certificate serial numbers (hexadecimal, most significant byte first),
// null-terminated.
extern const wchar_t* const TrustedRefusedSerials[];
// SHA-1 thumbprint of the certificate that signs trusted lists. All zeros means that
// no list signer is configured: then no list file is ever accepted.
extern const BYTE TrustedListSignerThumbprint[20];
