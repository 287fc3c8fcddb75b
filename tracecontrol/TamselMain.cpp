// Tamsel.dll: the trace session controller's four exports over the controller library.
#include <windows.h>

#include <type_traits>

#include "etwlogging/AutoLogController.h"
#include "tracecontrol/LogControllerExports.h"

extern "C" {

DWORD WINAPI Start(LPCWSTR appId) { return ETWLogging::StartExport(appId); }

DWORD WINAPI Stop(BOOLEAN stopSession, LPCWSTR appId) {
  return ETWLogging::StopExport(stopSession, appId);
}

DWORD WINAPI RestartSession(LPCWSTR appId) { return ETWLogging::RestartSessionExport(appId); }

DWORD WINAPI FlushBuffers(LPCWSTR appId) { return ETWLogging::FlushBuffersExport(appId); }

// Nothing is made at load and nothing released at unload: the caller ends the controller
// through Stop.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

}  // extern "C"

// The loader binds these by name: their types are the loader's.
static_assert(std::is_same<decltype(&Start), ETWLogging::LogControllerStartFn>::value, "Start");
static_assert(std::is_same<decltype(&Stop), ETWLogging::LogControllerStopFn>::value, "Stop");
static_assert(
    std::is_same<decltype(&RestartSession), ETWLogging::LogControllerRestartSessionFn>::value,
    "RestartSession");
static_assert(std::is_same<decltype(&FlushBuffers), ETWLogging::LogControllerFlushBuffersFn>::value,
              "FlushBuffers");
