// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashDwarfExpression.h"

#include "VUCrashAsyncLog.h"
#include "VUCrashDwarfOpstream.h"

using vucrash::VU::async::dwarf_opstream;

namespace {

template <typename machine_ptr>
class ValueStack {
 public:
  enum { kCapacity = 100 };

  bool push(machine_ptr value) {
    if (depth_ == kCapacity) {
      VUCR_LOG("Hit stack limit; cannot push further values");
      return false;
    }
    values_[depth_++] = value;
    return true;
  }
  bool pop(machine_ptr *value) {
    if (depth_ == 0) {
      VUCR_LOG("Pop on an empty stack");
      return false;
    }
    *value = values_[--depth_];
    return true;
  }
  size_t depth() const { return depth_; }
  // n = 0 is the top.
  machine_ptr peek(size_t n) const { return values_[depth_ - 1 - n]; }
  machine_ptr &at(size_t n) { return values_[depth_ - 1 - n]; }

 private:
  machine_ptr values_[kCapacity];
  size_t depth_ = 0;
};

template <typename machine_ptr>
vucrash_error_t readSized(vucrash_task_t task, machine_ptr address, uint8_t size,
                          machine_ptr *value) {
  uint64_t word = 0;
  // Little-endian host: the low `size` bytes of the word are the value.
  vucrash_error_t err = vucrash_async_read_addr(task, address, &word, size);
  if (err == VUCRASH_ERR_NONE)
    *value = static_cast<machine_ptr>(word);
  return err;
}

}  // namespace

