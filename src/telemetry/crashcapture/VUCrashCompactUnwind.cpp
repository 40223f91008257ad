// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashCompactUnwind.h"

#include "VUCrashAsyncLog.h"

namespace {

// Second-level page kinds.
constexpr uint32_t kRegularPage = 2;
constexpr uint32_t kCompressedPage = 3;

// x86 and x86_64 encodings.
constexpr uint32_t kX86ModeMask = 0x0F000000;
constexpr uint32_t kX86ModeNone = 0x00000000;
constexpr uint32_t kX86ModeFramePtr = 0x01000000;
constexpr uint32_t kX86ModeStackImmd = 0x02000000;
constexpr uint32_t kX86ModeStackInd = 0x03000000;
constexpr uint32_t kX86ModeDwarf = 0x04000000;

// 64-bit ARM encodings.
constexpr uint32_t kArm64ModeMask = 0x0F000000;
constexpr uint32_t kArm64ModeFrameless = 0x02000000;
constexpr uint32_t kArm64ModeDwarf = 0x03000000;
constexpr uint32_t kArm64ModeFrame = 0x04000000;
// The 64-bit ARM registers as entries store them (this engine has no 64-bit ARM thread state).
constexpr uint32_t kArm64LinkRegister = 32;

constexpr uint32_t bits(uint32_t value, unsigned first, unsigned count) {
  return (value >> first) & ((1u << count) - 1);
}

const void *mapped(const vucrash_async_cfe_reader_t *reader, uint64_t offset, uint64_t length) {
  if (offset > INT64_MAX)
    return nullptr;
  return vucrash_async_mobject_remap_address(reader->mobj, vucrash_async_mobject_base_address(reader->mobj),
                                             static_cast<int64_t>(offset), length);
}

uint32_t word32(const vucrash_async_cfe_reader_t *reader, const void *table, uint64_t index) {
  uint32_t value;
  vucrash_async_memcpy(&value, static_cast<const uint8_t *>(table) + index * 4, 4);
  return reader->byteorder->swap32(value);
}

uint16_t word16(const vucrash_async_cfe_reader_t *reader, const void *table, uint64_t byteOffset) {
  uint16_t value;
  vucrash_async_memcpy(&value, static_cast<const uint8_t *>(table) + byteOffset, 2);
  return reader->byteorder->swap16(value);
}

// The last of `count` entries whose function offset (by `offsetOf`) is at or below pc.
template <typename OffsetOf>
bool searchLastAtOrBelow(uint32_t count, uint64_t pc, OffsetOf offsetOf, uint32_t *found) {
  uint32_t lo = 0, hi = count;
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (offsetOf(mid) <= pc)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == 0)
    return false;
  *found = lo - 1;
  return true;
}

vucrash_error_t mapRegisters(uint32_t cpu_type, const uint32_t *codes, uint32_t count, uint32_t *out) {
  for (uint32_t i = 0; i < count; ++i) {
    vucrash_error_t err = vucrash_async_map_register_name(codes[i], &out[i], cpu_type);
    if (err != VUCRASH_ERR_NONE) {
      VUCR_LOG("Failed to map register value of %x", codes[i]);
      return err;
    }
  }
  return VUCRASH_ERR_NONE;
}

