// Crash-time rules for this file: apart from vucrash_nasync_elf_tables_init, no heap, no locks,
// no stdio; image data is read through memory objects only.
#include "VUCrashElfTables.h"
#include "VUCrashAsyncLog.h"

#include <elf.h>
#include <link.h>

namespace {

constexpr uint32_t kMaxDynamicEntries = 4096;

template<typename T> bool readTask(vucrash_task_t task, uint64_t address, T *out)
{
    return vucrash_async_read_addr(task, address, out, sizeof(T)) == 0;
}

struct Range {
    uint64_t lo = UINT64_MAX, hi = 0;
    bool holds(uint64_t a, uint64_t len = 1) const { return a >= lo && a < hi && len <= hi - a; }
};

// Dynamic entries are relocated in memory for most objects but not for all (the vDSO keeps
// link-time values): whichever reading lands inside the image is the address.
uint64_t dynamicAddress(const Range &range, uint64_t bias, uint64_t value)
{
    if (range.holds(value))
        return value;
    if (range.holds(value + bias))
        return value + bias;
    return 0;
}

bool readEncodedPointer(vucrash_task_t task, uint8_t encoding, uint64_t field, uint64_t dataBase, uint64_t *out)
{
    uint64_t value;
    switch (encoding & 0x0F) {
    case 0x00: {
        uint64_t v;
        if (!readTask(task, field, &v))
            return false;
        value = v;
        break;
    }
    case 0x03: {
        uint32_t v;
        if (!readTask(task, field, &v))
            return false;
        value = v;
        break;
    }
    case 0x0B: {
        int32_t v;
        if (!readTask(task, field, &v))
            return false;
        value = static_cast<uint64_t>(static_cast<int64_t>(v));
        break;
    }
    case 0x04:
    case 0x0C: {
        uint64_t v;
        if (!readTask(task, field, &v))
            return false;
        value = v;
        break;
    }
    default:
        return false;
    }
    switch (encoding & 0x70) {
    case 0x00: break;
    case 0x10: value += field; break;
    case 0x30: value += dataBase; break;
    default: return false;
    }
    *out = value;
    return true;
}

// The symbol count is not in the dynamic section: DT_HASH states it, DT_GNU_HASH implies it
// as one past the last index its chains reach.
uint64_t gnuHashSymbolCount(vucrash_task_t task, uint64_t table, const Range &range)
{
    uint32_t header[4];
    if (!readTask(task, table, &header))
        return 0;
    uint32_t nbuckets = header[0], symoffset = header[1], bloomSize = header[2];
    uint64_t buckets = table + sizeof header + uint64_t(bloomSize) * sizeof(ElfW(Addr));
    if (!range.holds(buckets, uint64_t(nbuckets) * 4))
        return 0;
    vucrash_async_mobject_t mobj;
    if (vucrash_async_mobject_init(&mobj, task, buckets, range.hi - buckets, false) != VUCRASH_ERR_NONE)
        return 0;
    auto *words = static_cast<const uint32_t *>(vucrash_async_mobject_remap_address(&mobj, buckets, 0, 4ull * nbuckets));
    uint32_t last = 0;
    for (uint32_t i = 0; words && i < nbuckets; ++i)
        if (words[i] > last)
            last = words[i];
    uint64_t count = symoffset;
    if (words && last >= symoffset) {
        uint64_t chain = buckets + 4ull * nbuckets;
        for (uint64_t index = last;; ++index) {
            auto *entry = static_cast<const uint32_t *>(
                vucrash_async_mobject_remap_address(&mobj, chain, static_cast<int64_t>(4 * (index - symoffset)), 4));
            if (!entry) {
                count = 0;
                break;
            }
            if (*entry & 1) {
                count = index + 1;
                break;
            }
        }
    }
    vucrash_async_mobject_free(&mobj);
    return count;
}

void readDynamic(vucrash_async_elf_tables_t *image, uint64_t dynamic, const Range &range)
{
    uint64_t symtab = 0, strtab = 0, strsz = 0, syment = sizeof(ElfW(Sym)), hash = 0, gnuHash = 0;
    for (uint32_t i = 0; i < kMaxDynamicEntries; ++i) {
        ElfW(Dyn) entry;
        if (!readTask(image->task, dynamic + i * sizeof entry, &entry) || entry.d_tag == DT_NULL)
            break;
        switch (entry.d_tag) {
        case DT_SYMTAB: symtab = dynamicAddress(range, static_cast<uint64_t>(image->slide), entry.d_un.d_ptr); break;
        case DT_STRTAB: strtab = dynamicAddress(range, static_cast<uint64_t>(image->slide), entry.d_un.d_ptr); break;
        case DT_STRSZ: strsz = entry.d_un.d_val; break;
        case DT_SYMENT: syment = entry.d_un.d_val; break;
        case DT_HASH: hash = dynamicAddress(range, static_cast<uint64_t>(image->slide), entry.d_un.d_ptr); break;
        case DT_GNU_HASH: gnuHash = dynamicAddress(range, static_cast<uint64_t>(image->slide), entry.d_un.d_ptr); break;
        default: break;
        }
    }
    if (!symtab || !strtab || syment < sizeof(ElfW(Sym)) || !range.holds(strtab, strsz))
        return;
    uint64_t count = 0;
    uint32_t hashHeader[2];
    if (hash && readTask(image->task, hash, &hashHeader))
        count = hashHeader[1];
    else if (gnuHash)
        count = gnuHashSymbolCount(image->task, gnuHash, range);
    if (count == 0 || count > (range.hi - symtab) / syment || !range.holds(symtab, count * syment))
        return;
    image->dynsym_addr = symtab;
    image->dynsym_count = count;
    image->dynsym_entsize = syment;
    image->dynstr_addr = strtab;
    image->dynstr_size = strsz;
}

// .eh_frame ends at its zero terminator (or, without one, where the entries stop fitting):
// what a crash-time mapping needs to probe, instead of the rest of the segment.
uint64_t ehFrameLength(vucrash_task_t task, uint64_t frame, uint64_t available)
{
    vucrash_async_mobject_t mobj;
    if (vucrash_async_mobject_init(&mobj, task, frame, available, false) != VUCRASH_ERR_NONE)
        return available;
    const uint64_t length = vucrash_async_mobject_length(&mobj);
    uint64_t offset = 0;
    while (offset + 4 <= length) {
        uint32_t length32;
        vucrash_async_memcpy(&length32, reinterpret_cast<const void *>(mobj.address + offset), 4);
        if (length32 == 0)
            return offset + 4;
        uint64_t entry = length32;
        uint64_t header = 4;
        if (length32 == 0xffffffffu) {
            if (offset + 12 > length)
                break;
            vucrash_async_memcpy(&entry, reinterpret_cast<const void *>(mobj.address + offset + 4), 8);
            header = 12;
        }
        if (entry > length - offset - header)
            break;
        offset += header + entry;
    }
    return available;
}

} // namespace

