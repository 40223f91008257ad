// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashAsyncLog.h"
#include "VUCrashMachExceptionServer.h"

#include <string.h>

uint32_t exception_to_mask(uint64_t exception_type) {
  switch (exception_type) {
    case VUCRASH_EXC_BAD_ACCESS: return 0x2;
    case VUCRASH_EXC_BAD_INSTRUCTION: return 0x4;
    case VUCRASH_EXC_ARITHMETIC: return 0x8;
    case VUCRASH_EXC_EMULATION: return 0x10;
    case VUCRASH_EXC_SOFTWARE: return 0x20;
    case VUCRASH_EXC_BREAKPOINT: return 0x40;
    case VUCRASH_EXC_SYSCALL: return 0x80;
    case VUCRASH_EXC_MACH_SYSCALL: return 0x100;
    case VUCRASH_EXC_RPC_ALERT: return 0x200;
    case VUCRASH_EXC_CRASH: return 0x400;
    case VUCRASH_EXC_GUARD: return 0x1000;
  }
  VUCR_LOG("Unhandled exception type %d; exception_to_mask() should be updated",
           static_cast<int>(exception_type));
  // A shift by 32 or more has no meaning in a 32-bit mask (and is undefined in C++).
  return exception_type < 32 ? 1u << exception_type : 0;
}

int vucrash_mach_exception_forward_target(const vucrash_mach_exception_port_set *set,
                                          uint64_t exception_type) {
  const uint32_t mask = exception_to_mask(exception_type);
  const uint32_t count = set->count < VUCRASH_EXC_TYPES_COUNT ? set->count : VUCRASH_EXC_TYPES_COUNT;
  for (uint32_t i = 0; i < count; ++i) {
    if (set->ports[i] == VUCRASH_MACH_PORT_NULL || set->ports[i] == VUCRASH_MACH_PORT_DEAD)
      continue;
    if (mask != 0 && (set->masks[i] & mask) == mask)
      return static_cast<int>(i);
  }
  return -1;
}

vucrash_kern_return_t VUCrashMachExceptionForward(vucrash_task_t, vucrash_thread_t,
                                                  uint64_t exception_type, const uint64_t *,
                                                  uint32_t,
                                                  const vucrash_mach_exception_port_set *set) {
  const int target = vucrash_mach_exception_forward_target(set, exception_type);
  if (target < 0)
    return VUCRASH_KERN_FAILURE;
  VUCR_LOG("Unsupported exception behavior: 0x%x (MACH_EXCEPTION_CODES=%s)",
           static_cast<unsigned>(set->behaviors[target]),
           (set->behaviors[target] & 0x80000000) != 0 ? "true" : "false");
  return VUCRASH_KERN_FAILURE;
}

bool vucrash_async_mach_exception_get_siginfo(uint64_t exception_type, const uint64_t *codes,
                                              uint32_t code_count, uint64_t,
                                              siginfo_t *info) {
  if (code_count < 2) {
    VUCR_LOG("Unexpected Mach code count of %u; can't map to UNIX exception", code_count);
    return false;
  }
  int signo, code = 0;
  switch (exception_type) {
    case VUCRASH_EXC_BAD_ACCESS:
      if (codes[0] == 1) {  // KERN_INVALID_ADDRESS
        signo = 11;
        code = 1;
      } else {
        signo = 10;
        code = 2;
      }
      break;
    case VUCRASH_EXC_BAD_INSTRUCTION: signo = 4; break;
    case VUCRASH_EXC_ARITHMETIC: signo = 8; break;
    case VUCRASH_EXC_EMULATION: signo = 7; break;
    case VUCRASH_EXC_SOFTWARE:
      switch (codes[0]) {
        case 0x10000: signo = 12; break;
        case 0x10001: signo = 13; break;
        case 0x10002: signo = 6; break;
        case 0x10003: signo = 9; break;
        default:
          VUCR_LOG("Unexpected EXC_SOFTWARE code of %lld", static_cast<long long>(codes[0]));
          signo = 6;
          break;
      }
      break;
    case VUCRASH_EXC_BREAKPOINT:
      signo = 5;
      code = 1;
      break;
    default:
      return false;
  }
  vucrash_async_memset(info, 0, sizeof(*info));
  info->si_signo = signo;
  info->si_code = code;
  info->si_addr = reinterpret_cast<void *>(static_cast<uintptr_t>(codes[1]));
  return true;
}

bool vucrash_async_signal_to_mach_exception(int signo, const siginfo_t *info,
                                            uint64_t *exception_type, uint64_t codes[2]) {
  const uint64_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  switch (signo) {
    case SIGSEGV:
      *exception_type = VUCRASH_EXC_BAD_ACCESS;
      codes[0] = info->si_code == SEGV_ACCERR ? 2 : 1;  // KERN_PROTECTION_FAILURE : INVALID_ADDRESS
      codes[1] = address;
      return true;
    case SIGBUS:
      *exception_type = VUCRASH_EXC_BAD_ACCESS;
      codes[0] = 2;
      codes[1] = address;
      return true;
    case SIGILL:
      *exception_type = VUCRASH_EXC_BAD_INSTRUCTION;
      codes[0] = 1;  // EXC_I386_INVOP
      codes[1] = address;
      return true;
    case SIGFPE:
      *exception_type = VUCRASH_EXC_ARITHMETIC;
      codes[0] = info->si_code == FPE_INTDIV ? 1 : 0;  // EXC_I386_DIV
      codes[1] = address;
      return true;
    case SIGTRAP:
      *exception_type = VUCRASH_EXC_BREAKPOINT;
      codes[0] = 2;  // EXC_I386_BPT
      codes[1] = address;
      return true;
    default:
      return false;
  }
}
