#pragma once
// The writer's symbol step for one stack frame: find the image that holds the frame's address,
// look its symbol up by the reporter's strategy, and encode the frame's Symbol message (name
// and start address).
//
// Every message of a report is written in two passes (sizing, then writing), and a frame's
// symbol must come out the same in both: a lookup that failed the second time after the first
// counted the symbol would leave the message shorter than its announced size and void the
// report. So each address is looked up once per report and the answer, found or not, is
// remembered in a memo that both passes read.
//
// Crash-time safe: no heap, no locks. A memo is plain memory the caller reserves (static or
// from the enable step) and resets at the start of each report.

#include "VUCrashAsyncFile.h"
#include "VUCrashAsyncImageList.h"
#include "VUCrashSymbols.h"

struct vucrash_frame_symbol_t {
    bool found;
    uint64_t start_address;
    char name[256];
};

struct vucrash_frame_symbol_memo_t {
    static constexpr uint32_t kSlots = 1024;
    vucrash_async_symbol_cache_t cache; // the Objective-C reader's, for this report
    struct entry {
        uint64_t pc;
        bool used;
        vucrash_frame_symbol_t symbol;
    } entries[kSlots];
};

// Starts a report: forgets earlier answers and prepares the symbol cache. Finish frees what
// the cache mapped.
void vucrash_frame_symbol_memo_reset(vucrash_frame_symbol_memo_t *memo);
void vucrash_frame_symbol_memo_finish(vucrash_frame_symbol_memo_t *memo);

// The symbol of the frame at pc: from the memo when this report already looked it up, else
// looked up (image list marked for reading meanwhile) and remembered. Strategy 0 finds nothing.
const vucrash_frame_symbol_t *vucrash_frame_symbol_lookup(vucrash_frame_symbol_memo_t *memo,
                                                          vucrash_async_image_list_t *list,
                                                          vucrash_async_symbol_strategy_t strategy,
                                                          vucrash_async_symbol_cache_t *cache, uint64_t pc);

// Encodes the Symbol message's fields (name, start_address) into file, or only counts them
// when file is null; returns the byte count, the same in both passes.
size_t vucrash_writer_write_symbol(vucrash_async_file_t *file, const vucrash_frame_symbol_t *symbol);
