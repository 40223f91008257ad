#pragma once
// The primitive encodings of call frame information: LEB128 numbers, fixed-width integers
// and the pointer encodings of the exception-handling frame format. Every read goes through
// a memory object, so a stray length or offset in an image cannot make the reader touch
// memory outside the section it maps.
//
// Crash-time code: nothing here allocates or locks.

#include "VUCrashAsync.h"
#include "VUCrashAsyncPageCache.h"
#include "VUCrashMemoryObject.h"

// Unsigned and signed LEB128 at address + offset. A number that runs out of the mapping is
// VUCRASH_ERR_INVAL; one whose tenth byte still continues is VUCRASH_ERR_NOTSUP. size is the
// number of bytes read.
vucrash_error_t vucrash_async_dwarf_read_uleb128(const vucrash_async_mobject_t *mobj,
                                                 vucrash_vm_address_t location,
                                                 vucrash_vm_off_t offset, uint64_t *result,
                                                 vucrash_vm_size_t *size);
vucrash_error_t vucrash_async_dwarf_read_sleb128(const vucrash_async_mobject_t *mobj,
                                                 vucrash_vm_address_t location,
                                                 vucrash_vm_off_t offset, int64_t *result,
                                                 vucrash_vm_size_t *size);
// The same read straight from the task, through a window of up to one page.
vucrash_error_t vucrash_async_dwarf_read_task_uleb128(vucrash_task_t task,
                                                      vucrash_vm_address_t location,
                                                      vucrash_vm_off_t offset, uint64_t *result,
                                                      vucrash_vm_size_t *size);
vucrash_error_t vucrash_async_dwarf_read_task_sleb128(vucrash_task_t task,
                                                      vucrash_vm_address_t location,
                                                      vucrash_vm_off_t offset, int64_t *result,
                                                      vucrash_vm_size_t *size);
// A 1-, 2-, 4- or 8-byte unsigned value in the byte order; other widths are VUCRASH_ERR_INVAL.
vucrash_error_t vucrash_async_dwarf_read_uintmax64(const vucrash_async_mobject_t *mobj,
                                                   const vucrash_async_byteorder_t *byteorder,
                                                   vucrash_vm_address_t base_addr,
                                                   vucrash_vm_off_t offset, uint8_t data_size,
                                                   uint64_t *result);

// The DW_EH_PE pointer encodings.
enum : uint8_t {
  VUCRASH_DW_EH_PE_absptr = 0x00,
  VUCRASH_DW_EH_PE_uleb128 = 0x01,
  VUCRASH_DW_EH_PE_udata2 = 0x02,
  VUCRASH_DW_EH_PE_udata4 = 0x03,
  VUCRASH_DW_EH_PE_udata8 = 0x04,
  VUCRASH_DW_EH_PE_sleb128 = 0x09,
  VUCRASH_DW_EH_PE_sdata2 = 0x0A,
  VUCRASH_DW_EH_PE_sdata4 = 0x0B,
  VUCRASH_DW_EH_PE_sdata8 = 0x0C,
  VUCRASH_DW_EH_PE_pcrel = 0x10,
  VUCRASH_DW_EH_PE_textrel = 0x20,
  VUCRASH_DW_EH_PE_datarel = 0x30,
  VUCRASH_DW_EH_PE_funcrel = 0x40,
  VUCRASH_DW_EH_PE_aligned = 0x50,
  VUCRASH_DW_EH_PE_indirect = 0x80,
  VUCRASH_DW_EH_PE_omit = 0xFF,
};

namespace vucrash {
namespace VU {
namespace async {

// Decodes DW_EH_PE pointers. machine_ptr is the image's word (uint32_t or uint64_t). Relative
// encodings need their base set first; without it they are VUCRASH_ERR_NOTSUP.
template <typename machine_ptr>
class gnu_ehptr_reader {
 public:
  explicit gnu_ehptr_reader(const vucrash_async_byteorder_t *byteorder) : byteorder_(byteorder) {}

  // The frame section's address in the mapped object and its address in the image.
  void set_frame_section_base(vucrash_vm_address_t frame_section_addr, vucrash_vm_address_t vm_addr) {
    frame_section_addr_ = frame_section_addr;
    frame_section_vm_addr_ = vm_addr;
    has_frame_section_ = true;
  }
  void set_text_base(vucrash_vm_address_t text_addr) { text_addr_ = text_addr; has_text_ = true; }
  void set_data_base(vucrash_vm_address_t data_addr) { data_addr_ = data_addr; has_data_ = true; }
  void set_func_base(vucrash_vm_address_t func_addr) { func_addr_ = func_addr; has_func_ = true; }
  // Indirect pointers (a personality routine's slot) are read through these pages when set.
  void set_indirect_pages(vucrash_async_page_cache_t *pages) { indirect_pages_ = pages; }

  vucrash_error_t read(const vucrash_async_mobject_t *mobj, vucrash_vm_address_t location,
                       vucrash_vm_off_t offset, uint8_t encoding, machine_ptr *result,
                       vucrash_vm_size_t *size) const;

 private:
  const vucrash_async_byteorder_t *byteorder_;
  bool has_frame_section_ = false;
  vucrash_vm_address_t frame_section_addr_ = 0;
  vucrash_vm_address_t frame_section_vm_addr_ = 0;
  bool has_text_ = false;
  vucrash_vm_address_t text_addr_ = 0;
  bool has_data_ = false;
  vucrash_vm_address_t data_addr_ = 0;
  bool has_func_ = false;
  vucrash_vm_address_t func_addr_ = 0;
  vucrash_async_page_cache_t *indirect_pages_ = nullptr;
};

}  // namespace async
}  // namespace VU
}  // namespace vucrash