vucrash_error_t decodeX86(vucrash_async_cfe_entry_t *entry, uint32_t cpu_type, uint32_t encoding) {
  const uint32_t wordSize = cpu_type == VUCRASH_CFE_CPU_TYPE_X86_64 ? 8 : 4;
  const uint32_t mode = encoding & kX86ModeMask;
  switch (mode) {
    case kX86ModeNone:
      entry->type = VUCRASH_ASYNC_CFE_ENTRY_TYPE_NONE;
      return VUCRASH_ERR_NONE;

    case kX86ModeFramePtr: {
      entry->type = VUCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR;
      entry->stack_offset = -static_cast<int64_t>(bits(encoding, 16, 8) * wordSize);
      // Five 3-bit slots from the lowest; the list ends where only zero bits remain, and a
      // zero slot before that is an empty slot.
      const uint32_t registers = bits(encoding, 0, 15);
      uint32_t count = 0;
      while (count < 5 && (registers >> (3 * count)) != 0)
        count++;
      for (uint32_t i = 0; i < count; ++i) {
        const uint32_t code = bits(registers, 3 * i, 3);
        if (code == 0) {
          entry->register_list[i] = VUCRASH_ASYNC_CFE_REG_NONE;
          continue;
        }
        vucrash_error_t err = mapRegisters(cpu_type, &code, 1, &entry->register_list[i]);
        if (err != VUCRASH_ERR_NONE)
          return err;
      }
      entry->register_count = count;
      return VUCRASH_ERR_NONE;
    }

    case kX86ModeStackImmd:
    case kX86ModeStackInd: {
      if (mode == kX86ModeStackImmd) {
        entry->type = VUCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD;
        entry->stack_offset = static_cast<int64_t>(bits(encoding, 16, 8)) * wordSize;
      } else {
        entry->type = VUCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT;
        entry->stack_offset = bits(encoding, 16, 8);
        entry->stack_adjust = bits(encoding, 13, 3) * wordSize;
      }
      const uint32_t count = bits(encoding, 10, 3);
      uint32_t codes[6];
      vucrash_error_t err = vucrash_async_cfe_register_decode(bits(encoding, 0, 10), count, codes);
      if (err != VUCRASH_ERR_NONE) {
        VUCR_LOG("Failed to decode register list: %d", static_cast<int>(err));
        return err;
      }
      if ((err = mapRegisters(cpu_type, codes, count, entry->register_list)))
        return err;
      entry->register_count = count;
      return VUCRASH_ERR_NONE;
    }

    case kX86ModeDwarf:
      entry->type = VUCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF;
      entry->stack_offset = bits(encoding, 0, 24);
      return VUCRASH_ERR_NONE;
  }
  VUCR_LOG("Unexpected entry mode of %x", mode);
  return VUCRASH_ERR_NOTSUP;
}

vucrash_error_t decodeArm64(vucrash_async_cfe_entry_t *entry, uint32_t encoding) {
  const uint32_t mode = encoding & kArm64ModeMask;
  if (mode == 0) {
    entry->type = VUCRASH_ASYNC_CFE_ENTRY_TYPE_NONE;
    return VUCRASH_ERR_NONE;
  }
  if (mode == kArm64ModeDwarf) {
    entry->type = VUCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF;
    entry->stack_offset = bits(encoding, 0, 24);
    return VUCRASH_ERR_NONE;
  }
  if (mode != kArm64ModeFrameless && mode != kArm64ModeFrame) {
    VUCR_LOG("Unexpected entry mode of %x", mode);
    return VUCRASH_ERR_NOTSUP;
  }
  // Saved pairs x27/x28, x25/x26, x23/x24, x21/x22, x19/x20 by flag bits 4 to 0, stored as
  // 31/30, 29/28, 27/26, 25/24, 23/22.
  uint32_t count = 0;
  for (uint32_t flag = 5; flag-- > 0;) {
    if (encoding & (1u << flag)) {
      entry->register_list[count++] = 23 + 2 * flag;
      entry->register_list[count++] = 22 + 2 * flag;
    }
  }
  entry->register_count = count;
  if (mode == kArm64ModeFrameless) {
    entry->type = VUCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD;
    entry->stack_offset = static_cast<int64_t>(bits(encoding, 12, 12)) * 16;
    entry->return_address_register = kArm64LinkRegister;
  } else {
    entry->type = VUCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR;
    entry->stack_offset = -static_cast<int64_t>(count) * 8;
  }
  return VUCRASH_ERR_NONE;
}

}  // namespace

