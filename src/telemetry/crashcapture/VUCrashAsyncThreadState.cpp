// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashAsyncThreadState.h"

#include "VUCrashAsyncLog.h"
#include "VUCrashReportFormat.h"

namespace {

constexpr uint64_t kNoDwarf = UINT64_MAX;

struct RegisterInfo {
  const char *name;
  uint64_t dwarf;
  bool kept;  // callee-saved: survives clear_volatile_regs
};

// Indexed by register number.
const RegisterInfo kX86_64Registers[] = {
    {"rip", kNoDwarf, false}, {"rbp", 6, true},     {"rsp", 7, true},     {"rax", 0, false},
    {"rbx", 3, true},         {"rcx", 2, false},    {"rdx", 1, false},    {"rdi", 5, false},
    {"rsi", 4, false},        {"r8", 8, false},     {"r9", 9, false},     {"r10", 10, false},
    {"r11", 11, false},       {"r12", 12, true},    {"r13", 13, true},    {"r14", 14, true},
    {"r15", 15, true},        {"rflags", 49, false}, {"cs", 51, false},   {"fs", 54, false},
    {"gs", 55, false},
};
static_assert(sizeof(kX86_64Registers) / sizeof(kX86_64Registers[0]) ==
              VUCRASH_X86_64_LAST_REG + 1);

const RegisterInfo kX86Registers[] = {
    {"eip", 8, false},       {"ebp", 4, true},         {"esp", 5, true},        {"eax", 0, false},
    {"edx", 2, false},       {"ecx", 1, false},        {"ebx", 3, true},        {"esi", 6, true},
    {"edi", 7, true},        {"eflags", kNoDwarf, false}, {"trapno", kNoDwarf, false},
    {"cs", kNoDwarf, false}, {"ds", kNoDwarf, false},  {"es", kNoDwarf, false},
    {"fs", kNoDwarf, false}, {"gs", kNoDwarf, false},
};
static_assert(sizeof(kX86Registers) / sizeof(kX86Registers[0]) == VUCRASH_X86_LAST_REG + 1);

bool is32(const vucrash_async_thread_state_t *state) {
  return state->x86_state.thread.tsh.flavor == VUCRASH_x86_THREAD_STATE32;
}

const RegisterInfo *table(const vucrash_async_thread_state_t *state, size_t *count) {
  if (is32(state)) {
    *count = VUCRASH_X86_LAST_REG + 1;
    return kX86Registers;
  }
  *count = VUCRASH_X86_64_LAST_REG + 1;
  return kX86_64Registers;
}

// The storage of a register; for i386, a 32-bit slot (trapno: 16-bit, handled by callers).
uint64_t *slot64(vucrash_async_thread_state_t *state, vucrash_regnum_t regnum) {
  vucrash_x86_thread_state64_t &ts = state->x86_state.thread.uts.ts64;
  switch (regnum) {
    case VUCRASH_X86_64_RIP: return &ts.rip;
    case VUCRASH_X86_64_RBP: return &ts.rbp;
    case VUCRASH_X86_64_RSP: return &ts.rsp;
    case VUCRASH_X86_64_RAX: return &ts.rax;
    case VUCRASH_X86_64_RBX: return &ts.rbx;
    case VUCRASH_X86_64_RCX: return &ts.rcx;
    case VUCRASH_X86_64_RDX: return &ts.rdx;
    case VUCRASH_X86_64_RDI: return &ts.rdi;
    case VUCRASH_X86_64_RSI: return &ts.rsi;
    case VUCRASH_X86_64_R8: return &ts.r8;
    case VUCRASH_X86_64_R9: return &ts.r9;
    case VUCRASH_X86_64_R10: return &ts.r10;
    case VUCRASH_X86_64_R11: return &ts.r11;
    case VUCRASH_X86_64_R12: return &ts.r12;
    case VUCRASH_X86_64_R13: return &ts.r13;
    case VUCRASH_X86_64_R14: return &ts.r14;
    case VUCRASH_X86_64_R15: return &ts.r15;
    case VUCRASH_X86_64_RFLAGS: return &ts.rflags;
    case VUCRASH_X86_64_CS: return &ts.cs;
    case VUCRASH_X86_64_FS: return &ts.fs;
    case VUCRASH_X86_64_GS: return &ts.gs;
    default: return nullptr;
  }
}

uint32_t *slot32(vucrash_async_thread_state_t *state, vucrash_regnum_t regnum) {
  vucrash_x86_thread_state32_t &ts = state->x86_state.thread.uts.ts32;
  switch (regnum) {
    case VUCRASH_X86_EIP: return &ts.eip;
    case VUCRASH_X86_EBP: return &ts.ebp;
    case VUCRASH_X86_ESP: return &ts.esp;
    case VUCRASH_X86_EAX: return &ts.eax;
    case VUCRASH_X86_EDX: return &ts.edx;
    case VUCRASH_X86_ECX: return &ts.ecx;
    case VUCRASH_X86_EBX: return &ts.ebx;
    case VUCRASH_X86_ESI: return &ts.esi;
    case VUCRASH_X86_EDI: return &ts.edi;
    case VUCRASH_X86_EFLAGS: return &ts.eflags;
    case VUCRASH_X86_CS: return &ts.cs;
    case VUCRASH_X86_DS: return &ts.ds;
    case VUCRASH_X86_ES: return &ts.es;
    case VUCRASH_X86_FS: return &ts.fs;
    case VUCRASH_X86_GS: return &ts.gs;
    default: return nullptr;
  }
}

void set64Headers(vucrash_async_thread_state_t *state) {
  state->x86_state.thread.tsh.flavor = VUCRASH_x86_THREAD_STATE64;
  state->x86_state.thread.tsh.count = VUCRASH_x86_THREAD_STATE64_COUNT;
  state->x86_state.exception.esh.flavor = VUCRASH_x86_EXCEPTION_STATE64;
  state->x86_state.exception.esh.count = VUCRASH_x86_EXCEPTION_STATE64_COUNT;
  state->stack_direction = VUCRASH_ASYNC_STACK_DIRECTION_DOWN;
  state->greg_size = 8;
}

}  // namespace

