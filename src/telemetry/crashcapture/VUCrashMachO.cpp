// Crash-time rules for this file: apart from vucrash_nasync_macho_init/free, no heap, no
// locks, no stdio; every read of image data goes through a memory object.
#include "VUCrashMachO.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kSegment32Size = 56;
constexpr uint32_t kSegment64Size = 72;
constexpr uint32_t kSection32Size = 68;
constexpr uint32_t kSection64Size = 80;
constexpr uint32_t kSymtabCommandSize = 24;
constexpr uint32_t kDysymtabReadSize = 24; // up to and including nextdefsym

uint32_t read32(const vucrash_async_macho_t *image, const void *p)
{
    uint32_t v;
    vucrash_async_memcpy(&v, p, sizeof v);
    return image->byteorder->swap32(v);
}

uint64_t read64(const vucrash_async_macho_t *image, const void *p)
{
    uint64_t v;
    vucrash_async_memcpy(&v, p, sizeof v);
    return image->byteorder->swap64(v);
}

uint16_t read16(const vucrash_async_macho_t *image, const void *p)
{
    uint16_t v;
    vucrash_async_memcpy(&v, p, sizeof v);
    return image->byteorder->swap16(v);
}

const uint8_t *at(const void *p, uint64_t offset) { return static_cast<const uint8_t *>(p) + offset; }

bool inCommands(const vucrash_async_macho_t *image, const void *p, uint64_t length)
{
    return vucrash_async_mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<uintptr_t>(p), 0, length);
}

uint32_t segmentCommand(const vucrash_async_macho_t *image)
{
    return image->m64 ? VUCRASH_MACHO_LC_SEGMENT_64 : VUCRASH_MACHO_LC_SEGMENT;
}

uint32_t segmentCommandSize(const vucrash_async_macho_t *image) { return image->m64 ? kSegment64Size : kSegment32Size; }

struct SegmentFields {
    uint64_t vmaddr, vmsize, fileoff, filesize;
    uint32_t nsects;
};

SegmentFields segmentFields(const vucrash_async_macho_t *image, const void *cmd)
{
    if (image->m64)
        return {read64(image, at(cmd, 24)), read64(image, at(cmd, 32)), read64(image, at(cmd, 40)),
                read64(image, at(cmd, 48)), read32(image, at(cmd, 64))};
    return {read32(image, at(cmd, 24)), read32(image, at(cmd, 28)), read32(image, at(cmd, 32)),
            read32(image, at(cmd, 36)), read32(image, at(cmd, 48))};
}

void releaseImage(vucrash_async_macho_t *image, bool mapped)
{
    if (mapped)
        vucrash_async_mobject_free(&image->load_cmds);
    free(image->name);
    image->name = nullptr;
}

} // namespace

