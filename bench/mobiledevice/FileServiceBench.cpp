// How fast a 100 MB file moves through the simulated device's file entry points, next to cp
// on the same disk. Downloads read the device file in 1 MiB pieces and write a host file;
// uploads do the reverse, exactly as the program's transfers do.
//
// The device folder lives under the build folder (the same disk as the sources), or under
// QUILLON_BENCH_DIR when set.

#include "BenchDevice.h"

#include <mobiledevice/MobileDevice.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kFileSize = 100u * 1024 * 1024;
constexpr uint32_t kChunk = 1024 * 1024;

struct Device
{
    std::filesystem::path root;
    std::filesystem::path host;
    AMDeviceRef device = nullptr;
    AFCConnectionRef files = nullptr;

    static void callback(const AMDeviceNotificationCallbackInfo *info, void *context)
    {
        if (info->message == kAMDeviceAttached)
            static_cast<Device *>(context)->device = info->device;
    }

    Device()
    {
        root = BenchDevice::scratchFolder("mobiledevice-bench");
        host = BenchDevice::layOutPhone(root, kFileSize);
        AMDeviceNotificationRef subscription = nullptr;
        AMDeviceNotificationSubscribe(&Device::callback, 0, 0, this, &subscription);
        for (int i = 0; i < 100 && !device; ++i) {
            pollfd fd{AMDRunLoopSourceGetDescriptor(), POLLIN, 0};
            ::poll(&fd, 1, 50);
            AMDRunLoopSourcePerform();
        }
        if (!device)
            std::abort();
        AMDeviceConnect(device);
        AMDeviceStartSession(device);
        AMDServiceConnectionRef service = nullptr;
        AMDeviceStartService(device, kAMDFileService, &service);
        AFCConnectionOpen(service, 0, &files);
    }
};

Device &device()
{
    static Device instance;
    return instance;
}

void BM_DownloadThroughFileService(benchmark::State &state)
{
    Device &d = device();
    std::vector<char> buffer(kChunk);
    const std::string target = (d.host / "downloaded.bin").string();
    for (auto _ : state) {
        AFCFileRef file = 0;
        AFCFileRefOpen(d.files, "/source.bin", kAFCFileModeRead, &file);
        const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (;;) {
            uint32_t length = kChunk;
            if (AFCFileRefRead(d.files, file, buffer.data(), &length) != kAFCSuccess || length == 0)
                break;
            if (::write(out, buffer.data(), length) != static_cast<ssize_t>(length))
                std::abort();
        }
        ::close(out);
        AFCFileRefClose(d.files, file);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_UploadThroughFileService(benchmark::State &state)
{
    Device &d = device();
    std::vector<char> buffer(kChunk);
    const std::string source = (d.host / "source.bin").string();
    for (auto _ : state) {
        const int in = ::open(source.c_str(), O_RDONLY);
        AFCFileRef file = 0;
        AFCFileRefOpen(d.files, "/uploaded.bin", kAFCFileModeWrite, &file);
        for (;;) {
            const ssize_t length = ::read(in, buffer.data(), kChunk);
            if (length <= 0)
                break;
            if (AFCFileRefWrite(d.files, file, buffer.data(), static_cast<uint32_t>(length)) != kAFCSuccess)
                std::abort();
        }
        AFCFileRefClose(d.files, file);
        ::close(in);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_Cp(benchmark::State &state)
{
    Device &d = device();
    for (auto _ : state) {
        if (!BenchDevice::copyWithCp(d.host / "source.bin", d.host / "copied.bin"))
            std::abort();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

} // namespace

BENCHMARK(BM_Cp)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_DownloadThroughFileService)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_UploadThroughFileService)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // 300 MB of test files do not stay in the build folder.
    const char *base = std::getenv("QUILLON_BENCH_DIR");
    std::filesystem::remove_all(std::filesystem::path(base ? base : QUILLON_BINARY_DIR) / "mobiledevice-bench");
    return 0;
}
