/* The exception-frame primitives that widl's generated proxy/stub code includes under this name,
 * mapped onto the frames of versionserver/NdrFrames.h. Only the generated code includes it. */
#pragma once

#include "versionserver/NdrFrames.h"

#define EH_NONCONTINUABLE 0x01
#define EH_UNWINDING 0x02
#define EH_EXIT_UNWIND 0x04
#define EH_NESTED_CALL 0x10

/* The generated frames begin with this record. */
#define EXCEPTION_REGISTRATION_RECORD QxNdrFrame

typedef QxNdrJumpBuffer __wine_jmp_buf;

#define __wine_setjmpex(jump, frame) \
  ((jump)->frames = QxNdrTopFrame(), __builtin_setjmp((jump)->buffer))
#define __wine_longjmp(jump, value) QxNdrLongJump(jump)
#define __wine_push_frame(frame) QxNdrPushFrame(frame)
#define __wine_pop_frame(frame) QxNdrPopFrame(frame)
#define __wine_get_frame() QxNdrTopFrame()
#define __wine_rtl_unwind(frame, record, target) QxNdrRequestUnwind(frame, record, target)
