// Symbol lookup combining the symbol table and Objective-C metadata by strategy.

#include "MachOTestLoader.h"
#include "VUCrashSymbols.h"

#include <gtest/gtest.h>

namespace {

struct Lookup {
    vucrash_error_t result;
    std::string name;
    uint64_t address = 0;
    int calls = 0;
};

void collect(uint64_t address, const char *name, void *ctx)
{
    auto *lookup = static_cast<Lookup *>(ctx);
    lookup->name = name;
    lookup->address = address;
    ++lookup->calls;
}

class Unstripped : public ::testing::Test
{
protected:
    void SetUp() override
    {
        loaded = LoadedMachO::load(fixturePath("symbols-x86_64.dylib"));
        ASSERT_EQ(vucrash_nasync_macho_init(&record.macho, vu_task_self(), "symbols", loaded->header()),
                  VUCRASH_ERR_NONE);
        vucrash_async_symbol_cache_init(&cache);
        symbols = textSymbols(fixturePath("symbols-x86_64.dylib"));
    }
    void TearDown() override
    {
        vucrash_async_symbol_cache_free(&cache);
        vucrash_nasync_macho_free(&record.macho);
    }
    Lookup find(uint64_t pc, vucrash_async_symbol_strategy_t strategy)
    {
        Lookup lookup;
        lookup.result = vucrash_async_find_symbol(&record, strategy, &cache, pc, collect, &lookup);
        return lookup;
    }
    uint64_t at(const std::string &symbol) { return loaded->address(symbols.at(symbol)); }

    std::unique_ptr<LoadedMachO> loaded;
    vucrash_async_image_t record{VUCRASH_ASYNC_IMAGE_MACHO};
    vucrash_async_symbol_cache_t cache;
    std::map<std::string, uint64_t> symbols;
};

TEST_F(Unstripped, BothSourcesTogether)
{
    struct Case {
        const char *symbol;
        vucrash_async_symbol_strategy_t strategy;
        const char *reported;
    } cases[] = {
        // Same start in both sources: the metadata's name wins.
        {"-[A(Cat) catMethod]", VUCRASH_ASYNC_SYMBOL_STRATEGY_ALL, "-[A catMethod]"},
        {"-[A(Cat) catMethod]", VUCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, "-[A(Cat) catMethod]"},
        {"_plain_function", VUCRASH_ASYNC_SYMBOL_STRATEGY_ALL, "_plain_function"},
        {"_last_function", VUCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, "_last_function"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.symbol) + " with strategy " + std::to_string(c.strategy));
        Lookup lookup = find(at(c.symbol) + 3, c.strategy);
        EXPECT_EQ(lookup.result, VUCRASH_ERR_NONE);
        EXPECT_EQ(lookup.calls, 1);
        EXPECT_EQ(lookup.name, c.reported);
        EXPECT_EQ(lookup.address, at(c.symbol));
    }
}

TEST_F(Unstripped, NoStrategyFindsNothingAndSaysSo)
{
    testing::internal::CaptureStderr();
    Lookup lookup = find(at("_plain_function") + 3, VUCRASH_ASYNC_SYMBOL_STRATEGY_NONE);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lookup.result, VUCRASH_ERR_NOTFOUND);
    EXPECT_EQ(lookup.calls, 0);
    EXPECT_NE(log.find("Could not find symbol for PC"), std::string::npos);
    EXPECT_NE(log.find("pl_async_macho_find_symbol error 8, pl_async_objc_find_method error 8"), std::string::npos);
}

TEST(MachOImageList, OverlappingImagesAnswerWithTheEarlierOne)
{
    auto loaded = LoadedMachO::load(fixturePath("symbols-x86_64.dylib"));
    uint64_t pc = loaded->address(textSymbols(fixturePath("symbols-x86_64.dylib")).at("_plain_function")) + 3;
    vucrash_async_image_list_t list;
    ASSERT_EQ(vucrash_nasync_image_list_init(&list, vu_task_self()), VUCRASH_ERR_NONE);
    vucrash_nasync_image_list_append_macho(&list, loaded->header(), "first");
    vucrash_nasync_image_list_append_macho(&list, loaded->header(), "second");
    testing::internal::CaptureStderr();
    vucrash_nasync_image_list_append_macho(&list, 0x10, "unreadable");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Unexpected failure initializing Mach-O structure for "
                                                          "unreadable"),
              std::string::npos);

    vucrash_async_image_list_set_reading(&list, true);
    vucrash_async_image_t *holder = vucrash_async_image_containing_address(&list, pc);
    ASSERT_NE(holder, nullptr);
    EXPECT_STREQ(vucrash_async_image_name(holder), "first");
    Lookup lookup;
    lookup.result =
        vucrash_async_find_symbol(holder, VUCRASH_ASYNC_SYMBOL_STRATEGY_ALL, nullptr, pc, collect, &lookup);
    vucrash_async_image_list_set_reading(&list, false);
    // No cache: the metadata cannot be searched, the symbol table still answers.
    EXPECT_EQ(lookup.result, VUCRASH_ERR_NONE);
    EXPECT_EQ(lookup.name, "_plain_function");

    vucrash_nasync_image_list_remove(&list, loaded->header());
    vucrash_async_image_list_set_reading(&list, true);
    holder = vucrash_async_image_containing_address(&list, pc);
    ASSERT_NE(holder, nullptr);
    EXPECT_STREQ(vucrash_async_image_name(holder), "second");
    vucrash_async_image_list_set_reading(&list, false);
    vucrash_nasync_image_list_free(&list);
}

} // namespace
