// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
//
// Captures the calling thread's registers for a walk that starts at our caller. The routine
// is written in assembly so that nothing the compiler chooses disturbs the registers before
// they are stored: it saves the frame pointer, stores every general register into a record
// on its own stack (rbp = the caller's frame pointer, rip = our return address, rsp = the
// caller's stack pointer once we have returned: just above that return address, which is
// what call frame information expects of a caller that keeps no frame pointer), and hands that record to the C++ half, which builds the thread state.
#include "VUCrashAsyncThreadState.h"

extern "C" vucrash_error_t vucrash_async_thread_state_current_finish(
    vucrash_async_thread_state_current_callback callback, void *context,
    const vucrash_x86_thread_state64_t *regs);

#if defined(__x86_64__)

static_assert(sizeof(vucrash_x86_thread_state64_t) == 168);

asm(R"(
  .text
  .globl vucrash_async_thread_state_current
  .type vucrash_async_thread_state_current, @function
  .p2align 4
vucrash_async_thread_state_current:
  .cfi_startproc
  pushq %rbp
  .cfi_def_cfa_offset 16
  .cfi_offset %rbp, -16
  movq %rsp, %rbp
  .cfi_def_cfa_register %rbp
  subq $176, %rsp
  movq %rax, 0(%rsp)
  movq %rbx, 8(%rsp)
  movq %rcx, 16(%rsp)
  movq %rdx, 24(%rsp)
  movq %rdi, 32(%rsp)
  movq %rsi, 40(%rsp)
  movq 0(%rbp), %rax
  movq %rax, 48(%rsp)
  leaq 16(%rbp), %rax
  movq %rax, 56(%rsp)
  movq %r8, 64(%rsp)
  movq %r9, 72(%rsp)
  movq %r10, 80(%rsp)
  movq %r11, 88(%rsp)
  movq %r12, 96(%rsp)
  movq %r13, 104(%rsp)
  movq %r14, 112(%rsp)
  movq %r15, 120(%rsp)
  movq 8(%rbp), %rax
  movq %rax, 128(%rsp)
  pushfq
  popq %rax
  movq %rax, 136(%rsp)
  xorq %rax, %rax
  movw %cs, %ax
  movq %rax, 144(%rsp)
  movw %fs, %ax
  movq %rax, 152(%rsp)
  movw %gs, %ax
  movq %rax, 160(%rsp)
  movq %rsp, %rdx
  call vucrash_async_thread_state_current_finish
  leave
  .cfi_def_cfa %rsp, 8
  ret
  .cfi_endproc
  .size vucrash_async_thread_state_current, .-vucrash_async_thread_state_current
)");

extern "C" vucrash_error_t vucrash_async_thread_state_current_finish(
    vucrash_async_thread_state_current_callback callback, void *context,
    const vucrash_x86_thread_state64_t *regs) {
  vucrash_async_thread_state_t state;
  vucrash_async_thread_state_init(&state, 0x01000007);
  vucrash_async_memcpy(&state.x86_state.thread.uts.ts64, regs, sizeof(*regs));
  // Exception state stays zero: no fault led here.
  state.valid_regs = UINT64_MAX;
  return callback(&state, context);
}

#else

extern "C" vucrash_error_t vucrash_async_thread_state_current(
    vucrash_async_thread_state_current_callback, void *) {
  return VUCRASH_ERR_NOTSUP;
}

#endif
