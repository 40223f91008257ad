// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashDwarfEncoding.h"

#include "VUCrashAsyncLog.h"

namespace {

// Reads LEB128 bytes; `is_signed` sign-extends from the last byte's bit 6.
vucrash_error_t readLeb128(const vucrash_async_mobject_t *mobj, vucrash_vm_address_t location,
                           vucrash_vm_off_t offset, bool is_signed, uint64_t *result,
                           vucrash_vm_size_t *size) {
  uint64_t value = 0;
  unsigned shift = 0;
  vucrash_vm_size_t position = 0;
  uint8_t byte = 0;
  for (;;) {
    vucrash_vm_off_t at;
    if (__builtin_add_overflow(offset, static_cast<vucrash_vm_off_t>(position), &at) ||
        vucrash_async_mobject_read_uint8(mobj, location, at, &byte) != VUCRASH_ERR_NONE) {
      VUCR_LOG("ULEB128 value did not terminate within mapped memory range");
      return VUCRASH_ERR_INVAL;
    }
    position++;
    if (shift < 64)
      value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    shift += 7;
    if ((byte & 0x80) == 0)
      break;
    // Ten bytes carry 70 bits: a longer number is not one we can hold.
    if (position == 10) {
      VUCR_LOG("ULEB128 is larger than the maximum supported size of 64 bits");
      return VUCRASH_ERR_NOTSUP;
    }
  }
  if (is_signed && shift < 64 && (byte & 0x40) != 0)
    value |= ~static_cast<uint64_t>(0) << shift;
  *result = value;
  *size = position;
  return VUCRASH_ERR_NONE;
}

template <typename T>
vucrash_error_t taskLeb128(vucrash_task_t task, vucrash_vm_address_t location,
                           vucrash_vm_off_t offset, bool is_signed, T *result,
                           vucrash_vm_size_t *size) {
  vucrash_vm_address_t start;
  if (!vucrash_async_address_apply_offset(location, offset, &start)) {
    VUCR_LOG("Applying the  offset of 0x%lld to base address %llx exceeds PL_VM_ADDRESS_MAX",
             static_cast<long long>(offset), static_cast<unsigned long long>(location));
    return VUCRASH_ERR_INVAL;
  }
  vucrash_async_mobject_t mobj;
  vucrash_error_t err = vucrash_async_mobject_init(&mobj, task, start, 4096, false);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to map uleb128 page");
    return err;
  }
  uint64_t value = 0;
  err = readLeb128(&mobj, start, 0, is_signed, &value, size);
  vucrash_async_mobject_free(&mobj);
  if (err == VUCRASH_ERR_NONE)
    *result = static_cast<T>(value);
  return err;
}

}  // namespace

vucrash_error_t vucrash_async_dwarf_read_uleb128(const vucrash_async_mobject_t *mobj,
                                                 vucrash_vm_address_t location,
                                                 vucrash_vm_off_t offset, uint64_t *result,
                                                 vucrash_vm_size_t *size) {
  return readLeb128(mobj, location, offset, false, result, size);
}

vucrash_error_t vucrash_async_dwarf_read_sleb128(const vucrash_async_mobject_t *mobj,
                                                 vucrash_vm_address_t location,
                                                 vucrash_vm_off_t offset, int64_t *result,
                                                 vucrash_vm_size_t *size) {
  uint64_t value = 0;
  vucrash_error_t err = readLeb128(mobj, location, offset, true, &value, size);
  if (err == VUCRASH_ERR_NONE)
    *result = static_cast<int64_t>(value);
  return err;
}

vucrash_error_t vucrash_async_dwarf_read_task_uleb128(vucrash_task_t task,
                                                      vucrash_vm_address_t location,
                                                      vucrash_vm_off_t offset, uint64_t *result,
                                                      vucrash_vm_size_t *size) {
  return taskLeb128(task, location, offset, false, result, size);
}

vucrash_error_t vucrash_async_dwarf_read_task_sleb128(vucrash_task_t task,
                                                      vucrash_vm_address_t location,
                                                      vucrash_vm_off_t offset, int64_t *result,
                                                      vucrash_vm_size_t *size) {
  return taskLeb128(task, location, offset, true, result, size);
}