vucrash_error_t vucrash_nasync_macho_init(vucrash_async_macho_t *image, vucrash_task_t task, const char *name,
                                          uint64_t header)
{
    vucrash_async_memset(image, 0, sizeof *image);
    image->task = task;
    image->header_addr = header;
    image->name = strdup(name ? name : "");
    if (!image->name)
        return VUCRASH_ERR_NOMEM;

    int kr = vucrash_async_read_addr(task, header, &image->header, sizeof image->header);
    if (kr != 0) {
        VUCR_LOG("Failed to read Mach-O header from 0x%llx for image %s, kern_error=%d",
                      (unsigned long long)header, name, kr);
        releaseImage(image, false);
        return VUCRASH_ERR_INTERNAL;
    }

    switch (image->header.magic) {
    case VUCRASH_MACHO_MAGIC:
        image->byteorder = &vucrash_async_byteorder_direct;
        image->m64 = false;
        break;
    case VUCRASH_MACHO_MAGIC_64:
        image->byteorder = &vucrash_async_byteorder_direct;
        image->m64 = true;
        break;
    case VUCRASH_MACHO_CIGAM:
        image->byteorder = &vucrash_async_byteorder_swapped;
        image->m64 = false;
        break;
    case VUCRASH_MACHO_CIGAM_64:
        image->byteorder = &vucrash_async_byteorder_swapped;
        image->m64 = true;
        break;
    case VUCRASH_MACHO_FAT_MAGIC:
    case VUCRASH_MACHO_FAT_CIGAM:
        VUCR_LOG("%s called with an unsupported universal Mach-O archive in: %s", __func__, name);
        releaseImage(image, false);
        return VUCRASH_ERR_INVAL;
    default:
        VUCR_LOG("Unknown Mach-O magic: 0x%x in: %s", image->header.magic, name);
        releaseImage(image, false);
        return VUCRASH_ERR_INVAL;
    }
    image->header_size = image->m64 ? 32 : 28;
    image->ncmds = image->byteorder->swap32(image->header.ncmds);

    uint32_t sizeofcmds = image->byteorder->swap32(image->header.sizeofcmds);
    vucrash_error_t err =
        vucrash_async_mobject_init(&image->load_cmds, task, header + image->header_size, sizeofcmds, true);
    if (err != VUCRASH_ERR_NONE) {
        VUCR_LOG("Failed to map Mach-O load commands in image %s", name);
        releaseImage(image, false);
        return err;
    }

    uint32_t segCmd = segmentCommand(image);
    for (void *cmd = vucrash_async_macho_next_command_type(image, nullptr, segCmd); cmd;
         cmd = vucrash_async_macho_next_command_type(image, cmd, segCmd)) {
        if (!inCommands(image, cmd, segmentCommandSize(image))) {
            VUCR_LOG("LC_SEGMENT command was too short");
            releaseImage(image, true);
            return VUCRASH_ERR_INVAL;
        }
        if (vucrash_async_strncmp(reinterpret_cast<const char *>(at(cmd, 8)), "__TEXT", 16) != 0)
            continue;
        SegmentFields seg = segmentFields(image, cmd);
        image->text_vmaddr = seg.vmaddr;
        image->text_size = seg.vmsize;
        image->vmaddr_slide = static_cast<int64_t>(header - seg.vmaddr);
        return VUCRASH_ERR_NONE;
    }

    VUCR_LOG("Could not find __TEXT segment!");
    releaseImage(image, true);
    return VUCRASH_ERR_INVAL;
}

void vucrash_nasync_macho_free(vucrash_async_macho_t *image) { releaseImage(image, true); }

const vucrash_async_byteorder_t *vucrash_async_macho_byteorder(const vucrash_async_macho_t *image)
{
    return image->byteorder;
}
const vucrash_macho_header_t *vucrash_async_macho_header(const vucrash_async_macho_t *image) { return &image->header; }
uint32_t vucrash_async_macho_header_size(const vucrash_async_macho_t *image) { return image->header_size; }
uint32_t vucrash_async_macho_cpu_type(const vucrash_async_macho_t *image)
{
    return image->byteorder->swap32(image->header.cputype);
}
uint32_t vucrash_async_macho_cpu_subtype(const vucrash_async_macho_t *image)
{
    return image->byteorder->swap32(image->header.cpusubtype);
}

bool vucrash_async_macho_contains_address(const vucrash_async_macho_t *image, uint64_t address)
{
    return address >= image->header_addr && address - image->header_addr < image->text_size;
}

void *vucrash_async_macho_next_command(const vucrash_async_macho_t *image, void *previous)
{
    auto *begin = reinterpret_cast<uint8_t *>(image->load_cmds.address);
    uint64_t end = image->load_cmds.address + image->load_cmds.length;
    uint8_t *next;
    if (previous == nullptr) {
        if (image->byteorder->swap32(image->header.sizeofcmds) < sizeof(vucrash_macho_load_command_t)) {
            VUCR_LOG("Mach-O sizeofcmds is less than sizeof(struct load_command) in %s", image->name);
            return nullptr;
        }
        next = begin;
    } else {
        if (!inCommands(image, previous, sizeof(vucrash_macho_load_command_t))) {
            VUCR_LOG("Failed to map LC_CMD at address %p in: %s", previous, image->name);
            return nullptr;
        }
        uint32_t cmdsize = read32(image, at(previous, 4));
        if (cmdsize < sizeof(vucrash_macho_load_command_t)) {
            VUCR_LOG("Found invalid 0-length cmdsize in LC_CMD at address %p in: %s (terminating further "
                          "iteration)",
                          previous, image->name);
            return nullptr;
        }
        auto prev = reinterpret_cast<uintptr_t>(previous);
        if (prev + cmdsize < prev) {
            VUCR_LOG("Found invalid cmdsize in LC_CMD at address %p in: %s", previous, image->name);
            return nullptr;
        }
        next = static_cast<uint8_t *>(previous) + cmdsize;
    }

    if (reinterpret_cast<uint64_t>(next) >= end)
        return nullptr;
    if (!inCommands(image, next, sizeof(vucrash_macho_load_command_t)) ||
        !inCommands(image, next, read32(image, at(next, 4)))) {
        VUCR_LOG("Failed to map LC_CMD at address %p in: %s", next, image->name);
        return nullptr;
    }
    return next;
}

