// The loaded-image list as crash-time readers see it: parked nodes are never relinked under a
// reader, writers and readers run together, and the list keeps up with the loader: the
// executable from the start, libraries loaded through the wrappers at once, and libraries a
// plain dlopen brought in at crash time.

#include "VUCrashAsyncImageList.h"
#include "VUCrashSymbols.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <dlfcn.h>
#include <limits.h>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using List = vucrash::VU::async::async_list<int>;

TEST(ImageList, NodeRemovedUnderAReaderIsNotReusedUntilReadersLeave)
{
    List list;
    for (int i = 1; i <= 3; ++i)
        list.nasync_append(i);
    list.set_reading(true);
    List::node *second = list.next(list.next(nullptr));
    ASSERT_EQ(second->value(), 2);
    list.nasync_remove_node(second);
    list.nasync_append(9); // a writer while the reader still stands on the removed node
    EXPECT_EQ(second->value(), 2);
    list.set_reading(false);

    list.set_reading(true);
    std::vector<int> values;
    for (List::node *n = list.next(nullptr); n; n = list.next(n))
        values.push_back(n->value());
    list.set_reading(false);
    EXPECT_EQ(values, (std::vector<int>{1, 3, 9}));

    // With no reader marked the parked node is taken again.
    list.nasync_append(10);
    EXPECT_EQ(second->value(), 10);
}

TEST(ImageList, WritersAndReadersAtOnce)
{
    List list;
    std::atomic<bool> done{false};
    std::atomic<long> walks{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                list.set_reading(true);
                int steps = 0;
                for (List::node *n = list.next(nullptr); n; n = list.next(n)) {
                    int value = n->value();
                    EXPECT_TRUE(value >= 0 && value < 100000) << value;
                    // A walk is bounded: at most the live nodes plus the parked ones.
                    ASSERT_LT(++steps, 100000);
                }
                list.set_reading(false);
                ++walks;
            }
        });
    }
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            list.nasync_append(i % 100000);
            if (i % 3 == 0) {
                list.set_reading(true);
                List::node *first = list.next(nullptr);
                list.set_reading(false);
                list.nasync_remove_node(first);
            }
        }
        done = true;
    });
    writer.join();
    for (std::thread &t : readers)
        t.join();
    EXPECT_GT(walks.load(), 0);
}

std::string buildIdOf(const std::string &path)
{
    std::string output;
    FILE *pipe = popen(("readelf -n " + path).c_str(), "r");
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    pclose(pipe);
    auto at = output.find("Build ID: ");
    return at == std::string::npos ? std::string() : output.substr(at + 10, 32);
}

std::string hex(const uint8_t *bytes)
{
    char text[33];
    for (int i = 0; i < 16; ++i)
        snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}

vucrash_async_image_t *imageNamed(vucrash_async_image_list_t *list, const char *part)
{
    for (vucrash_async_image_t *image = vucrash_async_image_list_next(list, nullptr); image;
         image = vucrash_async_image_list_next(list, image))
        if (strstr(vucrash_async_image_name(image), part))
            return image;
    return nullptr;
}

TEST(ImageList, ExecutableFromTheStartAndBuildIdsAsReadelfPrintsThem)
{
    vucrash_async_image_list_t list;
    ASSERT_EQ(vucrash_nasync_image_list_init(&list, vu_task_self()), VUCRASH_ERR_NONE);
    char exe[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);

    vucrash_async_image_list_set_reading(&list, true);
    vucrash_async_image_t *first = vucrash_async_image_list_next(&list, nullptr);
    ASSERT_NE(first, nullptr); // before any refresh
    EXPECT_STREQ(vucrash_async_image_name(first), exe);
    vucrash_async_image_list_set_reading(&list, false);

    vucrash_nasync_image_list_refresh(&list);
    vucrash_async_image_list_set_reading(&list, true);
    vucrash_async_image_t *libc = imageNamed(&list, "libc.so");
    ASSERT_NE(libc, nullptr);
    for (vucrash_async_image_t *image : {first, libc}) {
        SCOPED_TRACE(image->elf.name);
        ASSERT_TRUE(image->elf.has_uuid);
        EXPECT_EQ(hex(image->elf.uuid), buildIdOf(image->elf.name));
    }
    // The unwinders ask for Mach-O section names; an ELF image answers with .eh_frame.
    vucrash_async_mobject_t section;
    EXPECT_EQ(vucrash_async_image_map_section(libc, "__TEXT", "__eh_frame", &section), VUCRASH_ERR_NONE);
    EXPECT_EQ(section.base_address, libc->elf.tables.eh_frame_addr);
    EXPECT_EQ(vucrash_async_image_map_section(libc, "__TEXT", "__unwind_info", &section), VUCRASH_ERR_NOTFOUND);
    vucrash_async_image_list_set_reading(&list, false);
    vucrash_nasync_image_list_free(&list);
}

