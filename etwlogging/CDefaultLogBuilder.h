// Factory of the process logger's back end: ETW provider or text-file logger,
// chosen by a flag and the obfuscated registry value "Logging Mechanism".
#pragma once

#include <windows.h>

#include "etwlogging/CLoggingIf.h"

namespace Basalt {
class CRegKey;
}

namespace ETWLogging {

// Logger factory. No virtual destructor: builders are deleted by their own type.
class CLogBuilderIf {
 public:
  // A new back end for application "WSS" in |*out| (which must be empty):
  // true on success. |configKey| optionally names an open key to read
  // "Logging Mechanism" from instead of HKLM "SOFTWARE\Telvan\Logging".
  virtual bool CreateLogger(const wchar_t* group, HMODULE module, const wchar_t* host, DWORD flags,
                            CLoggingIf** out, Basalt::CRegKey* configKey) = 0;

 protected:
  ~CLogBuilderIf() = default;
};

class CLogBuilderIf_ex : public CLogBuilderIf {
 public:
  // As CreateLogger, for the logging names of |appId| (null: "WSS").
  virtual bool CreateLoggerEx(const wchar_t* appId, const wchar_t* group, HMODULE module,
                              const wchar_t* host, DWORD flags, CLoggingIf** out,
                              Basalt::CRegKey* configKey) = 0;

 protected:
  ~CLogBuilderIf_ex() = default;
};

// "Logging Mechanism" value that selects the text-file back end.
constexpr DWORD kLoggingMechanismFile = 1;

class CDefaultLogBuilder final : public CLogBuilderIf_ex {
 public:
  bool CreateLogger(const wchar_t* group, HMODULE module, const wchar_t* host, DWORD flags,
                    CLoggingIf** out, Basalt::CRegKey* configKey) override;
  // flags 1 or "Logging Mechanism" 1: text-file back end; otherwise ETW.
  bool CreateLoggerEx(const wchar_t* appId, const wchar_t* group, HMODULE module,
                      const wchar_t* host, DWORD flags, CLoggingIf** out,
                      Basalt::CRegKey* configKey) override;

  // Whether the file back end is chosen for |flags| and the registry value.
  bool UseFileLogger(DWORD flags, Basalt::CRegKey* configKey);

  // Each: false when |*out| already holds a logger, group or host is an empty
  // string, allocation or initialisation fails; else the initialised back end
  // (AddRef'ed) in |*out| and true.
  bool CreateETWLogger(const wchar_t* appId, const wchar_t* group, HMODULE module,
                       const wchar_t* host, CLoggingIf** out);
  bool CreateFileLogger(const wchar_t* appId, const wchar_t* group, HMODULE module,
                        const wchar_t* host, CLoggingIf** out);
};

}  // namespace ETWLogging
