#include "QxAccessViolationGuard.h"

#include <windows.h>

// qx_av_guard_call is a frame of its own with an exception handler registered in its unwind data,
// so the handler is asked only after every frame further in has declined the exception, exactly
// where an __except filter would be. It unwinds to qx_av_guard_recover, which returns 0.
extern "C" int qx_av_guard_call(void (*routine)(void*), void* context);
extern "C" char qx_av_guard_recover[];

extern "C" EXCEPTION_DISPOSITION qx_av_guard_handler(EXCEPTION_RECORD* record,
                                                     void* establisherFrame, CONTEXT* context,
                                                     DISPATCHER_CONTEXT* dispatch) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) {
    return ExceptionContinueSearch;
  }
  RtlUnwindEx(establisherFrame, qx_av_guard_recover, record, nullptr, context,
              dispatch->HistoryTable);
  return ExceptionContinueSearch;  // not reached: the unwind resumes at the recovery point
}

// 40 bytes: the callee's 32-byte home area, and the stack 16-byte aligned at the call.
asm(".text\n"
    ".globl qx_av_guard_call\n"
    ".def qx_av_guard_call; .scl 2; .type 32; .endef\n"
    ".seh_proc qx_av_guard_call\n"
    "qx_av_guard_call:\n"
    "\t.seh_handler qx_av_guard_handler, @except\n"
    "\tsubq $40, %rsp\n"
    "\t.seh_stackalloc 40\n"
    "\t.seh_endprologue\n"
    "\tmovq %rcx, %rax\n"
    "\tmovq %rdx, %rcx\n"
    "\tcall *%rax\n"
    "\tmovl $1, %eax\n"
    "\taddq $40, %rsp\n"
    "\tret\n"
    ".globl qx_av_guard_recover\n"
    "qx_av_guard_recover:\n"
    "\txorl %eax, %eax\n"
    "\taddq $40, %rsp\n"
    "\tret\n"
    "\t.seh_endproc\n");

bool CallWithAccessViolationGuard(void (*routine)(void*), void* context) {
  return qx_av_guard_call(routine, context) != 0;
}