vucrash_error_t vucrash_async_dwarf_read_uintmax64(const vucrash_async_mobject_t *mobj,
                                                   const vucrash_async_byteorder_t *byteorder,
                                                   vucrash_vm_address_t base_addr,
                                                   vucrash_vm_off_t offset, uint8_t data_size,
                                                   uint64_t *result) {
  vucrash_error_t err;
  switch (data_size) {
    case 1: {
      uint8_t v = 0;
      err = vucrash_async_mobject_read_uint8(mobj, base_addr, offset, &v);
      *result = v;
      break;
    }
    case 2: {
      uint16_t v = 0;
      err = vucrash_async_mobject_read_uint16(mobj, byteorder, base_addr, offset, &v);
      *result = v;
      break;
    }
    case 4: {
      uint32_t v = 0;
      err = vucrash_async_mobject_read_uint32(mobj, byteorder, base_addr, offset, &v);
      *result = v;
      break;
    }
    case 8: {
      uint64_t v = 0;
      err = vucrash_async_mobject_read_uint64(mobj, byteorder, base_addr, offset, &v);
      *result = v;
      break;
    }
    default:
      VUCR_LOG("Unhandled data width %llu", static_cast<unsigned long long>(data_size));
      return VUCRASH_ERR_INVAL;
  }
  return err == VUCRASH_ERR_NONE ? VUCRASH_ERR_NONE : VUCRASH_ERR_INVAL;
}

