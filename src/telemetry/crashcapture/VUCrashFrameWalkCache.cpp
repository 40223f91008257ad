// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashFrameWalkCache.h"

#include <atomic>

namespace {

// One walk per thread that reports at once is plenty: the crashed thread's writer, a live
// report, a test. More walks than this go uncached.
constexpr size_t kCaches = 4;
vuframe_walk_cache_t gCaches[kCaches];
std::atomic<bool> gClaimed[kCaches];

static_assert(std::atomic<bool>::is_always_lock_free, "claims must not lock at crash time");

const char *const kSegments[VUFRAME_SECTION_COUNT] = {"__TEXT", "__TEXT", "__DWARF", "__TEXT"};
const char *const kSections[VUFRAME_SECTION_COUNT] = {"__eh_frame", "__eh_frame_hdr",
                                                      "__debug_frame", "__unwind_info"};

void releaseSections(vuframe_walk_cache_t::image_sections *entry) {
  for (size_t i = 0; i < VUFRAME_SECTION_COUNT; ++i) {
    if (entry->tried[i] && entry->result[i] == VUCRASH_ERR_NONE)
      vucrash_async_mobject_free(&entry->section[i]);
    entry->tried[i] = false;
  }
  entry->image = nullptr;
}

}  // namespace

vuframe_walk_cache_t *vuframe_walk_cache_claim() {
  for (size_t i = 0; i < kCaches; ++i) {
    bool expected = false;
    if (gClaimed[i].compare_exchange_strong(expected, true, std::memory_order_acquire)) {
      vuframe_walk_cache_reset(&gCaches[i]);
      return &gCaches[i];
    }
  }
  return nullptr;
}

void vuframe_walk_cache_release(vuframe_walk_cache_t *cache) {
  if (cache == nullptr)
    return;
  vuframe_walk_cache_reset(cache);
  const size_t index = static_cast<size_t>(cache - gCaches);
  if (index < kCaches)
    gClaimed[index].store(false, std::memory_order_release);
}

void vuframe_walk_cache_reset(vuframe_walk_cache_t *cache) {
  for (uint32_t i = 0; i < cache->image_count; ++i)
    releaseSections(&cache->images[i]);
  cache->image_count = 0;
  cache->next_victim = 0;
  vucrash_async_page_cache_reset(&cache->stack);
  vucrash_async_page_cache_reset(&cache->image_data);
  for (auto &row : cache->rows)
    row.valid = false;
  cache->next_row = 0;
}

// Rows are few and a walk meets few pcs: every row is compared, and new rows replace the
// oldest in turn.
const vuframe_cfa_row_t *vuframe_walk_cache_find_row(const vuframe_walk_cache_t *cache, uint64_t lookup_pc) {
  if (cache == nullptr)
    return nullptr;
  for (const vuframe_cfa_row_t &row : cache->rows)
    if (row.valid && row.lookup_pc == lookup_pc)
      return &row;
  return nullptr;
}

vuframe_cfa_row_t *vuframe_walk_cache_row_slot(vuframe_walk_cache_t *cache, uint64_t lookup_pc) {
  if (cache == nullptr)
    return nullptr;
  vuframe_cfa_row_t &row = cache->rows[cache->next_row];
  cache->next_row = (cache->next_row + 1) % vuframe_walk_cache_t::kRows;
  row.valid = false;
  row.lookup_pc = lookup_pc;
  return &row;
}

vucrash_error_t vuframe_walk_cache_section(vuframe_walk_cache_t *cache,
                                           const vucrash_async_image_t *image,
                                           vuframe_cached_section_t which,
                                           vucrash_async_mobject_t *scratch,
                                           const vucrash_async_mobject_t **section) {
  if (cache == nullptr) {
    vucrash_error_t err = vucrash_async_image_map_section(image, kSegments[which], kSections[which], scratch);
    *section = err == VUCRASH_ERR_NONE ? scratch : nullptr;
    return err;
  }

  vuframe_walk_cache_t::image_sections *entry = nullptr;
  for (uint32_t i = 0; i < cache->image_count && entry == nullptr; ++i)
    if (cache->images[i].image == image)
      entry = &cache->images[i];
  if (entry == nullptr) {
    // A walk rarely passes through more images than there are entries; past that the
    // entries are reused in turn.
    if (cache->image_count < vuframe_walk_cache_t::kImages) {
      entry = &cache->images[cache->image_count++];
    } else {
      entry = &cache->images[cache->next_victim];
      cache->next_victim = (cache->next_victim + 1) % vuframe_walk_cache_t::kImages;
      releaseSections(entry);
    }
    for (size_t i = 0; i < VUFRAME_SECTION_COUNT; ++i)
      entry->tried[i] = false;
    entry->image = image;
  }

  if (!entry->tried[which]) {
    entry->result[which] =
        vucrash_async_image_map_section(image, kSegments[which], kSections[which], &entry->section[which]);
    entry->tried[which] = true;
  }
  *section = entry->result[which] == VUCRASH_ERR_NONE ? &entry->section[which] : nullptr;
  return entry->result[which];
}

vucrash_async_page_cache_t *vuframe_walk_cache_stack(vuframe_walk_cache_t *cache) {
  return cache == nullptr ? nullptr : &cache->stack;
}

vucrash_async_page_cache_t *vuframe_walk_cache_image_data(vuframe_walk_cache_t *cache) {
  return cache == nullptr ? nullptr : &cache->image_data;
}
