#pragma once
// What one stack walk reads again and again, kept for the rest of that walk: the unwind
// sections of each image its frames pass through (mapping a section probes every page of
// it), the stack pages its frames lie on (VUCrashAsyncPageCache.h), and the unwind rules
// already worked out for a pc, so a recursion's frames are not looked up and evaluated again
// at every level.
//
// Caches are preallocated in static storage and claimed with an atomic flag: a cursor claims
// one at init and gives it back at free, so nothing allocates or locks at crash time. When
// every cache is claimed (walks on other threads, a thread parked mid-walk, a cursor never
// freed) a walk goes on without one: slower, never different.
//
// A claimed cache belongs to the claiming walk alone. Crash-time code throughout.

#include "VUCrashAsyncImageList.h"
#include "VUCrashAsyncPageCache.h"

enum vuframe_cached_section_t : uint8_t {
  VUFRAME_SECTION_EH_FRAME = 0,      // __TEXT,__eh_frame (an ELF image's .eh_frame)
  VUFRAME_SECTION_EH_FRAME_HDR = 1,  // __TEXT,__eh_frame_hdr (.eh_frame_hdr)
  VUFRAME_SECTION_DEBUG_FRAME = 2,   // __DWARF,__debug_frame
  VUFRAME_SECTION_UNWIND_INFO = 3,   // __TEXT,__unwind_info
  VUFRAME_SECTION_COUNT = 4,
};

// The rules the call frame information gives at one pc: the CFA rule and the register rules
// of the row, as the DWARF reader applies them.
struct vuframe_cfa_row_t {
  enum : uint32_t { kRegisters = 24 };
  uint64_t lookup_pc;
  bool valid;
  bool m64;
  const vucrash_async_byteorder_t *byteorder;
  uint64_t return_address_register;  // the CIE's return-address column
  bool signal_frame;                 // the CIE's "S"
  uint32_t cfa_type;
  uint32_t cfa_register;
  uint64_t cfa_offset;
  uint64_t cfa_expression;
  uint64_t cfa_expression_length;
  uint32_t register_count;
  struct {
    uint32_t regnum;
    uint32_t rule;
    uint64_t value;
  } registers[kRegisters];
};

struct vuframe_walk_cache_t {
  enum : uint32_t { kImages = 8, kRows = 32 };
  struct image_sections {
    const vucrash_async_image_t *image;
    // Each section is mapped on its first use; the outcome is kept, failure included.
    bool tried[VUFRAME_SECTION_COUNT];
    vucrash_error_t result[VUFRAME_SECTION_COUNT];
    vucrash_async_mobject_t section[VUFRAME_SECTION_COUNT];
  };
  image_sections images[kImages];
  uint32_t image_count;
  uint32_t next_victim;
  vucrash_async_page_cache_t stack;
  // The images' own data that CIEs point into (personality routine slots).
  vucrash_async_page_cache_t image_data;
  vuframe_cfa_row_t rows[kRows];
  uint32_t next_row;
};

// A free cache, emptied; nullptr when all are claimed.
vuframe_walk_cache_t *vuframe_walk_cache_claim();
void vuframe_walk_cache_release(vuframe_walk_cache_t *cache);
void vuframe_walk_cache_reset(vuframe_walk_cache_t *cache);

// The image's section, mapped on first use (vucrash_async_image_map_section's result, kept).
// With a null cache the section is mapped into `scratch` every time. The object stays valid
// until the cache is reset or released (or, uncached, until the caller frees `scratch`).
vucrash_error_t vuframe_walk_cache_section(vuframe_walk_cache_t *cache,
                                           const vucrash_async_image_t *image,
                                           vuframe_cached_section_t which,
                                           vucrash_async_mobject_t *scratch,
                                           const vucrash_async_mobject_t **section);

// The row kept for a lookup pc, or nullptr (always without a cache).
const vuframe_cfa_row_t *vuframe_walk_cache_find_row(const vuframe_walk_cache_t *cache, uint64_t lookup_pc);
// The slot a new row for the pc goes into (replacing what was there), or nullptr without a
// cache. The caller fills it and sets `valid` last.
vuframe_cfa_row_t *vuframe_walk_cache_row_slot(vuframe_walk_cache_t *cache, uint64_t lookup_pc);

// The walk's stack pages, or nullptr without a cache (reads then go to the task directly).
vucrash_async_page_cache_t *vuframe_walk_cache_stack(vuframe_walk_cache_t *cache);
// The pages of image data the walk's CIEs point into, or nullptr without a cache.
vucrash_async_page_cache_t *vuframe_walk_cache_image_data(vuframe_walk_cache_t *cache);