namespace vucrash {
namespace VU {
namespace async {

template <typename machine_ptr>
vucrash_error_t gnu_ehptr_reader<machine_ptr>::read(const vucrash_async_mobject_t *mobj,
                                                    vucrash_vm_address_t location,
                                                    vucrash_vm_off_t offset, uint8_t encoding,
                                                    machine_ptr *result,
                                                    vucrash_vm_size_t *size) const {
  if (encoding == VUCRASH_DW_EH_PE_omit) {
    VUCR_LOG("Skipping decoding of DW_EH_PE_omit pointer");
    return VUCRASH_ERR_NOTFOUND;
  }
  vucrash_vm_address_t valueAddr;
  if (!vucrash_async_address_apply_offset(location, offset, &valueAddr)) {
    VUCR_LOG("Failed to read value at 0x%llx", static_cast<unsigned long long>(location));
    return VUCRASH_ERR_INVAL;
  }

  machine_ptr base = 0;
  vucrash_vm_size_t padding = 0;
  switch (encoding & 0x70) {
    case VUCRASH_DW_EH_PE_absptr:
      break;
    case VUCRASH_DW_EH_PE_pcrel:
      base = static_cast<machine_ptr>(valueAddr);
      break;
    case VUCRASH_DW_EH_PE_textrel:
      if (!has_text_) {
        VUCR_LOG("Cannot decode DW_EH_PE_textrel value with VUCRASH_ASYNC_DWARF_INVALID_BASE_ADDR text_addr");
        return VUCRASH_ERR_NOTSUP;
      }
      base = static_cast<machine_ptr>(text_addr_);
      break;
    case VUCRASH_DW_EH_PE_datarel:
      if (!has_data_) {
        VUCR_LOG("Cannot decode DW_EH_PE_datarel value with VUCRASH_ASYNC_DWARF_INVALID_BASE_ADDR data_base");
        return VUCRASH_ERR_NOTSUP;
      }
      base = static_cast<machine_ptr>(data_addr_);
      break;
    case VUCRASH_DW_EH_PE_funcrel:
      if (!has_func_) {
        VUCR_LOG("Cannot decode DW_EH_PE_funcrel value with VUCRASH_ASYNC_DWARF_INVALID_BASE_ADDR func_base");
        return VUCRASH_ERR_NOTSUP;
      }
      base = static_cast<machine_ptr>(func_addr_);
      break;
    case VUCRASH_DW_EH_PE_aligned: {
      if (!has_frame_section_) {
        VUCR_LOG("Cannot decode DW_EH_PE_aligned value without a valid frame section base configured");
        return VUCRASH_ERR_NOTSUP;
      }
      // Alignment is of the value's address in the image, not where it happens to be mapped.
      const vucrash_vm_address_t vmAddr = valueAddr - frame_section_addr_ + frame_section_vm_addr_;
      const vucrash_vm_address_t aligned =
          (vmAddr + sizeof(machine_ptr) - 1) & ~static_cast<vucrash_vm_address_t>(sizeof(machine_ptr) - 1);
      padding = aligned - vmAddr;
      break;
    }
    default:
      VUCR_LOG("Unsupported pointer base encoding of 0x%x", static_cast<unsigned>(encoding));
      return VUCRASH_ERR_NOTSUP;
  }

  const vucrash_vm_off_t at = offset + static_cast<vucrash_vm_off_t>(padding);
  machine_ptr value = 0;
  vucrash_vm_size_t valueSize = 0;
  vucrash_error_t err = VUCRASH_ERR_NONE;
  uint64_t u = 0;
  int64_t s = 0;
  switch (encoding & 0x0f) {
    case VUCRASH_DW_EH_PE_absptr:
      err = vucrash_async_dwarf_read_uintmax64(mobj, byteorder_, location, at, sizeof(machine_ptr), &u);
      if (err != VUCRASH_ERR_NONE) {
        VUCR_LOG("Failed to read value at 0x%llx", static_cast<unsigned long long>(valueAddr));
        return err;
      }
      value = static_cast<machine_ptr>(u);
      valueSize = sizeof(machine_ptr);
      break;
    case VUCRASH_DW_EH_PE_uleb128:
      err = vucrash_async_dwarf_read_uleb128(mobj, location, at, &u, &valueSize);
      if (err != VUCRASH_ERR_NONE) {
        VUCR_LOG("Failed to read uleb128 value at 0x%llx", static_cast<unsigned long long>(valueAddr));
        return err;
      }
      value = static_cast<machine_ptr>(u);
      break;
    case VUCRASH_DW_EH_PE_sleb128:
      err = vucrash_async_dwarf_read_sleb128(mobj, location, at, &s, &valueSize);
      if (err != VUCRASH_ERR_NONE) {
        VUCR_LOG("Failed to read sleb128 value at 0x%llx", static_cast<unsigned long long>(valueAddr));
        return err;
      }
      value = static_cast<machine_ptr>(s);
      break;
#define VUCRASH_EH_FIXED(code, width, type, text)                                              \
  case code:                                                                                  \
    err = vucrash_async_dwarf_read_uintmax64(mobj, byteorder_, location, at, width, &u);     \
    if (err != VUCRASH_ERR_NONE) {                                                            \
      VUCR_LOG("Failed to read " text " value at 0x%llx",                                    \
               static_cast<unsigned long long>(valueAddr));                                   \
      return err;                                                                             \
    }                                                                                         \
    value = static_cast<machine_ptr>(static_cast<type>(u));                                   \
    valueSize = width;                                                                        \
    break;
    VUCRASH_EH_FIXED(VUCRASH_DW_EH_PE_udata2, 2, uint16_t, "udata2")
    VUCRASH_EH_FIXED(VUCRASH_DW_EH_PE_udata4, 4, uint32_t, "udata4")
    VUCRASH_EH_FIXED(VUCRASH_DW_EH_PE_udata8, 8, uint64_t, "udata8")
    VUCRASH_EH_FIXED(VUCRASH_DW_EH_PE_sdata2, 2, int16_t, "sdata2")
    VUCRASH_EH_FIXED(VUCRASH_DW_EH_PE_sdata4, 4, int32_t, "sdata4")
    VUCRASH_EH_FIXED(VUCRASH_DW_EH_PE_sdata8, 8, int64_t, "sdata8")
#undef VUCRASH_EH_FIXED
    default:
      VUCR_LOG("Unknown pointer encoding of type 0x%x", static_cast<unsigned>(encoding));
      return VUCRASH_ERR_NOTSUP;
  }

  machine_ptr decoded = static_cast<machine_ptr>(base + value);
  if (encoding & VUCRASH_DW_EH_PE_indirect) {
    machine_ptr target = 0;
    err = vucrash_async_page_cache_read(indirect_pages_, vucrash_async_mobject_task(mobj), decoded, &target,
                                        sizeof(target));
    if (err != VUCRASH_ERR_NONE)
      return err;
    decoded = target;
  }
  *result = decoded;
  *size = valueSize + padding;
  return VUCRASH_ERR_NONE;
}

template class gnu_ehptr_reader<uint32_t>;
template class gnu_ehptr_reader<uint64_t>;

}  // namespace async
}  // namespace VU
}  // namespace vucrash
