#include "versionserver/NdrFrames.h"

#include <stdlib.h>

#if !defined(__x86_64__)
#error "an accepted exception is resumed with the x64 register names"
#endif

#define QX_EH_UNWINDING 0x02

typedef struct ThreadFrames {
  QxNdrFrame* frames;
  PVOID handler;        /* this thread's vectored handler while it has frames */
  QxNdrFrame* unwindTo; /* the frame whose handler accepted the exception */
  void (*target)(void); /* and what it asked to be called once the frames inside it are done */
  EXCEPTION_RECORD record;
  int unwinding;
} ThreadFrames;

static __thread ThreadFrames t_frames;

/* A stub's frame has no filter (the word after the frame record). */
static int IsProxyFrame(const QxNdrFrame* frame) { return *(void* const*)(frame + 1) != NULL; }

static void SetFrames(QxNdrFrame* frames) {
  t_frames.frames = frames;
  if (frames == NULL && t_frames.handler != NULL) {
    RemoveVectoredExceptionHandler(t_frames.handler);
    t_frames.handler = NULL;
  }
}

/* Failures that a proxy turns into its result; not the notifications that their raisers handle
 * themselves (debug output, breakpoints, guard pages) and not a stack overflow. */
static int IsFailure(DWORD code) {
  switch (code) {
    case EXCEPTION_BREAKPOINT:
    case EXCEPTION_SINGLE_STEP:
    case EXCEPTION_GUARD_PAGE:
    case EXCEPTION_STACK_OVERFLOW:
      return 0;
    default:
      /* RPC status codes are raised as they are; NT errors and HRESULTs have the top bit set. */
      return code < 0x10000 || (code & 0x80000000u) != 0;
  }
}

static __attribute__((noreturn, used)) void ResumeAfterException(void) {
  ThreadFrames* state = &t_frames;
  EXCEPTION_RECORD record = state->record;
  record.ExceptionFlags |= QX_EH_UNWINDING;
  state->unwinding = 1;
  while (state->frames != NULL && state->frames != state->unwindTo) {
    QxNdrFrame* frame = state->frames;
    state->frames = frame->Prev;
    frame->Handler(&record, frame, NULL, NULL);
  }
  void (*target)(void) = state->target;
  state->unwindTo = NULL;
  state->target = NULL;
  state->unwinding = 0;
  target();
  abort();
}

static LONG CALLBACK DispatchToFrames(EXCEPTION_POINTERS* info) {
  EXCEPTION_RECORD* record = info->ExceptionRecord;
  /* The code first: the thread's state may have to be allocated on first touch, which a stack
   * overflow or a thread that never made a proxy call must not pay for. */
  if (!IsFailure(record->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
  ThreadFrames* state = &t_frames;
  if (state->frames == NULL || state->unwinding) return EXCEPTION_CONTINUE_SEARCH;
  state->unwindTo = NULL;
  for (QxNdrFrame* frame = state->frames; frame != NULL && state->unwindTo == NULL;
       frame = frame->Prev) {
    QxNdrFrame* dispatcher = NULL;
    frame->Handler(record, frame, info->ContextRecord, &dispatcher);
  }
  if (state->unwindTo == NULL) return EXCEPTION_CONTINUE_SEARCH;

  /* Continue below the faulting frame as if its instruction had called the resume routine. */
  CONTEXT* context = info->ContextRecord;
  DWORD64 stack = (context->Rsp - 128) & ~(DWORD64)15;
  stack -= sizeof(DWORD64);
  *(DWORD64*)stack = context->Rip;
  context->Rsp = stack;
  context->Rip = (DWORD64)(ULONG_PTR)&ResumeAfterException;
  return EXCEPTION_CONTINUE_EXECUTION;
}

QxNdrFrame* QxNdrTopFrame(void) { return t_frames.frames; }

void QxNdrPushFrame(QxNdrFrame* frame) {
  if (!IsProxyFrame(frame)) return;
  if (t_frames.handler == NULL) t_frames.handler = AddVectoredExceptionHandler(0, DispatchToFrames);
  frame->Prev = t_frames.frames;
  t_frames.frames = frame;
}

void QxNdrPopFrame(QxNdrFrame* frame) {
  if (!IsProxyFrame(frame)) return;
  QxNdrFrame* listed = t_frames.frames;
  while (listed != NULL && listed != frame) listed = listed->Prev;
  if (listed != NULL) SetFrames(frame->Prev);
}

void QxNdrRequestUnwind(QxNdrFrame* frame, EXCEPTION_RECORD* record, void (*target)(void)) {
  t_frames.unwindTo = frame;
  t_frames.target = target;
  t_frames.record = *record;
}

void QxNdrLongJump(QxNdrJumpBuffer* jump) {
  SetFrames(jump->frames);
  __builtin_longjmp(jump->buffer, 1);
}
