// Call-frame programs run on the rule table: where evaluation stops relative to the pc,
// remembered states and the pool they share, the opcodes compilers emit, and applying the
// rules to a frame.
#include "DwarfBytes.h"
#include "VUCrashDwarfCFAState.h"

#include <gtest/gtest.h>

using vucrash::VU::async::dwarf_cfa_state;
using vucrash::VU::async::gnu_ehptr_reader;
using State = dwarf_cfa_state<uint64_t, int64_t>;

namespace {

vucrash_async_dwarf_cie_info_t x86_64Cie() {
  vucrash_async_dwarf_cie_info_t cie{};
  cie.cie_version = 1;
  cie.code_alignment_factor = 1;
  cie.data_alignment_factor = -8;
  cie.return_address_register = 16;
  return cie;
}

constexpr uint64_t kPcStart = 0x1000;

vucrash_error_t run(State &state, const DwarfBytes &program, uint64_t pc,
                    const vucrash_async_dwarf_cie_info_t &cie = x86_64Cie()) {
  vucrash_async_mobject_t mobj = program.map();
  gnu_ehptr_reader<uint64_t> reader(vucrash_async_byteorder_little_endian());
  vucrash_error_t err = state.eval_program(&mobj, pc, kPcStart, &cie, &reader,
                                           vucrash_async_byteorder_little_endian(),
                                           program.address(), 0, program.size());
  vucrash_async_mobject_free(&mobj);
  return err;
}

// The usual x86_64 CIE: CFA = rsp + 8, return address at CFA - 8.
DwarfBytes cieProgram() { return DwarfBytes().bytes_of({0x0c, 7, 8, 0x90, 1}); }

// push rbp; mov rsp, rbp; ...: advance 1, CFA offset 16, rbp at CFA - 16, advance 3, CFA on rbp.
DwarfBytes typicalFde() { return DwarfBytes().bytes_of({0x41, 0x0e, 16, 0x86, 2, 0x43, 0x0d, 6}); }

TEST(DwarfCFAProgram, EvaluationStopsWhereTheLocationPassesThePc) {
  struct Case {
    uint64_t pc;
    uint32_t cfaReg;
    uint64_t cfaOffset;
    bool rbpSaved;
  } cases[] = {
      {0x1000, 7, 8, false},  // before the first advance
      {0x1001, 7, 16, true},  // at the first advance: its rules apply
      {0x1003, 7, 16, true},  // before the second advance
      {0x1004, 6, 16, true},  // after the last advance
      {0x1100, 6, 16, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pc);
    State state;
    ASSERT_EQ(run(state, cieProgram(), c.pc), VUCRASH_ERR_NONE);
    ASSERT_EQ(run(state, typicalFde(), c.pc), VUCRASH_ERR_NONE);
    EXPECT_EQ(state.get_cfa_rule().type, VUCRASH_DWARF_CFA_STATE_CFA_TYPE_REGISTER);
    EXPECT_EQ(state.get_cfa_rule().reg, c.cfaReg);
    EXPECT_EQ(state.get_cfa_rule().offset, c.cfaOffset);
    vucrash_dwarf_cfa_reg_rule_t rule;
    uint64_t value;
    EXPECT_EQ(state.get_register_rule(6, &rule, &value), c.rbpSaved);
    ASSERT_TRUE(state.get_register_rule(16, &rule, &value));
    EXPECT_EQ(rule, VUCRASH_DWARF_CFA_REG_RULE_OFFSET);
    EXPECT_EQ(value, static_cast<uint64_t>(-8));
  }
}

TEST(DwarfCFAProgram, TypicalFrameUnwindsToItsCaller) {
  // The frame as `push rbp; mov rsp, rbp` leaves it: saved rbp, then the return address.
  uint64_t stack[4] = {0x7777, 0x401234, 0, 0};
  State state;
  ASSERT_EQ(run(state, cieProgram(), 0x1010), VUCRASH_ERR_NONE);
  ASSERT_EQ(run(state, typicalFde(), 0x1010), VUCRASH_ERR_NONE);

  vucrash_async_thread_state_t frame, caller;
  vucrash_async_thread_state_init(&frame, 0x01000007);
  vucrash_async_thread_state_set_reg(&frame, VUCRASH_X86_64_RIP, 0x1010);
  vucrash_async_thread_state_set_reg(&frame, VUCRASH_X86_64_RBP, reinterpret_cast<uintptr_t>(&stack[0]));
  vucrash_async_thread_state_set_reg(&frame, VUCRASH_X86_64_RSP, reinterpret_cast<uintptr_t>(&stack[0]) - 64);
  vucrash_async_thread_state_set_reg(&frame, VUCRASH_X86_64_RBX, 5);
  vucrash_async_thread_state_set_reg(&frame, VUCRASH_X86_64_RAX, 6);
  const vucrash_async_dwarf_cie_info_t cie = x86_64Cie();
  ASSERT_EQ(state.apply_state(vu_task_self(), &cie, &frame, vucrash_async_byteorder_little_endian(), &caller),
            VUCRASH_ERR_NONE);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_X86_64_RIP), 0x401234u);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_X86_64_RBP), 0x7777u);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_X86_64_RSP),
            reinterpret_cast<uintptr_t>(&stack[2]));
  // Callee-saved registers without a rule keep their value; scratch ones are unknown.
  EXPECT_TRUE(vucrash_async_thread_state_has_reg(&caller, VUCRASH_X86_64_RBX));
  EXPECT_FALSE(vucrash_async_thread_state_has_reg(&caller, VUCRASH_X86_64_RAX));

  State undefinedCfa;
  EXPECT_EQ(undefinedCfa.apply_state(vu_task_self(), &cie, &frame, vucrash_async_byteorder_little_endian(), &caller),
            VUCRASH_ERR_INVAL);
}

