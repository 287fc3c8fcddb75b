// Client processes of the caller-check tests and benchmark: a copy of SecureComTestProcess (or of
// one of its variants) started at a path of any length, let go and waited for.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <winternl.h>

#include <string>

#include "basalt/UniqueHandle.h"

namespace securecom_test {

// Wine's CreateProcessW cannot start a program whose path has MAX_PATH characters or more; the
// system call beneath it can. Its attribute list and creation record, as far as used here.
struct PsAttribute {
  ULONG_PTR attribute;
  SIZE_T size;
  ULONG_PTR value;
  SIZE_T* returned;
};
struct PsAttributeList {
  SIZE_T totalLength;
  PsAttribute attributes[1];
};
struct PsCreateInfo {
  SIZE_T size;
  ULONG state;
  BYTE output[0x58 - sizeof(SIZE_T) - sizeof(ULONG)];
};
static_assert(sizeof(PsCreateInfo) == 0x58, "creation record layout");
constexpr ULONG_PTR kPsAttributeImageName = 0x20005;

using NtCreateUserProcessFn = LONG(NTAPI*)(HANDLE*, HANDLE*, ACCESS_MASK, ACCESS_MASK, void*, void*,
                                           ULONG, ULONG, void*, PsCreateInfo*, PsAttributeList*);
using RtlCreateProcessParametersExFn = LONG(NTAPI*)(void**, UNICODE_STRING*, UNICODE_STRING*,
                                                    UNICODE_STRING*, UNICODE_STRING*, void*,
                                                    UNICODE_STRING*, UNICODE_STRING*,
                                                    UNICODE_STRING*, UNICODE_STRING*, ULONG);
using RtlDestroyProcessParametersFn = LONG(NTAPI*)(void*);

template <typename Fn>
Fn NtdllExport(const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

inline UNICODE_STRING Counted(const std::wstring& text) {
  const auto bytes = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  return UNICODE_STRING{bytes, bytes, const_cast<wchar_t*>(text.c_str())};
}

// Starts |program| (a full path of any length) with |commandLine| in this process's environment;
// its process handle, or null.
inline HANDLE StartProgram(const std::wstring& program, std::wstring commandLine) {
  if (program.size() < MAX_PATH) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
      return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
  }
  const auto create = NtdllExport<NtCreateUserProcessFn>("NtCreateUserProcess");
  const auto makeParameters =
      NtdllExport<RtlCreateProcessParametersExFn>("RtlCreateProcessParametersEx");
  const auto destroyParameters =
      NtdllExport<RtlDestroyProcessParametersFn>("RtlDestroyProcessParameters");
  if (create == nullptr || makeParameters == nullptr || destroyParameters == nullptr) {
    return nullptr;
  }
  UNICODE_STRING image = Counted(program), command = Counted(commandLine);
  void* parameters = nullptr;
  // 1: the parameters are normalised (hold pointers, not offsets).
  if (makeParameters(&parameters, &image, nullptr, nullptr, &command, nullptr, nullptr, nullptr,
                     nullptr, nullptr, 1) != 0) {
    return nullptr;
  }
  const std::wstring ntPath = L"\\??\\" + program;
  PsCreateInfo createInfo = {};
  createInfo.size = sizeof(createInfo);
  PsAttributeList attributes = {};
  attributes.totalLength = sizeof(attributes);
  attributes.attributes[0] = {kPsAttributeImageName, ntPath.size() * sizeof(wchar_t),
                              reinterpret_cast<ULONG_PTR>(ntPath.c_str()), nullptr};
  HANDLE process = nullptr, thread = nullptr;
  const LONG status = create(&process, &thread, PROCESS_ALL_ACCESS, THREAD_ALL_ACCESS, nullptr,
                             nullptr, 0, 0, parameters, &createInfo, &attributes);
  destroyParameters(parameters);
  if (status != 0) return nullptr;
  CloseHandle(thread);
  return process;
}

// A running copy of the client program, started with |options| (SecureComTestProcess.cpp). It
// waits until let go; with |call| it then calls the running class object of CLSID_SecureComProbe.
// It ends when this goes.
class ClientProcess {
 public:
  ClientProcess(const std::wstring& program, bool call, const std::wstring& options = L"") {
    static LONG count = 0;
    const std::wstring name = L"SecureComTestProcessGo-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(InterlockedIncrement(&count));
    m_go.reset(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    if (!m_go) return;
    m_process.reset(StartProgram(program, L"\"" + program + L"\" " + options +
                                              (options.empty() ? L"" : L" ") +
                                              (call ? L"call " : L"") + name));
    if (m_process) m_pid = GetProcessId(m_process.get());
  }
  ~ClientProcess() { Finish(); }
  ClientProcess(const ClientProcess&) = delete;
  ClientProcess& operator=(const ClientProcess&) = delete;

  DWORD pid() const { return m_pid; }
  // Lets the program go and waits for its end: its exit code (the HRESULT of its call), or
  // 0xFFFFFFFF when it did not end. Its ID then names no process of ours.
  DWORD Finish() {
    if (!m_process) return m_exitCode;
    SetEvent(m_go.get());
    if (WaitForSingleObject(m_process.get(), 30000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(m_process.get(), &m_exitCode);
    }
    m_process.reset();
    return m_exitCode;
  }

 private:
  Basalt::UniqueEvent m_go;
  Basalt::UniqueKernelHandle m_process;
  DWORD m_pid = 0;
  DWORD m_exitCode = 0xFFFFFFFF;
};

}  // namespace securecom_test
