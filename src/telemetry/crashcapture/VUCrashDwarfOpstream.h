#pragma once
// A window on mapped call-frame instructions or a DWARF expression: start, end and a read
// position that every reader advances. Reads never leave the window.
//
// Crash-time code: nothing here allocates or locks.

#include "VUCrashAsyncLog.h"
#include "VUCrashDwarfEncoding.h"

namespace vucrash {
namespace VU {
namespace async {

class dwarf_opstream {
 public:
  // Maps [base_addr + offset, + length) of the memory object.
  vucrash_error_t init(const vucrash_async_mobject_t *mobj,
                       const vucrash_async_byteorder_t *byteorder,
                       vucrash_vm_address_t base_addr, vucrash_vm_off_t offset,
                       vucrash_vm_size_t length) {
    mobj_ = mobj;
    byteorder_ = byteorder;
    vucrash_vm_address_t start;
    if (!vucrash_async_address_apply_offset(base_addr, offset, &start)) {
      VUCR_LOG("Offset overflows base address");
      return VUCRASH_ERR_INVAL;
    }
    if (static_cast<vucrash_vm_off_t>(length) < 0 || length > UINT64_MAX - start) {
      VUCR_LOG("Length overflows base address");
      return VUCRASH_ERR_INVAL;
    }
    void *local = vucrash_async_mobject_remap_address(mobj, start, 0, length);
    if (local == nullptr) {
      VUCR_LOG("Could not map the DWARF instructions; range falls outside mapped pages");
      return VUCRASH_ERR_INVAL;
    }
    task_start_ = start;
    start_ = static_cast<const uint8_t *>(local);
    end_ = start_ + length;
    pos_ = start_;
    return VUCRASH_ERR_NONE;
  }

  // A fixed-size value in the stream's byte order.
  template <typename T>
  bool read_intU(T *result) {
    if (static_cast<size_t>(end_ - pos_) < sizeof(T)) {
      VUCR_LOG("Read of size %zu exceeds mapped range", sizeof(T));
      return false;
    }
    T value;
    vucrash_async_memcpy(&value, pos_, sizeof(T));
    switch (sizeof(T)) {
      case 2: value = static_cast<T>(byteorder_->swap16(static_cast<uint16_t>(value))); break;
      case 4: value = static_cast<T>(byteorder_->swap32(static_cast<uint32_t>(value))); break;
      case 8: value = static_cast<T>(byteorder_->swap64(static_cast<uint64_t>(value))); break;
      default: break;
    }
    *result = value;
    pos_ += sizeof(T);
    return true;
  }

  bool read_uleb128(uint64_t *result) {
    vucrash_vm_size_t size = 0;
    vucrash_error_t err = vucrash_async_dwarf_read_uleb128(mobj_, task_address(), 0, result, &size);
    if (err != VUCRASH_ERR_NONE) {
      VUCR_LOG("Read of ULEB128 value failed with %u", static_cast<unsigned>(err));
      return false;
    }
    if (size > static_cast<size_t>(end_ - pos_)) {
      VUCR_LOG("ULEB128 value extends past end of opstream");
      return false;
    }
    pos_ += size;
    return true;
  }

  bool read_sleb128(int64_t *result) {
    vucrash_vm_size_t size = 0;
    vucrash_error_t err = vucrash_async_dwarf_read_sleb128(mobj_, task_address(), 0, result, &size);
    if (err != VUCRASH_ERR_NONE) {
      VUCR_LOG("Read of SLEB128 value failed with %u", static_cast<unsigned>(err));
      return false;
    }
    if (size > static_cast<size_t>(end_ - pos_)) {
      VUCR_LOG("SLEB128 value extends past end of opstream");
      return false;
    }
    pos_ += size;
    return true;
  }

  template <typename machine_ptr>
  bool read_gnueh_ptr(const gnu_ehptr_reader<machine_ptr> *reader, uint8_t encoding,
                      machine_ptr *result) {
    vucrash_vm_size_t size = 0;
    vucrash_error_t err = reader->read(mobj_, task_address(), 0, encoding, result, &size);
    if (err != VUCRASH_ERR_NONE) {
      VUCR_LOG("Read of GNU EH pointer value failed with %u", static_cast<unsigned>(err));
      return false;
    }
    if (size > static_cast<size_t>(end_ - pos_)) {
      VUCR_LOG("GNU EH pointer value extends past end of opstream");
      return false;
    }
    pos_ += size;
    return true;
  }

  // Moves by `offset` from the current position; false (position kept) when that leaves the
  // window. Landing exactly on the end is allowed: it ends the stream.
  bool skip(int64_t offset) {
    const int64_t target = static_cast<int64_t>(pos_ - start_) + offset;
    if (target < 0 || target > end_ - start_)
      return false;
    pos_ = start_ + target;
    return true;
  }

  size_t get_position() const { return static_cast<size_t>(pos_ - start_); }
  size_t remaining() const { return static_cast<size_t>(end_ - pos_); }
  bool at_end() const { return pos_ >= end_; }
  // The current position as an address in the task.
  vucrash_vm_address_t task_address() const { return task_start_ + get_position(); }

 private:
  const vucrash_async_mobject_t *mobj_ = nullptr;
  const vucrash_async_byteorder_t *byteorder_ = nullptr;
  vucrash_vm_address_t task_start_ = 0;
  const uint8_t *start_ = nullptr;
  const uint8_t *end_ = nullptr;
  const uint8_t *pos_ = nullptr;
};

}  // namespace async
}  // namespace VU
}  // namespace vucrash
