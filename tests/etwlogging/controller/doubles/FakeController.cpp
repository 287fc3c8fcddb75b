// Test double of the trace-controller library. Each call of its exports is appended as a line
// to the file that HOLLIN_FAKE_CONTROLLER_LOG names: "DllAddRef <own path>", "Start <appId>",
// "Stop <0|1> <appId>", "RestartSession <appId>", "FlushBuffers <appId>", "DllRelease".
// Start returns the number in HOLLIN_FAKE_CONTROLLER_START_RESULT (0 when unset). Built with
// and without "FlushBuffers" (FAKE_CONTROLLER_WITHOUT_FLUSH).
#include <windows.h>

#include <cwchar>

namespace {

HMODULE g_self = nullptr;

void Record(const wchar_t* what, const wchar_t* detail) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"HOLLIN_FAKE_CONTROLLER_LOG", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  wchar_t line[1024];
  wsprintfW(line, L"%s %s\r\n", what, detail != nullptr ? detail : L"(null)");
  char utf8[2048];
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof(utf8), nullptr, nullptr);
  const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  if (bytes > 1) WriteFile(file, utf8, static_cast<DWORD>(bytes - 1), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_self = instance;
  return TRUE;
}

__declspec(dllexport) void DllAddRef() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(g_self, path, MAX_PATH);
  Record(L"DllAddRef", path);
}

__declspec(dllexport) void DllRelease() { Record(L"DllRelease", L""); }

__declspec(dllexport) DWORD WINAPI Start(LPCWSTR appId) {
  Record(L"Start", appId);
  wchar_t result[16] = {};
  if (GetEnvironmentVariableW(L"HOLLIN_FAKE_CONTROLLER_START_RESULT", result, 16) == 0) return 0;
  return wcstoul(result, nullptr, 10);
}

__declspec(dllexport) DWORD WINAPI Stop(BOOLEAN stopSession, LPCWSTR appId) {
  wchar_t detail[512];
  wsprintfW(detail, L"%d %s", stopSession ? 1 : 0, appId != nullptr ? appId : L"(null)");
  Record(L"Stop", detail);
  return 0;
}

__declspec(dllexport) DWORD WINAPI RestartSession(LPCWSTR appId) {
  Record(L"RestartSession", appId);
  return 0;
}

#ifndef FAKE_CONTROLLER_WITHOUT_FLUSH
__declspec(dllexport) DWORD WINAPI FlushBuffers(LPCWSTR appId) {
  Record(L"FlushBuffers", appId);
  return 0;
}
#endif

}  // extern "C"
