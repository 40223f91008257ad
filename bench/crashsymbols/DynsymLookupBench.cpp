// 10,000 addresses inside libQt6Core's exported functions, named by the crash engine's
// .dynsym lookup and by dladdr. The lookups must agree (the "mismatches" counter stays 0);
// the interesting number is the ratio of the two times.

#include "VUCrashElfTables.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <string>
#include <vector>

namespace {

struct Library {
    vucrash_async_elf_tables_t tables{};
    bool found = false;
};

const Library &qtCore()
{
    static Library library = [] {
        Library lib;
        // Make sure the library is mapped before the walk.
        (void)QCoreApplication::applicationName();
        dl_iterate_phdr(
            [](dl_phdr_info *info, size_t, void *data) {
                if (!info->dlpi_name || !strstr(info->dlpi_name, "libQt6Core.so"))
                    return 0;
                auto *l = static_cast<Library *>(data);
                vucrash_nasync_elf_tables_init(&l->tables, vu_task_self(), static_cast<int64_t>(info->dlpi_addr),
                                               reinterpret_cast<uint64_t>(info->dlpi_phdr), info->dlpi_phnum);
                l->found = true;
                return 1;
            },
            &lib);
        return lib;
    }();
    return library;
}

const std::vector<uint64_t> &addresses()
{
    static std::vector<uint64_t> list = [] {
        std::vector<uint64_t> functions;
        const vucrash_async_elf_tables_t &t = qtCore().tables;
        for (uint64_t i = 1; i < t.dynsym_count; ++i) {
            const auto *sym = reinterpret_cast<const ElfW(Sym) *>(t.dynsym_addr + i * t.dynsym_entsize);
            if (sym->st_shndx != SHN_UNDEF && ELF64_ST_TYPE(sym->st_info) == STT_FUNC && sym->st_size > 4)
                functions.push_back(static_cast<uint64_t>(t.slide) + sym->st_value + sym->st_size / 2);
        }
        std::vector<uint64_t> out;
        for (size_t i = 0; out.size() < 10000 && !functions.empty(); ++i)
            out.push_back(functions[(i * 7919) % functions.size()]);
        return out;
    }();
    return list;
}

void remember(uint64_t, const char *name, void *ctx) { *static_cast<const char **>(ctx) = name; }

void BM_EngineDynsymLookup(benchmark::State &state)
{
    if (!qtCore().found) {
        state.SkipWithError("libQt6Core is not loaded");
        return;
    }
    const std::vector<uint64_t> &pcs = addresses();
    int64_t mismatches = 0;
    for (uint64_t pc : pcs) {
        const char *ours = nullptr;
        Dl_info info{};
        vucrash_async_elf_tables_find_symbol_by_pc(&qtCore().tables, pc, remember, &ours);
        if (!dladdr(reinterpret_cast<void *>(pc), &info) || !info.dli_sname || !ours ||
            strcmp(ours, info.dli_sname) != 0)
            ++mismatches;
    }
    for (auto _ : state) {
        for (uint64_t pc : pcs) {
            const char *name = nullptr;
            vucrash_async_elf_tables_find_symbol_by_pc(&qtCore().tables, pc, remember, &name);
            benchmark::DoNotOptimize(name);
        }
    }
    state.counters["mismatches"] = static_cast<double>(mismatches);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pcs.size()));
}
BENCHMARK(BM_EngineDynsymLookup)->Unit(benchmark::kMillisecond);

void BM_Dladdr(benchmark::State &state)
{
    const std::vector<uint64_t> &pcs = addresses();
    for (auto _ : state) {
        for (uint64_t pc : pcs) {
            Dl_info info{};
            dladdr(reinterpret_cast<void *>(pc), &info);
            benchmark::DoNotOptimize(info.dli_sname);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pcs.size()));
}
BENCHMARK(BM_Dladdr)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
