#pragma once
// The symbol that holds an instruction address, for the stack frames of a report. Two
// sources, chosen by the strategy bits: the image's symbol table (bit 1: a Mach-O image's
// symbol table, an ELF image's dynamic symbols) and, on Mach-O images, its Objective-C
// metadata (bit 2). When both have a candidate the one that starts higher wins, and on a tie
// the Objective-C name.
//
// Crash-time safe: no heap, no locks. One lookup at a time per cache; the cache is made once
// per report (vucrash_async_symbol_cache_init) and freed after it.

#include "VUCrashAsyncImageList.h"
#include "VUCrashObjC.h"

enum : uint32_t {
    VUCRASH_ASYNC_SYMBOL_STRATEGY_NONE = 0,
    VUCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE = 1 << 0,
    VUCRASH_ASYNC_SYMBOL_STRATEGY_OBJC = 1 << 1,
    VUCRASH_ASYNC_SYMBOL_STRATEGY_ALL = 3,
};
typedef uint32_t vucrash_async_symbol_strategy_t;

typedef vucrash_async_objc_cache_t vucrash_async_symbol_cache_t;

vucrash_error_t vucrash_async_symbol_cache_init(vucrash_async_symbol_cache_t *cache);
void vucrash_async_symbol_cache_free(vucrash_async_symbol_cache_t *cache);

// On success `callback` runs exactly once, before the call returns, with the symbol's start
// address and its name in a buffer that lives only for the call (at most 255 characters).
vucrash_error_t vucrash_async_find_symbol(const vucrash_async_image_t *image, vucrash_async_symbol_strategy_t strategy,
                                          vucrash_async_symbol_cache_t *cache, uint64_t pc,
                                          vucrash_async_found_symbol_cb callback, void *ctx);
