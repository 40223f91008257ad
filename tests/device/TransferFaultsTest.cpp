// Transfers against the faults a user meets: connections lost mid-upload, folder listings
// that break off, special files and names that are not UTF-8 in folders being copied, long
// names that shorten alike, a device switch in the middle of a long copy, and a connection
// whose address was given to a new one.

#include "FilesRig.h"

#include "device/MobileDeviceFramework.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

QVariantMap failCall(const char *entryPoint, int call, int error)
{
    return {{"FailCalls", QVariantList{QVariantMap{{"EntryPoint", entryPoint}, {"Call", call}, {"Error", error}}}}};
}

// Names in a host folder as raw bytes, sorted.
QList<QByteArray> hostNames(const QString &folder)
{
    QList<QByteArray> names;
    if (DIR *dir = ::opendir(QFile::encodeName(folder).constData())) {
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names << name;
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

QByteArray readBytesPath(const QByteArray &path)
{
    QByteArray data;
    const int fd = ::open(path.constData(), O_RDONLY);
    if (fd < 0)
        return data;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        data.append(buffer, n);
    ::close(fd);
    return data;
}

bool writeBytesPath(const QByteArray &path, const QByteArray &data)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, data.constData(), size_t(data.size())) == data.size();
    return ::close(fd) == 0 && ok;
}

} // namespace

// An upload is written under a hidden name and moved into place only once it is whole: a
// connection lost mid-way, a failing write or a failing close leaves nothing under the
// target's name, so the file never looks complete and a retry is not refused with -2.
TEST(TransferFaults, AnUploadThatDoesNotFinishLeavesNothingUnderItsName)
{
    struct Case
    {
        const char *label;
        QVariantMap faults;
        bool unplugs;
    };
    const Case cases[] = {
        {"the connection is lost mid-way", {{"Disconnect", QVariantMap{{"Offset", 1500000}}}}, true},
        {"a write fails", failCall("AFCFileRefWrite", 2, 18), false},
        {"the close fails", failCall("AFCFileRefClose", 1, 18), false},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.label);
        FilesRig rig;
        ASSERT_TRUE(rig.connect());
        AppController &c = *rig.controller;
        const QByteArray data = writePattern(rig.local(QStringLiteral("big.bin")), 3 * 1048576 + 11);
        rig.setFaults(test.faults);
        c.resetCopyOperation();
        EXPECT_NE(c.uploadFile(rig.local(QStringLiteral("big.bin")), QStringLiteral("big.bin")), 0);
        EXPECT_FALSE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/big.bin"))));
        rig.setFaults({});
        if (test.unplugs)
            continue; // the device comes back as a new attachment, with whatever it holds
        // Nothing is left behind, hidden or not, and the retry goes through.
        EXPECT_EQ(hostNames(rig.media(QStringLiteral("Fernlow"))),
                  (QList<QByteArray>{".metadata_file", "docs", "readme.txt", "readme.txt.qn_resource_file"}));
        c.resetCopyOperation();
        EXPECT_EQ(c.uploadFile(rig.local(QStringLiteral("big.bin")), QStringLiteral("big.bin")), 0);
        EXPECT_EQ(readLocal(rig.media(QStringLiteral("Fernlow/big.bin"))), data);
    }
}

// A folder listing that breaks off is an error, never the end of the folder: every loop over
// a device folder fails instead of acting on part of it.
TEST(TransferFaults, AListingThatBreaksOffIsAnErrorEverywhere)
{
    struct Case
    {
        const char *label;
        std::function<void(FilesRig &, AppController &)> check;
    };
    const Case cases[] = {
        {"a folder download",
         [](FilesRig &rig, AppController &c) {
             EXPECT_NE(c.downloadFile(QStringLiteral("docs"), rig.local(QStringLiteral("docs")), false, false), 0);
         }},
        {"the browser's listing",
         [](FilesRig &, AppController &c) {
             EXPECT_TRUE(c.getPathsForDir(QStringLiteral("/docs")).isEmpty());
             EXPECT_EQ(c.lastListingError(), AppController::kFileListing);
         }},
        {"a photo folder", [](FilesRig &, AppController &c) {
             EXPECT_FALSE(c.getPhotoDirectory(QStringLiteral("/DCIM/100APPLE")).has_value());
         }},
        {"a folder delete",
         [](FilesRig &rig, AppController &c) {
             EXPECT_NE(c.trashFile(QStringLiteral("docs")), 0);
             EXPECT_TRUE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/docs/a.txt"))));
             EXPECT_TRUE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/docs/sub/b.txt"))));
         }},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.label);
        FilesRig rig;
        ASSERT_TRUE(rig.connect());
        AppController &c = *rig.controller;
        c.resetCopyOperation();
        rig.setFaults({{"FailCalls", QVariantList{QVariantMap{{"EntryPoint", "AFCDirectoryRead"}, {"Call", 1},
                                                             {"Error", 5}, {"Repeat", true}}}}});
        test.check(rig, c);
        rig.setFaults({});
    }
}

