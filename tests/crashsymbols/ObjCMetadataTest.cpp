// Method names from Objective-C metadata alone (strategy 2), on the stripped fixtures where
// the symbol table no longer names any method, with classes realized as the runtime would.

#include "MachOTestLoader.h"
#include "VUCrashSymbols.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/mman.h>

namespace {

struct Lookup {
    vucrash_error_t result;
    std::string name;
    uint64_t address = 0;
};

void collect(uint64_t address, const char *name, void *ctx)
{
    auto *lookup = static_cast<Lookup *>(ctx);
    lookup->name = name;
    lookup->address = address;
}

class ObjCImage
{
public:
    ObjCImage(const std::string &file, const MachOLoadOptions &options = {})
        : loaded(LoadedMachO::load(fixturePath(file), options))
    {
        EXPECT_EQ(vucrash_nasync_macho_init(&record.macho, vu_task_self(), file.c_str(), loaded->header()),
                  VUCRASH_ERR_NONE);
        vucrash_async_symbol_cache_init(&cache);
    }
    ~ObjCImage()
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

    std::unique_ptr<LoadedMachO> loaded;
    vucrash_async_image_t record{VUCRASH_ASYNC_IMAGE_MACHO};
    vucrash_async_macho_t &image = record.macho;
    vucrash_async_symbol_cache_t cache;
};

// Unslid addresses of the methods, from the unstripped twin's local symbols.
std::map<std::string, uint64_t> methods(const std::string &arch)
{
    return textSymbols(fixturePath("symbols-" + arch + ".dylib"));
}

TEST(ObjCMetadata, StrippedImageNamesInstanceClassAndCategoryMethods)
{
    for (const char *arch : {"x86_64", "arm64"}) {
        SCOPED_TRACE(arch);
        MachOLoadOptions options;
        options.nonPointerIsa = std::string(arch) == "arm64";
        options.lowAddress = options.nonPointerIsa;
        ObjCImage fixture(std::string("symbols-") + arch + "-stripped.dylib", options);
        std::map<std::string, uint64_t> symbols = methods(arch);
        struct Case {
            const char *symbol;
            const char *reported;
        } cases[] = {
            {"-[A m]", "-[A m]"},
            {"+[A c]", "+[A c]"},
            {"-[A(Cat) catMethod]", "-[A catMethod]"},
            {"-[B bMethod]", "-[B bMethod]"},
            {"+[B bClassMethod]", "+[B bClassMethod]"},
            {"-[B(Extra) extraMethod]", "-[B extraMethod]"},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(c.symbol);
            ASSERT_EQ(symbols.count(c.symbol), 1u);
            uint64_t start = fixture.loaded->address(symbols[c.symbol]);
            Lookup lookup = fixture.find(start + 3, VUCRASH_ASYNC_SYMBOL_STRATEGY_OBJC);
            EXPECT_EQ(lookup.result, VUCRASH_ERR_NONE);
            EXPECT_EQ(lookup.name, c.reported);
            EXPECT_EQ(lookup.address, start);
            // The symbol table of the stripped copy has nothing for it.
            EXPECT_NE(fixture.find(start + 3, VUCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE).name, c.reported);
        }
    }
}

TEST(ObjCMetadata, UnrealizedClassIsSkippedButEarlierClassesStillCount)
{
    // B is not realized and the last category (B's) cannot be read either: the walk ends on a
    // "not found", yet A's methods were seen and are the answer.
    MachOLoadOptions options;
    options.unrealizedClasses = {"B"};
    ObjCImage fixture("symbols-x86_64-stripped.dylib", options);
    std::map<std::string, uint64_t> symbols = methods("x86_64");

    Lookup a = fixture.find(fixture.loaded->address(symbols["+[A c]"]) + 3, VUCRASH_ASYNC_SYMBOL_STRATEGY_OBJC);
    EXPECT_EQ(a.result, VUCRASH_ERR_NONE);
    EXPECT_EQ(a.name, "+[A c]");

    for (const char *method : {"-[B bMethod]", "+[B bClassMethod]", "-[B(Extra) extraMethod]"}) {
        SCOPED_TRACE(method);
        Lookup b = fixture.find(fixture.loaded->address(symbols[method]) + 3, VUCRASH_ASYNC_SYMBOL_STRATEGY_OBJC);
        EXPECT_EQ(b.name.find("[B "), std::string::npos) << b.name;
    }
}

TEST(ObjCMetadata, ImageWithoutCategoriesStillHasItsClasses)
{
    std::map<std::string, uint64_t> symbols = textSymbols(fixturePath("nocategory-x86_64.dylib"));
    {
        ObjCImage fixture("nocategory-x86_64.dylib");
        for (const char *method : {"-[First firstMethod]", "-[Second secondMethod]"}) {
            SCOPED_TRACE(method);
            Lookup lookup =
                fixture.find(fixture.loaded->address(symbols[method]) + 1, VUCRASH_ASYNC_SYMBOL_STRATEGY_OBJC);
            EXPECT_EQ(lookup.result, VUCRASH_ERR_NONE);
            EXPECT_EQ(lookup.name, method);
        }
    }
    // The last class unrealized: the first one's method is still found.
    MachOLoadOptions options;
    options.unrealizedClasses = {"Second"};
    ObjCImage fixture("nocategory-x86_64.dylib", options);
    Lookup lookup = fixture.find(fixture.loaded->address(symbols["-[First firstMethod]"]) + 1,
                                 VUCRASH_ASYNC_SYMBOL_STRATEGY_OBJC);
    EXPECT_EQ(lookup.result, VUCRASH_ERR_NONE);
    EXPECT_EQ(lookup.name, "-[First firstMethod]");
}

TEST(ObjCMetadata, LongNamesAreCutToTheBuffer)
{
    ObjCImage fixture("symbols-x86_64-stripped.dylib");
    std::map<std::string, uint64_t> symbols = methods("x86_64");
    uint64_t longClassMethod = 0, longSelector = 0;
    for (const auto &[name, value] : symbols) {
        if (name.rfind("-[LongClass", 0) == 0)
            longClassMethod = value;
        if (name.rfind("-[A(LongSelector) ", 0) == 0)
            longSelector = value;
    }
    ASSERT_NE(longClassMethod, 0u);
    ASSERT_NE(longSelector, 0u);

    Lookup cls = fixture.find(fixture.loaded->address(longClassMethod) + 3, VUCRASH_ASYNC_SYMBOL_STRATEGY_OBJC);
    EXPECT_EQ(cls.result, VUCRASH_ERR_NONE);
    EXPECT_EQ(cls.name.size(), 255u);
    EXPECT_EQ(cls.name, ("-[" + std::string(LONG_CLASS_NAME)).substr(0, 255));
    EXPECT_EQ(cls.name.find(']'), std::string::npos);

    // The 5000-character selector is longer than the first page mapped for it.
    testing::internal::CaptureStderr();
    Lookup sel = fixture.find(fixture.loaded->address(longSelector) + 3, VUCRASH_ASYNC_SYMBOL_STRATEGY_OBJC);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(sel.result, VUCRASH_ERR_NONE);
    EXPECT_EQ(sel.name.size(), 255u);
    EXPECT_EQ(sel.name.rfind("-[A longSelectoryyy", 0), 0u);
    EXPECT_NE(log.find("Remapping"), std::string::npos);
}

TEST(ObjCMetadata, StringsMapPageByPageAndNeverPastReadableMemory)
{
    uint64_t page = vucrash_async_page_size();
    auto *region = static_cast<char *>(
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(region, MAP_FAILED);
    memset(region, 'q', 3 * page);
    region[5000] = '\0';
    ASSERT_EQ(mprotect(region + 2 * page, page, PROT_NONE), 0);

    vucrash_async_macho_t image{};
    image.task = vu_task_self();
    vucrash_async_macho_string_t string;
    vucrash_async_macho_string_init(&string, &image, reinterpret_cast<uint64_t>(region));
    uint64_t length = 0;
    EXPECT_EQ(vucrash_async_macho_string_get_length(&string, &length), VUCRASH_ERR_NONE);
    EXPECT_EQ(length, 5000u);
    const char *pointer = nullptr;
    EXPECT_EQ(vucrash_async_macho_string_get_pointer(&string, &pointer), VUCRASH_ERR_NONE);
    EXPECT_EQ(pointer, region);
    vucrash_async_macho_string_free(&string);

    // No NUL before the unreadable page.
    vucrash_async_macho_string_init(&string, &image, reinterpret_cast<uint64_t>(region + 5001));
    EXPECT_EQ(vucrash_async_macho_string_get_length(&string, &length), VUCRASH_ERR_INVAL);
    vucrash_async_macho_string_free(&string);
    munmap(region, 3 * page);
}

TEST(ObjCMetadata, MethodEntriesSmallerThanAMethodAreInvalidData)
{
    ObjCImage fixture("symbols-x86_64-stripped.dylib");
    std::map<std::string, uint64_t> symbols = methods("x86_64");
    // Class list entry 0 is A: data -> read-write record -> read-only record -> base methods.
    vucrash_async_mobject_t classList;
    ASSERT_EQ(vucrash_async_macho_map_section(&fixture.image, "__DATA", "__objc_classlist", &classList),
              VUCRASH_ERR_NONE);
    auto *cls = reinterpret_cast<uint64_t *>(*reinterpret_cast<uint64_t *>(classList.address));
    auto *rw = reinterpret_cast<uint64_t *>(cls[4]);
    auto *ro = reinterpret_cast<uint8_t *>(rw[1]);
    auto *methodList = reinterpret_cast<uint32_t *>(*reinterpret_cast<uint64_t *>(ro + 32));
    methodList[0] = 4;

    // Only the metadata was asked, so its error is the answer.
    Lookup lookup =
        fixture.find(fixture.loaded->address(symbols["-[A m]"]) + 3, VUCRASH_ASYNC_SYMBOL_STRATEGY_OBJC);
    EXPECT_EQ(lookup.result, VUCRASH_ERR_INVALID_DATA);
    EXPECT_TRUE(lookup.name.empty());
}

} // namespace
