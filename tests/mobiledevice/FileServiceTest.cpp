// Every file entry point on a small tree, with its error codes; device paths that try to
// leave the device; the whole filesystem; free space that follows what is written.

#include "SimDeviceFixture.h"

#include <atomic>
#include <memory>
#include <thread>

#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace {

class MobileDeviceFiles : public MobileDeviceTest
{
protected:
    void SetUp() override
    {
        MobileDeviceTest::SetUp();
        events = std::make_unique<DeviceEvents>();
        sim.attach(QStringLiteral("usb-phone"), QStringLiteral("phone"));
        media = sim.folder(QStringLiteral("phone")) + QStringLiteral("/media");
        // Links made here: a link inside the area, and links that lead out of it.
        ASSERT_EQ(::symlink("readme.txt", qPrintable(media + QStringLiteral("/Fernlow/link-to-readme"))), 0);
        ASSERT_EQ(::symlink("../DCIM", qPrintable(media + QStringLiteral("/Fernlow/photos"))), 0);
        ASSERT_EQ(::symlink("../../device.plist", qPrintable(media + QStringLiteral("/Fernlow/escape"))), 0);
        ASSERT_EQ(::symlink("/etc", qPrintable(media + QStringLiteral("/Fernlow/absolute"))), 0);
        device = events->nextAttach();
        ASSERT_NE(device, nullptr);
        startSession(device);
        files = openFiles(device);
        ASSERT_NE(files, nullptr);
    }
    void TearDown() override
    {
        if (files)
            AFCConnectionClose(files);
    }

    std::unique_ptr<DeviceEvents> events; // made after the library is bound
    QString media;
    AMDeviceRef device = nullptr;
    AFCConnectionRef files = nullptr;
};

} // namespace

TEST_F(MobileDeviceFiles, ListingsAndTheirErrors)
{
    EXPECT_EQ(list(files, "/Fernlow"), (std::vector<std::string>{"absolute", "escape", "link-to-readme", "photos", "readme.txt"}));
    // Paths are normalised the same way however they are spelled.
    EXPECT_EQ(list(files, "//DCIM/./100APPLE/"), (std::vector<std::string>{"IMG_0001.JPG"}));
    EXPECT_EQ(list(files, "Fernlow/photos"), (std::vector<std::string>{"100APPLE"})) << "a link to a folder lists it";

    AFCDirectoryRef directory = nullptr;
    ASSERT_EQ(AFCDirectoryOpen(files, "/DCIM", &directory), kAFCSuccess);
    std::vector<std::string> raw;
    char *name = nullptr;
    while (AFCDirectoryRead(files, directory, &name) == kAFCSuccess && name)
        raw.emplace_back(name);
    std::sort(raw.begin(), raw.end());
    EXPECT_EQ(raw, (std::vector<std::string>{".", "..", "100APPLE"}));
    EXPECT_EQ(AFCDirectoryClose(files, directory), kAFCSuccess);
    EXPECT_EQ(AFCDirectoryClose(files, directory), kAFCInvalidArgumentError) << "a closed reference is refused, not used";

    const struct { const char *path; AFCError expected; } cases[] = {
        {"/missing", kAFCObjectNotFoundError},
        {"/Fernlow/readme.txt", kAFCNotADirectoryError},
        {"/Fernlow/link-to-readme", kAFCNotADirectoryError},
        {"/Fernlow/escape", kAFCNotADirectoryError},
        {"/Fernlow/readme.txt/below", kAFCObjectNotFoundError},
        {"/Fernlow/../..", kAFCInvalidArgumentError},
        {"", kAFCInvalidArgumentError},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        AFCError error = kAFCSuccess;
        list(files, c.path, &error);
        EXPECT_EQ(error, c.expected);
    }
}

TEST_F(MobileDeviceFiles, ItemInformation)
{
    EXPECT_EQ(info(files, "/Fernlow/readme.txt", "st_size"), "23");
    EXPECT_EQ(info(files, "/Fernlow/readme.txt", "st_ifmt"), "S_IFREG");
    EXPECT_EQ(info(files, "/Fernlow", "st_ifmt"), "S_IFDIR");
    EXPECT_EQ(info(files, "/", "st_ifmt"), "S_IFDIR");
    EXPECT_EQ(info(files, "/Fernlow/link-to-readme", "st_ifmt"), "S_IFLNK");
    EXPECT_EQ(info(files, "/Fernlow/link-to-readme", "LinkTarget"), "readme.txt");
    EXPECT_EQ(info(files, "/Fernlow/escape", "st_ifmt"), "S_IFLNK") << "a link is described, never followed";
    const QFileInfo host(media + QStringLiteral("/Fernlow/readme.txt"));
    EXPECT_EQ(std::stoll(info(files, "/Fernlow/readme.txt", "st_mtime")) / 1000000000LL, host.lastModified().toSecsSinceEpoch());
    EXPECT_FALSE(info(files, "/Fernlow/readme.txt", "st_birthtime").empty());

    AFCError error = kAFCSuccess;
    info(files, "/Fernlow/nothing.txt", "st_size", &error);
    EXPECT_EQ(error, kAFCObjectNotFoundError);
    info(files, "/../phone/device.plist", "st_size", &error);
    EXPECT_EQ(error, kAFCInvalidArgumentError);
}

