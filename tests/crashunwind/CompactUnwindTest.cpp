// The compact unwind reader: encodings decoded, hand-built sections searched (whole and
// broken), entries applied to synthetic stacks, and x86_64 code that clang and ld64.lld
// build at test time run here and walked back out of.
#include "MachOTestLoader.h"
#include "VUCrashAsyncImageList.h"
#include "VUCrashCompactUnwind.h"
#include "VUCrashFrameCursor.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unwind.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kNone = VUCRASH_ASYNC_CFE_REG_NONE;
constexpr uint32_t kX86 = VUCRASH_CFE_CPU_TYPE_X86;
constexpr uint32_t kX86_64 = VUCRASH_CFE_CPU_TYPE_X86_64;
constexpr uint32_t kArm64 = VUCRASH_CFE_CPU_TYPE_ARM64;

TEST(CompactUnwindEntry, DecodesEachMode) {
  struct Case {
    const char *name;
    uint32_t cpu;
    uint32_t encoding;
    vucrash_error_t err;
    int type;
    int64_t offset;
    uint32_t adjust;
    uint32_t ra;
    std::vector<uint32_t> registers;
  } cases[] = {
      {"frame pointer, rbx", kX86_64, 0x01010001, VUCRASH_ERR_NONE, 1, -8, 0, kNone, {VUCRASH_X86_64_RBX}},
      {"frame pointer, slots rbx, empty, r12", kX86_64, 0x01030081, VUCRASH_ERR_NONE, 1, -24, 0, kNone,
       {VUCRASH_X86_64_RBX, kNone, VUCRASH_X86_64_R12}},
      {"frame pointer, i386 words", kX86, 0x01020031, VUCRASH_ERR_NONE, 1, -8, 0, kNone,
       {VUCRASH_X86_EBX, VUCRASH_X86_EBP}},
      {"frameless, immediate size", kX86_64, 0x02080400, VUCRASH_ERR_NONE, 2, 64, 0, kNone, {VUCRASH_X86_64_RBX}},
      {"frameless, size in the code", kX86_64, 0x03044400, VUCRASH_ERR_NONE, 3, 4, 16, kNone, {VUCRASH_X86_64_RBX}},
      {"defers to DWARF", kX86_64, 0x04001234, VUCRASH_ERR_NONE, 4, 0x1234, 0, kNone, {}},
      {"no unwind information", kX86_64, 0, VUCRASH_ERR_NONE, 5, 0, 0, kNone, {}},
      {"unknown mode", kX86_64, 0x05000000, VUCRASH_ERR_NOTSUP, 0, 0, 0, kNone, {}},
      {"seven saved registers", kX86_64, 0x02021C00, VUCRASH_ERR_INVAL, 0, 0, 0, kNone, {}},
      {"arm64 frame, x19/x20 and x27/x28", kArm64, 0x04000011, VUCRASH_ERR_NONE, 1, -32, 0, kNone, {31, 30, 23, 22}},
      {"arm64 frameless, 48 bytes", kArm64, 0x02003000, VUCRASH_ERR_NONE, 2, 48, 0, 32, {}},
      {"arm64 defers to DWARF", kArm64, 0x03000042, VUCRASH_ERR_NONE, 4, 0x42, 0, kNone, {}},
      {"unknown processor", 18, 0x01010001, VUCRASH_ERR_NOTSUP, 0, 0, 0, kNone, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vucrash_async_cfe_entry_t entry;
    ASSERT_EQ(vucrash_async_cfe_entry_init(&entry, c.cpu, c.encoding), c.err);
    if (c.err != VUCRASH_ERR_NONE)
      continue;
    EXPECT_EQ(vucrash_async_cfe_entry_type(&entry), c.type);
    EXPECT_EQ(vucrash_async_cfe_entry_stack_offset(&entry), c.offset);
    EXPECT_EQ(vucrash_async_cfe_entry_stack_adjustment(&entry), c.adjust);
    EXPECT_EQ(vucrash_async_cfe_entry_return_address_register(&entry), c.ra);
    std::vector<uint32_t> registers(vucrash_async_cfe_entry_register_count(&entry));
    vucrash_async_cfe_entry_register_list(&entry, registers.data());
    EXPECT_EQ(registers, c.registers);
  }
}

TEST(CompactUnwindRegisters, PermutationsDecodeAndRoundTrip) {
  uint32_t registers[6];
  ASSERT_EQ(vucrash_async_cfe_register_decode(6, 2, registers), VUCRASH_ERR_NONE);
  EXPECT_EQ(registers[0], 2u);
  EXPECT_EQ(registers[1], 3u);
  // Six registers: the sixth is the code the first five left.
  ASSERT_EQ(vucrash_async_cfe_register_decode(0, 6, registers), VUCRASH_ERR_NONE);
  EXPECT_EQ(std::vector<uint32_t>(registers, registers + 6), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(vucrash_async_cfe_register_decode(0, 7, registers), VUCRASH_ERR_INVAL);
  // A digit beyond the codes left over names no register.
  EXPECT_EQ(vucrash_async_cfe_register_decode(6, 1, registers), VUCRASH_ERR_INVAL);

  // Every ordered choice of distinct codes encodes to a value of its own in 10 bits and
  // decodes back.
  for (uint32_t count = 1; count <= 6; ++count) {
    SCOPED_TRACE(count);
    std::set<uint32_t> seen;
    std::vector<uint32_t> chosen;
    std::function<void()> choose = [&] {
      if (chosen.size() == count) {
        const uint32_t permutation = vucrash_async_cfe_register_encode(chosen.data(), count);
        EXPECT_LT(permutation, 1024u);
        EXPECT_TRUE(seen.insert(permutation).second);
        uint32_t decoded[6];
        ASSERT_EQ(vucrash_async_cfe_register_decode(permutation, count, decoded), VUCRASH_ERR_NONE);
        EXPECT_EQ(std::vector<uint32_t>(decoded, decoded + count), chosen);
        return;
      }
      for (uint32_t code = 1; code <= 6; ++code) {
        if (std::find(chosen.begin(), chosen.end(), code) != chosen.end())
          continue;
        chosen.push_back(code);
        choose();
        chosen.pop_back();
      }
    };
    choose();
  }
}

TEST(CompactUnwindRegisters, CodesNameCalleeSavedRegisters) {
  const uint32_t x86_64[] = {kNone, VUCRASH_X86_64_RBX, VUCRASH_X86_64_R12, VUCRASH_X86_64_R13,
                             VUCRASH_X86_64_R14, VUCRASH_X86_64_R15, VUCRASH_X86_64_RBP};
  const uint32_t x86[] = {kNone, VUCRASH_X86_EBX, VUCRASH_X86_ECX, VUCRASH_X86_EDX,
                          VUCRASH_X86_EDI, VUCRASH_X86_ESI, VUCRASH_X86_EBP};
  for (uint32_t code = 0; code <= 6; ++code) {
    uint32_t reg = 99;
    ASSERT_EQ(vucrash_async_map_register_name(code, &reg, kX86_64), VUCRASH_ERR_NONE);
    EXPECT_EQ(reg, x86_64[code]) << code;
    ASSERT_EQ(vucrash_async_map_register_name(code, &reg, kX86), VUCRASH_ERR_NONE);
    EXPECT_EQ(reg, x86[code]) << code;
  }
  uint32_t reg;
  EXPECT_EQ(vucrash_async_map_register_name(7, &reg, kX86_64), VUCRASH_ERR_INVAL);
  EXPECT_EQ(vucrash_async_map_register_name(1, &reg, kArm64), VUCRASH_ERR_NOTSUP);
}

// A __unwind_info section: a header, common encodings, the first-level index with its end
// marker, then one second-level page per index entry.
struct UnwindInfo {
  struct Page {
    bool compressed;
    uint32_t firstFunction;
    // Regular pages: (function, encoding); compressed pages: (function, encoding index).
    std::vector<std::pair<uint32_t, uint32_t>> entries;
    std::vector<uint32_t> localEncodings;
  };
  std::vector<uint32_t> common;
  std::vector<Page> pages;
  uint32_t end = 0;

  std::vector<uint8_t> bytes;
  size_t indexOffset = 0;
  std::vector<size_t> pageOffsets;

  void put32(size_t at, uint32_t v) { std::memcpy(&bytes[at], &v, 4); }
  void put16(size_t at, uint16_t v) { std::memcpy(&bytes[at], &v, 2); }

  void build() {
    const size_t commonOffset = 28;
    indexOffset = commonOffset + 4 * common.size();
    size_t at = indexOffset + 12 * (pages.size() + 1);
    pageOffsets.clear();
    for (const Page &page : pages) {
      pageOffsets.push_back(at);
      at += page.compressed ? 12 + 4 * page.entries.size() + 4 * page.localEncodings.size()
                            : 8 + 8 * page.entries.size();
    }
    bytes.assign(at, 0);
    const uint32_t header[7] = {1, uint32_t(commonOffset), uint32_t(common.size()), uint32_t(indexOffset), 0,
                                uint32_t(indexOffset), uint32_t(pages.size() + 1)};
    std::memcpy(bytes.data(), header, sizeof header);
    for (size_t i = 0; i < common.size(); ++i)
      put32(commonOffset + 4 * i, common[i]);
    for (size_t p = 0; p < pages.size(); ++p) {
      put32(indexOffset + 12 * p, pages[p].firstFunction);
      put32(indexOffset + 12 * p + 4, uint32_t(pageOffsets[p]));
      const Page &page = pages[p];
      const size_t base = pageOffsets[p];
      if (!page.compressed) {
        put32(base, 2);
        put16(base + 4, 8);
        put16(base + 6, uint16_t(page.entries.size()));
        for (size_t e = 0; e < page.entries.size(); ++e) {
          put32(base + 8 + 8 * e, page.entries[e].first);
          put32(base + 12 + 8 * e, page.entries[e].second);
        }
      } else {
        put32(base, 3);
        put16(base + 4, 12);
        put16(base + 6, uint16_t(page.entries.size()));
        put16(base + 8, uint16_t(12 + 4 * page.entries.size()));
        put16(base + 10, uint16_t(page.localEncodings.size()));
        for (size_t e = 0; e < page.entries.size(); ++e)
          put32(base + 12 + 4 * e, (page.entries[e].second << 24) | (page.entries[e].first - page.firstFunction));
        for (size_t e = 0; e < page.localEncodings.size(); ++e)
          put32(base + 12 + 4 * page.entries.size() + 4 * e, page.localEncodings[e]);
      }
    }
    put32(indexOffset + 12 * pages.size(), end);
  }
};

UnwindInfo sampleSection() {
  UnwindInfo info;
  info.common = {0xD0000001, 0xD0000002};
  info.pages = {
      {false, 0x1000, {{0x1000, 0xA}, {0x1100, 0xB}, {0x1200, 0xC}}, {}},
      {true, 0x2000, {{0x2000, 1}, {0x2080, 2}}, {0xE0000001}},
  };
  info.end = 0x3000;
  info.build();
  return info;
}

struct Found {
  vucrash_error_t err;
  uint32_t function = 0;
  uint32_t encoding = 0;
};

Found findIn(const std::vector<uint8_t> &bytes, uint64_t pc, vucrash_error_t *initErr = nullptr) {
  vucrash_async_mobject_t mobj;
  EXPECT_EQ(vucrash_async_mobject_init(&mobj, vu_task_self(), reinterpret_cast<uint64_t>(bytes.data()), bytes.size(),
                                       true),
            VUCRASH_ERR_NONE);
  vucrash_async_cfe_reader_t reader;
  Found found{VUCRASH_ERR_NONE};
  vucrash_error_t err = vucrash_async_cfe_reader_init(&reader, &mobj, kX86_64);
  if (initErr != nullptr)
    *initErr = err;
  if (err == VUCRASH_ERR_NONE)
    found.err = vucrash_async_cfe_reader_find_pc(&reader, pc, &found.function, &found.encoding);
  else
    found.err = err;
  vucrash_async_mobject_free(&mobj);
  return found;
}

TEST(CompactUnwindSection, FindsTheEntryOfEachPcThroughRegularAndCompressedPages) {
  const UnwindInfo info = sampleSection();
  struct Case {
    uint64_t pc;
    vucrash_error_t err;
    uint32_t function;
    uint32_t encoding;
  } cases[] = {
      {0x0FFF, VUCRASH_ERR_NOTFOUND, 0, 0},  // below the first function
      {0x1000, VUCRASH_ERR_NONE, 0x1000, 0xA},
      {0x10FF, VUCRASH_ERR_NONE, 0x1000, 0xA},
      {0x1100, VUCRASH_ERR_NONE, 0x1100, 0xB},
      {0x1FFF, VUCRASH_ERR_NONE, 0x1200, 0xC},
      {0x2000, VUCRASH_ERR_NONE, 0x2000, 0xD0000002},  // common encoding 1
      {0x207F, VUCRASH_ERR_NONE, 0x2000, 0xD0000002},
      {0x2080, VUCRASH_ERR_NONE, 0x2080, 0xE0000001},  // the page's own encoding
      {0x2FFF, VUCRASH_ERR_NONE, 0x2080, 0xE0000001},
      {0x3000, VUCRASH_ERR_NOTFOUND, 0, 0},  // the end marker: past the last function
      {0x123456, VUCRASH_ERR_NOTFOUND, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.pc);
    const Found found = findIn(info.bytes, c.pc);
    ASSERT_EQ(found.err, c.err);
    if (c.err == VUCRASH_ERR_NONE) {
      EXPECT_EQ(found.function, c.function);
      EXPECT_EQ(found.encoding, c.encoding);
    }
  }
}

TEST(CompactUnwindSection, RefusesBrokenSections) {
  struct Case {
    const char *name;
    std::function<void(UnwindInfo &)> breakIt;
    uint64_t pc;
    vucrash_error_t err;
  } cases[] = {
      {"empty index", [](UnwindInfo &i) { i.put32(24, 0); }, 0x1000, VUCRASH_ERR_NOTFOUND},
      {"version 2", [](UnwindInfo &i) { i.put32(0, 2); }, 0x1000, VUCRASH_ERR_NOTSUP},
      {"header cut short", [](UnwindInfo &i) { i.bytes.resize(20); }, 0x1000, VUCRASH_ERR_INVAL},
      {"common encodings past the end", [](UnwindInfo &i) { i.put32(8, 0x10000); }, 0x1000, VUCRASH_ERR_INVAL},
      {"index past the end", [](UnwindInfo &i) { i.put32(20, uint32_t(i.bytes.size() - 8)); }, 0x1000,
       VUCRASH_ERR_INVAL},
      {"index count past the end", [](UnwindInfo &i) { i.put32(24, 0x10000); }, 0x1000, VUCRASH_ERR_INVAL},
      {"regular entries past the end", [](UnwindInfo &i) { i.put16(i.pageOffsets[0] + 6, 0x4000); }, 0x1000,
       VUCRASH_ERR_INVAL},
      {"compressed entries past the end", [](UnwindInfo &i) { i.put16(i.pageOffsets[1] + 6, 0x4000); }, 0x2000,
       VUCRASH_ERR_INVAL},
      {"encoding index beyond the page's table", [](UnwindInfo &i) { i.put16(i.pageOffsets[1] + 10, 0); }, 0x2080,
       VUCRASH_ERR_INVAL},
      {"page of unknown kind", [](UnwindInfo &i) { i.put32(i.pageOffsets[0], 7); }, 0x1000, VUCRASH_ERR_INVAL},
      {"page offset past the end", [](UnwindInfo &i) { i.put32(i.indexOffset + 4, 0x100000); }, 0x1000,
       VUCRASH_ERR_INVAL},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    UnwindInfo info = sampleSection();
    c.breakIt(info);
    EXPECT_EQ(findIn(info.bytes, c.pc).err, c.err);
  }
}

// A thread state with the given registers valid.
vucrash_async_thread_state_t frameWith(std::initializer_list<std::pair<uint32_t, uint64_t>> registers) {
  vucrash_async_thread_state_t state;
  vucrash_async_thread_state_init(&state, kX86_64);
  for (const auto &r : registers)
    vucrash_async_thread_state_set_reg(&state, r.first, r.second);
  return state;
}

uint64_t addressOf(const uint64_t *word) { return reinterpret_cast<uint64_t>(word); }

TEST(CompactUnwindApply, FramePointerEntryRestoresItsSlotsBelowTheFramePointer) {
  uint64_t stack[12] = {};
  uint64_t *fp = &stack[8];
  stack[8] = 0x7000;   // the caller's frame pointer
  stack[9] = 0x4444;   // the return address
  stack[5] = 0xB0B;    // rbx, first slot
  stack[6] = 0xDEAD;   // the empty slot
  stack[7] = 0x1212;   // r12, third slot
  vucrash_async_cfe_entry_t entry;
  ASSERT_EQ(vucrash_async_cfe_entry_init(&entry, kX86_64, 0x01030081), VUCRASH_ERR_NONE);
  const auto frame = frameWith({{VUCRASH_REG_IP, 0x9999},
                                {VUCRASH_REG_FP, addressOf(fp)},
                                {VUCRASH_REG_SP, addressOf(&stack[0])},
                                {VUCRASH_X86_64_R13, 0x1313},
                                {VUCRASH_X86_64_RAX, 0xAAAA}});
  vucrash_async_thread_state_t caller;
  ASSERT_EQ(vucrash_async_cfe_entry_apply(vu_task_self(), 0, &frame, &entry, &caller), VUCRASH_ERR_NONE);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_REG_IP), 0x4444u);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_REG_FP), 0x7000u);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_REG_SP), addressOf(&stack[10]));
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_X86_64_RBX), 0xB0Bu);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_X86_64_R12), 0x1212u);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_X86_64_R13), 0x1313u);  // callee-saved, untouched
  EXPECT_FALSE(vucrash_async_thread_state_has_reg(&caller, VUCRASH_X86_64_RAX));
}

