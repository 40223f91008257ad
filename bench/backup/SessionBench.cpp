// A live backup session that brings 200 MB of wanted files from a simulated device of the
// current protocol into the temporary folder (the device writing them into the session's
// backup folder, the session taking them out under their work-folder names), next to
// `cp -r` of the same files on the same disk. The device, the temporary folder and the cp
// copy all live under the build folder, or under QUILLON_BENCH_DIR when set.

#include "BenchController.h"
#include "BenchDevice.h"
#include "device/AppController.h"
#include "platform/UserDefaults.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr size_t kMB = 1000 * 1000;
constexpr int kPieces = 400;
constexpr size_t kPieceSize = 100 * 1000;
// The databases of the wanted-file list, and their sizes: with the pieces, 200 MB.
const std::vector<std::pair<const char *, size_t>> kDatabases = {
    {"HomeDomain/Library/SMS/sms.db", 90 * kMB},
    {"HomeDomain/Library/SMS/sms.db-wal", 10 * kMB},
    {"HomeDomain/Library/AddressBook/AddressBook.sqlitedb", 40 * kMB},
    {"HomeDomain/Library/CallHistoryDB/CallHistory.storedata", 20 * kMB},
};

void writeFile(const fs::path &path, size_t size, unsigned seed)
{
    fs::create_directories(path.parent_path());
    std::vector<char> bytes(1024 * 1024);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 31 + seed);
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        std::abort();
    for (size_t written = 0; written < size; written += bytes.size())
        std::fwrite(bytes.data(), 1, std::min(bytes.size(), size - written), file);
    std::fclose(file);
}

struct Rig
{
    fs::path root;
    std::unique_ptr<AppController> controller;

    Rig()
    {
        root = BenchDevice::scratchFolder("backup-session-bench");
        const fs::path staging = root / ".staging" / "phone";
        fs::create_directories(staging);
        FILE *settings = std::fopen((staging / "device.plist").c_str(), "w");
        std::fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                   "<key>TotalBytes</key><integer>100000000000</integer>"
                   "<key>Values</key><dict><key>DeviceName</key><string>Bench</string>"
                   "<key>DeviceClass</key><string>iPhone</string>"
                   "<key>UniqueDeviceID</key><string>00008030-BENCHSESSION01</string></dict>"
                   "<key>Domains</key><dict><key>com.apple.mobile.backup</key>"
                   "<dict><key>Version</key><string>2.1</string></dict></dict>"
                   "</dict></plist>\n",
                   settings);
        std::fclose(settings);
        unsigned seed = 1;
        for (const auto &[path, size] : kDatabases)
            writeFile(staging / "personal" / path, size, seed++);
        for (int i = 0; i < kPieces; ++i) {
            char path[96];
            std::snprintf(path, sizeof path, "MediaDomain/Library/SMS/Attachments/%02x/%02d/IMG_%04d.JPG", i % 256,
                          i % 16, i);
            writeFile(staging / "personal" / path, kPieceSize, seed++);
        }
        fs::rename(staging, root / "phone");
        setenv("QUILLON_SIM_DEVICES", root.c_str(), 1);
        fs::create_directories(root / "temp");
        UserDefaults::standard().setObject(QString::fromStdString((root / "temp").string()),
                                           QStringLiteral("TEMP_LOCATION"));
        controller = BenchDevice::connectedController();
        gAFewSecondsHaveGoneBy.store(true);
    }

    ~Rig()
    {
        controller.reset();
        fs::remove_all(root);
    }
};

Rig &rig()
{
    static Rig instance;
    return instance;
}

int64_t wantedBytes()
{
    int64_t total = int64_t(kPieces) * int64_t(kPieceSize);
    for (const auto &database : kDatabases)
        total += int64_t(database.second);
    return total;
}

void BM_CpROnTheSameDisk(benchmark::State &state)
{
    const fs::path copy = rig().root / "cp";
    for (auto _ : state) {
        const std::string command = "cp -r '" + (rig().root / "phone" / "personal").string() + "' '" + copy.string() + "'";
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("cp -r failed");
        state.PauseTiming();
        fs::remove_all(copy);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * wantedBytes());
}

void BM_BackupSession(benchmark::State &state)
{
    AppController &c = *rig().controller;
    for (auto _ : state) {
        // A session runs on a load thread, never on the main thread.
        int result = 0;
        std::thread session([&] { result = c.getBackupData(); });
        session.join();
        if (result != 1)
            state.SkipWithError("the session failed");
        state.PauseTiming();
        c.flushBackup();
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * wantedBytes());
}

} // namespace

BENCHMARK(BM_CpROnTheSameDisk)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_BackupSession)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
