#pragma once
// Finds and parses the call frame information that covers a pc: the FDE (frame description
// entry) in an image's .eh_frame (or a Mach-O image's __eh_frame / __debug_frame) and the CIE
// (common information entry) it refers to. Where the image has a search table (.eh_frame_hdr)
// the FDE is found by binary search; otherwise the section is walked entry by entry.
//
// Crash-time code: nothing here allocates or locks.

#include "VUCrashDwarfEncoding.h"

// An FDE, offsets relative to the start of its section.
struct vucrash_async_dwarf_fde_info_t {
  uint64_t fde_offset;    // where the content begins, after the length field
  uint64_t fde_length;    // the value of the length field
  uint64_t cie_offset;    // where the CIE's length field begins
  uint64_t pc_start;
  uint64_t pc_end;
  uint64_t instructions_offset;
  uint64_t instructions_length;
};

struct vucrash_async_dwarf_cie_info_t {
  uint64_t cie_offset;  // content start, after the length field
  uint64_t cie_length;
  uint64_t cie_id;
  uint8_t cie_version;
  uint8_t address_size;
  uint8_t segment_size;
  uint64_t code_alignment_factor;
  int64_t data_alignment_factor;
  uint64_t return_address_register;
  struct {
    bool has_eh_augmentation;  // the augmentation string starts with "z"
    bool has_lsda_encoding;
    uint8_t lsda_encoding;
    bool has_personality_address;
    uint64_t personality_address;
    bool has_pointer_encoding;
    uint8_t pointer_encoding;
    bool signal_frame;  // "S": the frame's pc is where the interrupted code resumes
  } eh_augmentation;
  uint64_t initial_instructions_offset;
  uint64_t initial_instructions_length;
};

vucrash_error_t vucrash_async_dwarf_fde_info_init(vucrash_async_dwarf_fde_info_t *info,
                                                  const vucrash_async_mobject_t *mobj,
                                                  const vucrash_async_byteorder_t *byteorder,
                                                  vucrash_vm_address_t fde_address,
                                                  bool debug_frame);
template <typename machine_ptr>
vucrash_error_t vucrash_async_dwarf_cie_info_init(
    vucrash_async_dwarf_cie_info_t *info, const vucrash_async_mobject_t *mobj,
    const vucrash_async_byteorder_t *byteorder,
    const vucrash::VU::async::gnu_ehptr_reader<machine_ptr> *ptr_reader,
    vucrash_vm_address_t address);

inline uint64_t vucrash_async_dwarf_fde_info_instructions_offset(const vucrash_async_dwarf_fde_info_t *info) {
  return info->instructions_offset;
}
inline uint64_t vucrash_async_dwarf_fde_info_instructions_length(const vucrash_async_dwarf_fde_info_t *info) {
  return info->instructions_length;
}
inline void vucrash_async_dwarf_fde_info_free(vucrash_async_dwarf_fde_info_t *) {}
inline uint64_t vucrash_async_dwarf_cie_info_initial_instructions_offset(const vucrash_async_dwarf_cie_info_t *info) {
  return info->initial_instructions_offset;
}
inline uint64_t vucrash_async_dwarf_cie_info_initial_instructions_length(const vucrash_async_dwarf_cie_info_t *info) {
  return info->initial_instructions_length;
}
inline void vucrash_async_dwarf_cie_info_free(vucrash_async_dwarf_cie_info_t *) {}

namespace vucrash {
namespace VU {
namespace async {

class dwarf_frame_reader {
 public:
  vucrash_error_t init(const vucrash_async_mobject_t *mobj, const vucrash_async_byteorder_t *byteorder,
                       bool m64, bool debug_frame) {
    mobj_ = mobj;
    byteorder_ = byteorder;
    m64_ = m64;
    debug_frame_ = debug_frame;
    hdr_ = nullptr;
    indirect_pages_ = nullptr;
    return VUCRASH_ERR_NONE;
  }
  // Pages through which the CIEs' indirect pointers are read (a walk's cache), when set.
  void set_indirect_pages(vucrash_async_page_cache_t *pages) { indirect_pages_ = pages; }
  // The section's search table (.eh_frame_hdr), when the image has one; find_fde then
  // searches it instead of walking the section.
  void set_search_table(const vucrash_async_mobject_t *eh_frame_hdr) { hdr_ = eh_frame_hdr; }

  // The FDE that covers pc, searching from `offset` into the section; VUCRASH_ERR_NOTFOUND
  // when none does.
  vucrash_error_t find_fde(vucrash_vm_off_t offset, vucrash_vm_address_t pc,
                           vucrash_async_dwarf_fde_info_t *fde_info) const;
  // The same by walking every entry, whatever search table there is.
  vucrash_error_t find_fde_linear(vucrash_vm_off_t offset, vucrash_vm_address_t pc,
                                  vucrash_async_dwarf_fde_info_t *fde_info) const;

 private:
  vucrash_error_t find_fde_in_table(vucrash_vm_address_t pc,
                                    vucrash_async_dwarf_fde_info_t *fde_info) const;

  const vucrash_async_mobject_t *mobj_ = nullptr;
  const vucrash_async_byteorder_t *byteorder_ = nullptr;
  bool m64_ = true;
  bool debug_frame_ = false;
  const vucrash_async_mobject_t *hdr_ = nullptr;
  vucrash_async_page_cache_t *indirect_pages_ = nullptr;
};

}  // namespace async
}  // namespace VU
}  // namespace vucrash