vucrash_error_t vucrash_async_cfe_reader_init(vucrash_async_cfe_reader_t *reader,
                                              const vucrash_async_mobject_t *mobj, uint32_t cpu_type) {
  reader->mobj = mobj;
  reader->cpu_type = cpu_type;
  // The format is written little-endian on every platform that uses it.
  reader->byteorder = vucrash_async_byteorder_little_endian();
  if (cpu_type != VUCRASH_CFE_CPU_TYPE_X86 && cpu_type != VUCRASH_CFE_CPU_TYPE_X86_64 &&
      cpu_type != VUCRASH_CFE_CPU_TYPE_ARM64) {
    VUCR_LOG("Unsupported CPU type: %u", cpu_type);
    return VUCRASH_ERR_NOTSUP;
  }
  const void *header = mapped(reader, 0, 7 * 4);
  if (header == nullptr) {
    VUCR_LOG("Could not map the unwind info section header");
    return VUCRASH_ERR_INVAL;
  }
  reader->header.version = word32(reader, header, 0);
  reader->header.common_encodings_offset = word32(reader, header, 1);
  reader->header.common_encodings_count = word32(reader, header, 2);
  reader->header.personality_offset = word32(reader, header, 3);
  reader->header.personality_count = word32(reader, header, 4);
  reader->header.index_offset = word32(reader, header, 5);
  reader->header.index_count = word32(reader, header, 6);
  if (reader->header.version != 1) {
    VUCR_LOG("Unsupported CFE version: %u", reader->header.version);
    return VUCRASH_ERR_NOTSUP;
  }
  return VUCRASH_ERR_NONE;
}

