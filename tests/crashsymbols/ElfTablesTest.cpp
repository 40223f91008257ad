// The dynamic symbols and .eh_frame of the ELF objects loaded into this test program: lookups
// name the same symbols dladdr names, and symbol counts match the files' section tables.

#include "MachOTestLoader.h"
#include "VUCrashElfTables.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <sstream>

namespace {

struct LoadedObject {
    std::string path;
    vucrash_async_elf_tables_t tables;
    uint64_t textStart = 0, textEnd = 0;
};

std::vector<LoadedObject> loadedObjects()
{
    std::vector<LoadedObject> objects;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            auto *list = static_cast<std::vector<LoadedObject> *>(data);
            LoadedObject object;
            object.path = info->dlpi_name ? info->dlpi_name : "";
            vucrash_nasync_elf_tables_init(&object.tables, vu_task_self(), static_cast<int64_t>(info->dlpi_addr),
                                           reinterpret_cast<uint64_t>(info->dlpi_phdr), info->dlpi_phnum);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr) &ph = info->dlpi_phdr[i];
                if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X)) {
                    object.textStart = info->dlpi_addr + ph.p_vaddr;
                    object.textEnd = object.textStart + ph.p_memsz;
                }
            }
            list->push_back(object);
            return 0;
        },
        &objects);
    return objects;
}

const LoadedObject &objectNamed(const std::vector<LoadedObject> &objects, const char *part)
{
    for (const LoadedObject &object : objects)
        if (object.path.find(part) != std::string::npos)
            return object;
    throw std::runtime_error(std::string("not loaded: ") + part);
}

struct Found {
    std::string name;
    uint64_t address = 0;
};

void collect(uint64_t address, const char *name, void *ctx)
{
    auto *found = static_cast<Found *>(ctx);
    found->name = name;
    found->address = address;
}

TEST(ElfTables, LookupsAgreeWithDladdrAcrossTheCLibrary)
{
    std::vector<LoadedObject> objects = loadedObjects();
    const LoadedObject &libc = objectNamed(objects, "libc.so");
    ASSERT_NE(libc.tables.dynsym_addr, 0u);

    // Addresses spread over the whole text segment: inside exported functions, in code that
    // has no exported name, and at symbol starts.
    int named = 0, unnamed = 0;
    uint64_t step = (libc.textEnd - libc.textStart) / 4000 + 1;
    for (uint64_t pc = libc.textStart; pc < libc.textEnd; pc += step) {
        Dl_info info{};
        ElfW(Sym) *sym = nullptr;
        bool hasName = dladdr1(reinterpret_cast<void *>(pc), &info, reinterpret_cast<void **>(&sym),
                               RTLD_DL_SYMENT) != 0 &&
                       info.dli_sname != nullptr;
        Found found;
        vucrash_error_t result = vucrash_async_elf_tables_find_symbol_by_pc(&libc.tables, pc, collect, &found);
        SCOPED_TRACE(testing::Message() << std::hex << "pc 0x" << pc << " dladdr " << (hasName ? info.dli_sname : "-"));
        if (hasName) {
            ++named;
            ASSERT_EQ(result, VUCRASH_ERR_NONE);
            EXPECT_EQ(found.name, info.dli_sname);
            EXPECT_EQ(found.address, reinterpret_cast<uint64_t>(info.dli_saddr));
        } else {
            ++unnamed;
            EXPECT_EQ(result, VUCRASH_ERR_NOTFOUND) << found.name;
        }
    }
    EXPECT_GT(named, 100);
    EXPECT_GT(unnamed, 10); // stripped helpers between exports: no name rather than a wrong one
}

TEST(ElfTables, SymbolCountsMatchTheFiles)
{
    int checked = 0;
    for (const LoadedObject &object : loadedObjects()) {
        if (object.path.empty() || object.path.find("linux-vdso") != std::string::npos)
            continue;
        SCOPED_TRACE(object.path);
        // .dynsym's size / entry size, from the section table of the file on disk.
        std::istringstream sections(runCommand("readelf -S -W " + object.path));
        uint64_t expected = 0;
        for (std::string line; std::getline(sections, line);) {
            if (line.find(" .dynsym ") == std::string::npos)
                continue;
            std::istringstream fields(line.substr(line.find(".dynsym") + 7));
            std::string type, address, offset, size, entsize;
            fields >> type >> address >> offset >> size >> entsize;
            expected = std::stoull(size, nullptr, 16) / std::stoull(entsize, nullptr, 16);
        }
        if (expected == 0)
            continue;
        EXPECT_EQ(object.tables.dynsym_count, expected);
        ++checked;
    }
    EXPECT_GE(checked, 3);
}

TEST(ElfTables, EhFrameIsFoundThroughItsSearchTable)
{
    const std::vector<LoadedObject> objects = loadedObjects();
    const LoadedObject &libc = objectNamed(objects, "libc.so");
    vucrash_async_mobject_t hdr, frame;
    ASSERT_EQ(vucrash_async_elf_tables_map_eh_frame_hdr(&libc.tables, &hdr), VUCRASH_ERR_NONE);
    EXPECT_EQ(*reinterpret_cast<const uint8_t *>(hdr.address), 1); // table version
    ASSERT_EQ(vucrash_async_elf_tables_map_eh_frame(&libc.tables, &frame), VUCRASH_ERR_NONE);
    // The first record is a CIE: a non-zero length, then an id of 0.
    uint32_t length = 0, id = 1;
    ASSERT_EQ(vucrash_async_mobject_read_uint32(&frame, &vucrash_async_byteorder_direct, frame.base_address, 0,
                                                &length),
              VUCRASH_ERR_NONE);
    ASSERT_EQ(vucrash_async_mobject_read_uint32(&frame, &vucrash_async_byteorder_direct, frame.base_address, 4, &id),
              VUCRASH_ERR_NONE);
    EXPECT_GT(length, 0u);
    EXPECT_EQ(id, 0u);

    // The mapping ends with the section's zero terminator, not at the end of its segment: a
    // crash-time walk probes only what it may read.
    std::istringstream sections(runCommand("readelf -S -W " + libc.path));
    uint64_t sectionSize = 0;
    for (std::string line; std::getline(sections, line);) {
        const size_t at = line.find(".eh_frame ");
        if (at == std::string::npos)
            continue;
        std::istringstream fields(line.substr(at + 10));
        std::string type, address, offset, size;
        fields >> type >> address >> offset >> size;
        sectionSize = std::stoull(size, nullptr, 16);
    }
    ASSERT_GT(sectionSize, 0u);
    EXPECT_LE(frame.length, sectionSize);
    EXPECT_GT(frame.length, sectionSize / 2);
    uint32_t terminator = 1;
    ASSERT_EQ(vucrash_async_mobject_read_uint32(&frame, &vucrash_async_byteorder_direct, frame.base_address,
                                                static_cast<int64_t>(frame.length - 4), &terminator),
              VUCRASH_ERR_NONE);
    EXPECT_EQ(terminator, 0u);
}

} // namespace
