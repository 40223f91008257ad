#pragma once
// One ELF image loaded into the process (the executable, a shared library, the vDSO), read
// once when it is added to the image list, then asked about at crash time without
// allocating: where it lies, which processor it is for, its build id, and the tables the
// symbol lookup and the unwinders search (VUCrashElfTables.h).
//
// vucrash_nasync_elf_init and vucrash_nasync_elf_free allocate and must not run at crash
// time; everything else is async-signal-safe, vucrash_async_elf_init_borrowed included.

#include "VUCrashAsync.h"
#include "VUCrashElfTables.h"

#include <stdint.h>

struct vucrash_async_elf_t {
  vucrash_task_t task;
  // Address of the ELF header in the process.
  vucrash_vm_address_t header_addr;
  // Load bias: what the loader added to every virtual address of the file.
  int64_t slide;
  // Heap copy of the image path.
  char *name;
  // Bytes from the header to the end of the last executable segment: the range that holds
  // the image's code, as a report's BinaryImage.size.
  uint64_t text_size;
  // The ELF e_machine value and whether the image is 64-bit.
  uint16_t machine;
  bool is64;
  // Program headers in the process, for the readers that look further into the image.
  vucrash_vm_address_t phdr_addr;
  uint16_t phnum;
  // The first 16 bytes of the GNU build id (zero-padded when shorter), when the image has one.
  bool has_uuid;
  uint8_t uuid[16];
  // Dynamic symbols and .eh_frame.
  vucrash_async_elf_tables_t tables;
};

// Reads the image whose ELF header is at header_addr. VUCRASH_ERR_INVALID_DATA when the
// bytes there are not a loaded ELF image of this host's class; VUCRASH_ERR_NOMEM when the
// path cannot be copied.
vucrash_error_t vucrash_nasync_elf_init(vucrash_async_elf_t *image, vucrash_task_t task,
                                        const char *path, vucrash_vm_address_t header_addr);
void vucrash_nasync_elf_free(vucrash_async_elf_t *image);
// The same without allocating, for records filled at crash time: `path` is not copied and
// must outlive the record (vucrash_nasync_elf_free must not be called on it).
vucrash_error_t vucrash_async_elf_init_borrowed(vucrash_async_elf_t *image, vucrash_task_t task,
                                                const char *path, vucrash_vm_address_t header_addr);

// header_addr <= address < header_addr + text_size.
bool vucrash_async_elf_contains_address(const vucrash_async_elf_t *image,
                                        vucrash_vm_address_t address);
// The image's processor in the Mach-O numbering that reports use (0 when unknown).
uint64_t vucrash_async_elf_cpu_type(const vucrash_async_elf_t *image);
uint64_t vucrash_async_elf_cpu_subtype(const vucrash_async_elf_t *image);
// The dynamic symbol that holds pc, by the rules of dladdr (VUCrashElfTables.h).
vucrash_error_t vucrash_async_elf_find_symbol_by_pc(const vucrash_async_elf_t *image,
                                                    vucrash_vm_address_t pc,
                                                    vucrash_async_elf_found_symbol_cb callback,
                                                    void *ctx);