TEST(CompactUnwindApply, FramelessEntriesFindTheReturnAddressAtTheTopOfTheirFrame) {
  // 32 bytes: a local, rbx, r12, the return address.
  uint64_t stack[6] = {0x1, 0xB0B, 0x1212, 0x4444, 0, 0};
  const uint32_t permutation = vucrash_async_cfe_register_encode(std::vector<uint32_t>{1, 2}.data(), 2);
  vucrash_async_cfe_entry_t entry;
  ASSERT_EQ(vucrash_async_cfe_entry_init(&entry, kX86_64, 0x02040800 | permutation), VUCRASH_ERR_NONE);
  const auto frame = frameWith({{VUCRASH_REG_IP, 0x9999}, {VUCRASH_REG_SP, addressOf(stack)}});
  vucrash_async_thread_state_t caller;
  ASSERT_EQ(vucrash_async_cfe_entry_apply(vu_task_self(), 0, &frame, &entry, &caller), VUCRASH_ERR_NONE);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_REG_IP), 0x4444u);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_REG_SP), addressOf(&stack[4]));
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_X86_64_RBX), 0xB0Bu);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_X86_64_R12), 0x1212u);

  // The size is the immediate of the function's `sub $16, %rsp`, plus 8 for the return
  // address: 24 bytes.
  const uint8_t function[] = {0x48, 0x81, 0xEC, 0x10, 0x00, 0x00, 0x00, 0xC3};
  ASSERT_EQ(vucrash_async_cfe_entry_init(&entry, kX86_64, 0x03032000), VUCRASH_ERR_NONE);
  uint64_t small[4] = {0x1, 0x2, 0x5555, 0};
  const auto leaf = frameWith({{VUCRASH_REG_IP, 0x9999}, {VUCRASH_REG_SP, addressOf(small)}});
  ASSERT_EQ(vucrash_async_cfe_entry_apply(vu_task_self(), reinterpret_cast<uint64_t>(function), &leaf, &entry, &caller),
            VUCRASH_ERR_NONE);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_REG_IP), 0x5555u);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_REG_SP), addressOf(&small[3]));
}