TEST_F(MobileDeviceFiles, ReadSeekAndWrite)
{
    EXPECT_EQ(readAll(files, "/DCIM/100APPLE/IMG_0001.JPG").size(), 1024);

    AFCFileRef file = 0;
    ASSERT_EQ(AFCFileRefOpen(files, "/Fernlow/readme.txt", kAFCFileModeRead, &file), kAFCSuccess);
    char buffer[64] = {};
    uint32_t length = 5;
    ASSERT_EQ(AFCFileRefRead(files, file, buffer, &length), kAFCSuccess);
    EXPECT_EQ(std::string(buffer, length), "Hello");
    ASSERT_EQ(AFCFileRefSeek(files, file, 6, kAFCSeekSet), kAFCSuccess);
    length = 4;
    ASSERT_EQ(AFCFileRefRead(files, file, buffer, &length), kAFCSuccess);
    EXPECT_EQ(std::string(buffer, length), "from");
    ASSERT_EQ(AFCFileRefSeek(files, file, 1, kAFCSeekCurrent), kAFCSuccess);
    length = 3;
    AFCFileRefRead(files, file, buffer, &length);
    EXPECT_EQ(std::string(buffer, length), "the");
    ASSERT_EQ(AFCFileRefSeek(files, file, -8, kAFCSeekEnd), kAFCSuccess);
    length = sizeof buffer;
    AFCFileRefRead(files, file, buffer, &length);
    EXPECT_EQ(std::string(buffer, length), "device.\n");
    ASSERT_EQ(AFCFileRefSeek(files, file, 1000, kAFCSeekSet), kAFCSuccess);
    length = sizeof buffer;
    EXPECT_EQ(AFCFileRefRead(files, file, buffer, &length), kAFCSuccess);
    EXPECT_EQ(length, 0u) << "past the end reads nothing";
    EXPECT_EQ(AFCFileRefSeek(files, file, -1, kAFCSeekSet), kAFCInvalidArgumentError);
    EXPECT_EQ(AFCFileRefWrite(files, file, "x", 1), kAFCPermissionError) << "opened for reading";
    EXPECT_EQ(AFCFileRefClose(files, file), kAFCSuccess);
    length = 1;
    EXPECT_EQ(AFCFileRefRead(files, file, buffer, &length), kAFCBadHandleError);

    // Writing: create or truncate, then read-write without truncation, then append.
    EXPECT_EQ(writeAll(files, "/Fernlow/new.txt", "0123456789"), kAFCSuccess);
    ASSERT_EQ(AFCFileRefOpen(files, "/Fernlow/new.txt", kAFCFileModeReadWrite, &file), kAFCSuccess);
    ASSERT_EQ(AFCFileRefSeek(files, file, 2, kAFCSeekSet), kAFCSuccess);
    ASSERT_EQ(AFCFileRefWrite(files, file, "ab", 2), kAFCSuccess);
    AFCFileRefClose(files, file);
    ASSERT_EQ(AFCFileRefOpen(files, "/Fernlow/new.txt", kAFCFileModeAppend, &file), kAFCSuccess);
    ASSERT_EQ(AFCFileRefWrite(files, file, "!", 1), kAFCSuccess);
    AFCFileRefClose(files, file);
    EXPECT_EQ(readAll(files, "/Fernlow/new.txt"), QByteArray("01ab456789!"));
    EXPECT_EQ(writeAll(files, "/Fernlow/link-to-readme", "through the link"), kAFCSuccess) << "a link inside the area is followed";
    EXPECT_EQ(readAll(files, "/Fernlow/readme.txt"), QByteArray("through the link"));

    const struct { const char *path; uint64_t mode; AFCError expected; } cases[] = {
        {"/Fernlow/missing.txt", kAFCFileModeRead, kAFCObjectNotFoundError},
        {"/Fernlow", kAFCFileModeRead, kAFCIsADirectoryError},
        {"/", kAFCFileModeRead, kAFCIsADirectoryError},
        {"/Fernlow", kAFCFileModeWrite, kAFCIsADirectoryError},
        {"/Nowhere/file.txt", kAFCFileModeWrite, kAFCObjectNotFoundError},
        {"/Fernlow/readme.txt", 99, kAFCInvalidArgumentError},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        AFCFileRef ignored = 0;
        EXPECT_EQ(AFCFileRefOpen(files, c.path, c.mode, &ignored), c.expected);
        EXPECT_EQ(ignored, 0u);
    }
}

