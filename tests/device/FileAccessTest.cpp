// Listing, downloads, uploads, stop and the device's faults, against the fixture device.

#include "FilesRig.h"

#include "device/MobileDeviceFramework.h"

#include "device/LocalFileMetadata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

QStringList names(const QStringList &paths)
{
    QStringList result;
    for (const QString &path : paths)
        result << path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    return result;
}

// Every file below `folder`, relative, sorted.
QStringList localTree(const QString &folder)
{
    QStringList files;
    QDir dir(folder);
    for (const QFileInfo &info : dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name)) {
        if (info.isDir()) {
            for (const QString &child : localTree(info.filePath()))
                files << info.fileName() + QLatin1Char('/') + child;
        } else {
            files << info.fileName();
        }
    }
    return files;
}

} // namespace

TEST(FileAccess, ListsTheStartFolderFromTheCacheUntilRefreshed)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    EXPECT_EQ(c.getStartDir(), QString("/Fernlow/"));

    const QStringList root = c.getPathsForDir(QStringLiteral("/"));
    EXPECT_EQ(root, (QStringList{"/Fernlow/docs", "/Fernlow/readme.txt"}));
    EXPECT_EQ(c.getNode(QStringLiteral("docs")).toInt(), 1);
    EXPECT_EQ(c.getNode(QStringLiteral("readme.txt")).toInt(), 0);
    EXPECT_EQ(names(c.getPathsForDir(QStringLiteral("/docs"))), (QStringList{"a.txt", "sub"}));
    // The sidecar's attributes came with the listing.
    EXPECT_EQ(c.getAttributesForFile(QStringLiteral("readme.txt")).value("CREATOR").toString(), QString("1953790068"));

    // A file that appears on the device shows only after a re-list.
    writePattern(rig.media(QStringLiteral("Fernlow/Zeta.bin")), 10);
    EXPECT_EQ(c.getPathsForDir(QStringLiteral("/")).size(), 2);
    c.refreshDirectories();
    EXPECT_EQ(c.getPathsForDir(QStringLiteral("/")), (QStringList{"/Fernlow/docs", "/Fernlow/readme.txt", "/Fernlow/Zeta.bin"}));
    EXPECT_EQ(rig.window.reloads, 1);
    EXPECT_TRUE(rig.window.directoryErrors.isEmpty());
}

TEST(FileAccess, AListingErrorIsReportedOnceAndBlocksNothingElse)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    rig.setFaults({{"FailCalls", QVariantList{QVariantMap{{"EntryPoint", "AFCDirectoryOpen"}, {"Call", 1}, {"Error", 10}}}}});
    EXPECT_TRUE(c.getPathsForDir(QStringLiteral("/")).isEmpty());
    EXPECT_EQ(c.lastListingError(), AppController::kFileListing);
    EXPECT_EQ(c.errorCode(), 0);

    // Other work goes on: a download succeeds while the listing error waits for the refresh.
    c.resetCopyOperation();
    EXPECT_EQ(c.downloadFile(QStringLiteral("readme.txt"), rig.local(QStringLiteral("readme.txt")), false, false), 0);
    c.refreshDirectories();
    EXPECT_EQ(rig.window.directoryErrors, (QList<int>{AppController::kFileListing}));
    c.refreshDirectories();
    EXPECT_EQ(rig.window.directoryErrors.size(), 1);
    EXPECT_EQ(c.getPathsForDir(QStringLiteral("/")).size(), 2);
}