void *vucrash_async_macho_next_command_type(const vucrash_async_macho_t *image, void *previous, uint32_t expectedCommand)
{
    void *cmd = previous;
    while ((cmd = vucrash_async_macho_next_command(image, cmd)) != nullptr) {
        if (read32(image, cmd) == expectedCommand)
            return cmd;
    }
    return nullptr;
}

void *vucrash_async_macho_find_command(const vucrash_async_macho_t *image, uint32_t expectedCommand)
{
    void *cmd = nullptr;
    while ((cmd = vucrash_async_macho_next_command(image, cmd)) != nullptr) {
        if (!inCommands(image, cmd, sizeof(vucrash_macho_load_command_t))) {
            VUCR_LOG("Failed to map LC_CMD at address %p in: %s", cmd, image->name);
            return nullptr;
        }
        if (read32(image, cmd) == expectedCommand)
            return cmd;
    }
    return nullptr;
}

void *vucrash_async_macho_find_segment_cmd(const vucrash_async_macho_t *image, const char *segname)
{
    uint32_t segCmd = segmentCommand(image);
    for (void *cmd = vucrash_async_macho_next_command_type(image, nullptr, segCmd); cmd;
         cmd = vucrash_async_macho_next_command_type(image, cmd, segCmd)) {
        // A command too short to hold a whole segment record is not read as one.
        if (!inCommands(image, cmd, segmentCommandSize(image)))
            return nullptr;
        if (vucrash_async_strncmp(reinterpret_cast<const char *>(at(cmd, 8)), segname, 16) == 0)
            return cmd;
    }
    return nullptr;
}

bool vucrash_async_macho_uuid(const vucrash_async_macho_t *image, uint8_t uuid[16])
{
    void *cmd = vucrash_async_macho_find_command(image, VUCRASH_MACHO_LC_UUID);
    if (!cmd || !inCommands(image, cmd, 24))
        return false;
    vucrash_async_memcpy(uuid, at(cmd, 8), 16);
    return true;
}

vucrash_error_t vucrash_async_macho_map_segment(const vucrash_async_macho_t *image, const char *segname,
                                                vucrash_async_macho_mapped_segment_t *seg)
{
    void *cmd = vucrash_async_macho_find_segment_cmd(image, segname);
    if (!cmd)
        return VUCRASH_ERR_NOTFOUND;
    SegmentFields fields = segmentFields(image, cmd);
    seg->fileoff = fields.fileoff;
    seg->filesize = fields.filesize;
    return vucrash_async_mobject_init(&seg->mobj, image->task, fields.vmaddr + image->vmaddr_slide, fields.vmsize,
                                      false);
}

vucrash_error_t vucrash_async_macho_map_section(const vucrash_async_macho_t *image, const char *segname,
                                                const char *sectname, vucrash_async_mobject_t *mobj)
{
    void *cmd = vucrash_async_macho_find_segment_cmd(image, segname);
    if (!cmd)
        return VUCRASH_ERR_NOTFOUND;
    uint32_t nsects = segmentFields(image, cmd).nsects;
    if (nsects == 0)
        return VUCRASH_ERR_NOTFOUND;

    uint32_t entrySize = image->m64 ? kSection64Size : kSection32Size;
    const uint8_t *section = at(cmd, segmentCommandSize(image));
    for (uint32_t i = 0; i < nsects; ++i, section += entrySize) {
        if (!inCommands(image, section, entrySize)) {
            VUCR_LOG("Section table entry outside of expected range; searching for (%s,%s)", segname, sectname);
            return VUCRASH_ERR_INVAL;
        }
        if (vucrash_async_strncmp(reinterpret_cast<const char *>(section), sectname, 16) != 0)
            continue;
        uint64_t addr = image->m64 ? read64(image, section + 32) : read32(image, section + 32);
        uint64_t size = image->m64 ? read64(image, section + 40) : read32(image, section + 36);
        return vucrash_async_mobject_init(mobj, image->task, addr + image->vmaddr_slide, size, true);
    }
    return VUCRASH_ERR_NOTFOUND;
}

