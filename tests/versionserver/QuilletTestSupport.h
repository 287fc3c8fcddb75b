// Helpers of the version server tests: paths of the doubles, scratch files, environment values.
#pragma once

#include <windows.h>

#include <string>

#include "TrustTestSupport.h"
#include "basalt/UniqueHandle.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestPrograms.h"

namespace quillet_test {

// |text| in the process's ANSI code page (the one the ANSI file functions use).
inline std::string Ansi(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], bytes, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

// |text| (in the process's ANSI code page) as wide text.
inline std::wstring FromAnsi(const std::string& text) {
  const int chars = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(chars > 0 ? static_cast<size_t>(chars) : 1, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &out[0], chars);
  out.resize(out.size() - 1);
  return out;
}

// A folder name that the ANSI code page of the test prefix (1252) cannot hold: Ż and ł of "Żółw".
inline constexpr wchar_t kOutsideAnsiName[] = L"\u017B\u00F3\u0142w";

// True when the ANSI code page holds every character of |text| as it stands.
inline bool AnsiHolds(const std::wstring& text) {
  BOOL lost = FALSE;
  const int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0,
                                        nullptr, &lost);
  return bytes > 0 && !lost;
}

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  return trust_test::WriteFileBytes(path, bytes);
}

inline bool CopyInto(const std::wstring& from, const std::wstring& to) {
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

// Sets an environment variable of this process for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const std::wstring& value) : m_name(name) {
    wchar_t old[32768];
    const DWORD length = GetEnvironmentVariableW(name, old, 32768);
    m_hadValue = length > 0 && length < 32768;
    if (m_hadValue) m_old.assign(old, length);
    SetEnvironmentVariableW(name, value.c_str());
  }
  ~ScopedEnvironment() {
    SetEnvironmentVariableW(m_name.c_str(), m_hadValue ? m_old.c_str() : nullptr);
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::wstring m_name;
  std::wstring m_old;
  bool m_hadValue = false;
};

// Files in |folder| (no subfolders).
inline int CountFiles(const std::wstring& folder) {
  int count = 0;
  WIN32_FIND_DATAW data;
  Basalt::UniqueFindFile find(FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (!find) return 0;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) ++count;
  } while (FindNextFileW(find.get(), &data));
  return count;
}

// Starts |commandLine|; false when it cannot be started.
inline bool StartProcess(std::wstring commandLine, Basalt::UniqueKernelHandle& process,
                         DWORD* processId = nullptr) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  process.reset(info.hProcess);
  if (processId != nullptr) *processId = info.dwProcessId;
  return true;
}

using testsupport::Regsvr32;

}  // namespace quillet_test