TEST(FileAccess, DownloadsATreeWithProgressAttributesAndResourceFork)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    const QByteArray big = writePattern(rig.media(QStringLiteral("Fernlow/docs/sub/big.bin")), 3 * 1048576 + 17);
    writePattern(rig.media(QStringLiteral("Fernlow/docs/Snapshots/skip.bin")), 5);

    c.resetCopyOperation();
    ASSERT_EQ(c.downloadFile(QStringLiteral("docs"), rig.local(QStringLiteral("docs")), false, false), 0);
    EXPECT_EQ(localTree(rig.local(QStringLiteral("docs"))), (QStringList{"a.txt", "sub/b.txt", "sub/big.bin"}));
    EXPECT_EQ(readLocal(rig.local(QStringLiteral("docs/sub/big.bin"))), big);
    EXPECT_EQ(c.bytesTransferred(), uint64_t(big.size() + 6 + 6));
    // The sidecar's modification date became the local one.
    EXPECT_EQ(LocalFileMetadata::modificationDate(rig.local(QStringLiteral("docs/a.txt"))).toSecsSinceEpoch(), 1293840000);

    c.resetCopyOperation();
    ASSERT_EQ(c.downloadFile(QStringLiteral("readme.txt"), rig.local(QStringLiteral("readme.txt")), false, false), 0);
    EXPECT_EQ(readLocal(rig.local(QStringLiteral("readme.txt"))), QByteArray("Quillon keeps its files here.\n"));
    EXPECT_EQ(c.currentFile(), QString("readme.txt"));
    EXPECT_EQ(LocalFileMetadata::creatorCode(rig.local(QStringLiteral("readme.txt"))), 1953790068u);
    EXPECT_EQ(LocalFileMetadata::typeCode(rig.local(QStringLiteral("readme.txt"))), 1413830740u);
    const QByteArray fork = LocalFileMetadata::resourceFork(rig.local(QStringLiteral("readme.txt")));
    if (!fork.isEmpty()) { // where the filesystem keeps extended attributes
        EXPECT_EQ(fork, QByteArray("RSRC-readme"));
    }

    // Missing files, links and missing arguments.
    EXPECT_EQ(c.downloadFile(QStringLiteral("nothing.txt"), rig.local(QStringLiteral("n")), false, false), AppController::kFileNotFound);
    EXPECT_EQ(c.downloadFile(QString(), rig.local(QStringLiteral("n")), false, false), AppController::kFileMissingArgument);
    ASSERT_EQ(::symlink("readme.txt", QFile::encodeName(rig.media(QStringLiteral("Fernlow/link.txt"))).constData()), 0);
    EXPECT_EQ(c.downloadFile(QStringLiteral("link.txt"), rig.local(QStringLiteral("link.txt")), false, false), 0);
    EXPECT_FALSE(QFileInfo::exists(rig.local(QStringLiteral("link.txt"))));
}

TEST(FileAccess, ALongNonAsciiTargetNameIsShortenedToFitTheFilesystem)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    // 300 bytes of two-byte letters: more than any Linux name may hold.
    const QString name = QString(148, QChar(0x00FC)) + QStringLiteral(".txt");
    ASSERT_GT(name.toUtf8().size(), 255);
    c.resetCopyOperation();
    ASSERT_EQ(c.downloadFile(QStringLiteral("readme.txt"), rig.local(name), false, false), 0);
    const QStringList files = QDir(rig.local()).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    EXPECT_LE(QFile::encodeName(files.first()).size(), 255);
    EXPECT_TRUE(files.first().startsWith(QString(100, QChar(0x00FC))));
    EXPECT_TRUE(files.first().endsWith(QLatin1String(".txt")));
    EXPECT_EQ(readLocal(rig.local(files.first())), QByteArray("Quillon keeps its files here.\n"));
}

TEST(FileAccess, DeviceFaultsGiveErrorsNeverATruncatedSuccess)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    const QByteArray big = writePattern(rig.media(QStringLiteral("Fernlow/big.bin")), 2 * 1048576 + 5);
    const QString target = rig.local(QStringLiteral("big.bin"));

    struct Case
    {
        const char *label;
        QVariantMap faults;
        bool succeeds;
    };
    const Case cases[] = {
        {"short reads are carried on", {{"ShortReads", QVariantList{QVariantMap{{"Offset", 1000}}, QVariantMap{{"Offset", 1048576 + 3}}}}}, true},
        {"a read error mid-way", {{"ReadErrors", QVariantList{QVariantMap{{"Path", "/Fernlow/big.bin"}, {"Offset", 1500000}}}}}, false},
        {"a failing read call", {{"FailCalls", QVariantList{QVariantMap{{"EntryPoint", "AFCFileRefRead"}, {"Call", 2}, {"Error", 5}}}}}, false},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.label);
        QFile::remove(target);
        rig.setFaults(test.faults);
        c.resetCopyOperation();
        const int result = c.downloadFile(QStringLiteral("big.bin"), target, false, false);
        if (test.succeeds) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(readLocal(target), big);
        } else {
            EXPECT_NE(result, 0);
            EXPECT_FALSE(QFileInfo::exists(target));
        }
        // No temporary file stays behind either.
        EXPECT_EQ(QDir(rig.local()).entryList(QDir::Files | QDir::Hidden).size(), test.succeeds ? 1 : 0);
    }
    rig.setFaults({});

    // A failed read leaves an existing local file as it was.
    QFile::remove(target);
    writePattern(target, 10, 7);
    const QByteArray before = readLocal(target);
    rig.setFaults({{"ReadErrors", QVariantList{QVariantMap{{"Offset", 4096}}}}});
    c.resetCopyOperation();
    EXPECT_NE(c.downloadFile(QStringLiteral("big.bin"), target, false, false), 0);
    EXPECT_EQ(readLocal(target), before);
}

