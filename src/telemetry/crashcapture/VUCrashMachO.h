#pragma once
// Reader of one loaded Mach-O image: its header and load commands are parsed once when the
// image is added (vucrash_nasync_macho_init), and afterwards its commands, segments, sections
// and symbol table are answered without allocating. Data is reached only through memory
// objects, so malformed images end a walk with an error instead of a stray read.
//
// Functions whose names contain "nasync" allocate and must not run in a crash handler; every
// other function here may. Image records are written before they are published and read-only
// afterwards, so any number of threads (a crash handler included) may read one at once.

#include "VUCrashMemoryObject.h"

// Header magics, as read in host order.
enum : uint32_t {
    VUCRASH_MACHO_MAGIC = 0xFEEDFACE,
    VUCRASH_MACHO_MAGIC_64 = 0xFEEDFACF,
    VUCRASH_MACHO_CIGAM = 0xCEFAEDFE,
    VUCRASH_MACHO_CIGAM_64 = 0xCFFAEDFE,
    VUCRASH_MACHO_FAT_MAGIC = 0xCAFEBABE,
    VUCRASH_MACHO_FAT_CIGAM = 0xBEBAFECA,
};

// Load command numbers the engine reads.
enum : uint32_t {
    VUCRASH_MACHO_LC_SEGMENT = 0x1,
    VUCRASH_MACHO_LC_SYMTAB = 0x2,
    VUCRASH_MACHO_LC_DYSYMTAB = 0xB,
    VUCRASH_MACHO_LC_SEGMENT_64 = 0x19,
    VUCRASH_MACHO_LC_UUID = 0x1B,
};

struct vucrash_macho_header_t {
    uint32_t magic;
    uint32_t cputype;
    uint32_t cpusubtype;
    uint32_t filetype;
    uint32_t ncmds;
    uint32_t sizeofcmds;
    uint32_t flags;
};

struct vucrash_macho_load_command_t {
    uint32_t cmd;
    uint32_t cmdsize;
};

struct vucrash_async_macho_t {
    vucrash_task_t task;
    uint64_t header_addr;
    int64_t vmaddr_slide;        // header address minus the __TEXT vmaddr
    char *name;                  // heap copy of the image path
    vucrash_macho_header_t header; // as read, in the image's byte order
    uint32_t header_size;        // 28 or 32
    uint32_t ncmds;              // host order
    vucrash_async_mobject_t load_cmds;
    uint64_t text_vmaddr;
    uint64_t text_size;
    bool m64;
    const vucrash_async_byteorder_t *byteorder;
};

struct vucrash_async_macho_mapped_segment_t {
    vucrash_async_mobject_t mobj;
    uint64_t fileoff;
    uint64_t filesize;
};

vucrash_error_t vucrash_nasync_macho_init(vucrash_async_macho_t *image, vucrash_task_t task, const char *name,
                                          uint64_t header);
void vucrash_nasync_macho_free(vucrash_async_macho_t *image);

const vucrash_async_byteorder_t *vucrash_async_macho_byteorder(const vucrash_async_macho_t *image);
const vucrash_macho_header_t *vucrash_async_macho_header(const vucrash_async_macho_t *image);
uint32_t vucrash_async_macho_header_size(const vucrash_async_macho_t *image);
uint32_t vucrash_async_macho_cpu_type(const vucrash_async_macho_t *image);
uint32_t vucrash_async_macho_cpu_subtype(const vucrash_async_macho_t *image);
bool vucrash_async_macho_contains_address(const vucrash_async_macho_t *image, uint64_t address);

void *vucrash_async_macho_next_command(const vucrash_async_macho_t *image, void *previous);
void *vucrash_async_macho_next_command_type(const vucrash_async_macho_t *image, void *previous, uint32_t expectedCommand);
void *vucrash_async_macho_find_command(const vucrash_async_macho_t *image, uint32_t cmd);
void *vucrash_async_macho_find_segment_cmd(const vucrash_async_macho_t *image, const char *segname);

// The 16 bytes of the image's LC_UUID command, or false when it has none.
bool vucrash_async_macho_uuid(const vucrash_async_macho_t *image, uint8_t uuid[16]);

vucrash_error_t vucrash_async_macho_map_segment(const vucrash_async_macho_t *image, const char *segname,
                                                vucrash_async_macho_mapped_segment_t *seg);
vucrash_error_t vucrash_async_macho_map_section(const vucrash_async_macho_t *image, const char *segname,
                                                const char *sectname, vucrash_async_mobject_t *mobj);
void vucrash_async_macho_mapped_segment_free(vucrash_async_macho_mapped_segment_t *seg);

// The unslid address and size of section number n_sect (1-based over every segment, as a
// symbol's n_sect counts them).
vucrash_error_t vucrash_async_macho_section_by_number(const vucrash_async_macho_t *image, uint32_t n_sect,
                                                      uint64_t *addr, uint64_t *size);

// Symbol table.
struct vucrash_async_macho_symtab_entry_t {
    uint32_t n_strx;
    uint8_t n_type;
    uint8_t n_sect;
    uint16_t n_desc;
    uint64_t n_value;
    uint64_t normalized_value; // n_value with bit 0 set for Thumb entries
};

struct vucrash_async_macho_symtab_reader_t {
    const vucrash_async_macho_t *image;
    vucrash_async_macho_mapped_segment_t linkedit;
    void *symtab;
    uint32_t nsyms;
    void *symtab_global;
    uint32_t nsyms_global;
    void *symtab_local;
    uint32_t nsyms_local;
    const char *string_table;
    uint32_t string_table_size;
};

vucrash_error_t vucrash_async_macho_symtab_reader_init(vucrash_async_macho_symtab_reader_t *reader,
                                                       const vucrash_async_macho_t *image);
vucrash_async_macho_symtab_entry_t vucrash_async_macho_symtab_reader_read(const vucrash_async_macho_symtab_reader_t *reader,
                                                                        void *symtab, uint32_t index);
const char *vucrash_async_macho_symtab_reader_symbol_name(const vucrash_async_macho_symtab_reader_t *reader,
                                                          uint32_t n_strx);
void vucrash_async_macho_symtab_reader_free(vucrash_async_macho_symtab_reader_t *reader);

typedef void (*vucrash_async_found_symbol_cb)(uint64_t address, const char *name, void *ctx);
vucrash_error_t vucrash_async_macho_find_symbol_by_pc(const vucrash_async_macho_t *image, uint64_t pc,
                                                      vucrash_async_found_symbol_cb symbol_cb, void *context);
vucrash_error_t vucrash_async_macho_find_symbol_by_name(const vucrash_async_macho_t *image, const char *symbol,
                                                        uint64_t *pc);
