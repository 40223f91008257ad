#pragma once
// A checked window onto a range of a task's memory. Every reader of image data in the engine
// (Mach-O, ELF, Objective-C metadata, unwind tables) goes through one, so no stray offset in
// an image can make the crash handler touch memory outside what was found readable.
//
// On Linux the task is always our own process: nothing is copied or remapped. Instead the
// pages are probed with process_vm_readv when the object is made, the local address equals the
// target address (slide 0), and a range that runs into an unreadable page is cut there (or
// refused when the caller needs all of it).
//
// Crash-time safe: no heap, no locks; probing is one system call per 64 pages.

#include "VUCrashAsync.h"
#include "VUCrashAsyncLog.h"

struct vucrash_async_mobject_t {
    vucrash_task_t task;
    uintptr_t address;       // local address of the requested target address
    uint64_t base_address;   // the requested target address
    uint64_t length;         // usable bytes from address, never more than requested
    int64_t slide;           // target minus local
    uintptr_t vm_address;    // start of the page-aligned range found readable
    uint64_t vm_length;      // bytes in that range
};

// The page size, read once before main (VUCrashPageSize.cpp) so crash-time code never asks.
extern uint64_t vucrash_page_size_value;
uint64_t vucrash_async_page_size();

vucrash_error_t vucrash_async_mobject_init(vucrash_async_mobject_t *mobj, vucrash_task_t task, uint64_t task_addr,
                                           uint64_t length, bool require_full);
// The same for a range that lies inside one segment of a loaded image: a segment is one
// mapping, there or gone as a whole, so only its first and last pages are probed (one system
// call, however large the range). If either cannot be read the whole range is probed as
// vucrash_async_mobject_init does. Not for ranges that may span separate mappings.
vucrash_error_t vucrash_async_mobject_init_in_segment(vucrash_async_mobject_t *mobj, vucrash_task_t task,
                                                      uint64_t task_addr, uint64_t length);
void vucrash_async_mobject_free(vucrash_async_mobject_t *mobj);

uint64_t vucrash_async_mobject_base_address(const vucrash_async_mobject_t *mobj);
uint64_t vucrash_async_mobject_length(const vucrash_async_mobject_t *mobj);
vucrash_task_t vucrash_async_mobject_task(const vucrash_async_mobject_t *mobj);

bool vucrash_async_mobject_verify_local_pointer(const vucrash_async_mobject_t *mobj, uintptr_t address, int64_t offset,
                                               uint64_t length);
void *vucrash_async_mobject_remap_address(const vucrash_async_mobject_t *mobj, uint64_t address, int64_t offset,
                                          uint64_t length);

vucrash_error_t vucrash_async_mobject_read_uint8(const vucrash_async_mobject_t *mobj, uint64_t address, int64_t offset,
                                                 uint8_t *result);
vucrash_error_t vucrash_async_mobject_read_uint16(const vucrash_async_mobject_t *mobj,
                                                  const vucrash_async_byteorder_t *byteorder, uint64_t address,
                                                  int64_t offset, uint16_t *result);
vucrash_error_t vucrash_async_mobject_read_uint32(const vucrash_async_mobject_t *mobj,
                                                  const vucrash_async_byteorder_t *byteorder, uint64_t address,
                                                  int64_t offset, uint32_t *result);
vucrash_error_t vucrash_async_mobject_read_uint64(const vucrash_async_mobject_t *mobj,
                                                  const vucrash_async_byteorder_t *byteorder, uint64_t address,
                                                  int64_t offset, uint64_t *result);
