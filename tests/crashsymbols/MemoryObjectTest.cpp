// Memory objects over our own process: readable pages are found by probing, the first
// unreadable page ends a partial object, and every translation is bounds-checked.

#include "VUCrashMemoryObject.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/mman.h>

namespace {

class ThreePages : public ::testing::Test
{
protected:
    void SetUp() override
    {
        page = vucrash_async_page_size();
        void *p = mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(p, MAP_FAILED);
        base = static_cast<uint8_t *>(p);
        for (size_t i = 0; i < 3 * page; ++i)
            base[i] = static_cast<uint8_t>(i);
    }
    void TearDown() override { munmap(base, 3 * page); }
    uint64_t at(uint64_t offset) const { return reinterpret_cast<uint64_t>(base) + offset; }

    uint64_t page = 0;
    uint8_t *base = nullptr;
};

TEST_F(ThreePages, RangeAcrossAPageEndCoversBothPages)
{
    vucrash_async_mobject_t mobj;
    ASSERT_EQ(vucrash_async_mobject_init(&mobj, vu_task_self(), at(page - 6), 10, true), VUCRASH_ERR_NONE);
    EXPECT_EQ(mobj.vm_length, 2 * page);
    EXPECT_EQ(mobj.address - mobj.vm_address, page - 6);
    EXPECT_EQ(vucrash_async_mobject_length(&mobj), 10u);
    EXPECT_EQ(vucrash_async_mobject_base_address(&mobj), at(page - 6));

    uint32_t value = 0;
    ASSERT_EQ(vucrash_async_mobject_read_uint32(&mobj, &vucrash_async_byteorder_swapped, at(page - 2), 0, &value),
              VUCRASH_ERR_NONE);
    uint32_t raw;
    memcpy(&raw, base + page - 2, 4);
    EXPECT_EQ(value, __builtin_bswap32(raw));
    // The last two bytes of the range, then one past it.
    uint16_t half;
    EXPECT_EQ(vucrash_async_mobject_read_uint16(&mobj, &vucrash_async_byteorder_direct, at(page + 2), 0, &half),
              VUCRASH_ERR_NONE);
    EXPECT_EQ(vucrash_async_mobject_read_uint16(&mobj, &vucrash_async_byteorder_direct, at(page + 3), 0, &half),
              VUCRASH_ERR_INVAL);
    vucrash_async_mobject_free(&mobj);
}

TEST_F(ThreePages, UnreadablePageCutsAPartialObjectAndFailsAFullOne)
{
    ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
    vucrash_async_mobject_t mobj;
    EXPECT_EQ(vucrash_async_mobject_init(&mobj, vu_task_self(), at(page - 6), 100, true), VUCRASH_ERR_NOMEM);

    ASSERT_EQ(vucrash_async_mobject_init(&mobj, vu_task_self(), at(page - 6), 100, false), VUCRASH_ERR_NONE);
    EXPECT_EQ(mobj.vm_length, page);
    EXPECT_EQ(vucrash_async_mobject_length(&mobj), 6u);
    EXPECT_EQ(vucrash_async_mobject_remap_address(&mobj, at(page - 6), 6, 1), nullptr);
    EXPECT_NE(vucrash_async_mobject_remap_address(&mobj, at(page - 6), 5, 1), nullptr);

    // Nothing readable at all.
    EXPECT_EQ(vucrash_async_mobject_init(&mobj, vu_task_self(), at(page + 10), 100, false), VUCRASH_ERR_NOMEM);
}

TEST_F(ThreePages, TranslationsThatWrapOrLeaveTheObjectFail)
{
    vucrash_async_mobject_t mobj;
    ASSERT_EQ(vucrash_async_mobject_init(&mobj, vu_task_self(), at(16), 64, true), VUCRASH_ERR_NONE);
    struct Case {
        const char *name;
        int64_t offset;
        uint64_t length;
        bool inside;
    } cases[] = {
        {"whole range", 0, 64, true},
        {"one byte past the end", 1, 64, false},
        {"before the start", -1, 1, false},
        {"offset wraps the address space", INT64_MIN, 1, false},
        {"length wraps the address space", 0, UINT64_MAX, false},
        {"huge positive offset", INT64_MAX, 1, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(vucrash_async_mobject_verify_local_pointer(&mobj, mobj.address, c.offset, c.length), c.inside);
        EXPECT_EQ(vucrash_async_mobject_remap_address(&mobj, at(16), c.offset, c.length) != nullptr, c.inside);
    }
    // A range whose end wraps is refused before anything is probed.
    EXPECT_EQ(vucrash_async_mobject_init(&mobj, vu_task_self(), UINT64_MAX - 4, 10, false), VUCRASH_ERR_INVAL);
}

} // namespace

namespace {

TEST_F(ThreePages, InASegmentOnlyTheEndsAreProbedAndAnUnreadableEndFallsBackToProbing)
{
    vucrash_async_mobject_t mobj;
    ASSERT_EQ(vucrash_async_mobject_init_in_segment(&mobj, vu_task_self(), at(10), 3 * page - 20), VUCRASH_ERR_NONE);
    EXPECT_EQ(vucrash_async_mobject_length(&mobj), 3 * page - 20);
    uint8_t byte = 0;
    EXPECT_EQ(vucrash_async_mobject_read_uint8(&mobj, at(page + 5), 0, &byte), VUCRASH_ERR_NONE);
    EXPECT_EQ(byte, static_cast<uint8_t>(page + 5));
    EXPECT_EQ(vucrash_async_mobject_read_uint8(&mobj, at(3 * page - 10), 0, &byte), VUCRASH_ERR_INVAL);
    vucrash_async_mobject_free(&mobj);

    // The last page gone: the range is probed page by page and cut where reading stops.
    ASSERT_EQ(mprotect(base + 2 * page, page, PROT_NONE), 0);
    ASSERT_EQ(vucrash_async_mobject_init_in_segment(&mobj, vu_task_self(), at(10), 3 * page - 20), VUCRASH_ERR_NONE);
    EXPECT_EQ(vucrash_async_mobject_length(&mobj), 2 * page - 10);
    vucrash_async_mobject_free(&mobj);

    // The first page gone too: nothing can be read.
    ASSERT_EQ(mprotect(base, 3 * page, PROT_NONE), 0);
    EXPECT_EQ(vucrash_async_mobject_init_in_segment(&mobj, vu_task_self(), at(10), 3 * page - 20), VUCRASH_ERR_NOMEM);
    ASSERT_EQ(mprotect(base, 3 * page, PROT_READ | PROT_WRITE), 0);
}

} // namespace