vucrash_error_t vucrash_async_thread_state_init(vucrash_async_thread_state_t *state,
                                                uint64_t cpu_type) {
  vucrash_async_memset(state, 0, sizeof(*state));
  if (cpu_type == VUCRASH_CPU_TYPE_X86) {
    state->x86_state.thread.tsh.flavor = VUCRASH_x86_THREAD_STATE32;
    state->x86_state.thread.tsh.count = VUCRASH_x86_THREAD_STATE32_COUNT;
    state->x86_state.exception.esh.flavor = VUCRASH_x86_EXCEPTION_STATE32;
    state->x86_state.exception.esh.count = VUCRASH_x86_EXCEPTION_STATE32_COUNT;
    state->stack_direction = VUCRASH_ASYNC_STACK_DIRECTION_DOWN;
    state->greg_size = 4;
    return VUCRASH_ERR_NONE;
  }
  if (cpu_type == VUCRASH_CPU_TYPE_X86_64) {
    set64Headers(state);
    return VUCRASH_ERR_NONE;
  }
  return VUCRASH_ERR_NOTSUP;
}

void vucrash_async_thread_state_mcontext_init(vucrash_async_thread_state_t *state,
                                              const mcontext_t *mcontext) {
  vucrash_async_memset(state, 0, sizeof(*state));
  set64Headers(state);
#if defined(__x86_64__)
  const greg_t *g = mcontext->gregs;
  vucrash_x86_thread_state64_t &ts = state->x86_state.thread.uts.ts64;
  ts.rax = static_cast<uint64_t>(g[REG_RAX]);
  ts.rbx = static_cast<uint64_t>(g[REG_RBX]);
  ts.rcx = static_cast<uint64_t>(g[REG_RCX]);
  ts.rdx = static_cast<uint64_t>(g[REG_RDX]);
  ts.rdi = static_cast<uint64_t>(g[REG_RDI]);
  ts.rsi = static_cast<uint64_t>(g[REG_RSI]);
  ts.rbp = static_cast<uint64_t>(g[REG_RBP]);
  ts.rsp = static_cast<uint64_t>(g[REG_RSP]);
  ts.r8 = static_cast<uint64_t>(g[REG_R8]);
  ts.r9 = static_cast<uint64_t>(g[REG_R9]);
  ts.r10 = static_cast<uint64_t>(g[REG_R10]);
  ts.r11 = static_cast<uint64_t>(g[REG_R11]);
  ts.r12 = static_cast<uint64_t>(g[REG_R12]);
  ts.r13 = static_cast<uint64_t>(g[REG_R13]);
  ts.r14 = static_cast<uint64_t>(g[REG_R14]);
  ts.r15 = static_cast<uint64_t>(g[REG_R15]);
  ts.rip = static_cast<uint64_t>(g[REG_RIP]);
  ts.rflags = static_cast<uint64_t>(g[REG_EFL]);
  // cs, gs and fs share one slot of the machine context, 16 bits each from the bottom.
  const uint64_t csgsfs = static_cast<uint64_t>(g[REG_CSGSFS]);
  ts.cs = csgsfs & 0xFFFF;
  ts.gs = (csgsfs >> 16) & 0xFFFF;
  ts.fs = (csgsfs >> 32) & 0xFFFF;
  vucrash_x86_exception_state64_t &es = state->x86_state.exception.ues.es64;
  es.trapno = static_cast<uint16_t>(g[REG_TRAPNO]);
  es.err = static_cast<uint32_t>(g[REG_ERR]);
  es.faultvaddr = static_cast<uint64_t>(g[REG_CR2]);
  state->valid_regs = UINT64_MAX;
#else
  (void)mcontext;
#endif
}

