// Helpers for tests that use other programs and libraries of the build: their paths as Wine
// shows them, and running a program to its exit code.
#pragma once

#include <windows.h>

#include <string>

#include "basalt/UniqueHandle.h"

namespace testsupport {

// A path of the build machine's file system (as the build writes it into a generated
// header) as Wine's drive Z: shows it.
inline std::wstring WinePath(const char* unixPath) {
  std::wstring path = L"Z:";
  for (const char* p = unixPath; *p != '\0'; ++p) path += *p == '/' ? L'\\' : wchar_t(*p);
  return path;
}

// Runs |program| with |arguments| (inheriting this process's environment) and waits at most
// |ms| for it; its exit code, or 0xFFFFFFFF when it could not be run or did not end.
inline DWORD RunProgram(const std::wstring& program, const std::wstring& arguments,
                        DWORD ms = 30000) {
  std::wstring command = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return 0xFFFFFFFF;
  }
  Basalt::UniqueKernelHandle thread(process.hThread);
  Basalt::UniqueKernelHandle child(process.hProcess);
  DWORD code = 0xFFFFFFFF;
  if (WaitForSingleObject(child.get(), ms) == WAIT_OBJECT_0) GetExitCodeProcess(child.get(), &code);
  return code;
}

// Registers (or with |unregister| unregisters) |dll| with the system's regsvr32; its exit code.
inline DWORD Regsvr32(const std::wstring& dll, bool unregister) {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  return RunProgram(std::wstring(system) + L"\\regsvr32.exe",
                    std::wstring(L"/s ") + (unregister ? L"/u " : L"") + L"\"" + dll + L"\"");
}

}  // namespace testsupport