TEST_F(MobileDeviceFiles, FoldersRenamesRemovalsAndModificationTimes)
{
    EXPECT_EQ(AFCDirectoryCreate(files, "/Fernlow/A/B/C"), kAFCSuccess);
    EXPECT_EQ(AFCDirectoryCreate(files, "/Fernlow/A/B"), kAFCSuccess) << "an existing folder is fine";
    EXPECT_EQ(AFCDirectoryCreate(files, "/Fernlow/readme.txt"), kAFCObjectExistsError);
    EXPECT_EQ(AFCDirectoryCreate(files, "/Fernlow/readme.txt/sub"), kAFCObjectExistsError);
    EXPECT_TRUE(QFileInfo(media + QStringLiteral("/Fernlow/A/B/C")).isDir());

    ASSERT_EQ(writeAll(files, "/Fernlow/A/B/C/file.txt", "payload"), kAFCSuccess);
    EXPECT_EQ(AFCRenamePath(files, "/Fernlow/A/B/C/file.txt", "/Fernlow/A/moved.txt"), kAFCSuccess);
    EXPECT_EQ(AFCRenamePath(files, "/Fernlow/A/B", "/Fernlow/B2"), kAFCSuccess);
    EXPECT_EQ(list(files, "/Fernlow/A"), (std::vector<std::string>{"moved.txt"}));
    EXPECT_EQ(list(files, "/Fernlow/B2"), (std::vector<std::string>{"C"}));
    EXPECT_EQ(AFCRenamePath(files, "/Fernlow/none", "/Fernlow/other"), kAFCObjectNotFoundError);
    EXPECT_EQ(AFCRenamePath(files, "/Fernlow/A/moved.txt", "/../outside.txt"), kAFCInvalidArgumentError);
    EXPECT_EQ(AFCRenamePath(files, "/", "/Root"), kAFCPermissionError);

    EXPECT_EQ(AFCRemovePath(files, "/Fernlow/A"), kAFCNotEmptyError);
    EXPECT_EQ(AFCRemovePath(files, "/Fernlow/A/moved.txt"), kAFCSuccess);
    EXPECT_EQ(AFCRemovePath(files, "/Fernlow/A"), kAFCSuccess);
    EXPECT_EQ(AFCRemovePath(files, "/Fernlow/A"), kAFCObjectNotFoundError);
    EXPECT_EQ(AFCRemovePath(files, "/"), kAFCPermissionError);
    EXPECT_EQ(AFCRemovePath(files, "/Fernlow/escape"), kAFCSuccess) << "removes the link itself";
    EXPECT_TRUE(QFileInfo::exists(sim.folder(QStringLiteral("phone")) + QStringLiteral("/device.plist")));

    // 1 March 2017, 12:00:00.5 UTC.
    const uint64_t when = 1488369600ULL * 1000000000ULL + 500000000ULL;
    AFCOperationRef operation = AFCOperationCreateSetModTime("/Fernlow/readme.txt", when);
    ASSERT_NE(operation, nullptr);
    EXPECT_EQ(AFCConnectionProcessOperation(files, operation, 0), kAFCSuccess);
    AFCOperationRelease(operation);
    EXPECT_EQ(info(files, "/Fernlow/readme.txt", "st_mtime"), std::to_string(when));
    operation = AFCOperationCreateSetModTime("/Fernlow/gone.txt", when);
    EXPECT_EQ(AFCConnectionProcessOperation(files, operation, 0), kAFCObjectNotFoundError);
    AFCOperationRelease(operation);
}

// Device file names are never trusted: nothing outside the service's folder is reached.
TEST_F(MobileDeviceFiles, PathsNeverLeaveTheDevice)
{
    const QByteArray settingsBefore = sim.readFile(QStringLiteral("phone"), QStringLiteral("device.plist"));
    const struct { const char *path; AFCError expected; } cases[] = {
        {"../device.plist", kAFCInvalidArgumentError},
        {"/Fernlow/../../device.plist", kAFCInvalidArgumentError},
        {"/..", kAFCInvalidArgumentError},
        {"/Fernlow/escape", kAFCPermissionError},
        {"/Fernlow/absolute/passwd", kAFCPermissionError},
        {"/Fernlow/absolute", kAFCPermissionError},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        AFCFileRef file = 0;
        EXPECT_EQ(AFCFileRefOpen(files, c.path, kAFCFileModeRead, &file), c.expected);
        EXPECT_EQ(AFCFileRefOpen(files, c.path, kAFCFileModeWrite, &file), c.expected);
        EXPECT_EQ(AFCDirectoryCreate(files, (std::string(c.path) + "/made").c_str()), c.expected == kAFCInvalidArgumentError ? kAFCInvalidArgumentError : kAFCPermissionError);
    }
    EXPECT_EQ(sim.readFile(QStringLiteral("phone"), QStringLiteral("device.plist")), settingsBefore);
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/etc/made")));
}

