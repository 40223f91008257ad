// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashDwarfCFAState.h"

#include "VUCrashAsyncLog.h"
#include "VUCrashDwarfExpression.h"
#include "VUCrashDwarfOpstream.h"

namespace vucrash {
namespace VU {
namespace async {

template <typename P, typename S>
dwarf_cfa_state<P, S>::dwarf_cfa_state() {
  for (uint8_t i = 0; i < kPoolSize; ++i)
    entries_[i].next = static_cast<uint8_t>(i + 1 < kPoolSize ? i + 1 : kEnd);
  free_list_ = 0;
  level_ = 0;
  for (uint8_t l = 0; l < kMaxLevels; ++l) {
    register_count_[l] = 0;
    for (uint8_t b = 0; b < kBucketCount; ++b)
      table_[l][b] = kEnd;
    cfa_[l] = cfa_rule{VUCRASH_DWARF_CFA_STATE_CFA_TYPE_UNDEFINED, 0, 0, 0, 0};
  }
}

template <typename P, typename S>
uint8_t dwarf_cfa_state<P, S>::take_entry() {
  const uint8_t e = free_list_;
  if (e != kEnd)
    free_list_ = entries_[e].next;
  return e;
}

template <typename P, typename S>
uint8_t dwarf_cfa_state<P, S>::free_entry_count() const {
  uint8_t count = 0;
  for (uint8_t e = free_list_; e != kEnd; e = entries_[e].next)
    count++;
  return count;
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::set_register(uint32_t regnum, vucrash_dwarf_cfa_reg_rule_t rule, P value) {
  uint8_t *link = &table_[level_][regnum % kBucketCount];
  while (*link != kEnd) {
    entry &e = entries_[*link];
    if (e.regnum == regnum) {
      e.rule = rule;
      e.value = value;
      return true;
    }
    link = &e.next;
  }
  const uint8_t fresh = take_entry();
  if (fresh == kEnd)
    return false;
  entries_[fresh] = entry{value, regnum, static_cast<uint32_t>(rule), kEnd};
  *link = fresh;
  register_count_[level_]++;
  return true;
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::get_register_rule(uint32_t regnum, vucrash_dwarf_cfa_reg_rule_t *rule,
                                              P *value) const {
  for (uint8_t e = table_[level_][regnum % kBucketCount]; e != kEnd; e = entries_[e].next) {
    if (entries_[e].regnum == regnum) {
      *rule = static_cast<vucrash_dwarf_cfa_reg_rule_t>(entries_[e].rule);
      *value = entries_[e].value;
      return true;
    }
  }
  return false;
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::remove_register(uint32_t regnum) {
  uint8_t *link = &table_[level_][regnum % kBucketCount];
  while (*link != kEnd) {
    const uint8_t e = *link;
    if (entries_[e].regnum == regnum) {
      *link = entries_[e].next;
      entries_[e].next = free_list_;
      free_list_ = e;
      register_count_[level_]--;
      return;
    }
    link = &entries_[e].next;
  }
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::set_cfa_register(uint32_t regnum, P offset) {
  cfa_[level_] = cfa_rule{VUCRASH_DWARF_CFA_STATE_CFA_TYPE_REGISTER, regnum, offset, 0, 0};
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::set_cfa_register_signed(uint32_t regnum, S offset) {
  cfa_[level_] = cfa_rule{VUCRASH_DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED, regnum,
                          static_cast<P>(offset), 0, 0};
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::set_cfa_expression(vucrash_vm_address_t address, vucrash_vm_size_t length) {
  cfa_[level_] = cfa_rule{VUCRASH_DWARF_CFA_STATE_CFA_TYPE_EXPRESSION, 0, 0, address, length};
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::copy_level(uint8_t from, uint8_t to) {
  for (uint8_t b = 0; b < kBucketCount; ++b) {
    uint8_t *link = &table_[to][b];
    for (uint8_t e = table_[from][b]; e != kEnd; e = entries_[e].next) {
      const uint8_t fresh = take_entry();
      if (fresh == kEnd)
        return false;
      entries_[fresh] = entries_[e];
      entries_[fresh].next = kEnd;
      *link = fresh;
      link = &entries_[fresh].next;
      register_count_[to]++;
    }
  }
  cfa_[to] = cfa_[from];
  return true;
}

template <typename P, typename S>
void dwarf_cfa_state<P, S>::free_level(uint8_t level) {
  for (uint8_t b = 0; b < kBucketCount; ++b) {
    uint8_t e = table_[level][b];
    while (e != kEnd) {
      const uint8_t next = entries_[e].next;
      entries_[e].next = free_list_;
      free_list_ = e;
      e = next;
    }
    table_[level][b] = kEnd;
  }
  register_count_[level] = 0;
  cfa_[level] = cfa_rule{VUCRASH_DWARF_CFA_STATE_CFA_TYPE_UNDEFINED, 0, 0, 0, 0};
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::push_state() {
  if (level_ + 1 >= kMaxLevels)
    return false;
  if (!copy_level(level_, static_cast<uint8_t>(level_ + 1))) {
    free_level(static_cast<uint8_t>(level_ + 1));
    return false;
  }
  level_++;
  return true;
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::pop_state() {
  if (level_ == 0)
    return false;
  // A function with many remember/restore pairs (libc has thousands) would otherwise drain
  // the pool long before its last one.
  free_level(level_);
  level_--;
  return true;
}

template <typename P, typename S>
bool dwarf_cfa_state<P, S>::iterator::next(uint32_t *regnum, vucrash_dwarf_cfa_reg_rule_t *rule, P *value) {
  if (started_ && entry_ != kEnd)
    entry_ = state_->entries_[entry_].next;
  if (!started_) {
    started_ = true;
    entry_ = state_->table_[state_->level_][0];
  }
  while (entry_ == kEnd) {
    if (++bucket_ >= kBucketCount)
      return false;
    entry_ = state_->table_[state_->level_][bucket_];
  }
  const entry &e = state_->entries_[entry_];
  *regnum = e.regnum;
  *rule = static_cast<vucrash_dwarf_cfa_reg_rule_t>(e.rule);
  *value = e.value;
  return true;
}

namespace {

// An opcode's register operand: a ULEB128 that must fit the table's register numbers.
template <typename P, typename S>
vucrash_error_t readRegnum(dwarf_opstream *opstream, uint32_t *regnum) {
  uint64_t value;
  if (!opstream->read_uleb128(&value)) {
    VUCR_LOG("Read of ULEB128 value failed");
    return VUCRASH_ERR_INVAL;
  }
  if (value > VUCRASH_DWARF_CFA_STATE_REGNUM_MAX) {
    VUCR_LOG("Register number %llu exceeds DWARF_CFA_STATE_REGNUM_MAX",
             static_cast<unsigned long long>(value));
    return VUCRASH_ERR_NOTSUP;
  }
  *regnum = static_cast<uint32_t>(value);
  return VUCRASH_ERR_NONE;
}

}  // namespace

template <typename P, typename S>
vucrash_error_t dwarf_cfa_state<P, S>::eval_program(
    const vucrash_async_mobject_t *mobj, P pc, P initial_loc,
    const vucrash_async_dwarf_cie_info_t *cie_info, const gnu_ehptr_reader<P> *ptr_reader,
    const vucrash_async_byteorder_t *byteorder, vucrash_vm_address_t address,
    vucrash_vm_off_t offset, vucrash_vm_size_t length) {
  // The rules as they stand before this program, for DW_CFA_restore.
  dwarf_cfa_state initial;
  {
    iterator it(this);
    uint32_t regnum;
    vucrash_dwarf_cfa_reg_rule_t rule;
    P value;
    while (it.next(&regnum, &rule, &value)) {
      if (!initial.set_register(regnum, rule, value)) {
        VUCR_LOG("Hit register allocation limit while saving initial state");
        return VUCRASH_ERR_NOMEM;
      }
    }
  }

  uint8_t ptrEncoding = VUCRASH_DW_EH_PE_absptr;
  if (cie_info->eh_augmentation.has_eh_augmentation && cie_info->eh_augmentation.has_pointer_encoding)
    ptrEncoding = cie_info->eh_augmentation.pointer_encoding;

  vucrash_vm_address_t start;
  if (!vucrash_async_address_apply_offset(address, offset, &start)) {
    VUCR_LOG("Offset overflows base address");
    return VUCRASH_ERR_INVAL;
  }
  dwarf_opstream opstream;
  vucrash_error_t err = opstream.init(mobj, byteorder, address, offset, length);
  if (err != VUCRASH_ERR_NONE)
    return err;

  const uint64_t codeAlign = cie_info->code_alignment_factor;
  const int64_t dataAlign = cie_info->data_alignment_factor;
  P location = initial_loc;
  uint32_t regnum = 0;

  auto restoreRule = [&](uint32_t reg) -> vucrash_error_t {
    vucrash_dwarf_cfa_reg_rule_t rule;
    P value;
    if (initial.get_register_rule(reg, &rule, &value)) {
      if (!set_register(reg, rule, value)) {
        VUCR_LOG("Exhausted available register slots while evaluating CFA opcodes");
        return VUCRASH_ERR_NOMEM;
      }
    } else {
      remove_register(reg);
    }
    return VUCRASH_ERR_NONE;
  };
  auto setRule = [&](uint32_t reg, vucrash_dwarf_cfa_reg_rule_t rule, P value) -> vucrash_error_t {
    if (!set_register(reg, rule, value)) {
      VUCR_LOG("Exhausted available register slots while evaluating CFA opcodes");
      return VUCRASH_ERR_NOMEM;
    }
    return VUCRASH_ERR_NONE;
  };
  auto readU = [&](uint64_t *v) -> bool {
    if (opstream.read_uleb128(v))
      return true;
    VUCR_LOG("Read of ULEB128 value failed");
    return false;
  };
  auto readS = [&](int64_t *v) -> bool {
    if (opstream.read_sleb128(v))
      return true;
    VUCR_LOG("Read of SLEB128 value failed");
    return false;
  };
  // An expression operand: its ULEB128 length, then its bytes; the stream moves past them.
  auto readExpression = [&](vucrash_vm_address_t *exprAddr, uint64_t *exprLength,
                            vucrash_vm_address_t *lengthAddr, const char *positionText) -> vucrash_error_t {
    *lengthAddr = opstream.task_address();
    if (!readU(exprLength))
      return VUCRASH_ERR_INVAL;
    if (static_cast<int64_t>(*exprLength) < 0) {
      VUCR_LOG("DWARF expression length exceeds PL_VM_SIZE_MAX/PL_VM_OFF_MAX in DW_CFA_def_cfa_expression operand");
      return VUCRASH_ERR_NOTSUP;
    }
    *exprAddr = opstream.task_address();
    if (*exprLength > opstream.remaining() || !opstream.skip(static_cast<int64_t>(*exprLength))) {
      VUCR_LOG("%s", positionText);
      return VUCRASH_ERR_NOTSUP;
    }
    return VUCRASH_ERR_NONE;
  };

  while (!opstream.at_end()) {
    if (pc != 0 && location > pc)
      break;
    uint8_t opcode;
    if (!opstream.read_intU(&opcode))
      return VUCRASH_ERR_INVAL;

    const uint8_t primary = opcode & 0xc0;
    const uint8_t operand = opcode & 0x3f;
    if (primary == 0x40) {  // DW_CFA_advance_loc
      location = static_cast<P>(location + operand * codeAlign);
      continue;
    }
    if (primary == 0x80) {  // DW_CFA_offset
      uint64_t n;
      if (!readU(&n))
        return VUCRASH_ERR_INVAL;
      if ((err = setRule(operand, VUCRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<P>(n * dataAlign))))
        return err;
      continue;
    }
    if (primary == 0xc0) {  // DW_CFA_restore
      if ((err = restoreRule(operand)))
        return err;
      continue;
    }

    switch (opcode) {
      case 0x00:  // DW_CFA_nop
        break;
      case 0x01: {  // DW_CFA_set_loc
        if (cie_info->segment_size != 0) {
          VUCR_LOG("Segment support has not been implemented");
          return VUCRASH_ERR_NOTSUP;
        }
        P target;
        if (!opstream.read_gnueh_ptr(ptr_reader, ptrEncoding, &target)) {
          VUCR_LOG("DW_CFA_set_loc failed to read the target pointer value");
          return VUCRASH_ERR_INVAL;
        }
        location = target;
        break;
      }
      case 0x02: {  // DW_CFA_advance_loc1
        uint8_t delta;
        if (!opstream.read_intU(&delta))
          return VUCRASH_ERR_INVAL;
        location = static_cast<P>(location + delta * codeAlign);
        break;
      }
      case 0x03: {  // DW_CFA_advance_loc2
        uint16_t delta;
        if (!opstream.read_intU(&delta))
          return VUCRASH_ERR_INVAL;
        location = static_cast<P>(location + delta * codeAlign);
        break;
      }
      case 0x04: {  // DW_CFA_advance_loc4
        uint32_t delta;
        if (!opstream.read_intU(&delta))
          return VUCRASH_ERR_INVAL;
        location = static_cast<P>(location + delta * codeAlign);
        break;
      }
      case 0x05:    // DW_CFA_offset_extended
      case 0x14: {  // DW_CFA_val_offset
        uint64_t n;
        if ((err = readRegnum<P, S>(&opstream, &regnum)))
          return err;
        if (!readU(&n))
          return VUCRASH_ERR_INVAL;
        const auto rule = opcode == 0x05 ? VUCRASH_DWARF_CFA_REG_RULE_OFFSET : VUCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET;
        if ((err = setRule(regnum, rule, static_cast<P>(n * dataAlign))))
          return err;
        break;
      }
      case 0x11:    // DW_CFA_offset_extended_sf
      case 0x15: {  // DW_CFA_val_offset_sf
        int64_t n;
        if ((err = readRegnum<P, S>(&opstream, &regnum)))
          return err;
        if (!readS(&n))
          return VUCRASH_ERR_INVAL;
        const auto rule = opcode == 0x11 ? VUCRASH_DWARF_CFA_REG_RULE_OFFSET : VUCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET;
        if ((err = setRule(regnum, rule, static_cast<P>(n * dataAlign))))
          return err;
        break;
      }
      case 0x2f: {  // DW_CFA_GNU_negative_offset_extended
        uint64_t n;
        if ((err = readRegnum<P, S>(&opstream, &regnum)))
          return err;
        if (!readU(&n))
          return VUCRASH_ERR_INVAL;
        if ((err = setRule(regnum, VUCRASH_DWARF_CFA_REG_RULE_OFFSET,
                           static_cast<P>(-static_cast<int64_t>(n) * dataAlign))))
          return err;
        break;
      }
      case 0x06:  // DW_CFA_restore_extended
        if ((err = readRegnum<P, S>(&opstream, &regnum)))
          return err;
        if ((err = restoreRule(regnum)))
          return err;
        break;
      case 0x07:  // DW_CFA_undefined
        if ((err = readRegnum<P, S>(&opstream, &regnum)))
          return err;
        remove_register(regnum);
        break;
      case 0x08:  // DW_CFA_same_value
        if ((err = readRegnum<P, S>(&opstream, &regnum)))
          return err;
        if ((err = setRule(regnum, VUCRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0)))
          return err;
        break;
      case 0x09: {  // DW_CFA_register
        uint32_t other;
        if ((err = readRegnum<P, S>(&opstream, &regnum)))
          return err;
        if ((err = readRegnum<P, S>(&opstream, &other)))
          return err;
        if ((err = setRule(regnum, VUCRASH_DWARF_CFA_REG_RULE_REGISTER, other)))
          return err;
        break;
      }
      case 0x0a:  // DW_CFA_remember_state
        if (level_ + 1 >= kMaxLevels) {
          VUCR_LOG("DW_CFA_remember_state exeeded the allocated CFA stack size");
          return VUCRASH_ERR_NOMEM;
        }
        if (!push_state()) {
          VUCR_LOG("Exhausted available register slots while evaluating CFA opcodes");
          return VUCRASH_ERR_NOMEM;
        }
        break;
      case 0x0b:  // DW_CFA_restore_state
        if (!pop_state()) {
          VUCR_LOG("DW_CFA_restore_state was issued on an empty CFA stack");
          return VUCRASH_ERR_INVAL;
        }
        break;
      case 0x0c: {  // DW_CFA_def_cfa
        uint64_t cfaOffset;
        if ((err = readRegnum<P, S>(&opstream, &regnum)))
          return err;
        if (!readU(&cfaOffset))
          return VUCRASH_ERR_INVAL;
        set_cfa_register(regnum, static_cast<P>(cfaOffset));
        break;
      }
      case 0x12: {  // DW_CFA_def_cfa_sf
        int64_t n;
        if ((err = readRegnum<P, S>(&opstream, &regnum)))
          return err;
        if (!readS(&n))
          return VUCRASH_ERR_INVAL;
        set_cfa_register_signed(regnum, static_cast<S>(n * dataAlign));
        break;
      }
      case 0x0d:    // DW_CFA_def_cfa_register
      case 0x0e:    // DW_CFA_def_cfa_offset
      case 0x13: {  // DW_CFA_def_cfa_offset_sf
        cfa_rule rule = get_cfa_rule();
        if (opcode == 0x0d) {
          if ((err = readRegnum<P, S>(&opstream, &regnum)))
            return err;
        }
        uint64_t u = 0;
        int64_t s = 0;
        if (opcode == 0x0e && !readU(&u))
          return VUCRASH_ERR_INVAL;
        if (opcode == 0x13 && !readS(&s))
          return VUCRASH_ERR_INVAL;
        if (rule.type != VUCRASH_DWARF_CFA_STATE_CFA_TYPE_REGISTER &&
            rule.type != VUCRASH_DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED) {
          VUCR_LOG(opcode == 0x0d ? "DW_CFA_def_cfa_register emitted for a non-register CFA rule state"
                                  : "DW_CFA_def_cfa_offset emitted for a non-register CFA rule state");
          return VUCRASH_ERR_INVAL;
        }
        if (opcode == 0x0d) {
          if (rule.type == VUCRASH_DWARF_CFA_STATE_CFA_TYPE_REGISTER)
            set_cfa_register(regnum, rule.offset);
          else
            set_cfa_register_signed(regnum, static_cast<S>(rule.offset));
        } else if (opcode == 0x0e) {
          set_cfa_register(rule.reg, static_cast<P>(u));
        } else {
          set_cfa_register_signed(rule.reg, static_cast<S>(s * dataAlign));
        }
        break;
      }
      case 0x0f: {  // DW_CFA_def_cfa_expression
        vucrash_vm_address_t exprAddr, lengthAddr;
        uint64_t exprLength;
        if ((err = readExpression(&exprAddr, &exprLength, &lengthAddr,
                                  "DWARF expression position exceeds PL_VM_ADDRESS_MAX/PL_VM_OFF_MAX in CFA opcode stream")))
          return err;
        set_cfa_expression(exprAddr, exprLength);
        break;
      }
      case 0x10:    // DW_CFA_expression
      case 0x16: {  // DW_CFA_val_expression
        if ((err = readRegnum<P, S>(&opstream, &regnum)))
          return err;
        vucrash_vm_address_t exprAddr, lengthAddr;
        uint64_t exprLength;
        if ((err = readExpression(&exprAddr, &exprLength, &lengthAddr,
                                  "DWARF expression position exceeds PL_VM_ADDRESS_MAX/PL_VM_OFF_MAX in DW_CFA_expression evaluation")))
          return err;
        const auto rule = opcode == 0x10 ? VUCRASH_DWARF_CFA_REG_RULE_EXPRESSION : VUCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION;
        if ((err = setRule(regnum, rule, static_cast<P>(lengthAddr))))
          return err;
        break;
      }
      case 0x2e: {  // DW_CFA_GNU_args_size: argument bytes pushed; no rule changes
        uint64_t ignored;
        if (!readU(&ignored))
          return VUCRASH_ERR_INVAL;
        break;
      }
      default:
        VUCR_LOG("Unsupported opcode 0x%hhx", opcode);
        return VUCRASH_ERR_NOTSUP;
    }
  }
  return VUCRASH_ERR_NONE;
}

namespace {

template <typename P, typename S>
vucrash_error_t evalExpression(vucrash_task_t task, const vucrash_async_thread_state_t *thread_state,
                               const vucrash_async_byteorder_t *byteorder,
                               vucrash_vm_address_t address, vucrash_vm_size_t length,
                               const P *initial, size_t initialCount, P *result) {
  vucrash_async_mobject_t mobj;
  vucrash_error_t err = vucrash_async_mobject_init(&mobj, task, address, length, true);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Could not map CFA expression range");
    return err;
  }
  err = vucrash_async_dwarf_expression_eval<P, S>(&mobj, task, thread_state, byteorder, address, 0,
                                                 length, initial, initialCount, result);
  vucrash_async_mobject_free(&mobj);
  if (err != VUCRASH_ERR_NONE)
    VUCR_LOG(sizeof(P) == 8 ? "CFA eval_64 failed: %d" : "CFA eval_32 failed: %d", static_cast<int>(err));
  return err;
}

template <typename P>
vucrash_error_t readWord(vucrash_async_page_cache_t *stack, vucrash_task_t task, vucrash_vm_address_t address,
                         P *value) {
  return vucrash_async_page_cache_read(stack, task, address, value, sizeof(P));
}

}  // namespace

template <typename P, typename S>
vucrash_error_t dwarf_cfa_state<P, S>::apply_state(vucrash_task_t task,
                                                   const vucrash_async_dwarf_cie_info_t *cie_info,
                                                   const vucrash_async_thread_state_t *thread_state,
                                                   const vucrash_async_byteorder_t *byteorder,
                                                   vucrash_async_thread_state_t *new_thread_state,
                                                   vucrash_async_page_cache_t *stack) const {
  vucrash_async_thread_state_copy(new_thread_state, thread_state);
  vucrash_async_thread_state_clear_volatile_regs(new_thread_state);

  const cfa_rule rule = get_cfa_rule();
  P cfa = 0;
  vucrash_error_t err;
  switch (rule.type) {
    case VUCRASH_DWARF_CFA_STATE_CFA_TYPE_UNDEFINED:
      VUCR_LOG("No canonical frame address specified in the CFA state; can't apply state");
      return VUCRASH_ERR_INVAL;
    case VUCRASH_DWARF_CFA_STATE_CFA_TYPE_REGISTER:
    case VUCRASH_DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED: {
      vucrash_regnum_t reg;
      if (!vucrash_async_thread_state_map_dwarf_to_reg(thread_state, rule.reg, &reg)) {
        VUCR_LOG("CFA rule references an unsupported DWARF register: 0x%x", rule.reg);
        return VUCRASH_ERR_NOTSUP;
      }
      if (!vucrash_async_thread_state_has_reg(thread_state, reg)) {
        VUCR_LOG("CFA rule references a register that is not available from the current thread state: %s",
                 vucrash_async_thread_state_get_reg_name(thread_state, reg));
        return VUCRASH_ERR_NOTFOUND;
      }
      cfa = static_cast<P>(vucrash_async_thread_state_get_reg(thread_state, reg) + rule.offset);
      break;
    }
    case VUCRASH_DWARF_CFA_STATE_CFA_TYPE_EXPRESSION:
      if ((err = evalExpression<P, S>(task, thread_state, byteorder, rule.expression,
                                      rule.expression_length, nullptr, 0, &cfa)))
        return err;
      break;
  }
  vucrash_async_thread_state_set_reg(new_thread_state, VUCRASH_REG_SP, cfa);

  const uint64_t raColumn = cie_info->return_address_register;
  iterator it(this);
  uint32_t dwarfReg;
  vucrash_dwarf_cfa_reg_rule_t regRule;
  P value;
  while (it.next(&dwarfReg, &regRule, &value)) {
    vucrash_regnum_t target;
    bool mapped = vucrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarfReg, &target);
    if (!mapped) {
      if (dwarfReg != raColumn) {
        VUCR_LOG("Register rule references an unsupported DWARF register: 0x%llx",
                 static_cast<unsigned long long>(dwarfReg));
        return VUCRASH_ERR_INVAL;
      }
      target = VUCRASH_REG_IP;
    }

    P newValue = 0;
    switch (regRule) {
      case VUCRASH_DWARF_CFA_REG_RULE_OFFSET:
        if ((err = readWord(stack, task, static_cast<P>(cfa + value), &newValue))) {
          VUCR_LOG("Failed to read offset(N) register value: %d", static_cast<int>(err));
          return err;
        }
        break;
      case VUCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET:
        newValue = static_cast<P>(cfa + value);
        break;
      case VUCRASH_DWARF_CFA_REG_RULE_REGISTER: {
        vucrash_regnum_t other;
        if (!vucrash_async_thread_state_map_dwarf_to_reg(thread_state, value, &other)) {
          VUCR_LOG("Register rule references an unsupported DWARF register: 0x%llx",
                   static_cast<unsigned long long>(value));
          return VUCRASH_ERR_INVAL;
        }
        if (!vucrash_async_thread_state_has_reg(thread_state, other)) {
          VUCR_LOG("Register rule references a register that is not available from the current thread state: %s",
                   vucrash_async_thread_state_get_reg_name(thread_state, other));
          return VUCRASH_ERR_NOTFOUND;
        }
        newValue = static_cast<P>(vucrash_async_thread_state_get_reg(thread_state, other));
        break;
      }
      case VUCRASH_DWARF_CFA_REG_RULE_EXPRESSION:
      case VUCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION: {
        uint64_t exprLength;
        vucrash_vm_size_t lengthSize;
        if ((err = vucrash_async_dwarf_read_task_uleb128(task, value, 0, &exprLength, &lengthSize))) {
          VUCR_LOG("Failed to read uleb128 length header for rule expression");
          return err;
        }
        vucrash_vm_address_t exprAddr;
        if (!vucrash_async_address_apply_offset(value, static_cast<vucrash_vm_off_t>(lengthSize), &exprAddr)) {
          VUCR_LOG("Overflow applying the ULEB128 length to our expression base address");
          return VUCRASH_ERR_INVAL;
        }
        P result;
        if ((err = evalExpression<P, S>(task, thread_state, byteorder, exprAddr, exprLength, &cfa, 1, &result)))
          return err;
        if (regRule == VUCRASH_DWARF_CFA_REG_RULE_EXPRESSION) {
          if ((err = readWord(stack, task, result, &newValue))) {
            VUCR_LOG("Failed to read register value from expression result: %d", static_cast<int>(err));
            return err;
          }
        } else {
          newValue = result;
        }
        break;
      }
      case VUCRASH_DWARF_CFA_REG_RULE_SAME_VALUE:
        if (!mapped || !vucrash_async_thread_state_has_reg(thread_state, target)) {
          VUCR_LOG("Same-value rule references a register that is not available from the current thread state");
          return VUCRASH_ERR_NOTFOUND;
        }
        newValue = static_cast<P>(vucrash_async_thread_state_get_reg(thread_state, target));
        break;
    }

    vucrash_async_thread_state_set_reg(new_thread_state, target, newValue);
    if (dwarfReg == raColumn && mapped)
      vucrash_async_thread_state_set_reg(new_thread_state, VUCRASH_REG_IP, newValue);
  }

  if (vucrash_async_thread_state_has_reg(new_thread_state, VUCRASH_REG_IP))
    return VUCRASH_ERR_NONE;

  vucrash_regnum_t raReg;
  if (!vucrash_async_thread_state_map_dwarf_to_reg(thread_state, raColumn, &raReg)) {
    VUCR_LOG("Return address register value references an unsupported DWARF register: 0x%llx",
             static_cast<unsigned long long>(raColumn));
    return VUCRASH_ERR_INVAL;
  }
  if (!vucrash_async_thread_state_has_reg(thread_state, raReg)) {
    VUCR_LOG("CIE return_address_register references a register that is not available from the current thread state: %s",
             vucrash_async_thread_state_get_reg_name(thread_state, raReg));
    return VUCRASH_ERR_INVAL;
  }
  vucrash_async_thread_state_set_reg(new_thread_state, VUCRASH_REG_IP,
                                     vucrash_async_thread_state_get_reg(thread_state, raReg));
  return VUCRASH_ERR_NONE;
}

template class dwarf_cfa_state<uint32_t, int32_t>;
template class dwarf_cfa_state<uint64_t, int64_t>;

}  // namespace async
}  // namespace VU
}  // namespace vucrash
