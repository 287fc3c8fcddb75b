// Windows binding of the controller's trace-session calls.
#include "tracecontrol/TraceSessionCalls.h"

namespace TraceSessionCalls {

ULONG StartTrace(TRACEHANDLE* handle, const wchar_t* sessionName,
                 EVENT_TRACE_PROPERTIES* properties) {
  return ::StartTraceW(handle, sessionName, properties);
}

ULONG ControlTrace(TRACEHANDLE handle, const wchar_t* sessionName,
                   EVENT_TRACE_PROPERTIES* properties, ULONG controlCode) {
  return ::ControlTraceW(handle, sessionName, properties, controlCode);
}

ULONG EnableTrace(ULONG enable, ULONG flags, ULONG level, const GUID* provider,
                  TRACEHANDLE handle) {
  return ::EnableTrace(enable, flags, level, provider, handle);
}

}  // namespace TraceSessionCalls