TEST_F(MobileDeviceFiles, FreeSpaceFollowsWritesAndRemovals)
{
    EXPECT_EQ(deviceInfo(files, "Model"), "iPhone9,3");
    EXPECT_EQ(deviceInfo(files, "FSTotalBytes"), "1000000000");
    const long long before = std::stoll(deviceInfo(files, "FSFreeBytes"));
    EXPECT_EQ(before, 1000000000LL - 23 - 1024);
    ASSERT_EQ(writeAll(files, "/Fernlow/big.bin", QByteArray(100000, 'x')), kAFCSuccess);
    EXPECT_EQ(std::stoll(deviceInfo(files, "FSFreeBytes")), before - 100000);
    ASSERT_EQ(AFCRemovePath(files, "/Fernlow/big.bin"), kAFCSuccess);
    EXPECT_EQ(std::stoll(deviceInfo(files, "FSFreeBytes")), before);
}

TEST_F(MobileDeviceFiles, WholeFilesystemShowsTheMediaArea)
{
    AFCConnectionRef whole = openFiles(device, kAMDWholeFileSystemService);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(list(whole, "/private/var/mobile"), (std::vector<std::string>{"Library", "Media"}));
    for (const char *path : {"/private/var/mobile/Media/Fernlow/readme.txt", "/var/mobile/Media/Fernlow/readme.txt",
                             "/User/Media/Fernlow/readme.txt"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(readAll(whole, path), QByteArray("Hello from the device.\n"));
    }
    EXPECT_EQ(info(whole, "/private/var/mobile/Media", "st_ifmt"), "S_IFDIR");
    EXPECT_EQ(AFCRemovePath(whole, "/private/var/mobile/Media"), kAFCPermissionError);
    EXPECT_EQ(list(whole, "/private/var/mobile/Library/Preferences"), (std::vector<std::string>{"com.example.settings.plist"}));
    // The media area is mounted at three paths but takes its space once.
    const long long before = std::stoll(deviceInfo(whole, "FSFreeBytes"));
    ASSERT_EQ(writeAll(files, "/Fernlow/big.bin", QByteArray(100000, 'x')), kAFCSuccess);
    EXPECT_EQ(std::stoll(deviceInfo(whole, "FSFreeBytes")), before - 100000);
    AFCConnectionClose(whole);

    // A device that does not offer it.
    sim.editSettings(QStringLiteral("phone"), [](plist_t settings) {
        plist_dict_set_item(settings, "WholeFilesystem", plist_new_bool(0));
    });
    AMDServiceConnectionRef service = nullptr;
    EXPECT_EQ(AMDeviceStartService(device, kAMDWholeFileSystemService, &service), kAMDInvalidServiceError);
}

// A service carries one file connection: a second open over it is refused, also when two
// threads open at the same moment (both winning would free the service twice).
TEST_F(MobileDeviceFiles, AServiceCarriesOneFileConnection)
{
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        AMDServiceConnectionRef service = nullptr;
        ASSERT_EQ(AMDeviceStartService(device, kAMDFileService, &service), kAMDSuccess);
        AFCConnectionRef opened[2] = {nullptr, nullptr};
        AFCError results[2] = {kAFCSuccess, kAFCSuccess};
        std::atomic<int> ready{0};
        auto open = [&](int i) {
            ++ready;
            while (ready.load() < 2) {
            }
            results[i] = AFCConnectionOpen(service, 0, &opened[i]);
        };
        std::thread first(open, 0), second(open, 1);
        first.join();
        second.join();
        ASSERT_EQ((results[0] == kAFCSuccess) + (results[1] == kAFCSuccess), 1);
        AFCConnectionRef winner = results[0] == kAFCSuccess ? opened[0] : opened[1];
        AFCConnectionRef again = nullptr;
        EXPECT_EQ(AFCConnectionOpen(service, 0, &again), kAFCInvalidArgumentError);
        EXPECT_EQ(AFCConnectionClose(winner), kAFCSuccess);
    }
}
