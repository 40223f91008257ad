// Thread states, the capture of the calling thread and the frame-pointer walk.
#include "VUCrashAsyncThreadState.h"
#include "VUCrashFrameCursor.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

vucrash_async_thread_state_t x86_64State() {
  vucrash_async_thread_state_t state;
  EXPECT_EQ(vucrash_async_thread_state_init(&state, 0x01000007), VUCRASH_ERR_NONE);
  return state;
}

TEST(ThreadState, InitChoosesTheRegisterSetByProcessor) {
  vucrash_async_thread_state_t state;
  EXPECT_EQ(vucrash_async_thread_state_init(&state, 7), VUCRASH_ERR_NONE);
  EXPECT_EQ(vucrash_async_thread_state_get_greg_size(&state), 4u);
  EXPECT_EQ(vucrash_async_thread_state_get_reg_count(&state), 16u);
  state = x86_64State();
  EXPECT_EQ(vucrash_async_thread_state_get_greg_size(&state), 8u);
  EXPECT_EQ(vucrash_async_thread_state_get_reg_count(&state), 21u);
  EXPECT_EQ(vucrash_async_thread_state_get_stack_direction(&state), 2u);
  EXPECT_EQ(state.valid_regs, 0u);
  EXPECT_EQ(vucrash_async_thread_state_init(&state, 12), VUCRASH_ERR_NOTSUP);
  EXPECT_EQ(state.valid_regs, 0u);
}

TEST(ThreadState, RegistersReadBackUnderTheirNames) {
  vucrash_async_thread_state_t state = x86_64State();
  vucrash_async_thread_state_set_reg(&state, 19, 0x1234);
  EXPECT_TRUE(vucrash_async_thread_state_has_reg(&state, 19));
  EXPECT_FALSE(vucrash_async_thread_state_has_reg(&state, 20));
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&state, 19), 0x1234u);
  EXPECT_STREQ(vucrash_async_thread_state_get_reg_name(&state, 19), "fs");
  EXPECT_STREQ(vucrash_async_thread_state_get_reg_name(&state, 20), "gs");
  EXPECT_STREQ(vucrash_async_thread_state_get_reg_name(&state, 0), "rip");
  EXPECT_STREQ(vucrash_async_thread_state_get_reg_name(&state, 21), "");

  vucrash_async_thread_state_t small;
  vucrash_async_thread_state_init(&small, 7);
  vucrash_async_thread_state_set_reg(&small, VUCRASH_X86_TRAPNO, 0x12345);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&small, VUCRASH_X86_TRAPNO), 0x2345u);
  vucrash_async_thread_state_set_reg(&small, VUCRASH_X86_EIP, 0x1122334455ull);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&small, VUCRASH_X86_EIP), 0x22334455u);
}

TEST(ThreadState, ClearingVolatileRegistersKeepsTheCalleeSavedOnes) {
  vucrash_async_thread_state_t state = x86_64State();
  for (vucrash_regnum_t r = 0; r < 21; ++r)
    vucrash_async_thread_state_set_reg(&state, r, r);
  vucrash_async_thread_state_clear_volatile_regs(&state);
  std::set<std::string> kept;
  for (vucrash_regnum_t r = 0; r < 21; ++r)
    if (vucrash_async_thread_state_has_reg(&state, r))
      kept.insert(vucrash_async_thread_state_get_reg_name(&state, r));
  EXPECT_EQ(kept, (std::set<std::string>{"rbp", "rsp", "rbx", "r12", "r13", "r14", "r15"}));
}

TEST(ThreadState, DwarfNumbersMapBothWays) {
  vucrash_async_thread_state_t state = x86_64State();
  vucrash_regnum_t reg = 99;
  EXPECT_FALSE(vucrash_async_thread_state_map_dwarf_to_reg(&state, 16, &reg));
  ASSERT_TRUE(vucrash_async_thread_state_map_dwarf_to_reg(&state, 6, &reg));
  EXPECT_STREQ(vucrash_async_thread_state_get_reg_name(&state, reg), "rbp");
  uint64_t dwarf = 0;
  EXPECT_FALSE(vucrash_async_thread_state_map_reg_to_dwarf(&state, VUCRASH_X86_64_RIP, &dwarf));
  ASSERT_TRUE(vucrash_async_thread_state_map_reg_to_dwarf(&state, VUCRASH_X86_64_GS, &dwarf));
  EXPECT_EQ(dwarf, 55u);

  vucrash_async_thread_state_t small;
  vucrash_async_thread_state_init(&small, 7);
  ASSERT_TRUE(vucrash_async_thread_state_map_dwarf_to_reg(&small, 4, &reg));
  EXPECT_STREQ(vucrash_async_thread_state_get_reg_name(&small, reg), "ebp");
  ASSERT_TRUE(vucrash_async_thread_state_map_dwarf_to_reg(&small, 5, &reg));
  EXPECT_STREQ(vucrash_async_thread_state_get_reg_name(&small, reg), "esp");
}

