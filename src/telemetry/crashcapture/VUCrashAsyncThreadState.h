#pragma once
// One stack frame's registers, as a signal's machine context gives them, plus a mask of the
// registers whose values are known. Fixed size, no pointers: copied by value.
//
// The register set is x86: 32-bit (i386) or 64-bit (x86_64), chosen by the state's flavor.
// Register numbers 0, 1 and 2 are the instruction, frame and stack pointer in both sets.
//
// Crash-time code: nothing here allocates or locks; every function is async-signal-safe.

#include "VUCrashAsync.h"

#include <stdint.h>
#include <ucontext.h>

// The register records keep the layout of the kernel records the engine was designed around.
struct vucrash_x86_state_hdr_t {
  int32_t flavor;
  int32_t count;
};

struct vucrash_x86_thread_state32_t {
  uint32_t eax, ebx, ecx, edx, edi, esi, ebp, esp, ss, eflags, eip, cs, ds, es, fs, gs;
};

struct vucrash_x86_thread_state64_t {
  uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp;
  uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  uint64_t rip, rflags, cs, fs, gs;
};

struct vucrash_x86_exception_state32_t {
  uint16_t trapno;
  uint16_t cpu;
  uint32_t err;
  uint32_t faultvaddr;
};

struct vucrash_x86_exception_state64_t {
  uint16_t trapno;
  uint16_t cpu;
  uint32_t err;
  uint64_t faultvaddr;
};

// Flavors and counts (in 32-bit words) of the records above.
enum : int32_t {
  VUCRASH_x86_THREAD_STATE32 = 1,
  VUCRASH_x86_THREAD_STATE32_COUNT = 16,
  VUCRASH_x86_EXCEPTION_STATE32 = 3,
  VUCRASH_x86_EXCEPTION_STATE32_COUNT = 3,
  VUCRASH_x86_THREAD_STATE64 = 4,
  VUCRASH_x86_THREAD_STATE64_COUNT = 42,
  VUCRASH_x86_EXCEPTION_STATE64 = 6,
  VUCRASH_x86_EXCEPTION_STATE64_COUNT = 4,
};

struct vucrash_x86_thread_state_t {
  vucrash_x86_state_hdr_t tsh;
  union {
    vucrash_x86_thread_state32_t ts32;
    vucrash_x86_thread_state64_t ts64;
  } uts;
};

struct vucrash_x86_exception_state_t {
  vucrash_x86_state_hdr_t esh;
  union {
    vucrash_x86_exception_state32_t es32;
    vucrash_x86_exception_state64_t es64;
  } ues;
};

typedef enum {
  VUCRASH_ASYNC_STACK_DIRECTION_UP = 1,
  VUCRASH_ASYNC_STACK_DIRECTION_DOWN = 2,
} vucrash_async_thread_stack_direction_t;

struct vucrash_async_thread_state_t {
  uint32_t stack_direction;
  size_t greg_size;
  uint64_t valid_regs;
  struct {
    vucrash_x86_thread_state_t thread;
    vucrash_x86_exception_state_t exception;
  } x86_state;
  // The frame was interrupted by a signal rather than making a call: its pc is where it
  // resumes, not a return address. Set by the readers; initialisers leave it false.
  bool resumes_at_pc;
};

typedef uint64_t vucrash_greg_t;
typedef uint32_t vucrash_regnum_t;

// Register numbers, x86_64.
enum {
  VUCRASH_X86_64_RIP = 0,
  VUCRASH_X86_64_RBP,
  VUCRASH_X86_64_RSP,
  VUCRASH_X86_64_RAX,
  VUCRASH_X86_64_RBX,
  VUCRASH_X86_64_RCX,
  VUCRASH_X86_64_RDX,
  VUCRASH_X86_64_RDI,
  VUCRASH_X86_64_RSI,
  VUCRASH_X86_64_R8,
  VUCRASH_X86_64_R9,
  VUCRASH_X86_64_R10,
  VUCRASH_X86_64_R11,
  VUCRASH_X86_64_R12,
  VUCRASH_X86_64_R13,
  VUCRASH_X86_64_R14,
  VUCRASH_X86_64_R15,
  VUCRASH_X86_64_RFLAGS,
  VUCRASH_X86_64_CS,
  VUCRASH_X86_64_FS,
  VUCRASH_X86_64_GS,
  VUCRASH_X86_64_LAST_REG = VUCRASH_X86_64_GS,
};

