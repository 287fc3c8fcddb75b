// The trace-session calls of the controller, bound at link time: Tamsel links the Windows
// binding (binding/TraceSessionCallsWin.cpp); test programs link a fake that keeps named
// sessions and their ETL files, since Wine only stubs these calls.
#pragma once

#include <windows.h>
// These need <windows.h> first.
#include <evntrace.h>

namespace TraceSessionCalls {

// StartTraceW: 0 with |*handle| set, else a Win32 code.
[[nodiscard]] ULONG StartTrace(TRACEHANDLE* handle, const wchar_t* sessionName,
                               EVENT_TRACE_PROPERTIES* properties);

// ControlTraceW with EVENT_TRACE_CONTROL_QUERY, _STOP or _FLUSH: 0 or a Win32 code. A query
// fills |properties|, Wnode.HistoricalContext with the session's handle.
[[nodiscard]] ULONG ControlTrace(TRACEHANDLE handle, const wchar_t* sessionName,
                                 EVENT_TRACE_PROPERTIES* properties, ULONG controlCode);

// EnableTrace of |provider| on the session |handle| at |level|: 0 or a Win32 code.
[[nodiscard]] ULONG EnableTrace(ULONG enable, ULONG flags, ULONG level, const GUID* provider,
                                TRACEHANDLE handle);

}  // namespace TraceSessionCalls