struct Captured {
  vucrash_async_thread_state_t state;
  int calls = 0;
  uint64_t wordBelowSp = 0;  // read while the captured frames are still on the stack
};

vucrash_error_t keepState(vucrash_async_thread_state_t *state, void *context) {
  auto *captured = static_cast<Captured *>(context);
  captured->state = *state;
  captured->calls++;
  captured->wordBelowSp =
      *reinterpret_cast<const uint64_t *>(vucrash_async_thread_state_get_reg(state, VUCRASH_X86_64_RSP) - 8);
  return VUCRASH_ERR_INVAL;  // passed back unchanged
}

__attribute__((noinline)) void *captureHere(Captured *captured, vucrash_error_t *result) {
  *result = vucrash_async_thread_state_current(keepState, captured);
  asm volatile("" ::: "memory");
  return __builtin_frame_address(0);
}

TEST(ThreadState, CurrentStateStartsAtTheCaller) {
  Captured captured;
  vucrash_error_t result = VUCRASH_ERR_NONE;
  void *callerFrame = captureHere(&captured, &result);
  EXPECT_EQ(result, VUCRASH_ERR_INVAL);
  EXPECT_EQ(captured.calls, 1);
  const vucrash_async_thread_state_t &s = captured.state;
  EXPECT_EQ(s.valid_regs, UINT64_MAX);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&s, VUCRASH_X86_64_RBP),
            reinterpret_cast<uintptr_t>(callerFrame));
  // The instruction pointer lies inside captureHere, just after the call.
  const uintptr_t rip = vucrash_async_thread_state_get_reg(&s, VUCRASH_X86_64_RIP);
  const uintptr_t start = reinterpret_cast<uintptr_t>(&captureHere);
  EXPECT_GT(rip, start);
  EXPECT_LT(rip, start + 256);
  // The stack pointer is the caller's after the call returned: the return address lies just
  // below it, where the call pushed it.
  const uintptr_t rsp = vucrash_async_thread_state_get_reg(&s, VUCRASH_X86_64_RSP);
  EXPECT_LE(rsp, reinterpret_cast<uintptr_t>(callerFrame));
  EXPECT_EQ(captured.wordBelowSp, rip);
}

// A hand-made chain of frames: {saved fp, return address} pairs on a fake stack.
struct FakeStack {
  uint64_t words[8];
  vucrash_async_thread_state_t start() {
    vucrash_async_thread_state_t state;
    vucrash_async_thread_state_init(&state, 0x01000007);
    vucrash_async_thread_state_set_reg(&state, VUCRASH_REG_IP, 0x400000);
    vucrash_async_thread_state_set_reg(&state, VUCRASH_REG_FP,
                                       reinterpret_cast<uintptr_t>(&words[0]));
    vucrash_async_thread_state_set_reg(&state, VUCRASH_REG_SP, 0x7000);
    return state;
  }
};

TEST(FrameCursor, FramePointerWalkEndsAtAZeroFramePointer) {
  FakeStack stack;
  stack.words[0] = reinterpret_cast<uintptr_t>(&stack.words[2]);
  stack.words[1] = 0x401000;
  stack.words[2] = reinterpret_cast<uintptr_t>(&stack.words[4]);
  stack.words[3] = 0x402000;
  stack.words[4] = 0;
  stack.words[5] = 0x403000;
  vucrash_async_thread_state_t state = stack.start();

  vuframe_cursor_t cursor;
  ASSERT_EQ(vuframe_cursor_init(&cursor, vu_task_self(), &state, nullptr), VUFRAME_ERR_NONE);
  std::vector<uint64_t> pcs;
  vuframe_error_t err;
  while ((err = vuframe_cursor_next(&cursor)) == VUFRAME_ERR_NONE) {
    vucrash_greg_t pc = 0;
    ASSERT_EQ(vuframe_cursor_get_reg(&cursor, VUCRASH_REG_IP, &pc), VUFRAME_ERR_NONE);
    pcs.push_back(pc);
    if (pcs.size() == 2) {
      // Frames from the frame-pointer reader know only their ip and fp.
      vucrash_greg_t sp;
      EXPECT_EQ(vuframe_cursor_get_reg(&cursor, VUCRASH_REG_SP, &sp), VUFRAME_ERR_NOTSUP);
    }
  }
  EXPECT_EQ(err, VUFRAME_ERR_NOFRAME);
  EXPECT_EQ(pcs, (std::vector<uint64_t>{0x400000, 0x401000, 0x402000, 0x403000}));
  vuframe_cursor_free(&cursor);
}