// Register numbers, i386.
enum {
  VUCRASH_X86_EIP = 0,
  VUCRASH_X86_EBP,
  VUCRASH_X86_ESP,
  VUCRASH_X86_EAX,
  VUCRASH_X86_EDX,
  VUCRASH_X86_ECX,
  VUCRASH_X86_EBX,
  VUCRASH_X86_ESI,
  VUCRASH_X86_EDI,
  VUCRASH_X86_EFLAGS,
  VUCRASH_X86_TRAPNO,
  VUCRASH_X86_CS,
  VUCRASH_X86_DS,
  VUCRASH_X86_ES,
  VUCRASH_X86_FS,
  VUCRASH_X86_GS,
  VUCRASH_X86_LAST_REG = VUCRASH_X86_GS,
};

// Role names shared by both sets.
enum {
  VUCRASH_REG_IP = 0,
  VUCRASH_REG_FP = 1,
  VUCRASH_REG_SP = 2,
};

// Clears the state for a CPU type (7 i386, 0x1000007 x86_64); VUCRASH_ERR_NOTSUP otherwise.
vucrash_error_t vucrash_async_thread_state_init(vucrash_async_thread_state_t *state,
                                                uint64_t cpu_type);
// Every register of a signal's machine context, all marked valid (x86_64; elsewhere no
// register is valid, so such a thread carries no frames).
void vucrash_async_thread_state_mcontext_init(vucrash_async_thread_state_t *state,
                                              const mcontext_t *mcontext);

// Another thread's registers, as it stored them when it was parked (VUCrashThreadParking.h):
// every register valid. VUCRASH_ERR_INTERNAL (with a debug line) when the thread has not
// parked; VUCRASH_ERR_NOTSUP on processors other than x86_64, whose threads carry no frames.
vucrash_error_t vucrash_async_thread_state_mach_thread_init(vucrash_async_thread_state_t *state,
                                                            vucrash_thread_t thread);

typedef vucrash_error_t (*vucrash_async_thread_state_current_callback)(
    vucrash_async_thread_state_t *state, void *context);
// Captures the calling thread and calls callback(state, context), returning its result. The
// first frame of a walk from that state is the caller of this function. x86_64 only; other
// hosts get VUCRASH_ERR_NOTSUP without a call.
extern "C" vucrash_error_t vucrash_async_thread_state_current(
    vucrash_async_thread_state_current_callback callback, void *context);

void vucrash_async_thread_state_copy(vucrash_async_thread_state_t *dest,
                                     const vucrash_async_thread_state_t *source);
bool vucrash_async_thread_state_has_reg(const vucrash_async_thread_state_t *state,
                                        vucrash_regnum_t regnum);
vucrash_greg_t vucrash_async_thread_state_get_reg(const vucrash_async_thread_state_t *state,
                                                  vucrash_regnum_t regnum);
void vucrash_async_thread_state_set_reg(vucrash_async_thread_state_t *state,
                                        vucrash_regnum_t regnum, vucrash_greg_t value);
void vucrash_async_thread_state_clear_reg(vucrash_async_thread_state_t *state,
                                          vucrash_regnum_t regnum);
void vucrash_async_thread_state_clear_all_regs(vucrash_async_thread_state_t *state);
void vucrash_async_thread_state_clear_volatile_regs(vucrash_async_thread_state_t *state);
// The register's name, or "" (with a log line) for a number beyond the set.
const char *vucrash_async_thread_state_get_reg_name(const vucrash_async_thread_state_t *state,
                                                    vucrash_regnum_t regnum);
size_t vucrash_async_thread_state_get_reg_count(const vucrash_async_thread_state_t *state);
uint32_t vucrash_async_thread_state_get_stack_direction(const vucrash_async_thread_state_t *state);
size_t vucrash_async_thread_state_get_greg_size(const vucrash_async_thread_state_t *state);
bool vucrash_async_thread_state_map_dwarf_to_reg(const vucrash_async_thread_state_t *state,
                                                 uint64_t dwarf_reg, vucrash_regnum_t *regnum);
bool vucrash_async_thread_state_map_reg_to_dwarf(const vucrash_async_thread_state_t *state,
                                                 vucrash_regnum_t regnum, uint64_t *dwarf_reg);