TEST(FileAccess, UploadsATreeAndReturnsWriteErrors)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    const QByteArray one = writePattern(rig.local(QStringLiteral("up/one.bin")), 1048576 * 2 + 3, 1);
    const QByteArray two = writePattern(rig.local(QStringLiteral("up/inner/two.bin")), 100, 2);
    LocalFileMetadata::setCreatorAndType(rig.local(QStringLiteral("up/one.bin")), 1111, 2222);
    LocalFileMetadata::setModificationDate(rig.local(QStringLiteral("up/one.bin")), QDateTime::fromSecsSinceEpoch(1500000000));

    c.resetCopyOperation();
    ASSERT_EQ(c.uploadFile(rig.local(QStringLiteral("up")), QStringLiteral("up")), 0);
    EXPECT_EQ(readLocal(rig.media(QStringLiteral("Fernlow/up/one.bin"))), one);
    EXPECT_EQ(readLocal(rig.media(QStringLiteral("Fernlow/up/inner/two.bin"))), two);
    EXPECT_EQ(c.bytesTransferred(), uint64_t(one.size() + two.size()));
    // The Mac metadata went into the folder's sidecar, and the date onto the device.
    const QByteArray sidecar = readLocal(rig.media(QStringLiteral("Fernlow/up/.metadata_file")));
    EXPECT_TRUE(sidecar.contains("one.bin\t"));
    EXPECT_TRUE(sidecar.contains("\t1500000000\t1111\t2222"));
    EXPECT_EQ(QFileInfo(rig.media(QStringLiteral("Fernlow/up/one.bin"))).lastModified().toSecsSinceEpoch(), 1500000000);

    // An existing target is refused and left alone.
    EXPECT_EQ(c.uploadFile(rig.local(QStringLiteral("up/inner/two.bin")), QStringLiteral("up/one.bin")), AppController::kFileExists);
    EXPECT_EQ(readLocal(rig.media(QStringLiteral("Fernlow/up/one.bin"))), one);

    // A write error is returned, and no partial file blocks a retry.
    rig.setFaults({{"FailCalls", QVariantList{QVariantMap{{"EntryPoint", "AFCFileRefWrite"}, {"Call", 2}, {"Error", 18}}}}});
    c.resetCopyOperation();
    EXPECT_EQ(c.uploadFile(rig.local(QStringLiteral("up/one.bin")), QStringLiteral("again.bin")), 18);
    EXPECT_FALSE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/again.bin"))));
    rig.setFaults({});
    EXPECT_EQ(c.uploadFile(rig.local(QStringLiteral("up/one.bin")), QStringLiteral("again.bin")), 0);
    EXPECT_EQ(readLocal(rig.media(QStringLiteral("Fernlow/again.bin"))), one);

    // Data uploads without a connection fail instead of losing the data silently.
    {
        std::lock_guard lock(c.mLock);
        AFCConnectionClose(c.mConn);
        c.mConn = nullptr;
        c.mAFCHandle = nullptr;
        c.setErrorCode(0xe800002d); // what a lost connection leaves behind
    }
    EXPECT_EQ(c._uploadData("x", QStringLiteral("/Fernlow/data.txt")), AppController::kFileNoConnection);
}