vucrash_error_t vucrash_async_cfe_reader_find_pc(const vucrash_async_cfe_reader_t *reader, uint64_t pc,
                                                 uint32_t *function_base, uint32_t *encoding) {
  const auto &header = reader->header;
  const void *common = nullptr;
  if (header.common_encodings_count > 0) {
    common = mapped(reader, header.common_encodings_offset, uint64_t(header.common_encodings_count) * 4);
    if (common == nullptr) {
      VUCR_LOG("The declared common table lies outside the mapped CFE range");
      return VUCRASH_ERR_INVAL;
    }
  }
  if (header.index_count == 0) {
    VUCR_LOG("CFE index contains no entries");
    return VUCRASH_ERR_NOTFOUND;
  }
  // The last first-level entry is the end marker: it starts no page but bounds the range
  // the index covers, so a pc at or past it has no entry at all.
  const void *index = mapped(reader, header.index_offset, uint64_t(header.index_count) * 12);
  if (index == nullptr) {
    VUCR_LOG("The declared entries table lies outside the mapped CFE range");
    return VUCRASH_ERR_INVAL;
  }
  const uint32_t searched = header.index_count - 1;
  uint32_t first;
  const uint32_t end = word32(reader, index, uint64_t(searched) * 3);
  if (pc >= end || !searchLastAtOrBelow(searched, pc, [&](uint32_t i) { return word32(reader, index, uint64_t(i) * 3); },
                                        &first)) {
    VUCR_LOG("Could not find a first level CFE entry for pc=%llx", static_cast<unsigned long long>(pc));
    return VUCRASH_ERR_NOTFOUND;
  }
  const uint32_t firstFunction = word32(reader, index, uint64_t(first) * 3);
  const uint32_t pageOffset = word32(reader, index, uint64_t(first) * 3 + 1);

  const void *kindWord = mapped(reader, pageOffset, 4);
  const uint32_t kind = kindWord != nullptr ? word32(reader, kindWord, 0) : 0;
  if (kind == kRegularPage) {
    const void *page = mapped(reader, pageOffset, 8);
    if (page == nullptr) {
      VUCR_LOG("The second-level page header lies outside the mapped CFE range");
      return VUCRASH_ERR_INVAL;
    }
    const uint16_t entriesOffset = word16(reader, page, 4);
    const uint16_t count = word16(reader, page, 6);
    const void *entries = mapped(reader, uint64_t(pageOffset) + entriesOffset, uint64_t(count) * 8);
    if (entries == nullptr) {
      VUCR_LOG("CFE entries table lies outside the mapped CFE range");
      return VUCRASH_ERR_INVAL;
    }
    uint32_t found;
    if (!searchLastAtOrBelow(count, pc, [&](uint32_t i) { return word32(reader, entries, uint64_t(i) * 2); }, &found)) {
      VUCR_LOG("Could not find a second level regular CFE entry for pc=%llx", static_cast<unsigned long long>(pc));
      return VUCRASH_ERR_NOTFOUND;
    }
    *function_base = word32(reader, entries, uint64_t(found) * 2);
    *encoding = word32(reader, entries, uint64_t(found) * 2 + 1);
    return VUCRASH_ERR_NONE;
  }

  if (kind == kCompressedPage) {
    const void *page = mapped(reader, pageOffset, 12);
    if (page == nullptr) {
      VUCR_LOG("The second-level page header lies outside the mapped CFE range");
      return VUCRASH_ERR_INVAL;
    }
    const uint16_t entriesOffset = word16(reader, page, 4);
    const uint16_t count = word16(reader, page, 6);
    const uint16_t encodingsOffset = word16(reader, page, 8);
    const uint16_t encodingsCount = word16(reader, page, 10);
    const void *entries = mapped(reader, uint64_t(pageOffset) + entriesOffset, uint64_t(count) * 4);
    if (entries == nullptr) {
      VUCR_LOG("CFE entries table lies outside the mapped CFE range");
      return VUCRASH_ERR_INVAL;
    }
    auto functionOf = [&](uint32_t i) {
      return uint64_t(firstFunction) + (word32(reader, entries, i) & 0x00FFFFFF);
    };
    uint32_t found;
    if (!searchLastAtOrBelow(count, pc, functionOf, &found)) {
      VUCR_LOG("Could not find a second level compressed CFE entry for pc=%llx", static_cast<unsigned long long>(pc));
      return VUCRASH_ERR_NOTFOUND;
    }
    *function_base = static_cast<uint32_t>(functionOf(found));
    const uint32_t encodingIndex = word32(reader, entries, found) >> 24;
    if (encodingIndex < header.common_encodings_count) {
      *encoding = word32(reader, common, encodingIndex);
      return VUCRASH_ERR_NONE;
    }
    const uint32_t local = encodingIndex - header.common_encodings_count;
    const void *encodings = mapped(reader, uint64_t(pageOffset) + encodingsOffset, uint64_t(encodingsCount) * 4);
    if (encodingsCount > 0 && encodings == nullptr) {
      VUCR_LOG("CFE compressed encodings table lies outside the mapped CFE range");
      return VUCRASH_ERR_INVAL;
    }
    if (local >= encodingsCount) {
      VUCR_LOG("Encoding index lies outside the second level encoding table");
      return VUCRASH_ERR_INVAL;
    }
    *encoding = word32(reader, encodings, local);
    return VUCRASH_ERR_NONE;
  }

  VUCR_LOG("Unsupported second-level CFE table kind: 0x%x at 0x%x", kind, pageOffset);
  return VUCRASH_ERR_INVAL;
}

vucrash_error_t vucrash_async_cfe_entry_init(vucrash_async_cfe_entry_t *entry, uint32_t cpu_type,
                                             uint32_t encoding) {
  vucrash_async_memset(entry, 0, sizeof(*entry));
  entry->cpu_type = cpu_type;
  entry->return_address_register = VUCRASH_ASYNC_CFE_REG_NONE;
  switch (cpu_type) {
    case VUCRASH_CFE_CPU_TYPE_X86:
    case VUCRASH_CFE_CPU_TYPE_X86_64:
      return decodeX86(entry, cpu_type, encoding);
    case VUCRASH_CFE_CPU_TYPE_ARM64:
      return decodeArm64(entry, encoding);
  }
  VUCR_LOG("Unsupported CPU type: %u", cpu_type);
  return VUCRASH_ERR_NOTSUP;
}