TEST(CompactUnwindApply, RefusesWhatItCannotApply) {
  vucrash_async_cfe_entry_t framePtr, frameless, dwarf, none;
  ASSERT_EQ(vucrash_async_cfe_entry_init(&framePtr, kX86_64, 0x01010001), VUCRASH_ERR_NONE);
  ASSERT_EQ(vucrash_async_cfe_entry_init(&frameless, kX86_64, 0x02040000), VUCRASH_ERR_NONE);
  ASSERT_EQ(vucrash_async_cfe_entry_init(&dwarf, kX86_64, 0x04000010), VUCRASH_ERR_NONE);
  ASSERT_EQ(vucrash_async_cfe_entry_init(&none, kX86_64, 0), VUCRASH_ERR_NONE);
  const auto ipOnly = frameWith({{VUCRASH_REG_IP, 0x9999}});
  vucrash_async_thread_state_t caller;
  EXPECT_EQ(vucrash_async_cfe_entry_apply(vu_task_self(), 0, &ipOnly, &framePtr, &caller), VUCRASH_ERR_NOTFOUND);
  EXPECT_EQ(vucrash_async_cfe_entry_apply(vu_task_self(), 0, &ipOnly, &frameless, &caller), VUCRASH_ERR_NOTFOUND);
  EXPECT_EQ(vucrash_async_cfe_entry_apply(vu_task_self(), 0, &ipOnly, &dwarf, &caller), VUCRASH_ERR_NOTSUP);
  EXPECT_EQ(vucrash_async_cfe_entry_apply(vu_task_self(), 0, &ipOnly, &none, &caller), VUCRASH_ERR_NOTSUP);
  // A frame pointer into memory that is not there.
  const auto wild = frameWith({{VUCRASH_REG_IP, 0x9999}, {VUCRASH_REG_FP, 0x10}});
  EXPECT_EQ(vucrash_async_cfe_entry_apply(vu_task_self(), 0, &wild, &framePtr, &caller), VUCRASH_ERR_NOTFOUND);
}