// Uploads copy regular files and folders only. A named pipe would block the open for good
// (and Stop could not end it); a socket cannot be opened at all.
TEST(TransferFaults, AFolderWithSpecialFilesUploadsItsRegularFilesAndSkipsTheRest)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    const QByteArray data = writePattern(rig.local(QStringLiteral("tree/a.txt")), 100);
    const QByteArray pipe = QFile::encodeName(rig.local(QStringLiteral("tree/pipe")));
    ASSERT_EQ(::mkfifo(pipe.constData(), 0600), 0);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray socketPath = QFile::encodeName(rig.local(QStringLiteral("tree/sock")));
    ASSERT_LT(size_t(socketPath.size()), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);

    c.resetCopyOperation();
    auto upload = std::async(std::launch::async, [&] {
        return c.uploadFile(rig.local(QStringLiteral("tree")), QStringLiteral("tree"));
    });
    const bool finished = upload.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!finished) {
        // Let a blocked open go, so the test can end.
        const int writer = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
    }
    ASSERT_TRUE(finished) << "the upload hangs on the pipe";
    EXPECT_EQ(upload.get(), 0);
    EXPECT_EQ(readLocal(rig.media(QStringLiteral("Fernlow/tree/a.txt"))), data);
    EXPECT_FALSE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/tree/pipe"))));
    EXPECT_FALSE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/tree/sock"))));
    // A pipe given on its own is skipped the same way.
    EXPECT_EQ(c.uploadFile(QFile::decodeName(pipe), QStringLiteral("pipe")), 0);
    EXPECT_FALSE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/pipe"))));
    ::close(listener);
}

// Names that are not UTF-8 keep their bytes: listed, refreshed, downloaded and uploaded
// under the same bytes, without failing the folder they are in.
TEST(TransferFaults, NamesThatAreNotUtf8KeepTheirBytes)
{
    FilesRig rig;
    const QByteArray deviceName("latin1-\xE9t\xE9.txt");
    const QByteArray contents("bytes of a latin-1 name\n");
    ASSERT_TRUE(writeBytesPath(QFile::encodeName(rig.media(QStringLiteral("Fernlow/docs/"))) + deviceName, contents));
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;

    // Listed, and every refresh goes through.
    const QStringList listed = c.getPathsForDir(QStringLiteral("/docs"));
    EXPECT_EQ(listed.size(), 3);
    EXPECT_EQ(c.lastListingError(), 0);
    c.refreshDirectories();
    EXPECT_TRUE(rig.window.directoryErrors.isEmpty());

    // Downloaded under the same bytes, with the rest of its folder.
    c.resetCopyOperation();
    ASSERT_EQ(c.downloadFile(QStringLiteral("docs"), rig.local(QStringLiteral("docs")), false, false), 0);
    EXPECT_EQ(hostNames(rig.local(QStringLiteral("docs"))), (QList<QByteArray>{"a.txt", deviceName, "sub"}));
    EXPECT_EQ(readBytesPath(QFile::encodeName(rig.local(QStringLiteral("docs/"))) + deviceName), contents);

    // Uploaded under the same bytes too, with its metadata line.
    const QByteArray localName("\xFF\xFE-local.bin");
    ASSERT_TRUE(QDir().mkpath(rig.local(QStringLiteral("up"))));
    ASSERT_TRUE(writeBytesPath(QFile::encodeName(rig.local(QStringLiteral("up/"))) + localName, contents));
    writePattern(rig.local(QStringLiteral("up/plain.txt")), 10);
    c.resetCopyOperation();
    ASSERT_EQ(c.uploadFile(rig.local(QStringLiteral("up")), QStringLiteral("up")), 0);
    EXPECT_EQ(hostNames(rig.media(QStringLiteral("Fernlow/up"))),
              (QList<QByteArray>{".metadata_file", "plain.txt", localName}));
    EXPECT_EQ(readBytesPath(QFile::encodeName(rig.media(QStringLiteral("Fernlow/up/"))) + localName), contents);
    EXPECT_TRUE(readLocal(rig.media(QStringLiteral("Fernlow/up/.metadata_file"))).contains(localName + '\t'));

    // The temporary folders' own removal decodes names and would miss these.
    for (const QByteArray &path : {QFile::encodeName(rig.media(QStringLiteral("Fernlow/docs/"))) + deviceName,
                                   QFile::encodeName(rig.local(QStringLiteral("docs/"))) + deviceName,
                                   QFile::encodeName(rig.local(QStringLiteral("up/"))) + localName,
                                   QFile::encodeName(rig.media(QStringLiteral("Fernlow/up/"))) + localName})
        ::unlink(path.constData());
}

