#pragma once
// Pages of the task's memory read once and then served from a copy, for a stack walk that
// reads many words of the same few stack pages (saved registers, return addresses, signal
// contexts). Every read of the task is a system call; a walk of a hundred frames would
// otherwise make hundreds of them. A miss reads a window of several pages from the page it
// needs upwards, the direction a walk goes, as far as they can be read.
//
// Only memory that does not change while it is cached may be read through a cache: the
// stack above a walk's first frame (its callers' frames, the signal contexts they were
// interrupted with). A cache therefore lives for one walk and is reset at the start of the
// next. Reads that leave a window, or of a page that cannot be read, go to the task directly,
// so a cached read fails exactly when a direct one would.
//
// Crash-time code: no heap, no locks; the owner of the record is its only user.

#include "VUCrashAsync.h"

struct vucrash_async_page_cache_t {
  enum : uint64_t { kPageBytes = 4096, kWindowBytes = 4 * kPageBytes };
  enum : uint32_t { kWindows = 2 };
  struct window {
    uint64_t address;  // kPageBytes-aligned
    uint64_t length;   // whole pages that could be read, 0 when unused
    uint8_t bytes[kWindowBytes];
  };
  window windows[kWindows];
  uint32_t next_victim;
};

// Forgets every page.
void vucrash_async_page_cache_reset(vucrash_async_page_cache_t *cache);

// vucrash_async_read_addr through the cache; a null cache reads the task directly.
vucrash_error_t vucrash_async_page_cache_read(vucrash_async_page_cache_t *cache,
                                              vucrash_task_t task, vucrash_vm_address_t address,
                                              void *dest, vucrash_vm_size_t length);
