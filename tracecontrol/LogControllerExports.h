// The one controller of the process behind Tamsel's four exports, and the exports' logic.
#pragma once

#include <windows.h>

#include "tracecontrol/CLogControllerIf.h"

namespace ETWLogging {

// Makes the process's controller for |appId| (null: "WSS") unless one exists; it is kept
// only when it initialises. Nothing is reported: the caller looks at GetLogController().
void CreateLogController(const wchar_t* appId);

// The process's controller, or null.
CLogControllerIf* GetLogController();

// The exports. Each obtains the controller (creating it for |appId| when there is none;
// 1627 when that fails) and returns the controller's Win32 code; a later call's |appId|
// is ignored while a controller exists. None of them throws.

// Start; the controller stays.
DWORD StartExport(const wchar_t* appId);
// Stop, then the controller goes, whatever the result.
DWORD StopExport(BOOLEAN stopSession, const wchar_t* appId);
// RestartSession; a controller made by this call goes again.
DWORD RestartSessionExport(const wchar_t* appId);
// FlushBuffers; the controller stays, also when this call made it.
DWORD FlushBuffersExport(const wchar_t* appId);

}  // namespace ETWLogging