void vucrash_async_cfe_entry_register_list(const vucrash_async_cfe_entry_t *entry, uint32_t *register_list) {
  for (uint32_t i = 0; i < entry->register_count; ++i)
    register_list[i] = entry->register_list[i];
}

vucrash_error_t vucrash_async_map_register_name(uint32_t code, uint32_t *regnum, uint32_t cpu_type) {
  static const uint32_t x86_64[] = {VUCRASH_ASYNC_CFE_REG_NONE, VUCRASH_X86_64_RBX, VUCRASH_X86_64_R12,
                                    VUCRASH_X86_64_R13,         VUCRASH_X86_64_R14, VUCRASH_X86_64_R15,
                                    VUCRASH_X86_64_RBP};
  static const uint32_t x86[] = {VUCRASH_ASYNC_CFE_REG_NONE, VUCRASH_X86_EBX, VUCRASH_X86_ECX, VUCRASH_X86_EDX,
                                 VUCRASH_X86_EDI,            VUCRASH_X86_ESI, VUCRASH_X86_EBP};
  if (cpu_type != VUCRASH_CFE_CPU_TYPE_X86 && cpu_type != VUCRASH_CFE_CPU_TYPE_X86_64) {
    VUCR_LOG("Requested register mapping for unknown cpu type %u", cpu_type);
    return VUCRASH_ERR_NOTSUP;
  }
  if (code > 6) {
    VUCR_LOG("Requested register mapping for unknown register %d", static_cast<int>(code));
    return VUCRASH_ERR_INVAL;
  }
  *regnum = cpu_type == VUCRASH_CFE_CPU_TYPE_X86_64 ? x86_64[code] : x86[code];
  return VUCRASH_ERR_NONE;
}

vucrash_error_t vucrash_async_cfe_register_decode(uint32_t permutation, uint32_t count, uint32_t *registers) {
  if (count > 6) {
    VUCR_LOG("Register permutation decoding attempted with an unsupported count of %u", count);
    return VUCRASH_ERR_INVAL;
  }
  // Mixed-radix digits: digit i picks among the 6 - i codes not used yet.
  uint32_t digits[6] = {0, 0, 0, 0, 0, 0};
  uint32_t p = permutation;
  switch (count) {
    case 6:
    case 5:
      digits[0] = p / 120; p -= digits[0] * 120;
      digits[1] = p / 24; p -= digits[1] * 24;
      digits[2] = p / 6; p -= digits[2] * 6;
      digits[3] = p / 2; p -= digits[3] * 2;
      digits[4] = p;
      break;
    case 4:
      digits[0] = p / 60; p -= digits[0] * 60;
      digits[1] = p / 12; p -= digits[1] * 12;
      digits[2] = p / 3; p -= digits[2] * 3;
      digits[3] = p;
      break;
    case 3:
      digits[0] = p / 20; p -= digits[0] * 20;
      digits[1] = p / 4; p -= digits[1] * 4;
      digits[2] = p;
      break;
    case 2:
      digits[0] = p / 5; p -= digits[0] * 5;
      digits[1] = p;
      break;
    case 1:
      digits[0] = p;
      break;
    default:
      return VUCRASH_ERR_NONE;
  }
  bool used[7] = {false, false, false, false, false, false, false};
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t unused = 0;
    registers[i] = 0;
    for (uint32_t code = 1; code <= 6; ++code) {
      if (used[code])
        continue;
      if (unused++ == digits[i]) {
        registers[i] = code;
        used[code] = true;
        break;
      }
    }
    // A digit past the codes left is no permutation at all.
    if (registers[i] == 0) {
      VUCR_LOG("Register permutation 0x%x has no register for position %u", permutation, i);
      return VUCRASH_ERR_INVAL;
    }
  }
  return VUCRASH_ERR_NONE;
}

