#pragma once
// Reads the compact unwind information of a Mach-O image (__TEXT,__unwind_info, version 1):
// finds the 32-bit encoding that covers a pc through the section's two-level index, decodes
// it into an entry, and applies the entry to a frame to make its caller's. Entries that defer
// to DWARF, and pcs past the last function the index covers, are refused so the cursor goes
// on to the next reader. ELF images have no such section.
//
// Every table is checked against the mapped section before it is read. Crash-time code:
// nothing here allocates or locks; the reader and entry own nothing.

#include "VUCrashAsyncPageCache.h"
#include "VUCrashAsyncThreadState.h"
#include "VUCrashMemoryObject.h"

// Mach-O CPU types the reader accepts.
enum : uint32_t {
  VUCRASH_CFE_CPU_TYPE_X86 = 7,
  VUCRASH_CFE_CPU_TYPE_X86_64 = 0x1000007,
  VUCRASH_CFE_CPU_TYPE_ARM64 = 0x100000C,
};

typedef enum {
  VUCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR = 1,           // saved registers below the frame pointer
  VUCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD = 2,      // stack size in the encoding
  VUCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT = 3,  // stack size in the function's code
  VUCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF = 4,               // the function's FDE says how
  VUCRASH_ASYNC_CFE_ENTRY_TYPE_NONE = 5,                // no unwind information
} vucrash_async_cfe_entry_type_t;

enum : uint32_t {
  VUCRASH_ASYNC_CFE_SAVED_REGISTER_MAX = 10,
  // An empty register slot, or no return-address register (the return address is on the stack).
  VUCRASH_ASYNC_CFE_REG_NONE = UINT32_MAX,
};

struct vucrash_async_cfe_reader_t {
  const vucrash_async_mobject_t *mobj;
  uint32_t cpu_type;
  const vucrash_async_byteorder_t *byteorder;
  struct {
    uint32_t version;
    uint32_t common_encodings_offset;
    uint32_t common_encodings_count;
    uint32_t personality_offset;
    uint32_t personality_count;
    uint32_t index_offset;
    uint32_t index_count;
  } header;
};

struct vucrash_async_cfe_entry_t {
  vucrash_async_cfe_entry_type_t type;
  uint32_t cpu_type;
  // FRAME_PTR: (negative) offset of the saved registers from the frame pointer;
  // FRAMELESS_IMMD: the stack size; FRAMELESS_INDIRECT: where in the function the 32-bit stack
  // size lies; DWARF: the FDE's offset in the DWARF section; NONE: 0.
  int64_t stack_offset;
  uint32_t stack_adjust;  // FRAMELESS_INDIRECT: bytes added to the size read from the code
  uint32_t return_address_register;
  uint32_t register_count;
  // Engine register numbers in the order they were saved; VUCRASH_ASYNC_CFE_REG_NONE is an empty slot.
  uint32_t register_list[VUCRASH_ASYNC_CFE_SAVED_REGISTER_MAX];
};

vucrash_error_t vucrash_async_cfe_reader_init(vucrash_async_cfe_reader_t *reader,
                                              const vucrash_async_mobject_t *mobj, uint32_t cpu_type);
// The encoding of the function that holds pc (an offset from the image header) and that
// function's offset. VUCRASH_ERR_NOTFOUND when no entry covers pc.
vucrash_error_t vucrash_async_cfe_reader_find_pc(const vucrash_async_cfe_reader_t *reader, uint64_t pc,
                                                 uint32_t *function_base, uint32_t *encoding);
inline void vucrash_async_cfe_reader_free(vucrash_async_cfe_reader_t *) {}

vucrash_error_t vucrash_async_cfe_entry_init(vucrash_async_cfe_entry_t *entry, uint32_t cpu_type,
                                             uint32_t encoding);
inline vucrash_async_cfe_entry_type_t vucrash_async_cfe_entry_type(const vucrash_async_cfe_entry_t *entry) {
  return entry->type;
}
inline int64_t vucrash_async_cfe_entry_stack_offset(const vucrash_async_cfe_entry_t *entry) {
  return entry->stack_offset;
}
inline uint32_t vucrash_async_cfe_entry_stack_adjustment(const vucrash_async_cfe_entry_t *entry) {
  return entry->stack_adjust;
}
inline uint32_t vucrash_async_cfe_entry_return_address_register(const vucrash_async_cfe_entry_t *entry) {
  return entry->return_address_register;
}
inline uint32_t vucrash_async_cfe_entry_register_count(const vucrash_async_cfe_entry_t *entry) {
  return entry->register_count;
}
void vucrash_async_cfe_entry_register_list(const vucrash_async_cfe_entry_t *entry, uint32_t *register_list);
inline void vucrash_async_cfe_entry_free(vucrash_async_cfe_entry_t *) {}

// The caller of `thread_state`, a frame in the function at `function_address` described by
// `entry`. Stack words are read through `stack` when given (a walk's cache).
vucrash_error_t vucrash_async_cfe_entry_apply(vucrash_task_t task, vucrash_vm_address_t function_address,
                                              const vucrash_async_thread_state_t *thread_state,
                                              const vucrash_async_cfe_entry_t *entry,
                                              vucrash_async_thread_state_t *new_thread_state,
                                              vucrash_async_page_cache_t *stack = nullptr);

// A compact register code (1-6) as an engine register number of the CPU type.
vucrash_error_t vucrash_async_map_register_name(uint32_t code, uint32_t *regnum, uint32_t cpu_type);

// The platform's 10-bit permutation of up to six distinct register codes (1-6).
vucrash_error_t vucrash_async_cfe_register_decode(uint32_t permutation, uint32_t count, uint32_t *registers);
uint32_t vucrash_async_cfe_register_encode(const uint32_t *registers, uint32_t count);
