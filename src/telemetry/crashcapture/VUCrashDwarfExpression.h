#pragma once
// Runs the DWARF expressions found in call frame information (the CFA expression of
// DW_CFA_def_cfa_expression and the rules of DW_CFA_expression / DW_CFA_val_expression): a
// stack machine over machine words that reads the frame's registers and the task's memory.
//
// Crash-time code: nothing here allocates or locks.

#include "VUCrashAsyncThreadState.h"
#include "VUCrashMemoryObject.h"

// The most operations one expression may run: a branch that loops is bad data, not a hang.
enum { VUCRASH_DWARF_EXPRESSION_OP_BUDGET = 10000 };

// Evaluates the `length` bytes at address + offset of `mobj`, with `initial_state` pushed in
// order (the last on top). machine_ptr is uint32_t or uint64_t. `result` is written only on
// success.
template <typename machine_ptr, typename machine_ptr_s>
vucrash_error_t vucrash_async_dwarf_expression_eval(
    const vucrash_async_mobject_t *mobj, vucrash_task_t task,
    const vucrash_async_thread_state_t *thread_state, const vucrash_async_byteorder_t *byteorder,
    vucrash_vm_address_t address, vucrash_vm_off_t offset, vucrash_vm_size_t length,
    const machine_ptr *initial_state, size_t initial_count, machine_ptr *result);
