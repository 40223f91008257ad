#pragma once
// Builds call frame information and DWARF expressions byte by byte for the tests, and a
// memory object over what it built.
#include "VUCrashMemoryObject.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

class DwarfBytes {
 public:
  DwarfBytes &u8(uint8_t v) { bytes.push_back(v); return *this; }
  DwarfBytes &bytes_of(std::initializer_list<uint8_t> list) {
    bytes.insert(bytes.end(), list);
    return *this;
  }
  DwarfBytes &u16(uint16_t v) { return raw(&v, 2); }
  DwarfBytes &u32(uint32_t v) { return raw(&v, 4); }
  DwarfBytes &u64(uint64_t v) { return raw(&v, 8); }
  DwarfBytes &uleb(uint64_t v) {
    do {
      uint8_t b = v & 0x7f;
      v >>= 7;
      bytes.push_back(v ? (b | 0x80) : b);
    } while (v);
    return *this;
  }
  DwarfBytes &sleb(int64_t v) {
    for (;;) {
      uint8_t b = v & 0x7f;
      v >>= 7;
      const bool done = (v == 0 && !(b & 0x40)) || (v == -1 && (b & 0x40));
      bytes.push_back(done ? b : (b | 0x80));
      if (done)
        return *this;
    }
  }
  DwarfBytes &str(const char *s) { return raw(s, std::strlen(s) + 1); }
  DwarfBytes &raw(const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    bytes.insert(bytes.end(), b, b + n);
    return *this;
  }
  // Overwrites a 32-bit value at `at`.
  void patch32(size_t at, uint32_t v) { std::memcpy(&bytes[at], &v, 4); }
  size_t size() const { return bytes.size(); }
  uint64_t address() const { return reinterpret_cast<uintptr_t>(bytes.data()); }
  uint64_t address(size_t at) const { return address() + at; }

  vucrash_async_mobject_t map() const {
    vucrash_async_mobject_t mobj;
    EXPECT_EQ(vucrash_async_mobject_init(&mobj, vu_task_self(), address(), bytes.size(), true),
              VUCRASH_ERR_NONE);
    return mobj;
  }

  std::vector<uint8_t> bytes;
};