void vucrash_nasync_elf_tables_init(vucrash_async_elf_tables_t *tables, vucrash_task_t task, int64_t slide,
                                    vucrash_vm_address_t phdr_addr, uint16_t phnum)
{
    vucrash_async_memset(tables, 0, sizeof *tables);
    tables->task = task;
    tables->slide = slide;
    uint64_t bias = static_cast<uint64_t>(slide);

    Range range;
    uint64_t dynamic = 0;
    for (uint16_t i = 0; i < phnum; ++i) {
        ElfW(Phdr) ph;
        if (!readTask(task, phdr_addr + i * sizeof ph, &ph))
            return;
        uint64_t start = bias + ph.p_vaddr;
        if (ph.p_type == PT_LOAD) {
            if (start < range.lo)
                range.lo = start;
            if (start + ph.p_memsz > range.hi)
                range.hi = start + ph.p_memsz;
        } else if (ph.p_type == PT_DYNAMIC) {
            dynamic = start;
        } else if (ph.p_type == PT_GNU_EH_FRAME) {
            tables->eh_frame_hdr_addr = start;
            tables->eh_frame_hdr_size = ph.p_memsz;
        }
    }

    if (tables->eh_frame_hdr_addr) {
        uint8_t head[4];
        uint64_t frame = 0;
        if (readTask(task, tables->eh_frame_hdr_addr, &head) && head[0] == 1 &&
            readEncodedPointer(task, head[1], tables->eh_frame_hdr_addr + 4, tables->eh_frame_hdr_addr, &frame) &&
            range.holds(frame)) {
            tables->eh_frame_addr = frame;
            // .eh_frame ends with a zero terminator; the end of its segment bounds every read.
            for (uint16_t i = 0; i < phnum; ++i) {
                ElfW(Phdr) ph;
                if (readTask(task, phdr_addr + i * sizeof ph, &ph) && ph.p_type == PT_LOAD) {
                    uint64_t start = bias + ph.p_vaddr;
                    if (frame >= start && frame < start + ph.p_filesz)
                        tables->eh_frame_size = start + ph.p_filesz - frame;
                }
            }
            if (tables->eh_frame_size)
                tables->eh_frame_size = ehFrameLength(task, frame, tables->eh_frame_size);
        }
        // Crash-time mappings probe only the ends of these ranges, which is sound only when
        // each lies inside one loaded segment: a table anywhere else is not used.
        bool hdrInSegment = false;
        for (uint16_t i = 0; i < phnum; ++i) {
            ElfW(Phdr) ph;
            if (readTask(task, phdr_addr + i * sizeof ph, &ph) && ph.p_type == PT_LOAD) {
                uint64_t start = bias + ph.p_vaddr;
                uint64_t hdr = tables->eh_frame_hdr_addr;
                if (hdr >= start && hdr < start + ph.p_filesz && tables->eh_frame_hdr_size <= start + ph.p_filesz - hdr)
                    hdrInSegment = true;
            }
        }
        if (!hdrInSegment) {
            tables->eh_frame_hdr_addr = 0;
            tables->eh_frame_hdr_size = 0;
        }
    }
    if (dynamic)
        readDynamic(tables, dynamic, range);
}

