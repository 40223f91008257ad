// DWARF expressions as call frame information uses them: register-relative addresses, the
// stack machine's arithmetic and branches, and the limits that keep bad data from hanging or
// overrunning the evaluator.
#include "DwarfBytes.h"
#include "VUCrashDwarfExpression.h"

#include <gtest/gtest.h>

namespace {

struct Outcome {
  vucrash_error_t err;
  uint64_t value;
};

template <typename P, typename S>
Outcome eval(const DwarfBytes &expr, const vucrash_async_thread_state_t &state,
             std::vector<P> initial = {}) {
  vucrash_async_mobject_t mobj = expr.map();
  P result = 0xdead;
  vucrash_error_t err = vucrash_async_dwarf_expression_eval<P, S>(
      &mobj, vu_task_self(), &state, vucrash_async_byteorder_little_endian(), expr.address(), 0,
      expr.size(), initial.data(), initial.size(), &result);
  vucrash_async_mobject_free(&mobj);
  return {err, err == VUCRASH_ERR_NONE ? result : 0};
}

DwarfBytes repeat(uint8_t op, int count) {
  DwarfBytes b;
  for (int i = 0; i < count; ++i)
    b.u8(op);
  return b;
}

TEST(DwarfExpression, EvaluatesTheOperationsFrameInformationUses) {
  uint64_t stack[4] = {0x1111, 0xfeedface, 0x2222, 0x33445566778899aa};
  vucrash_async_thread_state_t state;
  vucrash_async_thread_state_init(&state, 0x01000007);
  vucrash_async_thread_state_set_reg(&state, VUCRASH_X86_64_RSP, reinterpret_cast<uintptr_t>(&stack[0]));
  vucrash_async_thread_state_set_reg(&state, VUCRASH_X86_64_RBX, 40);

  struct Case {
    const char *name;
    DwarfBytes expr;
    vucrash_error_t err;
    uint64_t value;
  } cases[] = {
      {"breg7 8, deref reads the word at rsp + 8", DwarfBytes().bytes_of({0x77, 0x08, 0x06}), VUCRASH_ERR_NONE, 0xfeedface},
      {"bregx of rbx with a negative offset", DwarfBytes().u8(0x92).uleb(3).sleb(-2), VUCRASH_ERR_NONE, 38},
      {"lt compares unsigned", DwarfBytes().u8(0x0e).u64(UINT64_MAX).bytes_of({0x31, 0x2d}), VUCRASH_ERR_NONE, 0},
      {"minus is second minus top", DwarfBytes().bytes_of({0x3a, 0x33, 0x1c}), VUCRASH_ERR_NONE, 7},
      {"const1s sign-extends", DwarfBytes().bytes_of({0x09, 0xff}), VUCRASH_ERR_NONE, UINT64_MAX},
      {"shra keeps the sign", DwarfBytes().bytes_of({0x09, 0xf0, 0x32, 0x26}), VUCRASH_ERR_NONE, static_cast<uint64_t>(-4)},
      {"rot moves the top to third place", DwarfBytes().bytes_of({0x31, 0x32, 0x33, 0x17, 0x13, 0x13}), VUCRASH_ERR_NONE, 3},
      {"deref_size 2 zero-extends", DwarfBytes().bytes_of({0x77, 0x18, 0x94, 0x02}), VUCRASH_ERR_NONE, 0x99aa},
      {"bra taken skips the next literal", DwarfBytes().bytes_of({0x31, 0x28, 0x01, 0x00, 0x39, 0x35}), VUCRASH_ERR_NONE, 5},
      {"skip landing on the end ends normally", DwarfBytes().bytes_of({0x35, 0x2f, 0x01, 0x00, 0x37}), VUCRASH_ERR_NONE, 5},
      {"skip one byte past the end", DwarfBytes().bytes_of({0x35, 0x2f, 0x02, 0x00, 0x37}), VUCRASH_ERR_INVAL, 0},
      {"skip before the start", DwarfBytes().bytes_of({0x2f, 0xf0, 0xff}), VUCRASH_ERR_INVAL, 0},
      {"an empty stack gives no result", DwarfBytes().u8(0x96), VUCRASH_ERR_INVAL, 0},
      {"101 pushes overflow the stack", repeat(0x30, 101), VUCRASH_ERR_INTERNAL, 0},
      {"dup on a full stack", repeat(0x30, 100).u8(0x12), VUCRASH_ERR_INTERNAL, 0},
      {"over on a full stack", repeat(0x30, 100).u8(0x14), VUCRASH_ERR_INTERNAL, 0},
      {"pick on a full stack", repeat(0x30, 100).bytes_of({0x15, 0x00}), VUCRASH_ERR_INTERNAL, 0},
      {"plus on one value", DwarfBytes().bytes_of({0x31, 0x22}), VUCRASH_ERR_INTERNAL, 0},
      {"div by zero", DwarfBytes().bytes_of({0x31, 0x30, 0x1b}), VUCRASH_ERR_INVAL, 0},
      {"deref_size 3", DwarfBytes().bytes_of({0x77, 0x00, 0x94, 0x03}), VUCRASH_ERR_INVAL, 0},
      {"DW_OP_addr is not for frame information", DwarfBytes().u8(0x03).u64(0x1234), VUCRASH_ERR_NOTSUP, 0},
      {"a register the frame lacks", DwarfBytes().bytes_of({0x70, 0x00}), VUCRASH_ERR_NOTFOUND, 0},
      {"a truncated operand", DwarfBytes().bytes_of({0x0c, 0x01, 0x02}), VUCRASH_ERR_INVAL, 0},
      {"deref of unmapped memory", DwarfBytes().bytes_of({0x30, 0x06}), VUCRASH_ERR_NOTFOUND, 0},
      // A branch back onto itself is bad data, not a reason to hang the crash handler.
      {"a skip that loops forever", DwarfBytes().bytes_of({0x2f, 0xfd, 0xff}), VUCRASH_ERR_INVALID_DATA, 0},
      {"a bra that loops forever", DwarfBytes().bytes_of({0x31, 0x12, 0x28, 0xfc, 0xff}), VUCRASH_ERR_INVALID_DATA, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Outcome out = eval<uint64_t, int64_t>(c.expr, state);
    EXPECT_EQ(out.err, c.err);
    if (c.err == VUCRASH_ERR_NONE) {
      EXPECT_EQ(out.value, c.value);
    }
  }
}

TEST(DwarfExpression, InitialValuesArePushedInOrder) {
  vucrash_async_thread_state_t state;
  vucrash_async_thread_state_init(&state, 0x01000007);
  // The last initial value is on top: 10 - 3.
  Outcome out = eval<uint64_t, int64_t>(DwarfBytes().u8(0x1c), state, {10, 3});
  EXPECT_EQ(out.err, VUCRASH_ERR_NONE);
  EXPECT_EQ(out.value, 7u);
  out = eval<uint64_t, int64_t>(DwarfBytes().u8(0x23).uleb(16), state, {0x7000});
  EXPECT_EQ(out.value, 0x7010u);
  std::vector<uint64_t> tooMany(101, 1);
  EXPECT_EQ((eval<uint64_t, int64_t>(DwarfBytes().u8(0x96), state, tooMany).err), VUCRASH_ERR_INTERNAL);
}

TEST(DwarfExpression, ThirtyTwoBitWordsWrapAndRefuseWiderReads) {
  uint64_t word = 0x1122334455667788;
  vucrash_async_thread_state_t state;
  vucrash_async_thread_state_init(&state, 7);
  Outcome out = eval<uint32_t, int32_t>(DwarfBytes().bytes_of({0x30, 0x31, 0x1c}), state);
  EXPECT_EQ(out.value, 0xffffffffu);
  DwarfBytes wide;
  wide.u8(0x0c).u32(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&word))).bytes_of({0x94, 0x08});
  EXPECT_EQ((eval<uint32_t, int32_t>(wide, state).err), VUCRASH_ERR_INVAL);
}

}  // namespace
