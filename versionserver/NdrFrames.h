/* Exception frames for generated proxy/stub code, on a compiler without structured exception
 * handling.
 *
 * The generated code keeps one frame per call (its filter, its finally routine and a jump buffer)
 * and expects frame-based exception dispatch. Here a proxy's frame goes on a list of the calling
 * thread while a vectored exception handler of that thread is installed; an exception that the
 * frame's filter accepts resumes the thread in a routine that runs the pending finally routines
 * and jumps back into the proxy, which then returns the failure as an HRESULT, as it would with
 * compiler support. A stub pushes no frame: the COM runtime that calls it handles its exceptions.
 */
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

struct QxNdrFrame;
typedef DWORD(__cdecl* QxNdrHandler)(EXCEPTION_RECORD* record, struct QxNdrFrame* frame,
                                     CONTEXT* context, struct QxNdrFrame** dispatcher);

/* The head of every frame of the generated code; the frame's filter routine follows it. */
typedef struct QxNdrFrame {
  struct QxNdrFrame* Prev;
  QxNdrHandler Handler;
} QxNdrFrame;

/* A jump buffer and the thread's frame list at the time it was set. */
typedef struct QxNdrJumpBuffer {
  QxNdrFrame* frames;
  void* buffer[5];
} QxNdrJumpBuffer;

/* The thread's innermost frame, or null. */
QxNdrFrame* QxNdrTopFrame(void);
/* Pushes |frame| (a proxy's: one with a filter) on the thread's list; a stub's frame is ignored. */
void QxNdrPushFrame(QxNdrFrame* frame);
/* Removes |frame| and the frames inside it from the thread's list. */
void QxNdrPopFrame(QxNdrFrame* frame);
/* Called by a frame's handler that accepts the exception: once the dispatch is over, the frames
 * inside |frame| see the exception unwinding and |target| is called (it jumps back into the
 * frame's function). */
void QxNdrRequestUnwind(QxNdrFrame* frame, EXCEPTION_RECORD* record, void (*target)(void));
/* Returns to where |jump| was set with the thread's frame list of that time. */
__attribute__((noreturn)) void QxNdrLongJump(QxNdrJumpBuffer* jump);

#ifdef __cplusplus
}
#endif
