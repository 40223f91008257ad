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
  const vucrash_async_mobject_t *frame = nullptr;
  bool debug_frame = false;
  const vucrash_async_mobject_t *hdr = nullptr;
};

// Call frame information ends the stack by leaving the return address undefined (the
// entry point's DW_CFA_undefined): no caller, the normal end of a walk, not a failure.
bool rowEndsStack(const vucrash_async_thread_state_t *frame, uint64_t raColumn, bool raHasRule) {
  vucrash_regnum_t reg;
  return !raHasRule && !vucrash_async_thread_state_map_dwarf_to_reg(frame, static_cast<uint32_t>(raColumn), &reg);
}

// Keeps the row the program ended with, for the next frame of the walk at the same pc.
template <typename P, typename S>
void keepRow(vuframe_walk_cache_t *cache, vucrash_vm_address_t lookup_pc, bool m64,
             const vucrash_async_byteorder_t *byteorder, const vucrash_async_dwarf_cie_info_t &cie,
             const dwarf_cfa_state<P, S> &state) {
  vuframe_cfa_row_t *row = vuframe_walk_cache_row_slot(cache, lookup_pc);
  if (row == nullptr)
    return;
  row->m64 = m64;
  row->byteorder = byteorder;
  row->return_address_register = cie.return_address_register;
  row->signal_frame = cie.eh_augmentation.signal_frame;
  const typename dwarf_cfa_state<P, S>::cfa_rule cfa = state.get_cfa_rule();
  row->cfa_type = cfa.type;
  row->cfa_register = cfa.reg;
  row->cfa_offset = cfa.offset;
  row->cfa_expression = cfa.expression;
  row->cfa_expression_length = cfa.expression_length;
  row->register_count = 0;
  typename dwarf_cfa_state<P, S>::iterator it(&state);
  uint32_t regnum;
  vucrash_dwarf_cfa_reg_rule_t rule;
  P value;
  while (it.next(&regnum, &rule, &value)) {
    if (row->register_count == vuframe_cfa_row_t::kRegisters)
      return;  // more rules than a row holds: worked out afresh each time
    row->registers[row->register_count++] = {regnum, static_cast<uint32_t>(rule), value};
  }
  row->valid = true;
}

// Applies a kept row as the program's own state would be applied.
template <typename P, typename S>
vuframe_error_t applyRow(vucrash_task_t task, const vuframe_cfa_row_t &row, vucrash_vm_address_t pc,
                         const vucrash_async_thread_state_t *current_frame, vucrash_async_page_cache_t *stack,
                         vucrash_async_thread_state_t *next_frame) {
  bool raHasRule = false;
  for (uint32_t i = 0; i < row.register_count; ++i)
    raHasRule = raHasRule || row.registers[i].regnum == row.return_address_register;
  if (rowEndsStack(current_frame, row.return_address_register, raHasRule))
    return VUFRAME_ERR_NOFRAME;
  dwarf_cfa_state<P, S> state;
  switch (row.cfa_type) {
    case VUCRASH_DWARF_CFA_STATE_CFA_TYPE_REGISTER:
      state.set_cfa_register(row.cfa_register, static_cast<P>(row.cfa_offset));
      break;
    case VUCRASH_DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED:
      state.set_cfa_register_signed(row.cfa_register, static_cast<S>(static_cast<P>(row.cfa_offset)));
      break;
    case VUCRASH_DWARF_CFA_STATE_CFA_TYPE_EXPRESSION:
      state.set_cfa_expression(row.cfa_expression, row.cfa_expression_length);
      break;
    default:
      break;
  }
  for (uint32_t i = 0; i < row.register_count; ++i)
    state.set_register(row.registers[i].regnum, static_cast<vucrash_dwarf_cfa_reg_rule_t>(row.registers[i].rule),
                       static_cast<P>(row.registers[i].value));
  vucrash_async_dwarf_cie_info_t cie;
  vucrash_async_memset(&cie, 0, sizeof(cie));
  cie.return_address_register = row.return_address_register;
  const vucrash_error_t err = state.apply_state(task, &cie, current_frame, row.byteorder, next_frame, stack);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to apply CFA state for PC 0x%llx: %d", static_cast<unsigned long long>(pc),
             static_cast<int>(err));
    return VUFRAME_ERR_NOFRAME;
  }
  next_frame->resumes_at_pc = row.signal_frame;
  return VUFRAME_ERR_NONE;
}