struct Found {
    std::string name;
    uint64_t address = 0;
};

void collect(uint64_t address, const char *name, void *ctx)
{
    auto *found = static_cast<Found *>(ctx);
    found->name = name;
    found->address = address;
}

TEST(ImageList, LibrariesLoadedAfterEnablingAreFound)
{
    ASSERT_EQ(vucrash_nasync_image_list_init(&shared_image_list, vu_task_self()), VUCRASH_ERR_NONE);
    vucrash_nasync_image_list_refresh(&shared_image_list);
    ASSERT_EQ(vucrash_nasync_image_list_reserve(&shared_image_list, 4), VUCRASH_ERR_NONE);

    // Through the wrapper: listed at once.
    void *opus = vucrash_nasync_dlopen("libopus.so.0", RTLD_NOW);
    ASSERT_NE(opus, nullptr);
    vucrash_async_image_list_set_reading(&shared_image_list, true);
    EXPECT_NE(imageNamed(&shared_image_list, "libopus.so"), nullptr);
    vucrash_async_image_list_set_reading(&shared_image_list, false);

    // Behind the list's back: found by the crash-time walk of the loader's map.
    void *sqlite = dlopen("libsqlite3.so.0", RTLD_NOW);
    ASSERT_NE(sqlite, nullptr);
    void *function = dlsym(sqlite, "sqlite3_open_v2");
    ASSERT_NE(function, nullptr);
    uint64_t pc = reinterpret_cast<uint64_t>(function) + 4;
    vucrash_async_image_list_set_reading(&shared_image_list, true);
    EXPECT_EQ(vucrash_async_image_containing_address(&shared_image_list, pc), nullptr);
    vucrash_async_image_list_set_reading(&shared_image_list, false);

    EXPECT_EQ(vucrash_async_image_list_sync_loader(&shared_image_list), 1u);
    EXPECT_EQ(vucrash_async_image_list_sync_loader(&shared_image_list), 0u); // nothing new
    vucrash_async_image_list_set_reading(&shared_image_list, true);
    vucrash_async_image_t *holder = vucrash_async_image_containing_address(&shared_image_list, pc);
    ASSERT_NE(holder, nullptr);
    EXPECT_TRUE(holder->reserved);
    EXPECT_NE(std::string(vucrash_async_image_name(holder)).find("libsqlite3.so"), std::string::npos);
    Found found;
    EXPECT_EQ(vucrash_async_find_symbol(holder, VUCRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE, nullptr, pc, collect,
                                        &found),
              VUCRASH_ERR_NONE);
    EXPECT_EQ(found.name, "sqlite3_open_v2");
    EXPECT_EQ(found.address, reinterpret_cast<uint64_t>(function));
    vucrash_async_image_list_set_reading(&shared_image_list, false);

    // Unloading through the wrapper takes the library off the list.
    ASSERT_EQ(vucrash_nasync_dlclose(opus), 0);
    vucrash_async_image_list_set_reading(&shared_image_list, true);
    EXPECT_EQ(imageNamed(&shared_image_list, "libopus.so"), nullptr);
    vucrash_async_image_list_set_reading(&shared_image_list, false);
    dlclose(sqlite);
    vucrash_nasync_image_list_free(&shared_image_list);
}

} // namespace