// ---- The fixture code: built for x86_64 Mach-O, mapped executable here and called.

typedef int (*cu_callback)(void *context);
typedef int (*cu_framed_fn)(cu_callback callback, void *context, int a, int b);

struct Walk {
  vucrash_async_image_list_t *list = nullptr;
  std::vector<uint64_t> frames;
  vuframe_error_t end = VUFRAME_ERR_NONE;
};

vucrash_error_t walkFromHere(vucrash_async_thread_state_t *state, void *context) {
  Walk *walk = static_cast<Walk *>(context);
  vuframe_cursor_t cursor;
  vuframe_cursor_init(&cursor, vu_task_self(), state, walk->list);
  vuframe_error_t err;
  while (walk->frames.size() < 200 && (err = vuframe_cursor_next(&cursor)) == VUFRAME_ERR_NONE) {
    vucrash_greg_t pc = 0;
    vuframe_cursor_get_reg(&cursor, VUCRASH_REG_IP, &pc);
    walk->frames.push_back(pc);
  }
  walk->end = err;
  vuframe_cursor_free(&cursor);
  return VUCRASH_ERR_NONE;
}

__attribute__((noinline)) int captureAndWalk(void *context) {
  return static_cast<int>(vucrash_async_thread_state_current(walkFromHere, context));
}

