// The logging client's text-file back end for every program of the machine that logs under the
// built-in "WSS" names, as the end-to-end tests and the demo select it, and the host's log
// lines read back from its UTF-16 .log files.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "basalt/CObfuscatedIniReader.h"
#include "basalt/Registry/CObfuscatedRegKey.h"
#include "basalt/Registry/CRegKey.h"
#include "tests/support/TestFiles.h"

namespace hollintest {

constexpr wchar_t kLoggingKey[] = L"SOFTWARE\\Telvan\\Logging";
// Options of log.ini: the module field (0x10) and the process and thread field (0x04).
constexpr DWORD kLogOptionsModuleAndProcess = 0x14;

// ProgramData\Telvan\QXLOGS: the base folder of the text-file logs.
inline std::wstring LogBaseFolder() {
  return testsupport::ProgramDataFolder() + L"\\Telvan\\QXLOGS";
}

// The folder of a program's logs under the host's log group.
inline std::wstring HostLogFolder(const std::wstring& moduleBaseName = L"Hollin") {
  return LogBaseFolder() + L"\\PLATFORM\\" + moduleBaseName;
}

// Selects the text-file back end: "Logging Mechanism" = 1 (obfuscated) and "Auto Upgraded" = 1
// (plain, so that the trace controller's one-time migration keeps it), and a root log.ini that
// passes every level from |severity| on with |options|. False when a value cannot be written.
inline bool SelectTextLog(DWORD severity = 1, DWORD options = kLogOptionsModuleAndProcess) {
  {
    Basalt::CObfuscatedRegKey obfuscated;
    if (obfuscated.Create(HKEY_LOCAL_MACHINE, kLoggingKey) != ERROR_SUCCESS ||
        obfuscated.SetDWORDValue(L"Logging Mechanism", 1) != ERROR_SUCCESS) {
      return false;
    }
  }
  Basalt::CRegKey plain;
  if (plain.Create(HKEY_LOCAL_MACHINE, kLoggingKey) != ERROR_SUCCESS ||
      plain.SetDWORDValue(L"Auto Upgraded", 1) != ERROR_SUCCESS) {
    return false;
  }
  const std::wstring base = LogBaseFolder();
  CreateDirectoryW((testsupport::ProgramDataFolder() + L"\\Telvan").c_str(), nullptr);
  CreateDirectoryW(base.c_str(), nullptr);
  Basalt::CObfuscatedIniReader ini;
  (void)ini.Load(base + L"\\log.ini");  // a missing file is made by the first write
  return ini.SetIntValue(L"Config", L"Severity", static_cast<int>(severity)) &&
         ini.SetIntValue(L"Config", L"Options", static_cast<int>(options));
}

// Undoes SelectTextLog: the ETW back end is the choice again.
inline void UnselectTextLog() {
  Basalt::CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, kLoggingKey, KEY_READ | KEY_WRITE) == ERROR_SUCCESS) {
    (void)key.DeleteValue(L"Logging Mechanism");
    (void)key.DeleteValue(L"Auto Upgraded");
  }
  DeleteFileW((LogBaseFolder() + L"\\log.ini").c_str());
}

// One line of a text-file log written with kLogOptionsModuleAndProcess.
struct HostLogLine {
  DWORD pid = 0;
  std::wstring level;    // "Normal", "Error", ...
  std::wstring message;  // everything after the fields
};

// Parses "<time>$ -- (<level>)$ [<module>]$ [PID:<pid> TID:<tid>]$ <message>"; false for any
// other line.
inline bool ParseHostLogLine(const std::wstring& line, HostLogLine& out) {
  const size_t levelAt = line.find(L"$ -- (");
  const size_t levelEnd = levelAt == std::wstring::npos ? levelAt : line.find(L")$", levelAt);
  const size_t pidAt = line.find(L"[PID:");
  const size_t fieldsEnd = pidAt == std::wstring::npos ? pidAt : line.find(L"]$ ", pidAt);
  if (levelEnd == std::wstring::npos || fieldsEnd == std::wstring::npos) return false;
  out.level = line.substr(levelAt + 6, levelEnd - levelAt - 6);
  out.pid = static_cast<DWORD>(std::wcstoul(line.c_str() + pidAt + 5, nullptr, 10));
  out.message = line.substr(fieldsEnd + 3);
  return true;
}

// Every line of the .log files in |folder| (UTF-16 with a byte-order mark), file by file in
// name order; lines that do not parse are left out.
inline std::vector<HostLogLine> ReadHostLog(const std::wstring& folder = HostLogFolder()) {
  std::vector<std::wstring> files;
  WIN32_FIND_DATAW data;
  const HANDLE find = FindFirstFileW((folder + L"\\*.log").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      files.push_back(folder + L"\\" + data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  std::sort(files.begin(), files.end());
  std::vector<HostLogLine> lines;
  for (const std::wstring& file : files) {
    const std::string bytes = testsupport::ReadFileBytes(file);
    std::wstring text(bytes.size() / 2, L'\0');
    if (!text.empty()) std::memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
    if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find(L"\r\n", start);
      if (end == std::wstring::npos) end = text.size();
      HostLogLine line;
      if (ParseHostLogLine(text.substr(start, end - start), line)) lines.push_back(line);
      start = end + 2;
    }
  }
  return lines;
}

}  // namespace hollintest
