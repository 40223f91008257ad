// The writer's symbol step: one lookup per address per report, so the sizing pass and the
// writing pass always agree, and the Symbol message decodes with the generated bindings.

#include "MachOTestLoader.h"
#include "VUCrashFrameSymbol.h"
#include "crash_report.pb-c.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

namespace {

class FrameSymbol : public ::testing::Test
{
protected:
    void SetUp() override
    {
        loaded = LoadedMachO::load(fixturePath("symbols-x86_64.dylib"));
        pc = loaded->address(textSymbols(fixturePath("symbols-x86_64.dylib")).at("_plain_function")) + 3;
        ASSERT_EQ(vucrash_nasync_image_list_init(&list, vu_task_self()), VUCRASH_ERR_NONE);
        vucrash_nasync_image_list_append_macho(&list, loaded->header(), "fixture");
        vucrash_async_symbol_cache_init(&cache);
        memo = new vucrash_frame_symbol_memo_t;
        vucrash_frame_symbol_memo_reset(memo);
    }
    void TearDown() override
    {
        delete memo;
        vucrash_async_symbol_cache_free(&cache);
        vucrash_nasync_image_list_free(&list);
    }

    std::unique_ptr<LoadedMachO> loaded;
    uint64_t pc = 0;
    vucrash_async_image_list_t list;
    vucrash_async_symbol_cache_t cache;
    vucrash_frame_symbol_memo_t *memo = nullptr;
};

void ignore(uint64_t, const char *, void *) {}

TEST_F(FrameSymbol, SecondPassReusesTheFirstLookup)
{
    const vucrash_frame_symbol_t *first =
        vucrash_frame_symbol_lookup(memo, &list, VUCRASH_ASYNC_SYMBOL_STRATEGY_ALL, &cache, pc);
    ASSERT_TRUE(first->found);
    EXPECT_STREQ(first->name, "_plain_function");
    EXPECT_EQ(first->start_address, pc - 3);

    // The symbol table becomes unreadable between the passes: a fresh lookup fails now...
    vucrash_async_image_list_set_reading(&list, true);
    vucrash_async_image_t *image = vucrash_async_image_containing_address(&list, pc);
    ASSERT_NE(image, nullptr);
    vucrash_async_macho_mapped_segment_t linkedit;
    ASSERT_EQ(vucrash_async_macho_map_segment(&image->macho, "__LINKEDIT", &linkedit), VUCRASH_ERR_NONE);
    auto *pages = reinterpret_cast<void *>(linkedit.mobj.vm_address);
    ASSERT_EQ(mprotect(pages, linkedit.mobj.vm_length, PROT_NONE), 0);
    EXPECT_NE(vucrash_async_find_symbol(image, VUCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, &cache, pc, ignore,
                                        nullptr),
              VUCRASH_ERR_NONE);
    vucrash_async_image_list_set_reading(&list, false);
    // ...but the writing pass gets the answer the sizing pass counted.
    const vucrash_frame_symbol_t *second =
        vucrash_frame_symbol_lookup(memo, &list, VUCRASH_ASYNC_SYMBOL_STRATEGY_ALL, &cache, pc);
    ASSERT_EQ(mprotect(pages, linkedit.mobj.vm_length, PROT_READ | PROT_WRITE), 0);
    EXPECT_EQ(second, first);
    EXPECT_TRUE(second->found);
    EXPECT_STREQ(second->name, "_plain_function");

    // A new report looks again.
    vucrash_frame_symbol_memo_reset(memo);
    EXPECT_TRUE(vucrash_frame_symbol_lookup(memo, &list, VUCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, &cache, pc)->found);
}

TEST_F(FrameSymbol, NoStrategyOrNoImageFindsNothing)
{
    EXPECT_FALSE(vucrash_frame_symbol_lookup(memo, &list, VUCRASH_ASYNC_SYMBOL_STRATEGY_NONE, &cache, pc)->found);
    EXPECT_FALSE(vucrash_frame_symbol_lookup(memo, &list, VUCRASH_ASYNC_SYMBOL_STRATEGY_ALL, &cache, 0x10)->found);
}

TEST_F(FrameSymbol, SymbolMessageSizesAsItWritesAndDecodes)
{
    const vucrash_frame_symbol_t *symbol =
        vucrash_frame_symbol_lookup(memo, &list, VUCRASH_ASYNC_SYMBOL_STRATEGY_ALL, &cache, pc);
    ASSERT_TRUE(symbol->found);
    FILE *out = tmpfile();
    ASSERT_NE(out, nullptr);
    vucrash_async_file_t file;
    vucrash_async_file_init(&file, fileno(out), 0);
    size_t sized = vucrash_writer_write_symbol(nullptr, symbol);
    size_t written = vucrash_writer_write_symbol(&file, symbol);
    ASSERT_TRUE(vucrash_async_file_flush(&file));
    EXPECT_EQ(sized, written);

    std::vector<uint8_t> bytes(written);
    ASSERT_EQ(pread(fileno(out), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(written));
    fclose(out);
    auto *decoded = reinterpret_cast<Vucrash__CrashReport__Symbol *>(
        protobuf_c_message_unpack(&vucrash__crash_report__symbol__descriptor, nullptr, bytes.size(), bytes.data()));
    ASSERT_NE(decoded, nullptr);
    EXPECT_STREQ(decoded->name, "_plain_function");
    EXPECT_EQ(decoded->start_address, pc - 3);
    EXPECT_FALSE(decoded->has_end_address);
    protobuf_c_message_free_unpacked(&decoded->base, nullptr);
}

} // namespace
