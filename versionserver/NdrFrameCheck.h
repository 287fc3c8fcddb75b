/* Included after generated proxy/stub code: the frames it declares must begin with the frame
 * record and continue with the filter routine, which is how NdrFrames.c tells proxies from stubs.
 */
#pragma once

#include <stddef.h>

_Static_assert(offsetof(struct __exception_frame, frame) == 0 &&
                   offsetof(struct __exception_frame, filter) == sizeof(QxNdrFrame),
               "the generated exception frame has changed its layout");
