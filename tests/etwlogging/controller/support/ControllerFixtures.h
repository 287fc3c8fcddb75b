// Paths of the controller and trust fixtures as the test programs see them under Wine.
#pragma once

#include <string>

#include "ControllerFixturePaths.h"

namespace controller_test {

// A path of this machine's file system as Wine's drive Z: shows it.
inline std::wstring WinePath(const char* unixPath) {
  std::wstring path = L"Z:";
  for (const char* p = unixPath; *p != '\0'; ++p) path += *p == '/' ? L'\\' : wchar_t(*p);
  return path;
}

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
