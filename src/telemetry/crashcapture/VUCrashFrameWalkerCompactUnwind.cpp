// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
//
// The compact unwind reader: the first the cursor tries. It answers for Mach-O images with
// __unwind_info; everything else (ELF images, entries that defer to DWARF, functions without
// unwind information) it refuses, and the cursor goes on to the DWARF reader.
#include "VUCrashAsyncLog.h"
#include "VUCrashCompactUnwind.h"
#include "VUCrashFrameCursor.h"

vuframe_error_t vuframe_cursor_read_compact_unwind(vucrash_task_t task, vucrash_async_image_list_t *image_list,
                                                   const vucrash_async_thread_state_t *current_frame,
                                                   const vucrash_async_thread_state_t *previous_frame,
                                                   vucrash_async_thread_state_t *next_frame) {
  return vuframe_cursor_read_compact_unwind_cached(nullptr, task, image_list, current_frame, previous_frame,
                                                   next_frame);
}

vuframe_error_t vuframe_cursor_read_compact_unwind_cached(vuframe_walk_cache_t *cache, vucrash_task_t task,
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
  // Rules the DWARF reader already worked out for this pc in this walk: this reader had no
  // answer for it then and has none now.
  if (vuframe_walk_cache_find_row(cache, lookupPc) != nullptr || image_list == nullptr)
    return VUFRAME_ERR_NOTSUP;

  vucrash_async_image_list_set_reading(image_list, true);
  vuframe_error_t result = VUFRAME_ERR_NOTSUP;
  vucrash_async_image_t *image = vucrash_async_image_containing_address(image_list, lookupPc);
  const vucrash_async_mobject_t *section = nullptr;
  vucrash_async_mobject_t scratch;
  vucrash_error_t err;
  if (image == nullptr) {
    VUCR_LOG("Could not find a loaded image for the current frame pc: 0x%llx", static_cast<unsigned long long>(pc));
  } else if (image->format != VUCRASH_ASYNC_IMAGE_MACHO) {
    // ELF images carry no compact unwind information.
  } else if ((err = vuframe_walk_cache_section(cache, image, VUFRAME_SECTION_UNWIND_INFO, &scratch, &section)) !=
             VUCRASH_ERR_NONE) {
    if (err != VUCRASH_ERR_NOTFOUND)
      VUCR_LOG("Could not map the compact unwind info section for image %s: %d", vucrash_async_image_name(image),
               static_cast<int>(err));
  } else {
    const uint64_t header = vucrash_async_image_header_addr(image);
    const uint32_t cpuType = vucrash_async_macho_cpu_type(&image->macho);
    vucrash_async_cfe_reader_t reader;
    uint32_t functionBase = 0, encoding = 0;
    vucrash_async_cfe_entry_t entry;
    if ((err = vucrash_async_cfe_reader_init(&reader, section, cpuType)) != VUCRASH_ERR_NONE) {
      VUCR_LOG("Could not parse the compact unwind info section for image '%s': %d", vucrash_async_image_name(image),
               static_cast<int>(err));
      result = VUFRAME_ERR_INVAL;
    } else if ((err = vucrash_async_cfe_reader_find_pc(&reader, lookupPc - header, &functionBase, &encoding)) !=
               VUCRASH_ERR_NONE) {
      VUCR_LOG("Did not find CFE entry for PC 0x%llx: %d", static_cast<unsigned long long>(pc), static_cast<int>(err));
    } else if ((err = vucrash_async_cfe_entry_init(&entry, cpuType, encoding)) != VUCRASH_ERR_NONE) {
      VUCR_LOG("Could not decode CFE encoding 0x%x for PC 0x%llx: %d", encoding, static_cast<unsigned long long>(pc),
               static_cast<int>(err));
    } else if (entry.type == VUCRASH_ASYNC_CFE_ENTRY_TYPE_NONE) {
      result = VUFRAME_ERR_NOFRAME;
    } else if (header > UINT64_MAX - functionBase) {
      VUCR_LOG("The provided function base (0x%llx) plus header address (0x%llx) will overflow pl_vm_address_t",
               static_cast<unsigned long long>(functionBase), static_cast<unsigned long long>(header));
      result = VUFRAME_ERR_INVAL;
    } else if ((err = vucrash_async_cfe_entry_apply(task, header + functionBase, current_frame, &entry, next_frame,
                                                    vuframe_walk_cache_stack(cache))) != VUCRASH_ERR_NONE) {
      VUCR_LOG("Failed to apply CFE encoding 0x%x for PC 0x%llx: %d", encoding, static_cast<unsigned long long>(pc),
               static_cast<int>(err));
      result = VUFRAME_ERR_NOFRAME;
    } else {
      result = VUFRAME_ERR_NONE;
    }
    vucrash_async_cfe_reader_free(&reader);
    if (cache == nullptr)
      vucrash_async_mobject_free(&scratch);
  }
  vucrash_async_image_list_set_reading(image_list, false);
  return result;
}