TEST(DwarfCFAProgram, RememberedStatesNestFiveDeepAndRestore) {
  // remember; CFA offset 32; restore: between them the new offset, after it the old one.
  DwarfBytes fde = DwarfBytes().bytes_of({0x41, 0x0a, 0x0e, 32, 0x08, 3, 0x41, 0x0b});
  State between, after;
  ASSERT_EQ(run(between, cieProgram(), 0x1001), VUCRASH_ERR_NONE);
  ASSERT_EQ(run(between, fde, 0x1001), VUCRASH_ERR_NONE);
  EXPECT_EQ(between.get_cfa_rule().reg, 7u);
  EXPECT_EQ(between.get_cfa_rule().offset, 32u);
  vucrash_dwarf_cfa_reg_rule_t rule;
  uint64_t value;
  EXPECT_TRUE(between.get_register_rule(3, &rule, &value));
  ASSERT_EQ(run(after, cieProgram(), 0x1002), VUCRASH_ERR_NONE);
  ASSERT_EQ(run(after, fde, 0x1002), VUCRASH_ERR_NONE);
  EXPECT_EQ(after.get_cfa_rule().offset, 8u);
  EXPECT_FALSE(after.get_register_rule(3, &rule, &value));
  EXPECT_EQ(after.get_level(), 0u);

  State five, six, empty;
  EXPECT_EQ(run(five, DwarfBytes().bytes_of({0x0a, 0x0a, 0x0a, 0x0a, 0x0a}), 0), VUCRASH_ERR_NONE);
  EXPECT_EQ(run(six, DwarfBytes().bytes_of({0x0a, 0x0a, 0x0a, 0x0a, 0x0a, 0x0a}), 0), VUCRASH_ERR_NOMEM);
  EXPECT_EQ(run(empty, DwarfBytes().u8(0x0b), 0), VUCRASH_ERR_INVAL);
}

TEST(DwarfCFAProgram, ManyRememberRestorePairsFitThePool) {
  // Functions with many early returns remember and restore over and over (libc has one with
  // thousands of pairs): each popped level's entries must go back to the pool.
  DwarfBytes fde;
  fde.bytes_of({0x86, 2, 0x83, 3});
  for (int i = 0; i < 2048; ++i)
    fde.bytes_of({0x0a, 0x0e, 48, 0x8c, 4, 0x0b});
  State state;
  ASSERT_EQ(run(state, cieProgram(), 0), VUCRASH_ERR_NONE);
  const uint8_t freeBefore = state.free_entry_count();
  ASSERT_EQ(run(state, fde, 0), VUCRASH_ERR_NONE);
  EXPECT_EQ(state.free_entry_count(), freeBefore - 2);
  EXPECT_EQ(state.get_register_count(), 3u);
}