_Unwind_Reason_Code collect(struct _Unwind_Context *context, void *arg) {
  static_cast<std::vector<uint64_t> *>(arg)->push_back(_Unwind_GetIP(context));
  return _URC_NO_REASON;
}

// The runtime's frames from here: this function, then its caller's return address onwards.
__attribute__((noinline)) std::vector<uint64_t> runtimeFramesFromHere() {
  std::vector<uint64_t> frames;
  _Unwind_Backtrace(collect, &frames);
  while (!frames.empty() && frames.back() <= 0x1000)
    frames.pop_back();
  return frames;
}

class CompactUnwindFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    path = fixturePath("compact-unwind-x86_64.dylib");
    loaded = LoadedMachO::load(path);
    symbols = textSymbols(path);
    ASSERT_EQ(vucrash_nasync_image_list_init(&list, vu_task_self()), VUCRASH_ERR_NONE);
    vucrash_nasync_image_list_refresh(&list);
    walk.list = &list;
  }
  void TearDown() override { vucrash_nasync_image_list_free(&list); }

  // Lists the image and makes its code executable; `change` may edit its sections first.
  void listAndMakeExecutable(const std::function<void(vucrash_async_macho_t *)> &change = {}) {
    vucrash_async_macho_t image;
    ASSERT_EQ(vucrash_nasync_macho_init(&image, vu_task_self(), path.c_str(), loaded->header()), VUCRASH_ERR_NONE);
    if (change)
      change(&image);
    const size_t page = static_cast<size_t>(vucrash_async_page_size());
    const size_t text = (image.text_size + page - 1) / page * page;
    vucrash_nasync_macho_free(&image);
    ASSERT_EQ(mprotect(loaded->base(), text, PROT_READ | PROT_EXEC), 0);
    vucrash_nasync_image_list_append_macho(&list, loaded->header(), path.c_str());
  }

  uint64_t symbol(const char *name) { return loaded->address(symbols.at(name)); }
  bool inside(uint64_t pc, const char *function, const char *next) {
    return pc > symbol(function) && pc <= symbol(next);
  }

  // Calls the fixture's outermost function, which calls the others, which call back here.
  void runAndCompare() {
    const std::vector<uint64_t> runtime = runtimeFramesFromHere();
    auto framed = reinterpret_cast<cu_framed_fn>(symbol("_cu_framed"));
    framed(captureAndWalk, &walk, 3, 4);

    ASSERT_GE(walk.frames.size(), 5u);
    ASSERT_GE(runtime.size(), 3u);
    // captureAndWalk, then the fixture's three frames...
    EXPECT_TRUE(inside(walk.frames[1], "_cu_leaf", "_cu_big")) << std::hex << walk.frames[1];
    EXPECT_TRUE(inside(walk.frames[2], "_cu_big", "_cu_framed")) << std::hex << walk.frames[2];
    EXPECT_GT(walk.frames[3], symbol("_cu_framed"));
    EXPECT_LT(walk.frames[3], symbol("_cu_framed") + 0x80);
    // ...then this test, and from its caller on the same frames the runtime sees.
    EXPECT_EQ(std::vector<uint64_t>(walk.frames.begin() + 5, walk.frames.end()),
              std::vector<uint64_t>(runtime.begin() + 2, runtime.end()));
    EXPECT_EQ(walk.end, VUFRAME_ERR_NOFRAME);
  }

  std::string path;
  std::unique_ptr<LoadedMachO> loaded;
  std::map<std::string, uint64_t> symbols;
  vucrash_async_image_list_t list;
  Walk walk;
};