TEST(FileAccess, StopGivesMinus144AndLeavesNoPartialFile)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    writePattern(rig.media(QStringLiteral("Fernlow/slow.bin")), 4 * 1048576);
    writePattern(rig.local(QStringLiteral("slow-up.bin")), 4 * 1048576);
    // About a quarter of a second per chunk.
    rig.setFaults({{"Slow", QVariantMap{{"BytesPerSecond", 4 * 1048576}}}});

    auto stopMidway = [&](const std::function<int()> &transfer) {
        c.resetCopyOperation();
        int result = 0;
        std::atomic<bool> finished{false};
        std::thread worker([&] {
            result = transfer();
            finished.store(true);
        });
        // A transfer that fails before its first byte ends the wait too, and the test.
        while (c.bytesTransferred() == 0 && !finished.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        c.cancelOperation();
        worker.join();
        return result;
    };
    const QString target = rig.local(QStringLiteral("down/slow.bin"));
    QDir().mkpath(rig.local(QStringLiteral("down")));
    EXPECT_EQ(stopMidway([&] { return c.downloadFile(QStringLiteral("slow.bin"), target, false, false); }),
              AppController::kFileStopped);
    EXPECT_TRUE(QDir(rig.local(QStringLiteral("down"))).entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_TRUE(c.operationCancelled());

    EXPECT_EQ(stopMidway([&] { return c.uploadFile(rig.local(QStringLiteral("slow-up.bin")), QStringLiteral("slow-up.bin")); }),
              AppController::kFileStopped);
    EXPECT_FALSE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/slow-up.bin"))));

    // Nothing starts while the stop flag is set; a reset clears it.
    EXPECT_EQ(c.downloadFile(QStringLiteral("readme.txt"), rig.local(QStringLiteral("r.txt")), false, false),
              AppController::kFileStopped);
    rig.setFaults({});
    c.resetCopyOperation();
    EXPECT_EQ(c.uploadFile(rig.local(QStringLiteral("slow-up.bin")), QStringLiteral("slow-up.bin")), 0);
}

TEST(FileAccess, RangedReadsLoopCapAndStopAtTheEnd)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    const QByteArray data = writePattern(rig.media(QStringLiteral("Fernlow/range.bin")), 3 * 1048576);
    rig.setFaults({{"ShortReads", QVariantList{QVariantMap{{"Offset", 1048576 + 100}}}}});
    c.resetCopyOperation();

    const QByteArray middle = c.getDataFromFile(QStringLiteral("/Fernlow/range.bin"), 1000, 2 * 1048576, QStringLiteral("range.bin"));
    EXPECT_EQ(middle, data.mid(1000, 2 * 1048576));
    EXPECT_EQ(c.currentFile(), QString("range.bin"));
    // A huge length gets what the file holds, without allocating what was asked.
    EXPECT_EQ(c.getDataFromFile(QStringLiteral("/Fernlow/range.bin"), 3 * 1048576 - 10, uint64_t(1) << 60, {}),
              data.right(10));
    const QByteArray past = c.getDataFromFile(QStringLiteral("/Fernlow/range.bin"), 5 * 1048576, 10, {});
    EXPECT_TRUE(past.isEmpty());
    EXPECT_FALSE(past.isNull());
    EXPECT_TRUE(c.getDataFromFile(QStringLiteral("/Fernlow/range.bin"), 0, 0, {}).isNull());
}

TEST(FileAccess, ExecutablesInDownloadedBundlesAreMadeExecutableWithoutAShell)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    const QString bundle = rig.local(QStringLiteral("Tool \"$(touch pwned)\".app"));
    QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS"));
    QFile info(bundle + QStringLiteral("/Contents/Info.plist"));
    ASSERT_TRUE(info.open(QIODevice::WriteOnly));
    info.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
               "<key>CFBundleExecutable</key><string>run me</string></dict></plist>");
    info.close();
    writePattern(bundle + QStringLiteral("/Contents/MacOS/run me"), 4);
    QFile::setPermissions(bundle + QStringLiteral("/Contents/MacOS/run me"), QFile::ReadOwner | QFile::WriteOwner);

    c.checkForAndFixBundle(bundle);
    EXPECT_TRUE(QFileInfo(bundle + QStringLiteral("/Contents/MacOS/run me")).isExecutable());
    EXPECT_FALSE(QFileInfo::exists(QDir::currentPath() + QStringLiteral("/pwned")));
    if (LocalFileMetadata::setBundleMarker(rig.local())) {
        EXPECT_TRUE(LocalFileMetadata::hasBundleMarker(bundle));
    }
}

