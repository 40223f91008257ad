// Reads through a walk's page cache answer exactly what direct reads of the process answer,
// at page edges and on memory that cannot be read.
#include "VUCrashAsyncPageCache.h"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <vector>

namespace {

constexpr uint64_t kPage = vucrash_async_page_cache_t::kPageBytes;

// Three cache pages of numbered bytes, the last one unreadable.
class PageCache : public ::testing::Test {
 protected:
  void SetUp() override {
    void *p = mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    base = static_cast<uint8_t *>(p);
    for (uint64_t i = 0; i < 3 * kPage; ++i)
      base[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(mprotect(base + 2 * kPage, kPage, PROT_NONE), 0);
    vucrash_async_page_cache_reset(&cache);
  }
  void TearDown() override { munmap(base, 3 * kPage); }

  uint64_t at(uint64_t offset) const { return reinterpret_cast<uint64_t>(base) + offset; }

  uint8_t *base = nullptr;
  vucrash_async_page_cache_t cache;
};

TEST_F(PageCache, AnswersAsADirectReadDoes) {
  struct Case {
    const char *name;
    uint64_t offset;
    uint64_t length;
  } cases[] = {
      {"inside the first page", 16, 8},
      {"last word of a page", kPage - 8, 8},
      {"across two readable pages", kPage - 4, 8},
      {"a whole page", kPage, kPage},
      {"into the unreadable page", 2 * kPage - 4, 8},
      {"inside the unreadable page", 2 * kPage + 8, 8},
      {"first page again", 24, 8},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> cached(c.length, 0xAA), direct(c.length, 0xAA);
    const vucrash_error_t cachedErr =
        vucrash_async_page_cache_read(&cache, vu_task_self(), at(c.offset), cached.data(), c.length);
    const vucrash_error_t directErr =
        vucrash_async_read_addr(vu_task_self(), at(c.offset), direct.data(), c.length);
    EXPECT_EQ(cachedErr, directErr);
    if (directErr == VUCRASH_ERR_NONE) {
      EXPECT_EQ(cached, direct);
    }
  }
}

TEST_F(PageCache, KeepsWhatItReadUntilReset) {
  uint64_t first = 0, second = 0;
  ASSERT_EQ(vucrash_async_page_cache_read(&cache, vu_task_self(), at(64), &first, 8), VUCRASH_ERR_NONE);
  std::memset(base + 64, 0x5A, 8);
  ASSERT_EQ(vucrash_async_page_cache_read(&cache, vu_task_self(), at(64), &second, 8), VUCRASH_ERR_NONE);
  EXPECT_EQ(second, first) << "a walk's stack does not change under it: the page is read once";

  vucrash_async_page_cache_reset(&cache);
  ASSERT_EQ(vucrash_async_page_cache_read(&cache, vu_task_self(), at(64), &second, 8), VUCRASH_ERR_NONE);
  EXPECT_EQ(second, 0x5A5A5A5A5A5A5A5Aull);
}

TEST_F(PageCache, WithoutACacheReadsGoStraightToTheProcess) {
  uint64_t value = 0;
  EXPECT_EQ(vucrash_async_page_cache_read(nullptr, vu_task_self(), at(8), &value, 8), VUCRASH_ERR_NONE);
  std::memset(base + 8, 0x11, 8);
  EXPECT_EQ(vucrash_async_page_cache_read(nullptr, vu_task_self(), at(8), &value, 8), VUCRASH_ERR_NONE);
  EXPECT_EQ(value, 0x1111111111111111ull);
  EXPECT_EQ(vucrash_async_page_cache_read(nullptr, vu_task_self(), at(2 * kPage), &value, 8),
            VUCRASH_ERR_NOTFOUND);
}

}  // namespace