uint32_t vucrash_async_cfe_register_encode(const uint32_t *registers, uint32_t count) {
  if (count > 6)
    return 0;
  uint32_t digits[6] = {0, 0, 0, 0, 0, 0};
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t below = 0;
    for (uint32_t j = 0; j < i; ++j)
      below += registers[j] < registers[i];
    digits[i] = registers[i] - 1 - below;
  }
  switch (count) {
    case 6:
    case 5: return 120 * digits[0] + 24 * digits[1] + 6 * digits[2] + 2 * digits[3] + digits[4];
    case 4: return 60 * digits[0] + 12 * digits[1] + 3 * digits[2] + digits[3];
    case 3: return 20 * digits[0] + 4 * digits[1] + digits[2];
    case 2: return 5 * digits[0] + digits[1];
    case 1: return digits[0];
  }
  return 0;
}

namespace {

vucrash_error_t readWord(vucrash_async_page_cache_t *stack, vucrash_task_t task, uint64_t address, size_t wordSize,
                         uint64_t *value) {
  if (wordSize == 4) {
    uint32_t small = 0;
    vucrash_error_t err = vucrash_async_page_cache_read(stack, task, address, &small, 4);
    *value = small;
    return err;
  }
  return vucrash_async_page_cache_read(stack, task, address, value, 8);
}

}  // namespace