vucrash_error_t vucrash_async_elf_tables_map_eh_frame(const vucrash_async_elf_tables_t *image, vucrash_async_mobject_t *mobj)
{
    if (!image->eh_frame_addr || !image->eh_frame_size)
        return VUCRASH_ERR_NOTFOUND;
    // Both lie inside one loaded segment (found that way when the image was listed).
    return vucrash_async_mobject_init_in_segment(mobj, image->task, image->eh_frame_addr, image->eh_frame_size);
}

vucrash_error_t vucrash_async_elf_tables_map_eh_frame_hdr(const vucrash_async_elf_tables_t *image, vucrash_async_mobject_t *mobj)
{
    if (!image->eh_frame_hdr_addr || !image->eh_frame_hdr_size)
        return VUCRASH_ERR_NOTFOUND;
    vucrash_error_t err = vucrash_async_mobject_init_in_segment(mobj, image->task, image->eh_frame_hdr_addr,
                                                                image->eh_frame_hdr_size);
    // The search table is used whole or not at all.
    if (err == VUCRASH_ERR_NONE && mobj->length < image->eh_frame_hdr_size) {
        vucrash_async_mobject_free(mobj);
        return VUCRASH_ERR_NOMEM;
    }
    return err;
}

vucrash_error_t vucrash_async_elf_tables_find_symbol_by_pc(const vucrash_async_elf_tables_t *image, uint64_t pc,
                                                    vucrash_async_elf_found_symbol_cb callback, void *ctx)
{
    if (!image->dynsym_addr)
        return VUCRASH_ERR_NOTFOUND;
    vucrash_async_mobject_t symbols, strings;
    vucrash_error_t err = vucrash_async_mobject_init(&symbols, image->task, image->dynsym_addr,
                                                     image->dynsym_count * image->dynsym_entsize, true);
    if (err != VUCRASH_ERR_NONE)
        return err;
    err = vucrash_async_mobject_init(&strings, image->task, image->dynstr_addr, image->dynstr_size, true);
    if (err != VUCRASH_ERR_NONE) {
        vucrash_async_mobject_free(&symbols);
        return err;
    }

    const auto *table = reinterpret_cast<const uint8_t *>(symbols.address);
    const ElfW(Sym) *best = nullptr;
    uint64_t bestValue = 0;
    for (uint64_t i = 1; i < image->dynsym_count; ++i) {
        const auto *sym = reinterpret_cast<const ElfW(Sym) *>(table + i * image->dynsym_entsize);
        if (sym->st_shndx == SHN_UNDEF || sym->st_shndx == SHN_ABS || ELF64_ST_TYPE(sym->st_info) == STT_TLS)
            continue;
        uint64_t value = static_cast<uint64_t>(image->slide) + sym->st_value;
        if (pc < value)
            continue;
        // Bounded by the symbol's own size, so code without a symbol of its own is not given
        // the name of whatever exported function lies somewhere below it.
        bool inside = sym->st_size == 0 ? pc == value : pc - value < sym->st_size;
        if (!inside || (best && value <= bestValue))
            continue;
        best = sym;
        bestValue = value;
    }

    err = VUCRASH_ERR_NOTFOUND;
    if (best) {
        const char *name = nullptr;
        if (best->st_name < image->dynstr_size) {
            const char *start = reinterpret_cast<const char *>(strings.address) + best->st_name;
            for (uint64_t i = 0; vucrash_async_mobject_verify_local_pointer(
                     &strings, reinterpret_cast<uintptr_t>(start), static_cast<int64_t>(i), 1);
                 ++i) {
                if (start[i] == '\0') {
                    name = start;
                    break;
                }
            }
        }
        if (name) {
            callback(bestValue, name, ctx);
            err = VUCRASH_ERR_NONE;
        } else {
            VUCR_LOG("Failed to read symbol name\n");
            err = VUCRASH_ERR_INVAL;
        }
    }
    vucrash_async_mobject_free(&strings);
    vucrash_async_mobject_free(&symbols);
    return err;
}