void vucrash_async_thread_state_copy(vucrash_async_thread_state_t *dest,
                                     const vucrash_async_thread_state_t *source) {
  vucrash_async_memcpy(dest, source, sizeof(*dest));
}

bool vucrash_async_thread_state_has_reg(const vucrash_async_thread_state_t *state,
                                        vucrash_regnum_t regnum) {
  return regnum < 64 && (state->valid_regs & (1ULL << regnum)) != 0;
}

vucrash_greg_t vucrash_async_thread_state_get_reg(const vucrash_async_thread_state_t *state,
                                                  vucrash_regnum_t regnum) {
  auto *mutableState = const_cast<vucrash_async_thread_state_t *>(state);
  if (is32(state)) {
    if (regnum == VUCRASH_X86_TRAPNO)
      return state->x86_state.exception.ues.es32.trapno;
    uint32_t *slot = slot32(mutableState, regnum);
    return slot != nullptr ? *slot : 0;
  }
  uint64_t *slot = slot64(mutableState, regnum);
  return slot != nullptr ? *slot : 0;
}

void vucrash_async_thread_state_set_reg(vucrash_async_thread_state_t *state,
                                        vucrash_regnum_t regnum, vucrash_greg_t value) {
  if (is32(state)) {
    if (regnum == VUCRASH_X86_TRAPNO) {
      state->x86_state.exception.ues.es32.trapno = static_cast<uint16_t>(value);
    } else {
      uint32_t *slot = slot32(state, regnum);
      if (slot == nullptr)
        return;
      *slot = static_cast<uint32_t>(value);
    }
  } else {
    uint64_t *slot = slot64(state, regnum);
    if (slot == nullptr)
      return;
    *slot = value;
  }
  state->valid_regs |= 1ULL << regnum;
}

void vucrash_async_thread_state_clear_reg(vucrash_async_thread_state_t *state,
                                          vucrash_regnum_t regnum) {
  if (regnum < 64)
    state->valid_regs &= ~(1ULL << regnum);
}

void vucrash_async_thread_state_clear_all_regs(vucrash_async_thread_state_t *state) {
  state->valid_regs = 0;
}

void vucrash_async_thread_state_clear_volatile_regs(vucrash_async_thread_state_t *state) {
  size_t count;
  const RegisterInfo *regs = table(state, &count);
  for (size_t i = 0; i < count; ++i)
    if (!regs[i].kept)
      vucrash_async_thread_state_clear_reg(state, static_cast<vucrash_regnum_t>(i));
}

const char *vucrash_async_thread_state_get_reg_name(const vucrash_async_thread_state_t *state,
                                                    vucrash_regnum_t regnum) {
  size_t count;
  const RegisterInfo *regs = table(state, &count);
  if (regnum >= count) {
    VUCR_LOG("Missing register name for register id: %d", static_cast<int>(regnum));
    // Callers print the name straight into debug lines and reports.
    return "";
  }
  return regs[regnum].name;
}

size_t vucrash_async_thread_state_get_reg_count(const vucrash_async_thread_state_t *state) {
  size_t count;
  table(state, &count);
  return count;
}

uint32_t vucrash_async_thread_state_get_stack_direction(const vucrash_async_thread_state_t *state) {
  return state->stack_direction;
}

size_t vucrash_async_thread_state_get_greg_size(const vucrash_async_thread_state_t *state) {
  return state->greg_size;
}

bool vucrash_async_thread_state_map_dwarf_to_reg(const vucrash_async_thread_state_t *state,
                                                 uint64_t dwarf_reg, vucrash_regnum_t *regnum) {
  size_t count;
  const RegisterInfo *regs = table(state, &count);
  if (dwarf_reg == kNoDwarf)
    return false;
  for (size_t i = 0; i < count; ++i) {
    if (regs[i].dwarf == dwarf_reg) {
      *regnum = static_cast<vucrash_regnum_t>(i);
      return true;
    }
  }
  return false;
}

bool vucrash_async_thread_state_map_reg_to_dwarf(const vucrash_async_thread_state_t *state,
                                                 vucrash_regnum_t regnum, uint64_t *dwarf_reg) {
  size_t count;
  const RegisterInfo *regs = table(state, &count);
  if (regnum >= count || regs[regnum].dwarf == kNoDwarf)
    return false;
  *dwarf_reg = regs[regnum].dwarf;
  return true;
}