TEST_F(CompactUnwindFixture, WalksOutOfFramelessAndFramePointerCodeItsEncodingsDescribe) {
  listAndMakeExecutable();
  testing::internal::CaptureStderr();
  runAndCompare();
  const std::string log = testing::internal::GetCapturedStderr();
  // Every fixture frame was the compact reader's: none fell through to another reader.
  EXPECT_EQ(log.find("CFE"), std::string::npos) << log;
}

const vucrash_async_thread_state_t *gOfferedFrame;

vuframe_error_t nextReaderStandIn(vucrash_task_t, vucrash_async_image_list_t *, const vucrash_async_thread_state_t *current,
                                  const vucrash_async_thread_state_t *, vucrash_async_thread_state_t *next) {
  gOfferedFrame = current;
  vucrash_async_thread_state_copy(next, current);
  vucrash_async_thread_state_set_reg(next, VUCRASH_REG_IP, 0x123456);
  return VUFRAME_ERR_NONE;
}

TEST_F(CompactUnwindFixture, EntriesThatDeferToDwarfGoOnToTheNextReader) {
  // Every function's encoding rewritten to "see the FDE". (The linker's own __eh_frame is
  // not usable here, so the DWARF reader is stood in for.)
  listAndMakeExecutable([](vucrash_async_macho_t *image) {
    vucrash_async_mobject_t info;
    ASSERT_EQ(vucrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &info), VUCRASH_ERR_NONE);
    auto *bytes = reinterpret_cast<uint8_t *>(info.address);
    uint32_t commonOffset, commonCount;
    std::memcpy(&commonOffset, bytes + 4, 4);
    std::memcpy(&commonCount, bytes + 8, 4);
    ASSERT_GT(commonCount, 0u);
    for (uint32_t i = 0; i < commonCount; ++i) {
      const uint32_t dwarf = 0x04000000;
      std::memcpy(bytes + commonOffset + 4 * i, &dwarf, 4);
    }
    vucrash_async_mobject_free(&info);
  });
  uint64_t stack[8] = {};
  const auto start = frameWith({{VUCRASH_REG_IP, symbol("_cu_leaf") + 8},
                                {VUCRASH_REG_SP, addressOf(stack)},
                                {VUCRASH_REG_FP, addressOf(&stack[4])}});
  vucrash_async_thread_state_t caller;
  testing::internal::CaptureStderr();
  EXPECT_EQ(vuframe_cursor_read_compact_unwind(vu_task_self(), &list, &start, nullptr, &caller), VUFRAME_ERR_NOFRAME);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Failed to apply CFE encoding 0x4000000"), std::string::npos) << log;

  vuframe_cursor_t cursor;
  vuframe_cursor_init(&cursor, vu_task_self(), &start, &list);
  const vuframe_cursor_frame_reader_t readers[] = {vuframe_cursor_read_compact_unwind, nextReaderStandIn};
  ASSERT_EQ(vuframe_cursor_next_with_readers(&cursor, readers, 2), VUFRAME_ERR_NONE);
  gOfferedFrame = nullptr;
  testing::internal::CaptureStderr();
  ASSERT_EQ(vuframe_cursor_next_with_readers(&cursor, readers, 2), VUFRAME_ERR_NONE);
  testing::internal::GetCapturedStderr();
  EXPECT_NE(gOfferedFrame, nullptr);
  vucrash_greg_t pc = 0;
  EXPECT_EQ(vuframe_cursor_get_reg(&cursor, VUCRASH_REG_IP, &pc), VUFRAME_ERR_NONE);
  EXPECT_EQ(pc, 0x123456u);
  vuframe_cursor_free(&cursor);
}

TEST_F(CompactUnwindFixture, ElfImagesHaveNoCompactUnwindInformation) {
  listAndMakeExecutable();
  const auto frame = frameWith({{VUCRASH_REG_IP, reinterpret_cast<uint64_t>(&captureAndWalk) + 1},
                                {VUCRASH_REG_SP, reinterpret_cast<uint64_t>(&walk)}});
  vucrash_async_thread_state_t caller;
  testing::internal::CaptureStderr();
  EXPECT_EQ(vuframe_cursor_read_compact_unwind(vu_task_self(), &list, &frame, nullptr, &caller), VUFRAME_ERR_NOTSUP);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