template <typename machine_ptr, typename machine_ptr_s>
vucrash_error_t vucrash_async_dwarf_expression_eval(
    const vucrash_async_mobject_t *mobj, vucrash_task_t task,
    const vucrash_async_thread_state_t *thread_state, const vucrash_async_byteorder_t *byteorder,
    vucrash_vm_address_t address, vucrash_vm_off_t offset, vucrash_vm_size_t length,
    const machine_ptr *initial_state, size_t initial_count, machine_ptr *result) {
  dwarf_opstream opstream;
  vucrash_error_t err = opstream.init(mobj, byteorder, address, offset, length);
  if (err != VUCRASH_ERR_NONE)
    return err;

  ValueStack<machine_ptr> stack;
  for (size_t i = 0; i < initial_count; ++i) {
    if (!stack.push(initial_state[i]))
      return VUCRASH_ERR_INTERNAL;
  }

#define VU_PUSH(v)                   \
  do {                               \
    if (!stack.push(v))              \
      return VUCRASH_ERR_INTERNAL;   \
  } while (0)
#define VU_POP(v)                    \
  do {                               \
    if (!stack.pop(&(v)))            \
      return VUCRASH_ERR_INTERNAL;   \
  } while (0)

  unsigned operations = 0;
  while (!opstream.at_end()) {
    if (++operations > VUCRASH_DWARF_EXPRESSION_OP_BUDGET) {
      VUCR_LOG("Expression exceeded %d operations; giving up", VUCRASH_DWARF_EXPRESSION_OP_BUDGET);
      return VUCRASH_ERR_INVALID_DATA;
    }
    uint8_t opcode = 0;
    if (!opstream.read_intU(&opcode))
      return VUCRASH_ERR_INVAL;

    if (opcode >= 0x30 && opcode <= 0x4f) {  // DW_OP_lit0..31
      VU_PUSH(static_cast<machine_ptr>(opcode - 0x30));
      continue;
    }
    if ((opcode >= 0x70 && opcode <= 0x8f) || opcode == 0x92) {  // DW_OP_breg0..31, bregx
      uint64_t dwarfReg = opcode - 0x70;
      if (opcode == 0x92 && !opstream.read_uleb128(&dwarfReg)) {
        VUCR_LOG("Read of ULEB128 value failed");
        return VUCRASH_ERR_INVAL;
      }
      int64_t regOffset = 0;
      if (!opstream.read_sleb128(&regOffset)) {
        VUCR_LOG("Read of SLEB128 value failed");
        return VUCRASH_ERR_INVAL;
      }
      vucrash_regnum_t reg;
      if (!vucrash_async_thread_state_map_dwarf_to_reg(thread_state, dwarfReg, &reg)) {
        VUCR_LOG("Unsupported DWARF register value of 0x%llx", static_cast<unsigned long long>(dwarfReg));
        return VUCRASH_ERR_NOTSUP;
      }
      if (!vucrash_async_thread_state_has_reg(thread_state, reg)) {
        VUCR_LOG("Register value of %s unavailable in the current frame.",
                 vucrash_async_thread_state_get_reg_name(thread_state, reg));
        return VUCRASH_ERR_NOTFOUND;
      }
      const machine_ptr regValue =
          static_cast<machine_ptr>(vucrash_async_thread_state_get_reg(thread_state, reg));
      VU_PUSH(static_cast<machine_ptr>(regValue + static_cast<machine_ptr>(regOffset)));
      continue;
    }

    switch (opcode) {
      case 0x06: {  // DW_OP_deref
        machine_ptr addr;
        VU_POP(addr);
        machine_ptr value = 0;
        err = vucrash_async_read_addr(task, addr, &value, sizeof(value));
        if (err != VUCRASH_ERR_NONE) {
          VUCR_LOG("DW_OP_deref referenced an invalid target address 0x%llx",
                   static_cast<unsigned long long>(addr));
          return err;
        }
        VU_PUSH(value);
        break;
      }
#define VU_CONST(code, type)                                  \
  case code: {                                                \
    type v;                                                   \
    if (!opstream.read_intU(&v))                              \
      return VUCRASH_ERR_INVAL;                               \
    VU_PUSH(static_cast<machine_ptr>(v));                     \
    break;                                                    \
  }
      VU_CONST(0x08, uint8_t)
      VU_CONST(0x09, int8_t)
      VU_CONST(0x0a, uint16_t)
      VU_CONST(0x0b, int16_t)
      VU_CONST(0x0c, uint32_t)
      VU_CONST(0x0d, int32_t)
      VU_CONST(0x0e, uint64_t)
      VU_CONST(0x0f, int64_t)
#undef VU_CONST
      case 0x10: {  // DW_OP_constu
        uint64_t v;
        if (!opstream.read_uleb128(&v)) {
          VUCR_LOG("Read of ULEB128 value failed");
          return VUCRASH_ERR_INVAL;
        }
        VU_PUSH(static_cast<machine_ptr>(v));
        break;
      }
      case 0x11: {  // DW_OP_consts
        int64_t v;
        if (!opstream.read_sleb128(&v)) {
          VUCR_LOG("Read of SLEB128 value failed");
          return VUCRASH_ERR_INVAL;
        }
        VU_PUSH(static_cast<machine_ptr>(v));
        break;
      }
      case 0x12:  // DW_OP_dup
        if (stack.depth() < 1) {
          VUCR_LOG("DW_OP_dup on an empty stack");
          return VUCRASH_ERR_INVAL;
        }
        VU_PUSH(stack.peek(0));
        break;
      case 0x13: {  // DW_OP_drop
        if (stack.depth() < 1) {
          VUCR_LOG("DW_OP_drop on an empty stack");
          return VUCRASH_ERR_INVAL;
        }
        machine_ptr ignored;
        VU_POP(ignored);
        break;
      }
      case 0x14:  // DW_OP_over
        if (stack.depth() < 2) {
          VUCR_LOG("DW_OP_over on stack with < 2 elements");
          return VUCRASH_ERR_INVAL;
        }
        VU_PUSH(stack.peek(1));
        break;
      case 0x15: {  // DW_OP_pick
        uint8_t index;
        if (!opstream.read_intU(&index))
          return VUCRASH_ERR_INVAL;
        if (index >= stack.depth()) {
          VUCR_LOG("DW_OP_pick on invalid index");
          return VUCRASH_ERR_INVAL;
        }
        VU_PUSH(stack.peek(index));
        break;
      }
      case 0x16:  // DW_OP_swap
        if (stack.depth() < 2) {
          VUCR_LOG("DW_OP_swap on stack with < 2 elements");
          return VUCRASH_ERR_INVAL;
        } else {
          machine_ptr top = stack.at(0);
          stack.at(0) = stack.at(1);
          stack.at(1) = top;
        }
        break;
      case 0x17:  // DW_OP_rot
        if (stack.depth() < 3) {
          VUCR_LOG("DW_OP_rot on stack with < 3 elements");
          return VUCRASH_ERR_INVAL;
        } else {
          machine_ptr top = stack.at(0);
          stack.at(0) = stack.at(1);
          stack.at(1) = stack.at(2);
          stack.at(2) = top;
        }
        break;
      case 0x18:    // DW_OP_xderef
      case 0x95: {  // DW_OP_xderef_size
        if (stack.depth() < 2) {
          VUCR_LOG(opcode == 0x18 ? "DW_OP_xderef on stack with < 2 elements"
                                  : "DW_OP_xderef_size on stack with < 2 elements");
          return VUCRASH_ERR_INVAL;
        }
        uint8_t size = sizeof(machine_ptr);
        if (opcode == 0x95 && !opstream.read_intU(&size))
          return VUCRASH_ERR_INVAL;
        machine_ptr addr, space;
        VU_POP(addr);
        VU_POP(space);
        (void)space;
        if (size > sizeof(machine_ptr)) {
          VUCR_LOG("DW_OP_deref_size specified a size larger than the native machine word");
          return VUCRASH_ERR_INVAL;
        }
        if (size != 1 && size != 2 && size != 4 && size != 8) {
          VUCR_LOG("DW_OP_deref_size specified an unsupported size of %hhu", size);
          return VUCRASH_ERR_INVAL;
        }
        machine_ptr value = 0;
        err = readSized(task, addr, size, &value);
        if (err != VUCRASH_ERR_NONE) {
          VUCR_LOG("DW_OP_deref_size referenced an invalid target address 0x%llx",
                   static_cast<unsigned long long>(addr));
          return err;
        }
        VU_PUSH(value);
        break;
      }
      case 0x94: {  // DW_OP_deref_size
        uint8_t size;
        if (!opstream.read_intU(&size))
          return VUCRASH_ERR_INVAL;
        if (size > sizeof(machine_ptr)) {
          VUCR_LOG("DW_OP_deref_size specified a size larger than the native machine word");
          return VUCRASH_ERR_INVAL;
        }
        if (size != 1 && size != 2 && size != 4 && size != 8) {
          VUCR_LOG("DW_OP_deref_size specified an unsupported size of %hhu", size);
          return VUCRASH_ERR_INVAL;
        }
        machine_ptr addr;
        VU_POP(addr);
        machine_ptr value = 0;
        err = readSized(task, addr, size, &value);
        if (err != VUCRASH_ERR_NONE) {
          VUCR_LOG("DW_OP_deref_size referenced an invalid target address 0x%llx",
                   static_cast<unsigned long long>(addr));
          return err;
        }
        VU_PUSH(value);
        break;
      }
      case 0x19: {  // DW_OP_abs
        machine_ptr v;
        VU_POP(v);
        const machine_ptr_s sv = static_cast<machine_ptr_s>(v);
        VU_PUSH(static_cast<machine_ptr>(sv < 0 ? -sv : sv));
        break;
      }
      case 0x1f: {  // DW_OP_neg
        machine_ptr v;
        VU_POP(v);
        VU_PUSH(static_cast<machine_ptr>(0 - v));
        break;
      }
      case 0x20: {  // DW_OP_not
        machine_ptr v;
        VU_POP(v);
        VU_PUSH(static_cast<machine_ptr>(~v));
        break;
      }
      case 0x23: {  // DW_OP_plus_uconst
        uint64_t addend;
        if (!opstream.read_uleb128(&addend)) {
          VUCR_LOG("Read of ULEB128 value failed");
          return VUCRASH_ERR_INVAL;
        }
        machine_ptr v;
        VU_POP(v);
        VU_PUSH(static_cast<machine_ptr>(v + addend));
        break;
      }
      case 0x1a: case 0x1b: case 0x1c: case 0x1d: case 0x1e: case 0x21: case 0x22:
      case 0x24: case 0x25: case 0x26: case 0x27:
      case 0x29: case 0x2a: case 0x2b: case 0x2c: case 0x2d: case 0x2e: {
        machine_ptr top, second;
        VU_POP(top);
        VU_POP(second);
        machine_ptr r = 0;
        switch (opcode) {
          case 0x1a: r = second & top; break;
          case 0x1b:
            if (top == 0) {
              VUCR_LOG("DW_OP_div attempted divide by zero");
              return VUCRASH_ERR_INVAL;
            }
            r = second / top;
            break;
          case 0x1c: r = second - top; break;
          case 0x1d:
            if (top == 0) {
              VUCR_LOG("DW_OP_mod attempted divide by zero");
              return VUCRASH_ERR_INVAL;
            }
            r = second % top;
            break;
          case 0x1e: r = static_cast<machine_ptr>(second * top); break;
          case 0x21: r = second | top; break;
          case 0x22: r = static_cast<machine_ptr>(second + top); break;
          // Shifts by the width or more are undefined in C++: they give what the bits say.
          case 0x24: r = top >= sizeof(machine_ptr) * 8 ? 0 : static_cast<machine_ptr>(second << top); break;
          case 0x25: r = top >= sizeof(machine_ptr) * 8 ? 0 : static_cast<machine_ptr>(second >> top); break;
          case 0x26: {
            const machine_ptr_s s = static_cast<machine_ptr_s>(second);
            const unsigned bits = sizeof(machine_ptr) * 8 - 1;
            r = static_cast<machine_ptr>(s >> (top > bits ? bits : top));
            break;
          }
          case 0x27: r = second ^ top; break;
          case 0x29: r = second == top; break;
          case 0x2a: r = second >= top; break;
          case 0x2b: r = second > top; break;
          case 0x2c: r = second <= top; break;
          case 0x2d: r = second < top; break;
          case 0x2e: r = second != top; break;
        }
        VU_PUSH(r);
        break;
      }
      case 0x2f:    // DW_OP_skip
      case 0x28: {  // DW_OP_bra
        int16_t distance;
        if (!opstream.read_intU(&distance))
          return VUCRASH_ERR_INVAL;
        bool branch = true;
        if (opcode == 0x28) {
          machine_ptr condition;
          VU_POP(condition);
          branch = condition != 0;
        }
        if (branch && !opstream.skip(distance)) {
          VUCR_LOG(opcode == 0x2f ? "DW_OP_skip offset %hd falls outside of opcode range"
                                  : "DW_OP_bra offset %hd falls outside of opcode range",
                   distance);
          return VUCRASH_ERR_INVAL;
        }
        break;
      }
      case 0x96:  // DW_OP_nop
        break;
      default:
        VUCR_LOG("Unsupported opcode 0x%hhx", opcode);
        return VUCRASH_ERR_NOTSUP;
    }
  }
#undef VU_PUSH
#undef VU_POP

  if (stack.depth() == 0) {
    VUCR_LOG("Expression did not provide a result value.");
    return VUCRASH_ERR_INVAL;
  }
  *result = stack.peek(0);
  return VUCRASH_ERR_NONE;
}

template vucrash_error_t vucrash_async_dwarf_expression_eval<uint32_t, int32_t>(
    const vucrash_async_mobject_t *, vucrash_task_t, const vucrash_async_thread_state_t *,
    const vucrash_async_byteorder_t *, vucrash_vm_address_t, vucrash_vm_off_t, vucrash_vm_size_t,
    const uint32_t *, size_t, uint32_t *);
template vucrash_error_t vucrash_async_dwarf_expression_eval<uint64_t, int64_t>(
    const vucrash_async_mobject_t *, vucrash_task_t, const vucrash_async_thread_state_t *,
    const vucrash_async_byteorder_t *, vucrash_vm_address_t, vucrash_vm_off_t, vucrash_vm_size_t,
    const uint64_t *, size_t, uint64_t *);