void vucrash_async_macho_mapped_segment_free(vucrash_async_macho_mapped_segment_t *seg)
{
    vucrash_async_mobject_free(&seg->mobj);
}

vucrash_error_t vucrash_async_macho_section_by_number(const vucrash_async_macho_t *image, uint32_t n_sect,
                                                      uint64_t *addr, uint64_t *size)
{
    if (n_sect == 0)
        return VUCRASH_ERR_NOTFOUND;
    uint32_t entrySize = image->m64 ? kSection64Size : kSection32Size;
    uint32_t segCmd = segmentCommand(image);
    uint32_t remaining = n_sect - 1;
    for (void *cmd = vucrash_async_macho_next_command_type(image, nullptr, segCmd); cmd;
         cmd = vucrash_async_macho_next_command_type(image, cmd, segCmd)) {
        if (!inCommands(image, cmd, segmentCommandSize(image)))
            return VUCRASH_ERR_INVAL;
        uint32_t nsects = segmentFields(image, cmd).nsects;
        if (remaining >= nsects) {
            remaining -= nsects;
            continue;
        }
        const uint8_t *section = at(cmd, segmentCommandSize(image) + uint64_t(remaining) * entrySize);
        if (!inCommands(image, section, entrySize))
            return VUCRASH_ERR_INVAL;
        *addr = image->m64 ? read64(image, section + 32) : read32(image, section + 32);
        *size = image->m64 ? read64(image, section + 40) : read32(image, section + 36);
        return VUCRASH_ERR_NONE;
    }
    return VUCRASH_ERR_NOTFOUND;
}