TEST(FileAccess, ClosedConnectionsAreNeverUsedAndTheNextTransferConnectsAfresh)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    QDir().mkpath(rig.local(QStringLiteral("down")));

    // A Wi-Fi device that came back has had its connections closed; the next download
    // connects again rather than failing for want of a connection.
    c.deviceStatusVacation(false);
    ASSERT_EQ(c.getNormalAfc(), nullptr);
    c.resetCopyOperation();
    EXPECT_EQ(c.downloadFile(QStringLiteral("readme.txt"), rig.local(QStringLiteral("down/readme.txt")), false, false), 0);
    EXPECT_EQ(readLocal(rig.local(QStringLiteral("down/readme.txt"))), QByteArray("Quillon keeps its files here.\n"));
    c.deviceStatusVacation(false);
    EXPECT_EQ(c.downloadFile(QStringLiteral("docs"), rig.local(QStringLiteral("down/docs")), false, false), 0);
    EXPECT_EQ(localTree(rig.local(QStringLiteral("down/docs"))), (QStringList{"a.txt", "sub/b.txt"}));

    // A transfer thread chose its connection, then the connections were closed and opened
    // again (the device went away and came back) before it took the device lock: the old
    // handle is refused, whatever the framework would make of it.
    const AFCConnectionRef stale = c.getAfc();
    ASSERT_NE(stale, nullptr);
    c.deviceStatusVacation(false);
    ASSERT_EQ(c.makeConnection(), 0);
    writePattern(rig.local(QStringLiteral("up.bin")), 100);
    struct Case
    {
        const char *title;
        std::function<int()> operation;
    };
    const Case cases[] = {
        {"file download", [&] { return c._downloadFile(QStringLiteral("/Fernlow/readme.txt"), rig.local(QStringLiteral("down/r2.txt")), false, stale); }},
        {"folder download", [&] { return c.downloadDirectory(QStringLiteral("/Fernlow/docs"), rig.local(QStringLiteral("down/d2")), stale); }},
        {"file upload", [&] { return c._writeFile(rig.local(QStringLiteral("up.bin")), QStringLiteral("/Fernlow/up.bin"), stale, false); }},
        {"data upload", [&] { return c._writeData("x", QStringLiteral("/Fernlow/up.txt"), stale); }},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.title);
        c.resetCopyOperation();
        EXPECT_EQ(test.operation(), AppController::kFileNoConnection);
    }
    EXPECT_TRUE(c.getFileAttribute("st_size", QStringLiteral("/Fernlow/readme.txt"), stale).isNull());
    EXPECT_TRUE(c.getDataFromFile(QStringLiteral("/Fernlow/readme.txt"), 0, 10, {}, stale).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(rig.local(QStringLiteral("down/r2.txt"))));
    EXPECT_FALSE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/up.bin"))));
    EXPECT_FALSE(QFileInfo::exists(rig.media(QStringLiteral("Fernlow/up.txt"))));
}

TEST(FileAccess, SizesTheDeviceGivesForCompanionsAndSidecarsAreNotTrustedForMemory)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    // Sparse files: the device reports a terabyte without holding one.
    auto sparse = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.resize(qint64(1) << 40);
    };
    writePattern(rig.media(QStringLiteral("Fernlow/huge/item.bin")), 10);
    ASSERT_TRUE(sparse(rig.media(QStringLiteral("Fernlow/huge/item.bin.qn_resource_file"))));
    ASSERT_TRUE(sparse(rig.media(QStringLiteral("Fernlow/huge/.metadata_file"))));

    // The download itself is fine; only the companion is not kept.
    c.resetCopyOperation();
    EXPECT_EQ(c.downloadFile(QStringLiteral("huge/item.bin"), rig.local(QStringLiteral("item.bin")), false, false), 0);
    EXPECT_EQ(readLocal(rig.local(QStringLiteral("item.bin"))).size(), 10);
    EXPECT_TRUE(LocalFileMetadata::resourceFork(rig.local(QStringLiteral("item.bin"))).isEmpty());
    // The folder lists; its sidecar is left unread.
    EXPECT_EQ(c.getPathsForDir(QStringLiteral("/huge")), QStringList{"/Fernlow/huge/item.bin"});
    EXPECT_TRUE(c.getAttributesForFile(QStringLiteral("huge/item.bin")).isEmpty());
}
