// How fast the device controller downloads and uploads a 100 MB file through the simulated
// device (the whole path: the controller's 1 MiB transfer loop, the binding, the library),
// next to cp of the same file on the same disk. The device folder lives under the build
// folder, or under QUILLON_BENCH_DIR when set.

#include "BenchDevice.h"
#include "device/AppController.h"
#include "device/MobileDeviceFramework.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <string>
#include <vector>

namespace {

constexpr size_t kFileSize = 100u * 1000 * 1000;

struct Rig
{
    std::filesystem::path root;
    std::filesystem::path host;
    std::unique_ptr<AppController> controller;

    static void callback(const AMDeviceNotificationCallbackInfo *info, void *context)
    {
        if (info->message == kAMDeviceAttached)
            *static_cast<AMDeviceRef *>(context) = info->device;
    }

    Rig()
    {
        root = BenchDevice::scratchFolder("device-transfer-bench");
        host = BenchDevice::layOutPhone(root, kFileSize);

        if (!bindMobileDeviceFramework())
            std::abort();
        AMDeviceRef device = nullptr;
        AMDeviceNotificationRef subscription = nullptr;
        AMDeviceNotificationSubscribe(&Rig::callback, 0, 0, &device, &subscription);
        for (int i = 0; i < 100 && !device; ++i) {
            pollfd fd{AMDRunLoopSourceGetDescriptor(), POLLIN, 0};
            ::poll(&fd, 1, 50);
            AMDRunLoopSourcePerform();
        }
        AMDeviceNotificationUnsubscribe(subscription);
        if (!device)
            std::abort();
        controller = std::make_unique<AppController>();
        controller->mBufferSize = AppController::kTransferBufferSize;
        controller->mBuffer.reset(new char[AppController::kTransferBufferSize]);
        controller->mDev.store(device);
        controller->mStatus.store(AppController::kStatusConnected);
        if (controller->makeConnection())
            std::abort();
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

int main(int argc, char **argv)
{
    // A throw-away home: the controller reads preferences.
    QTemporaryDir home;
    setenv("HOME", home.path().toLocal8Bit().constData(), 1);
    setenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toLocal8Bit().constData(), 1);
    setenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/.local/share")).toLocal8Bit().constData(), 1);
    setenv("XDG_STATE_HOME", (home.path() + QStringLiteral("/.local/state")).toLocal8Bit().constData(), 1);
    setenv("XDG_CACHE_HOME", (home.path() + QStringLiteral("/.cache")).toLocal8Bit().constData(), 1);
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