vucrash_error_t vucrash_async_macho_symtab_reader_init(vucrash_async_macho_symtab_reader_t *reader,
                                                       const vucrash_async_macho_t *image)
{
    vucrash_async_memset(reader, 0, sizeof *reader);
    reader->image = image;

    void *symtabCmd = vucrash_async_macho_find_command(image, VUCRASH_MACHO_LC_SYMTAB);
    if (!symtabCmd || !inCommands(image, symtabCmd, kSymtabCommandSize)) {
        VUCR_LOG("could not find LC_SYMTAB load command");
        return VUCRASH_ERR_NOTFOUND;
    }
    void *dysymtabCmd = vucrash_async_macho_find_command(image, VUCRASH_MACHO_LC_DYSYMTAB);
    if (dysymtabCmd && !inCommands(image, dysymtabCmd, kDysymtabReadSize))
        dysymtabCmd = nullptr;

    vucrash_error_t err = vucrash_async_macho_map_segment(image, "__LINKEDIT", &reader->linkedit);
    if (err != VUCRASH_ERR_NONE) {
        VUCR_LOG("vucrash_async_mobject_init() failure: %d in %s", err, image->name);
        return VUCRASH_ERR_INTERNAL;
    }

    uint32_t symoff = read32(image, at(symtabCmd, 8));
    uint32_t nsyms = read32(image, at(symtabCmd, 12));
    uint32_t stroff = read32(image, at(symtabCmd, 16));
    uint32_t strsize = read32(image, at(symtabCmd, 20));
    uint64_t entrySize = image->m64 ? 16 : 12;
    uint64_t base = vucrash_async_mobject_base_address(&reader->linkedit.mobj);
    int64_t symOffset = static_cast<int64_t>(uint64_t(symoff) - reader->linkedit.fileoff);
    int64_t strOffset = static_cast<int64_t>(uint64_t(stroff) - reader->linkedit.fileoff);

    reader->symtab = vucrash_async_mobject_remap_address(&reader->linkedit.mobj, base, symOffset, nsyms * entrySize);
    if (!reader->symtab) {
        VUCR_LOG("vucrash_async_mobject_remap_address(mobj, %llx, %llx) returned NULL mapping __LINKEDIT.symoff "
                      "in %s",
                      (unsigned long long)base, (unsigned long long)symOffset, image->name);
        vucrash_async_macho_mapped_segment_free(&reader->linkedit);
        return VUCRASH_ERR_INTERNAL;
    }
    reader->string_table = static_cast<const char *>(
        vucrash_async_mobject_remap_address(&reader->linkedit.mobj, base, strOffset, strsize));
    if (!reader->string_table) {
        VUCR_LOG("vucrash_async_mobject_remap_address(mobj, %llx, %llx) returned NULL mapping __LINKEDIT.stroff "
                      "in %s",
                      (unsigned long long)base, (unsigned long long)strOffset, image->name);
        vucrash_async_macho_mapped_segment_free(&reader->linkedit);
        return VUCRASH_ERR_INTERNAL;
    }
    reader->nsyms = nsyms;
    reader->string_table_size = strsize;

    if (dysymtabCmd) {
        uint32_t ilocalsym = read32(image, at(dysymtabCmd, 8));
        uint32_t nlocalsym = read32(image, at(dysymtabCmd, 12));
        uint32_t iextdefsym = read32(image, at(dysymtabCmd, 16));
        uint32_t nextdefsym = read32(image, at(dysymtabCmd, 20));
        // Summed in 64 bits: a 32-bit sum could wrap below nsyms and let the slices run off the table.
        uint64_t extEnd = uint64_t(iextdefsym) + nextdefsym;
        uint64_t localEnd = uint64_t(ilocalsym) + nlocalsym;
        if (extEnd > nsyms || localEnd > nsyms) {
            VUCR_LOG("iextdefsym=%llx, ilocalsym=%llx out of range nsym=%x", (unsigned long long)extEnd,
                          (unsigned long long)localEnd, nsyms);
            vucrash_async_macho_mapped_segment_free(&reader->linkedit);
            return VUCRASH_ERR_INVAL;
        }
        reader->symtab_global = static_cast<uint8_t *>(reader->symtab) + iextdefsym * entrySize;
        reader->nsyms_global = nextdefsym;
        reader->symtab_local = static_cast<uint8_t *>(reader->symtab) + ilocalsym * entrySize;
        reader->nsyms_local = nlocalsym;
    }
    return VUCRASH_ERR_NONE;
}

vucrash_async_macho_symtab_entry_t vucrash_async_macho_symtab_reader_read(const vucrash_async_macho_symtab_reader_t *reader,
                                                                        void *symtab, uint32_t index)
{
    const vucrash_async_macho_t *image = reader->image;
    vucrash_async_macho_symtab_entry_t entry;
    const uint8_t *raw = static_cast<const uint8_t *>(symtab) + uint64_t(index) * (image->m64 ? 16 : 12);
    entry.n_strx = read32(image, raw);
    entry.n_type = raw[4];
    entry.n_sect = raw[5];
    entry.n_desc = read16(image, raw + 6);
    entry.n_value = image->m64 ? read64(image, raw + 8) : read32(image, raw + 8);
    entry.normalized_value = (entry.n_desc & 0x0008) ? (entry.n_value | 1) : entry.n_value;
    return entry;
}

const char *vucrash_async_macho_symtab_reader_symbol_name(const vucrash_async_macho_symtab_reader_t *reader,
                                                          uint32_t n_strx)
{
    if (n_strx >= reader->string_table_size) {
        VUCR_LOG("End of mobject reached while walking string\n");
        return nullptr;
    }
    const char *start = reader->string_table + n_strx;
    auto local = reinterpret_cast<uintptr_t>(start);
    for (int64_t i = 0;; ++i) {
        if (!vucrash_async_mobject_verify_local_pointer(&reader->linkedit.mobj, local, i, 1)) {
            VUCR_LOG("End of mobject reached while walking string\n");
            return nullptr;
        }
        if (start[i] == '\0')
            return start;
    }
}