TEST(FrameCursor, WalkStopsOnAStackRunningTheWrongWayOrAPcInTheFirstPage) {
  struct Case {
    const char *name;
    int nextSlot;  // where the first saved fp points, as a word index
    uint64_t returnAddress;
    vuframe_error_t end;
    size_t frames;
  } cases[] = {
      {"fp moving down the stack", -2, 0x401000, VUFRAME_ERR_BADFRAME, 2},
      // A frame pointer that does not move would repeat one frame until the frame cap.
      {"equal fp ends the walk", 0, 0x401000, VUFRAME_ERR_BADFRAME, 2},
      {"return address 0x1000", 2, 0x1000, VUFRAME_ERR_NOFRAME, 1},
      {"return address 0x1001", 2, 0x1001, VUFRAME_ERR_NOFRAME, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t words[12] = {};
    uint64_t *base = &words[4];
    base[0] = reinterpret_cast<uintptr_t>(base + c.nextSlot);
    base[1] = c.returnAddress;
    if (c.nextSlot == 2) {
      base[2] = 0;
      base[3] = 0x402000;
    } else if (c.nextSlot == -2) {
      base[-2] = 0;
      base[-1] = 0x402000;
    }
    vucrash_async_thread_state_t state;
    vucrash_async_thread_state_init(&state, 0x01000007);
    vucrash_async_thread_state_set_reg(&state, VUCRASH_REG_IP, 0x400000);
    vucrash_async_thread_state_set_reg(&state, VUCRASH_REG_FP, reinterpret_cast<uintptr_t>(base));
    vuframe_cursor_t cursor;
    vuframe_cursor_init(&cursor, vu_task_self(), &state, nullptr);
    size_t frames = 0;
    vuframe_error_t err = VUFRAME_ERR_NONE;
    // A self-referencing chain never ends on its own: the writer caps frames, so do we.
    while (frames < 10 && (err = vuframe_cursor_next(&cursor)) == VUFRAME_ERR_NONE)
      ++frames;
    if (c.end == VUFRAME_ERR_NONE) {
      EXPECT_EQ(frames, 10u);
    } else {
      EXPECT_EQ(err, c.end);
      EXPECT_EQ(frames, c.frames);
    }
  }
}

TEST(FrameCursor, FirstStepDeliversTheStartAndReadersGetNoPreviousFrameOnTheSecond) {
  static int calls;
  static bool sawPrevious;
  calls = 0;
  sawPrevious = true;
  vuframe_cursor_frame_reader_t reader = [](vucrash_task_t, vucrash_async_image_list_t *,
                                            const vucrash_async_thread_state_t *current,
                                            const vucrash_async_thread_state_t *previous,
                                            vucrash_async_thread_state_t *next) {
    ++calls;
    sawPrevious = previous != nullptr;
    *next = *current;
    vucrash_async_thread_state_set_reg(next, VUCRASH_REG_IP, 0x5000);
    return VUFRAME_ERR_NONE;
  };
  vucrash_async_thread_state_t state = x86_64State();
  vucrash_async_thread_state_set_reg(&state, VUCRASH_REG_IP, 0x4000);
  vuframe_cursor_t cursor;
  vuframe_cursor_init(&cursor, vu_task_self(), &state, nullptr);
  EXPECT_EQ(vuframe_cursor_next_with_readers(&cursor, &reader, 1), VUFRAME_ERR_NONE);
  EXPECT_EQ(calls, 0);
  vucrash_greg_t pc;
  vuframe_cursor_get_reg(&cursor, VUCRASH_REG_IP, &pc);
  EXPECT_EQ(pc, 0x4000u);
  EXPECT_EQ(vuframe_cursor_next_with_readers(&cursor, &reader, 1), VUFRAME_ERR_NONE);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(sawPrevious);
  EXPECT_EQ(vuframe_cursor_next_with_readers(&cursor, &reader, 1), VUFRAME_ERR_NONE);
  EXPECT_TRUE(sawPrevious);
  EXPECT_EQ(vuframe_cursor_next_with_readers(&cursor, &reader, 0), VUFRAME_ERR_INVAL);
}

}  // namespace