vucrash_error_t vucrash_async_cfe_entry_apply(vucrash_task_t task, vucrash_vm_address_t function_address,
                                              const vucrash_async_thread_state_t *thread_state,
                                              const vucrash_async_cfe_entry_t *entry,
                                              vucrash_async_thread_state_t *new_thread_state,
                                              vucrash_async_page_cache_t *stack) {
  const size_t wordSize = vucrash_async_thread_state_get_greg_size(thread_state);
  vucrash_async_thread_state_copy(new_thread_state, thread_state);
  vucrash_async_thread_state_clear_volatile_regs(new_thread_state);
  new_thread_state->resumes_at_pc = false;

  uint64_t savedRegisters = 0;
  vucrash_error_t err;
  switch (entry->type) {
    case VUCRASH_ASYNC_CFE_ENTRY_TYPE_DWARF:
    case VUCRASH_ASYNC_CFE_ENTRY_TYPE_NONE:
      return VUCRASH_ERR_NOTSUP;

    case VUCRASH_ASYNC_CFE_ENTRY_TYPE_FRAME_PTR: {
      if (!vucrash_async_thread_state_has_reg(thread_state, VUCRASH_REG_FP)) {
        VUCR_LOG("Can't apply FRAME_PTR unwind type without a valid frame pointer");
        return VUCRASH_ERR_NOTFOUND;
      }
      const uint64_t fp = vucrash_async_thread_state_get_reg(thread_state, VUCRASH_REG_FP);
      if (fp > UINT64_MAX - 2 * wordSize) {
        VUCR_LOG("Current frame pointer falls outside of addressable bounds");
        return VUCRASH_ERR_INVAL;
      }
      uint64_t savedFp, returnAddress;
      if ((err = readWord(stack, task, fp, wordSize, &savedFp)) ||
          (err = readWord(stack, task, fp + wordSize, wordSize, &returnAddress))) {
        VUCR_LOG("Failed to read frame data at address 0x%llx: %d", static_cast<unsigned long long>(fp),
                 static_cast<int>(err));
        return err;
      }
      vucrash_async_thread_state_set_reg(new_thread_state, VUCRASH_REG_SP, fp + 2 * wordSize);
      vucrash_async_thread_state_set_reg(new_thread_state, VUCRASH_REG_FP, savedFp);
      vucrash_async_thread_state_set_reg(new_thread_state, VUCRASH_REG_IP, returnAddress);
      savedRegisters = fp + static_cast<uint64_t>(entry->stack_offset);
      break;
    }

    case VUCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_IMMD:
    case VUCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT: {
      if (!vucrash_async_thread_state_has_reg(thread_state, VUCRASH_REG_SP)) {
        VUCR_LOG("Can't apply FRAME_IMMD unwind type without a valid stack pointer");
        return VUCRASH_ERR_NOTFOUND;
      }
      const uint64_t sp = vucrash_async_thread_state_get_reg(thread_state, VUCRASH_REG_SP);
      uint64_t stackSize = static_cast<uint64_t>(entry->stack_offset);
      if (entry->type == VUCRASH_ASYNC_CFE_ENTRY_TYPE_FRAMELESS_INDIRECT) {
        // The size is the immediate of the function's own stack adjustment.
        uint32_t immediate = 0;
        if ((err = vucrash_async_task_read_uint32(task, vucrash_async_byteorder_little_endian(), function_address,
                                                  static_cast<vucrash_vm_off_t>(entry->stack_offset), &immediate))) {
          VUCR_LOG("Failed to read indirect stack size from 0x%llx + 0x%llx: %d",
                   static_cast<unsigned long long>(function_address),
                   static_cast<unsigned long long>(entry->stack_offset), static_cast<int>(err));
          return err;
        }
        stackSize = uint64_t(immediate) + entry->stack_adjust;
      }
      const uint64_t registerBytes = uint64_t(entry->register_count) * wordSize;
      const bool raOnStack = entry->return_address_register == VUCRASH_ASYNC_CFE_REG_NONE;
      if (sp > UINT64_MAX - stackSize || stackSize < registerBytes + (raOnStack ? wordSize : 0)) {
        VUCR_LOG("Stack size 0x%llx does not fit the frame at 0x%llx", static_cast<unsigned long long>(stackSize),
                 static_cast<unsigned long long>(sp));
        return VUCRASH_ERR_INVAL;
      }
      uint64_t returnAddress;
      if (raOnStack) {
        const uint64_t at = sp + stackSize - wordSize;
        if ((err = readWord(stack, task, at, wordSize, &returnAddress))) {
          VUCR_LOG("Failed to read return address from 0x%llx: %d", static_cast<unsigned long long>(at),
                   static_cast<int>(err));
          return err;
        }
        savedRegisters = at - registerBytes;
      } else {
        if (entry->return_address_register > VUCRASH_X86_64_LAST_REG ||
            !vucrash_async_thread_state_has_reg(thread_state, entry->return_address_register)) {
          VUCR_LOG("The specified return_address_register '%s' is not available",
                   vucrash_async_thread_state_get_reg_name(thread_state, entry->return_address_register));
          return VUCRASH_ERR_NOTFOUND;
        }
        returnAddress = vucrash_async_thread_state_get_reg(thread_state, entry->return_address_register);
        savedRegisters = sp + stackSize - registerBytes;
      }
      vucrash_async_thread_state_set_reg(new_thread_state, VUCRASH_REG_SP, sp + stackSize);
      vucrash_async_thread_state_set_reg(new_thread_state, VUCRASH_REG_IP, returnAddress);
      break;
    }
  }

  for (uint32_t i = 0; i < entry->register_count && i < VUCRASH_ASYNC_CFE_SAVED_REGISTER_MAX; ++i) {
    const uint32_t reg = entry->register_list[i];
    if (reg == VUCRASH_ASYNC_CFE_REG_NONE)
      continue;
    uint64_t value;
    if ((err = readWord(stack, task, savedRegisters + i * wordSize, wordSize, &value))) {
      VUCR_LOG("Failed to read register data for index %s: %d",
               vucrash_async_thread_state_get_reg_name(thread_state, reg), static_cast<int>(err));
      return err;
    }
    vucrash_async_thread_state_set_reg(new_thread_state, reg, value);
  }
  return VUCRASH_ERR_NONE;
}
