// A library that carries the logging client and a version resource: it reports the module
// file name and version that the client's events would carry from inside it.
#include <windows.h>

#include "etwlogging/CETWLogging.h"

extern "C" __declspec(dllexport) BOOL
    ProbeModuleRecord(wchar_t* fileName, DWORD fileChars, wchar_t* version, DWORD versionChars) {
  ETWLogging::CETWLogging logger;
  if (logger.InitializeEx(nullptr, L"Probe", nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return FALSE;
  }
  ETWLogging::ETWEntryContext record;
  logger.GetEntryContext(L"f", L"g", 1, record);
  lstrcpynW(fileName, record.moduleFileName.c_str(), static_cast<int>(fileChars));
  lstrcpynW(version, record.moduleVersion.c_str(), static_cast<int>(versionChars));
  return TRUE;
}
