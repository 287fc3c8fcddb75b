// Test double of a library held by Basalt::CDllWrapperBase. It appends every call of its
// optional exports, and its attach and detach, to the environment variable
// DLLREFPROBE_EVENTS of the process, where a test reads them after the library has gone.
#include <windows.h>

namespace {

void Record(const wchar_t* event) {
  constexpr DWORD kCapacity = 512;
  wchar_t events[kCapacity] = {};
  const DWORD length = GetEnvironmentVariableW(L"DLLREFPROBE_EVENTS", events, kCapacity);
  if (length >= kCapacity - 32) return;
  lstrcatW(events, event);
  lstrcatW(events, L";");
  SetEnvironmentVariableW(L"DLLREFPROBE_EVENTS", events);
}

}  // namespace

extern "C" __declspec(dllexport) void DllAddRef() { Record(L"DllAddRef"); }

extern "C" __declspec(dllexport) void DllRelease() { Record(L"DllRelease"); }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) Record(L"attach");
  if (reason == DLL_PROCESS_DETACH) Record(L"detach");
  return TRUE;
}
