// A second process for the export tests: loads a trace-controller library and calls one of
// its exports.
//   TamselCall.exe <library> Start|Stop|RestartSession|FlushBuffers <appId, or - for null>
//                  [stopSession 0|1]
// The exit code is the export's result (read it with GetExitCodeProcess); 160 for bad
// arguments, or the error of loading the library or finding the export.
#include <windows.h>
// These need <windows.h> first.
#include <shellapi.h>

#include <cwchar>

namespace {

using AppIdExport = DWORD(WINAPI*)(LPCWSTR);
using StopExport = DWORD(WINAPI*)(BOOLEAN, LPCWSTR);

template <typename Function>
Function Bind(HMODULE module, const wchar_t* name) {
  char narrow[64] = {};
  WideCharToMultiByte(CP_ACP, 0, name, -1, narrow, sizeof(narrow) - 1, nullptr, nullptr);
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, narrow)));
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 4) return ERROR_BAD_ARGUMENTS;
  const HMODULE library = LoadLibraryW(argv[1]);
  if (library == nullptr) return static_cast<int>(GetLastError());
  const wchar_t* appId = wcscmp(argv[3], L"-") == 0 ? nullptr : argv[3];
  if (wcscmp(argv[2], L"Stop") == 0) {
    const auto stop = Bind<StopExport>(library, argv[2]);
    if (stop == nullptr) return static_cast<int>(GetLastError());
    const BOOLEAN stopSession = argc > 4 && wcscmp(argv[4], L"1") == 0;
    return static_cast<int>(stop(stopSession, appId));
  }
  const auto call = Bind<AppIdExport>(library, argv[2]);
  if (call == nullptr) return static_cast<int>(GetLastError());
  return static_cast<int>(call(appId));
}
