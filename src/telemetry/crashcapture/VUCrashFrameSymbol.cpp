// Crash-time rules for this file: no heap, no locks, no stdio.
#include "VUCrashFrameSymbol.h"

#include "VUCrashLogWriterEncoding.h"
#include "VUCrashReportFormat.h"

namespace {

void keep(uint64_t address, const char *name, void *ctx)
{
    auto *symbol = static_cast<vucrash_frame_symbol_t *>(ctx);
    size_t i = 0;
    for (; i < sizeof symbol->name - 1 && name[i] != '\0'; ++i)
        symbol->name[i] = name[i];
    symbol->name[i] = '\0';
    symbol->start_address = address;
    symbol->found = true;
}

} // namespace

void vucrash_frame_symbol_memo_reset(vucrash_frame_symbol_memo_t *memo)
{
    for (auto &slot : memo->entries)
        slot.used = false;
    vucrash_async_symbol_cache_init(&memo->cache);
}

void vucrash_frame_symbol_memo_finish(vucrash_frame_symbol_memo_t *memo)
{
    vucrash_async_symbol_cache_free(&memo->cache);
}

const vucrash_frame_symbol_t *vucrash_frame_symbol_lookup(vucrash_frame_symbol_memo_t *memo,
                                                          vucrash_async_image_list_t *list,
                                                          vucrash_async_symbol_strategy_t strategy,
                                                          vucrash_async_symbol_cache_t *cache, uint64_t pc)
{
    // Open addressing over the frame addresses of one report (at most 512 per stack, and
    // stacks share most of theirs); a full memo still answers, just without remembering.
    static vucrash_frame_symbol_t uncached;
    uint32_t start = static_cast<uint32_t>((pc >> 2) * 2654435761u) % vucrash_frame_symbol_memo_t::kSlots;
    vucrash_frame_symbol_memo_t::entry *free = nullptr;
    for (uint32_t probe = 0; probe < vucrash_frame_symbol_memo_t::kSlots; ++probe) {
        auto &slot = memo->entries[(start + probe) % vucrash_frame_symbol_memo_t::kSlots];
        if (!slot.used) {
            free = &slot;
            break;
        }
        if (slot.pc == pc)
            return &slot.symbol;
    }
    vucrash_frame_symbol_t *symbol = free ? &free->symbol : &uncached;
    symbol->found = false;
    symbol->start_address = 0;
    symbol->name[0] = '\0';
    if (strategy != VUCRASH_ASYNC_SYMBOL_STRATEGY_NONE) {
        vucrash_async_image_list_set_reading(list, true);
        vucrash_async_image_t *image = vucrash_async_image_containing_address(list, pc);
        if (image)
            vucrash_async_find_symbol(image, strategy, cache, pc, keep, symbol);
        vucrash_async_image_list_set_reading(list, false);
    }
    if (free) {
        free->pc = pc;
        free->used = true;
    }
    return symbol;
}

size_t vucrash_writer_write_symbol(vucrash_async_file_t *file, const vucrash_frame_symbol_t *symbol)
{
    size_t size = vucrash_writer_pack(file, vucrash_report_fields::SYMBOL_NAME, VUPROTOBUF_C_TYPE_STRING, symbol->name);
    size += vucrash_writer_pack(file, vucrash_report_fields::SYMBOL_START_ADDRESS, VUPROTOBUF_C_TYPE_UINT64,
                                &symbol->start_address);
    return size;
}