void vucrash_async_macho_symtab_reader_free(vucrash_async_macho_symtab_reader_t *reader)
{
    vucrash_async_macho_mapped_segment_free(&reader->linkedit);
}

namespace {

bool isDefinedInSection(const vucrash_async_macho_symtab_entry_t &entry) { return (entry.n_type & 0xEE) == 0x0E; }

// Keeps in `best` the defined entry with the largest value not above `address`; an equal
// value found later does not replace the first.
void findBestSymbol(const vucrash_async_macho_symtab_reader_t *reader, void *table, uint32_t count, uint64_t address,
                    vucrash_async_macho_symtab_entry_t *best, bool *found)
{
    for (uint32_t i = 0; i < count; ++i) {
        vucrash_async_macho_symtab_entry_t entry = vucrash_async_macho_symtab_reader_read(reader, table, i);
        if (!isDefinedInSection(entry) || entry.n_value > address)
            continue;
        if (!*found || entry.n_value > best->n_value) {
            *best = entry;
            *found = true;
        }
    }
}

} // namespace

vucrash_error_t vucrash_async_macho_find_symbol_by_pc(const vucrash_async_macho_t *image, uint64_t pc,
                                                      vucrash_async_found_symbol_cb symbol_cb, void *context)
{
    vucrash_async_macho_symtab_reader_t reader;
    vucrash_error_t err = vucrash_async_macho_symtab_reader_init(&reader, image);
    if (err != VUCRASH_ERR_NONE)
        return err;

    uint64_t address = pc - static_cast<uint64_t>(image->vmaddr_slide);
    vucrash_async_macho_symtab_entry_t best{};
    bool found = false;
    if (reader.symtab_global || reader.symtab_local) {
        findBestSymbol(&reader, reader.symtab_global, reader.nsyms_global, address, &best, &found);
        findBestSymbol(&reader, reader.symtab_local, reader.nsyms_local, address, &best, &found);
    } else {
        findBestSymbol(&reader, reader.symtab, reader.nsyms, address, &best, &found);
    }

    // The nearest symbol below is only the right one while the address is still inside that
    // symbol's section: code past it (stripped, stubs, another section) has no name here.
    if (found) {
        uint64_t sectAddr = 0, sectSize = 0;
        if (vucrash_async_macho_section_by_number(image, best.n_sect, &sectAddr, &sectSize) != VUCRASH_ERR_NONE ||
            address < sectAddr || address - sectAddr >= sectSize)
            found = false;
    }

    if (!found) {
        vucrash_async_macho_symtab_reader_free(&reader);
        return VUCRASH_ERR_NOTFOUND;
    }
    const char *name = vucrash_async_macho_symtab_reader_symbol_name(&reader, best.n_strx);
    if (!name) {
        VUCR_LOG("Failed to read symbol name\n");
        vucrash_async_macho_symtab_reader_free(&reader);
        return VUCRASH_ERR_INVAL;
    }
    symbol_cb(best.normalized_value + static_cast<uint64_t>(image->vmaddr_slide), name, context);
    vucrash_async_macho_symtab_reader_free(&reader);
    return VUCRASH_ERR_NONE;
}

vucrash_error_t vucrash_async_macho_find_symbol_by_name(const vucrash_async_macho_t *image, const char *symbol,
                                                        uint64_t *pc)
{
    vucrash_async_macho_symtab_reader_t reader;
    vucrash_error_t err = vucrash_async_macho_symtab_reader_init(&reader, image);
    if (err != VUCRASH_ERR_NONE)
        return err;
    for (uint32_t i = 0; i < reader.nsyms; ++i) {
        vucrash_async_macho_symtab_entry_t entry = vucrash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
        if (!isDefinedInSection(entry))
            continue;
        const char *name = vucrash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx);
        if (name && vucrash_async_strcmp(name, symbol) == 0) {
            *pc = entry.normalized_value + static_cast<uint64_t>(image->vmaddr_slide);
            vucrash_async_macho_symtab_reader_free(&reader);
            return VUCRASH_ERR_NONE;
        }
    }
    vucrash_async_macho_symtab_reader_free(&reader);
    return VUCRASH_ERR_NOTFOUND;
}