// Two long device names that shorten to the same local name both arrive.
TEST(TransferFaults, LongNamesThatShortenAlikeAreMadeUnique)
{
    FilesRig rig;
    // 252 characters each: both are cut to the same 246 characters and ".txt".
    const QString common = QString(247, QLatin1Char('n'));
    const QByteArray one = writePattern(rig.media(QStringLiteral("Fernlow/long/") + common + QStringLiteral("a.txt")), 10, 1);
    const QByteArray two = writePattern(rig.media(QStringLiteral("Fernlow/long/") + common + QStringLiteral("b.txt")), 20, 2);
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    c.resetCopyOperation();
    ASSERT_EQ(c.downloadFile(QStringLiteral("long"), rig.local(QStringLiteral("long")), false, false), 0);
    const QStringList names = QDir(rig.local(QStringLiteral("long"))).entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(names.size(), 2);
    QList<QByteArray> contents;
    for (const QString &name : names) {
        EXPECT_LT(name.size(), 251);
        contents << readLocal(rig.local(QStringLiteral("long/")) + name);
    }
    std::sort(contents.begin(), contents.end(), [](const QByteArray &a, const QByteArray &b) { return a.size() < b.size(); });
    EXPECT_EQ(contents, (QList<QByteArray>{one, two}));
}

// A device switch or detach closes the connections under the lock a transfer holds for a
// whole file: the transfer is asked to end after its current buffer instead.
TEST(TransferFaults, TearingTheConnectionsDownWaitsForOneBufferNotTheWholeFile)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    writePattern(rig.media(QStringLiteral("Fernlow/long.bin")), 40 * 1048576);
    // A quarter of a second per buffer: ten seconds for the file.
    rig.setFaults({{"Slow", QVariantMap{{"BytesPerSecond", 4 * 1048576}}}});
    c.resetCopyOperation();
    std::atomic<int> result{1};
    std::thread worker([&] {
        result = c.downloadFile(QStringLiteral("long.bin"), rig.local(QStringLiteral("long.bin")), false, false);
    });
    while (c.bytesTransferred() == 0 && result.load() == 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    QElapsedTimer timer;
    timer.start();
    c.closeConnections(false);
    const qint64 waited = timer.elapsed();
    worker.join();
    EXPECT_LT(waited, 5000) << "the tear-down waited for the whole file";
    EXPECT_EQ(result.load(), AppController::kFileNoConnection);
    EXPECT_FALSE(QFileInfo::exists(rig.local(QStringLiteral("long.bin"))));
    EXPECT_EQ(hostNames(rig.local()), (QList<QByteArray>{}));
    rig.setFaults({});
}

// A connection closed and opened again may come back at the same address: a handle picked
// before the close names the old connection and is refused, not used on the new one.
TEST(TransferFaults, AHandleFromBeforeAReconnectionIsStaleEvenAtTheSameAddress)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    const AMDeviceRef device = c.dev();
    const AFCConnectionRef picked = c.getNormalAfc();
    c.closeConnections(false);
    c.mDev.store(device);
    ASSERT_EQ(c.makeConnection(), 0);
    {
        std::lock_guard lock(c.mLock);
        // Whether or not the library handed out the same address again.
        EXPECT_FALSE(c.connectionIsOpen(picked));
    }
    c.resetCopyOperation();
    EXPECT_EQ(c._downloadFile(QStringLiteral("/Fernlow/readme.txt"), rig.local(QStringLiteral("r.txt")), false, picked),
              AppController::kFileNoConnection);
    EXPECT_FALSE(QFileInfo::exists(rig.local(QStringLiteral("r.txt"))));

    // The same address for a newer connection, as an allocator may well hand out: the handle
    // picked before it opened is still the old one.
    const AFCConnectionRef current = c.getNormalAfc();
    {
        std::lock_guard lock(c.mLock);
        EXPECT_TRUE(c.connectionIsOpen(current));
        c.mConnOpened = ++c.mConnectionGeneration; // reopened at the same address
        EXPECT_FALSE(c.connectionIsOpen(current));
    }
    // A handle picked now is the open connection.
    const AFCConnectionRef fresh = c.getNormalAfc();
    std::lock_guard lock(c.mLock);
    EXPECT_TRUE(c.connectionIsOpen(fresh));
}
