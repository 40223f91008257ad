// How long the device controller takes to list a folder of the program's own area for the
// file browser (a fresh listing: the cache emptied first, then the folder's children with
// their kinds, sorted), at 1,000, 10,000 and 100,000 files, next to `ls -l` of the same
// folder on the host (which reads every item's attributes too) and the device library's
// bare listing. The device folder lives under the build folder, or QUILLON_BENCH_DIR.

#include "BenchController.h"
#include "BenchDevice.h"
#include "device/AppController.h"
#include "device/MobileDeviceFramework.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sys/resource.h>
#include <string>

namespace {

const std::vector<int> kCounts{1000, 10000, 100000};

struct Rig
{
    std::filesystem::path root;
    std::filesystem::path media;
    std::unique_ptr<AppController> controller;

    Rig()
    {
        root = BenchDevice::scratchFolder("device-listing-bench");
        media = BenchDevice::layOutListingPhone(root, kCounts);
        controller = BenchDevice::connectedController();
    }

    ~Rig()
    {
        controller.reset();
        std::filesystem::remove_all(root);
    }
};

Rig &rig()
{
    static Rig instance;
    return instance;
}

std::string folderName(int64_t count)
{
    return "list-" + std::to_string(count);
}

double childCpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// ls runs as a child: its processor time is reported as "child_cpu_ms" per listing, for a
// comparison that a busy machine does not blur (the others' own CPU column).
void BM_LsLOfTheSameFolder(benchmark::State &state)
{
    const auto folder = rig().media / "Fernlow" / folderName(state.range(0));
    const double before = childCpuMs();
    for (auto _ : state) {
        if (!BenchDevice::listWithLs(folder))
            state.SkipWithError("ls failed");
    }
    state.counters["child_cpu_ms"] = (childCpuMs() - before) / double(std::max<int64_t>(1, state.iterations()));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ControllerListing(benchmark::State &state)
{
    AppController &c = *rig().controller;
    const QString browserPath = QStringLiteral("/") + QString::fromStdString(folderName(state.range(0)));
    for (auto _ : state) {
        c.getDirectories(false);
        const QStringList paths = c.getPathsForDir(browserPath);
        if (paths.size() != state.range(0))
            state.SkipWithError("the listing is incomplete");
        benchmark::DoNotOptimize(paths.size());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_LibraryListing(benchmark::State &state)
{
    AppController &c = *rig().controller;
    const std::string path = "/Fernlow/" + folderName(state.range(0));
    for (auto _ : state) {
        std::lock_guard lock(c.mLock);
        AFCDirectoryRef directory = nullptr;
        if (AFCDirectoryOpen(c.mConn, path.c_str(), &directory) || !directory) {
            state.SkipWithError("open failed");
            break;
        }
        int64_t names = 0;
        char *name = nullptr;
        while (AFCDirectoryRead(c.mConn, directory, &name) == 0 && name)
            ++names;
        AFCDirectoryClose(c.mConn, directory);
        benchmark::DoNotOptimize(names);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_LsLOfTheSameFolder)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ControllerListing)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LibraryListing)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
