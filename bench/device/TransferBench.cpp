// How fast the device controller downloads and uploads a 100 MB file through the simulated
// device (the whole path: the controller's 1 MiB transfer loop, the binding, the library),
// next to cp of the same file on the same disk. The device folder lives under the build
// folder, or under QUILLON_BENCH_DIR when set.

#include "BenchController.h"
#include "BenchDevice.h"
#include "device/AppController.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr size_t kFileSize = 100u * 1000 * 1000;

struct Rig
{
    std::filesystem::path root;
    std::filesystem::path host;
    std::unique_ptr<AppController> controller;

    Rig()
    {
        root = BenchDevice::scratchFolder("device-transfer-bench");
        host = BenchDevice::layOutPhone(root, kFileSize);

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

void BM_CpOnTheSameDisk(benchmark::State &state)
{
    for (auto _ : state) {
        if (!BenchDevice::copyWithCp(rig().host / "source.bin", rig().host / "cp.bin"))
            state.SkipWithError("cp failed");
        state.PauseTiming();
        std::filesystem::remove(rig().host / "cp.bin");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}

void BM_Download(benchmark::State &state)
{
    AppController &c = *rig().controller;
    const QString target = QString::fromStdString((rig().host / "down.bin").string());
    for (auto _ : state) {
        c.resetCopyOperation();
        if (c._downloadFile(QStringLiteral("/source.bin"), target, false) != 0)
            state.SkipWithError("download failed");
        state.PauseTiming();
        std::filesystem::remove(rig().host / "down.bin");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}

void BM_Upload(benchmark::State &state)
{
    AppController &c = *rig().controller;
    const QString source = QString::fromStdString((rig().host / "source.bin").string());
    for (auto _ : state) {
        c.resetCopyOperation();
        if (c._uploadFile(source, QStringLiteral("/up.bin")) != 0)
            state.SkipWithError("upload failed");
        state.PauseTiming();
        std::filesystem::remove(rig().root / "phone" / "media" / "up.bin");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}

BENCHMARK(BM_CpOnTheSameDisk)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Download)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Upload)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

} // namespace
