#include "etwlogging/CDefaultLogBuilder.h"

#include <new>

#include "basalt/Registry/CObfuscatedRegKey.h"
#include "basalt/Registry/CRegKey.h"
#include "etwlogging/CETWLogging.h"
#include "etwlogging/CLogging.h"

namespace ETWLogging {
namespace {

constexpr wchar_t kLoggingKey[] = L"SOFTWARE\\Telvan\\Logging";
constexpr wchar_t kLoggingMechanism[] = L"Logging Mechanism";

bool IsEmptyString(const wchar_t* text) { return text && !*text; }

// Initialises a fresh back end (extended road first) and hands it out.
bool InitializeAndHandOut(CLoggingIf* logger, const wchar_t* appId, const wchar_t* group,
                          HMODULE module, const wchar_t* host, CLoggingIf** out) {
  DWORD result = ERROR_INVALID_FUNCTION;
  CLoggingIf_ex* extended = dynamic_cast<CLoggingIf_ex*>(logger);
  if (extended) result = extended->InitializeEx(appId, group, module, host, nullptr);
  if (!extended || result != ERROR_SUCCESS)
    result = logger->Initialize(group, module, host, nullptr);
  if (result != ERROR_SUCCESS) {
    delete logger;
    return false;
  }
  *out = logger;
  logger->AddRef();
  return true;
}

}  // namespace

bool CDefaultLogBuilder::CreateLogger(const wchar_t* group, HMODULE module, const wchar_t* host,
                                      DWORD flags, CLoggingIf** out, Basalt::CRegKey* configKey) {
  return CreateLoggerEx(nullptr, group, module, host, flags, out, configKey);
}

bool CDefaultLogBuilder::CreateLoggerEx(const wchar_t* appId, const wchar_t* group, HMODULE module,
                                        const wchar_t* host, DWORD flags, CLoggingIf** out,
                                        Basalt::CRegKey* configKey) {
  if (UseFileLogger(flags, configKey)) return CreateFileLogger(appId, group, module, host, out);
  return CreateETWLogger(appId, group, module, host, out);
}

bool CDefaultLogBuilder::UseFileLogger(DWORD flags, Basalt::CRegKey* configKey) {
  if (flags == 1) return true;
  DWORD mechanism = 0;
  if (configKey) {
    if (configKey->QueryDWORDValue(kLoggingMechanism, mechanism) != ERROR_SUCCESS) return false;
  } else {
    Basalt::CObfuscatedRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kLoggingKey, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        key.QueryDWORDValue(kLoggingMechanism, mechanism) != ERROR_SUCCESS) {
      return false;
    }
  }
  return mechanism == kLoggingMechanismFile;
}

bool CDefaultLogBuilder::CreateETWLogger(const wchar_t* appId, const wchar_t* group, HMODULE module,
                                         const wchar_t* host, CLoggingIf** out) {
  if (!out || *out || IsEmptyString(group) || IsEmptyString(host)) return false;
  CLoggingIf* logger = new (std::nothrow) CETWLogging();
  if (!logger) return false;
  return InitializeAndHandOut(logger, appId, group, module, host, out);
}

bool CDefaultLogBuilder::CreateFileLogger(const wchar_t* appId, const wchar_t* group,
                                          HMODULE module, const wchar_t* host, CLoggingIf** out) {
  if (!out || *out || IsEmptyString(group) || IsEmptyString(host)) return false;
  CLoggingIf* logger = new (std::nothrow) CLogging();
  if (!logger) return false;
  return InitializeAndHandOut(logger, appId, group, module, host, out);
}

}  // namespace ETWLogging
