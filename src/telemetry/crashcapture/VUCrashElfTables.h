#pragma once
// The tables of a loaded ELF image that crash-time readers search: its dynamic symbols
// (found through PT_DYNAMIC, counted from DT_HASH or DT_GNU_HASH) and .eh_frame with its
// search table (found through PT_GNU_EH_FRAME; .eh_frame is the counterpart of a Mach-O
// image's __TEXT,__eh_frame). An ELF image has no compact unwind info.
//
// vucrash_nasync_elf_tables_init reads the program headers once, when the image is listed;
// afterwards lookups allocate nothing, take no lock and read only through memory objects.

#include "VUCrashAsync.h"
#include "VUCrashMemoryObject.h"

struct vucrash_async_elf_tables_t {
    vucrash_task_t task;
    int64_t slide;              // load bias
    uint64_t eh_frame_hdr_addr; // 0 when the image has no PT_GNU_EH_FRAME
    uint64_t eh_frame_hdr_size;
    uint64_t eh_frame_addr;     // 0 when unknown
    uint64_t eh_frame_size;     // to its terminator, else to the end of its segment
    uint64_t dynsym_addr;       // 0 when the image has no dynamic symbols
    uint64_t dynsym_count;
    uint64_t dynsym_entsize;
    uint64_t dynstr_addr;
    uint64_t dynstr_size;
};

// `phdr_addr` and `phnum` are the image's program headers in the process.
void vucrash_nasync_elf_tables_init(vucrash_async_elf_tables_t *tables, vucrash_task_t task, int64_t slide,
                                    vucrash_vm_address_t phdr_addr, uint16_t phnum);

// .eh_frame and .eh_frame_hdr; NOTFOUND when the image has none.
vucrash_error_t vucrash_async_elf_tables_map_eh_frame(const vucrash_async_elf_tables_t *tables,
                                                      vucrash_async_mobject_t *mobj);
vucrash_error_t vucrash_async_elf_tables_map_eh_frame_hdr(const vucrash_async_elf_tables_t *tables,
                                                          vucrash_async_mobject_t *mobj);

typedef void (*vucrash_async_elf_found_symbol_cb)(uint64_t address, const char *name, void *ctx);

// The nearest defined dynamic symbol at or below `pc` whose extent holds `pc` (its st_size;
// a symbol of size 0 only at its own address); on equal addresses the first in the table.
// These are the rules of dladdr, so both name the same symbol.
vucrash_error_t vucrash_async_elf_tables_find_symbol_by_pc(const vucrash_async_elf_tables_t *tables, uint64_t pc,
                                                           vucrash_async_elf_found_symbol_cb callback, void *ctx);