template <typename P, typename S>
vuframe_error_t unwind(vucrash_task_t task, const vucrash_async_byteorder_t *byteorder, bool m64,
                       const Sections &sections, vucrash_vm_address_t pc, vucrash_vm_address_t lookup_pc,
                       const vucrash_async_thread_state_t *current_frame, vuframe_walk_cache_t *cache,
                       vucrash_async_thread_state_t *next_frame) {
  vucrash_async_page_cache_t *stack = vuframe_walk_cache_stack(cache);
  dwarf_frame_reader reader;
  reader.init(sections.frame, byteorder, m64, sections.debug_frame);
  if (sections.hdr != nullptr)
    reader.set_search_table(sections.hdr);
  reader.set_indirect_pages(vuframe_walk_cache_image_data(cache));

  vucrash_async_dwarf_fde_info_t fde;
  if (reader.find_fde(0, lookup_pc, &fde) != VUCRASH_ERR_NONE)
    return VUFRAME_ERR_NOTSUP;

  const vucrash_vm_address_t base = vucrash_async_mobject_base_address(sections.frame);
  gnu_ehptr_reader<P> ptrReader(byteorder);
  ptrReader.set_indirect_pages(vuframe_walk_cache_image_data(cache));
  vucrash_async_dwarf_cie_info_t cie;
  vucrash_error_t err = vucrash_async_dwarf_cie_info_init(&cie, sections.frame, byteorder, &ptrReader,
                                                           base + fde.cie_offset);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to parse CIE at offset of 0x%llx: %d", static_cast<unsigned long long>(fde.cie_offset),
             static_cast<int>(err));
    return VUFRAME_ERR_NOTSUP;
  }

  dwarf_cfa_state<P, S> state;
  err = state.eval_program(sections.frame, static_cast<P>(lookup_pc), static_cast<P>(fde.pc_start), &cie,
                           &ptrReader, byteorder, base, static_cast<vucrash_vm_off_t>(cie.initial_instructions_offset),
                           cie.initial_instructions_length);
  if (err == VUCRASH_ERR_NONE)
    err = state.eval_program(sections.frame, static_cast<P>(lookup_pc), static_cast<P>(fde.pc_start), &cie,
                             &ptrReader, byteorder, base, static_cast<vucrash_vm_off_t>(fde.instructions_offset),
                             fde.instructions_length);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to evaluate CFA at offset of 0x%llx: %d", static_cast<unsigned long long>(fde.fde_offset),
             static_cast<int>(err));
    return VUFRAME_ERR_NOTSUP;
  }
  keepRow(cache, lookup_pc, m64, byteorder, cie, state);
  vucrash_dwarf_cfa_reg_rule_t raRule;
  P raValue;
  if (rowEndsStack(current_frame, cie.return_address_register,
                   state.get_register_rule(static_cast<uint32_t>(cie.return_address_register), &raRule, &raValue)))
    return VUFRAME_ERR_NOFRAME;

  err = state.apply_state(task, &cie, current_frame, byteorder, next_frame, stack);
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
  return vuframe_cursor_read_dwarf_unwind_cached(nullptr, task, image_list, current_frame, previous_frame,
                                                 next_frame);
}

vuframe_error_t vuframe_cursor_read_dwarf_unwind_cached(vuframe_walk_cache_t *cache, vucrash_task_t task,
                                                        vucrash_async_image_list_t *image_list,
                                                        const vucrash_async_thread_state_t *current_frame,
                                                        const vucrash_async_thread_state_t *previous_frame,
                                                        vucrash_async_thread_state_t *next_frame) {
  if (!vucrash_async_thread_state_has_reg(current_frame, VUCRASH_REG_IP)) {
    VUCR_LOG("Frame is missing a valid IP register, skipping compact unwind encoding");
    return VUFRAME_ERR_BADFRAME;
  }
  const vucrash_vm_address_t pc = vucrash_async_thread_state_get_reg(current_frame, VUCRASH_REG_IP);
  const vucrash_vm_address_t lookupPc = vuframe_rule_lookup_pc(pc, current_frame, previous_frame);

  // A pc met before in this walk (a recursion) has its rules worked out already.
  if (const vuframe_cfa_row_t *row = vuframe_walk_cache_find_row(cache, lookupPc)) {
    return row->m64 ? applyRow<uint64_t, int64_t>(task, *row, pc, current_frame, vuframe_walk_cache_stack(cache),
                                                  next_frame)
                    : applyRow<uint32_t, int32_t>(task, *row, pc, current_frame, vuframe_walk_cache_stack(cache),
                                                  next_frame);
  }

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
  // Without a walk cache the sections are mapped here and given back below.
  vucrash_async_mobject_t scratchFrame, scratchHdr;
  Sections sections;
  if (vuframe_walk_cache_section(cache, image, VUFRAME_SECTION_EH_FRAME, &scratchFrame, &sections.frame) !=
      VUCRASH_ERR_NONE) {
    if (vuframe_walk_cache_section(cache, image, VUFRAME_SECTION_DEBUG_FRAME, &scratchFrame, &sections.frame) !=
        VUCRASH_ERR_NONE) {
      vucrash_async_image_list_set_reading(image_list, false);
      return VUFRAME_ERR_NOFRAME;
    }
    sections.debug_frame = true;
  }
  if (!sections.debug_frame)
    vuframe_walk_cache_section(cache, image, VUFRAME_SECTION_EH_FRAME_HDR, &scratchHdr, &sections.hdr);

  if (m64)
    result = unwind<uint64_t, int64_t>(task, byteorder, true, sections, pc, lookupPc, current_frame, cache,
                                       next_frame);
  else
    result = unwind<uint32_t, int32_t>(task, byteorder, false, sections, pc, lookupPc, current_frame, cache,
                                       next_frame);

  if (cache == nullptr) {
    if (sections.hdr != nullptr)
      vucrash_async_mobject_free(&scratchHdr);
    vucrash_async_mobject_free(&scratchFrame);
  }
  vucrash_async_image_list_set_reading(image_list, false);
  return result;
}
