// The operations of the trace session controller behind Tamsel's exports.
#pragma once

#include <windows.h>

#include <string>

namespace ETWLogging {

class CLogControllerIf {
 public:
  virtual ~CLogControllerIf() = default;

  // Results are Win32 codes (0 success).
  [[nodiscard]] virtual DWORD Start() = 0;
  [[nodiscard]] virtual DWORD Stop(BOOLEAN stopSession) = 0;
  [[nodiscard]] virtual DWORD RestartSession() = 0;
  [[nodiscard]] virtual DWORD FlushBuffers() = 0;
  [[nodiscard]] virtual DWORD Initialize(const wchar_t* appId) = 0;
  // The application's names, one per line.
  virtual std::wstring GetDiagnostics() = 0;
};

}  // namespace ETWLogging
