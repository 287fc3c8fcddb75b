// Paths of the controller and trust fixtures as the test programs see them under Wine.
#pragma once

#include <string>

#include "ControllerFixturePaths.h"
#include "tests/support/TestPrograms.h"

namespace controller_test {

using testsupport::WinePath;

// fixtures/<variant>/Tamsel.dll: good, wrong, unsigned, noflush, real.
inline std::wstring ControllerFixture(const wchar_t* variant) {
  return WinePath(CONTROLLER_FIXTURES_UNIX_PATH) + L"\\" + variant + L"\\Tamsel.dll";
}

// A file of the trust fixtures (test PKI-signed PE files).
inline std::wstring TrustFixture(const wchar_t* name) {
  return WinePath(TRUST_FIXTURES_UNIX_PATH) + L"\\" + name;
}

inline std::wstring LoaderProbe() { return WinePath(LOADER_PROBE_UNIX_PATH); }

}  // namespace controller_test
