// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
//
// The call-frame-information reader: finds the FDE that covers the frame's pc in its image's
// .eh_frame (__eh_frame or __debug_frame in a Mach-O image), runs the CIE's and the FDE's
// instructions up to that pc and applies the rules to make the caller's frame. This is what
// walks through code built without frame pointers, ours and the system's.
#include "VUCrashAsyncLog.h"
#include "VUCrashDwarfCFAState.h"
#include "VUCrashFrameCursor.h"

using vucrash::VU::async::dwarf_cfa_state;
using vucrash::VU::async::dwarf_frame_reader;
using vucrash::VU::async::gnu_ehptr_reader;

namespace {

bool imageIs64(const vucrash_async_image_t *image) {
  return image->format == VUCRASH_ASYNC_IMAGE_MACHO ? image->macho.m64 : image->elf.is64;
}

// ELF images are of this host, which is little-endian.
const vucrash_async_byteorder_t *imageByteOrder(const vucrash_async_image_t *image) {
  return image->format == VUCRASH_ASYNC_IMAGE_MACHO ? image->macho.byteorder
                                                     : vucrash_async_byteorder_little_endian();
}

struct Sections {
  vucrash_async_mobject_t frame;
  bool debug_frame = false;
  vucrash_async_mobject_t hdr;
  bool has_hdr = false;
};

template <typename P, typename S>
vuframe_error_t unwind(vucrash_task_t task, const vucrash_async_byteorder_t *byteorder, bool m64,
                       const Sections &sections, vucrash_vm_address_t pc, vucrash_vm_address_t lookup_pc,
                       const vucrash_async_thread_state_t *current_frame,
                       vucrash_async_thread_state_t *next_frame) {
  dwarf_frame_reader reader;
  reader.init(&sections.frame, byteorder, m64, sections.debug_frame);
  if (sections.has_hdr)
    reader.set_search_table(&sections.hdr);

  vucrash_async_dwarf_fde_info_t fde;
  if (reader.find_fde(0, lookup_pc, &fde) != VUCRASH_ERR_NONE)
    return VUFRAME_ERR_NOTSUP;

  const vucrash_vm_address_t base = vucrash_async_mobject_base_address(&sections.frame);
  gnu_ehptr_reader<P> ptrReader(byteorder);
  vucrash_async_dwarf_cie_info_t cie;
  vucrash_error_t err = vucrash_async_dwarf_cie_info_init(&cie, &sections.frame, byteorder, &ptrReader,
                                                           base + fde.cie_offset);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to parse CIE at offset of 0x%llx: %d", static_cast<unsigned long long>(fde.cie_offset),
             static_cast<int>(err));
    return VUFRAME_ERR_NOTSUP;
  }

  dwarf_cfa_state<P, S> state;
  err = state.eval_program(&sections.frame, static_cast<P>(lookup_pc), static_cast<P>(fde.pc_start), &cie,
                           &ptrReader, byteorder, base, static_cast<vucrash_vm_off_t>(cie.initial_instructions_offset),
                           cie.initial_instructions_length);
  if (err == VUCRASH_ERR_NONE)
    err = state.eval_program(&sections.frame, static_cast<P>(lookup_pc), static_cast<P>(fde.pc_start), &cie,
                             &ptrReader, byteorder, base, static_cast<vucrash_vm_off_t>(fde.instructions_offset),
                             fde.instructions_length);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to evaluate CFA at offset of 0x%llx: %d", static_cast<unsigned long long>(fde.fde_offset),
             static_cast<int>(err));
    return VUFRAME_ERR_NOTSUP;
  }

  err = state.apply_state(task, &cie, current_frame, byteorder, next_frame);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to apply CFA state for PC 0x%llx: %d", static_cast<unsigned long long>(pc),
             static_cast<int>(err));
    return VUFRAME_ERR_NOFRAME;
  }
  // The caller of a signal trampoline was interrupted, not calling: its pc is where it
  // resumes, and the next lookup must not step back from it.
  next_frame->resumes_at_pc = cie.eh_augmentation.signal_frame;
  return VUFRAME_ERR_NONE;
}

}  // namespace

vuframe_error_t vuframe_cursor_read_dwarf_unwind(vucrash_task_t task,
                                                 vucrash_async_image_list_t *image_list,
                                                 const vucrash_async_thread_state_t *current_frame,
                                                 const vucrash_async_thread_state_t *previous_frame,
                                                 vucrash_async_thread_state_t *next_frame) {
  if (!vucrash_async_thread_state_has_reg(current_frame, VUCRASH_REG_IP)) {
    VUCR_LOG("Frame is missing a valid IP register, skipping compact unwind encoding");
    return VUFRAME_ERR_BADFRAME;
  }
  const vucrash_vm_address_t pc = vucrash_async_thread_state_get_reg(current_frame, VUCRASH_REG_IP);
  // Every frame but the first holds a return address: the instruction after a call. When the
  // call was a function's last instruction (abort, a throw) that address already belongs to
  // the next function, so the rules are looked up one byte back, inside the call.
  const bool returnAddress = previous_frame != nullptr && !current_frame->resumes_at_pc;
  const vucrash_vm_address_t lookupPc = returnAddress && pc > 0 ? pc - 1 : pc;

  if (image_list == nullptr)
    return VUFRAME_ERR_NOTSUP;
  vucrash_async_image_list_set_reading(image_list, true);
  vuframe_error_t result = VUFRAME_ERR_NOTSUP;
  vucrash_async_image_t *image = vucrash_async_image_containing_address(image_list, lookupPc);
  if (image == nullptr) {
    VUCR_LOG("Could not find a loaded image for the current frame pc: 0x%llx", static_cast<unsigned long long>(pc));
    vucrash_async_image_list_set_reading(image_list, false);
    return VUFRAME_ERR_NOTSUP;
  }

  const bool m64 = imageIs64(image);
  const vucrash_async_byteorder_t *byteorder = imageByteOrder(image);
  Sections sections;
  if (vucrash_async_image_map_section(image, "__TEXT", "__eh_frame", &sections.frame) != VUCRASH_ERR_NONE) {
    if (vucrash_async_image_map_section(image, "__DWARF", "__debug_frame", &sections.frame) != VUCRASH_ERR_NONE) {
      vucrash_async_image_list_set_reading(image_list, false);
      return VUFRAME_ERR_NOFRAME;
    }
    sections.debug_frame = true;
  }
  if (!sections.debug_frame &&
      vucrash_async_image_map_section(image, "__TEXT", "__eh_frame_hdr", &sections.hdr) == VUCRASH_ERR_NONE)
    sections.has_hdr = true;

  if (m64)
    result = unwind<uint64_t, int64_t>(task, byteorder, true, sections, pc, lookupPc, current_frame, next_frame);
  else
    result = unwind<uint32_t, int32_t>(task, byteorder, false, sections, pc, lookupPc, current_frame, next_frame);

  if (sections.has_hdr)
    vucrash_async_mobject_free(&sections.hdr);
  vucrash_async_mobject_free(&sections.frame);
  vucrash_async_image_list_set_reading(image_list, false);
  return result;
}