TEST(DwarfCFAProgram, OpcodesCompilersEmit) {
  struct Case {
    const char *name;
    DwarfBytes fde;
    vucrash_error_t err;
  } cases[] = {
      // Argument-size notes of code that pushes arguments: they change no rule.
      {"GNU_args_size", DwarfBytes().bytes_of({0x2e, 0x10, 0x41, 0x2e, 0x00}), VUCRASH_ERR_NONE},
      {"GNU_negative_offset_extended", DwarfBytes().bytes_of({0x2f, 3, 2}), VUCRASH_ERR_NONE},
      {"GNU_window_save is not for this processor", DwarfBytes().u8(0x2d), VUCRASH_ERR_NOTSUP},
      {"a vendor opcode", DwarfBytes().u8(0x1c), VUCRASH_ERR_NOTSUP},
      {"def_cfa_register without a register CFA", DwarfBytes().bytes_of({0x0f, 1, 0x30, 0x0d, 6}), VUCRASH_ERR_INVAL},
      {"a register number beyond 32 bits", DwarfBytes().u8(0x07).uleb(1ull << 33), VUCRASH_ERR_NOTSUP},
      {"an expression longer than the program", DwarfBytes().bytes_of({0x10, 3, 9, 0x30}), VUCRASH_ERR_NOTSUP},
      {"a truncated advance_loc4", DwarfBytes().bytes_of({0x04, 1, 2}), VUCRASH_ERR_INVAL},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    State state;
    ASSERT_EQ(run(state, cieProgram(), 0), VUCRASH_ERR_NONE);
    EXPECT_EQ(run(state, c.fde, 0), c.err);
  }

  State negative;
  run(negative, cieProgram(), 0);
  run(negative, DwarfBytes().bytes_of({0x2f, 3, 2}), 0);
  vucrash_dwarf_cfa_reg_rule_t rule;
  uint64_t value;
  ASSERT_TRUE(negative.get_register_rule(3, &rule, &value));
  EXPECT_EQ(value, 16u);  // -(2 * -8)
}

TEST(DwarfCFAProgram, RestoreExtendedRemovesOnlyARuleTheCieDidNotSet) {
  State state;
  ASSERT_EQ(run(state, cieProgram(), 0), VUCRASH_ERR_NONE);
  // rbp and rbx saved, then rbx restored (the CIE had no rule for it), then the return
  // address column restored to the CIE's rule after being changed.
  ASSERT_EQ(run(state, DwarfBytes().bytes_of({0x86, 2, 0x83, 3, 0x06, 3, 0x90, 5, 0xd0}), 0), VUCRASH_ERR_NONE);
  vucrash_dwarf_cfa_reg_rule_t rule;
  uint64_t value;
  EXPECT_FALSE(state.get_register_rule(3, &rule, &value));
  EXPECT_TRUE(state.get_register_rule(6, &rule, &value));
  ASSERT_TRUE(state.get_register_rule(16, &rule, &value));
  EXPECT_EQ(value, static_cast<uint64_t>(-8));
}

TEST(DwarfCFAProgram, ExpressionRulesReadThroughTheCfa) {
  // CFA = *(rsp + 8) + 16, as a signal frame's; rbx saved at CFA - 8 by an expression; the
  // return address a value expression, CFA - 16.
  uint64_t words[8] = {};
  uint64_t area[8] = {};
  words[1] = reinterpret_cast<uintptr_t>(&area[0]);
  const uint64_t cfa = reinterpret_cast<uintptr_t>(&area[2]);
  area[1] = 0xb0b0;  // CFA - 8
  DwarfBytes fde;
  fde.bytes_of({0x0f, 5, 0x77, 0x08, 0x06, 0x23, 16});  // def_cfa_expression
  fde.bytes_of({0x10, 3, 2, 0x38, 0x1c});                // rbx: expression CFA - 8
  fde.bytes_of({0x16, 16, 2, 0x40, 0x1c});               // ra: value expression CFA - 16
  State state;
  ASSERT_EQ(run(state, fde, 0), VUCRASH_ERR_NONE);

  vucrash_async_thread_state_t frame, caller;
  vucrash_async_thread_state_init(&frame, 0x01000007);
  vucrash_async_thread_state_set_reg(&frame, VUCRASH_X86_64_RSP, reinterpret_cast<uintptr_t>(&words[0]));
  const vucrash_async_dwarf_cie_info_t cie = x86_64Cie();
  ASSERT_EQ(state.apply_state(vu_task_self(), &cie, &frame, vucrash_async_byteorder_little_endian(), &caller),
            VUCRASH_ERR_NONE);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_X86_64_RSP), cfa);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_X86_64_RBX), 0xb0b0u);
  EXPECT_EQ(vucrash_async_thread_state_get_reg(&caller, VUCRASH_X86_64_RIP), cfa - 16);
}

}  // namespace
