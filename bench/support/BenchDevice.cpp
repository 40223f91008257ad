#include "BenchDevice.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace BenchDevice {

std::filesystem::path scratchFolder(const char *name)
{
    const char *base = std::getenv("QUILLON_BENCH_DIR");
    const std::filesystem::path root = std::filesystem::path(base ? base : QUILLON_BINARY_DIR) / name;
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    return root;
}

namespace {

void writeSettings(const std::filesystem::path &staging)
{
    FILE *settings = std::fopen((staging / "device.plist").c_str(), "w");
    std::fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>TotalBytes</key><integer>100000000000</integer>"
               "<key>Values</key><dict><key>DeviceName</key><string>Bench</string></dict>"
               "</dict></plist>\n", settings);
    std::fclose(settings);
}

} // namespace

std::filesystem::path layOutListingPhone(const std::filesystem::path &root, const std::vector<int> &counts)
{
    const auto staging = root / ".staging" / "phone";
    std::filesystem::create_directories(staging / "media" / "Fernlow");
    writeSettings(staging);
    for (int count : counts) {
        const auto folder = staging / "media" / "Fernlow" / ("list-" + std::to_string(count));
        std::filesystem::create_directories(folder);
        for (int i = 0; i < count; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "IMG_%06d.JPG", i);
            FILE *file = std::fopen((folder / name).c_str(), "wb");
            std::fputs("x", file);
            std::fclose(file);
        }
    }
    std::filesystem::rename(staging, root / "phone");
    setenv("QUILLON_SIM_DEVICES", root.c_str(), 1);
    return root / "phone" / "media";
}

bool listWithLs(const std::filesystem::path &folder)
{
    const std::string command = "ls -l '" + folder.string() + "' > /dev/null";
    return std::system(command.c_str()) == 0;
}

std::filesystem::path layOutPhone(const std::filesystem::path &root, size_t size)
{
    const auto staging = root / ".staging" / "phone";
    const auto host = root / "host";
    std::filesystem::create_directories(staging / "media");
    std::filesystem::create_directories(host);
    writeSettings(staging);

    constexpr size_t kChunk = 1024 * 1024;
    std::vector<char> bytes(kChunk);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 31 + 7);
    for (const auto &path : {staging / "media" / "source.bin", host / "source.bin"}) {
        FILE *file = std::fopen(path.c_str(), "wb");
        for (size_t written = 0; written < size; written += kChunk)
            std::fwrite(bytes.data(), 1, std::min(kChunk, size - written), file);
        std::fclose(file);
    }
    std::filesystem::rename(staging, root / "phone");
    setenv("QUILLON_SIM_DEVICES", root.c_str(), 1);
    return host;
}

bool copyWithCp(const std::filesystem::path &from, const std::filesystem::path &to)
{
    const std::string command = "cp '" + from.string() + "' '" + to.string() + "'";
    return std::system(command.c_str()) == 0;
}

} // namespace BenchDevice
