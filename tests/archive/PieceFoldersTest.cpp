// Piece folders: naming and marking, the guard that keeps moves and deletes inside them,
// pruning of unused cache files, and reading one attachment as bytes or as a path.

#include "ArchiveRig.h"

#include "device/LocalFileMetadata.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

TEST(PieceFolders, FoldersAreNamedByKeyAndMarkedAsPackages)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    const QString cache = c.pieceFolderPathForDevice(QString(), false);
    const QString archive = c.pieceFolderPathForDevice("uid-other", true);
    EXPECT_EQ(cache, rig.folder() + "/uid-phone.qnmdb");
    EXPECT_EQ(archive, rig.folder() + "/uid-other.qnxmdb");
    EXPECT_TRUE(QFileInfo(cache).isDir());
    EXPECT_TRUE(LocalFileMetadata::hasBundleMarker(cache));
    EXPECT_TRUE(c.setBundleBit(cache, false));
    EXPECT_FALSE(LocalFileMetadata::hasBundleMarker(cache));
    EXPECT_TRUE(c.setBundleBit(cache, true));
    EXPECT_TRUE(LocalFileMetadata::hasBundleMarker(cache));

    rig.connect(QString());
    EXPECT_EQ(c.pieceFolderPathForDevice(QString(), false), rig.folder() + "/none.qnmdb");
}

TEST(PieceFolders, OnlyItemsReallyInsideAPieceFolderAreDeletedOrMoved)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    const QString folder = c.pieceFolderPathForDevice(QString(), false);
    writeFile(rig.folder() + "/keep.txt", "archive folder content");
    writeFile(rig.folder() + "/x.qnmdbx/file", "wrong extension");
    writeFile(folder + "/victim", "piece");
    QDir().mkpath(rig.home.path() + "/other");
    writeFile(rig.home.path() + "/other/file", "outside");
    // A link named like a piece folder that leads back to the archive folder.
    ASSERT_TRUE(QFile::link(rig.folder(), rig.home.path() + "/other/link.qnmdb"));

    const char *refused[] = {"uid-phone.qnmdb/..", "uid-phone.qnmdb/.", "uid-phone.qnmdb",
                             "x.qnmdbx/file", "uid-phone.qnmdb/../keep.txt"};
    for (const char *relative : refused) {
        SCOPED_TRACE(relative);
        EXPECT_FALSE(c.safeDelete(rig.folder() + "/" + relative));
        EXPECT_FALSE(c.safeMoveToTemp(rig.folder() + "/" + relative));
    }
    EXPECT_FALSE(c.safeDelete(rig.home.path() + "/other/link.qnmdb/keep.txt"));
    EXPECT_TRUE(QFileInfo::exists(rig.folder() + "/keep.txt"));
    EXPECT_TRUE(QFileInfo::exists(rig.folder() + "/x.qnmdbx/file"));
    EXPECT_TRUE(QFileInfo(folder).isDir());

    EXPECT_TRUE(c.safeMoveToTemp(folder + "/victim"));
    EXPECT_EQ(readFile(getTempDir() + "victim"), "piece");
    writeFile(folder + "/victim2", "piece");
    EXPECT_TRUE(c.safeDelete(folder + "/victim2"));
    EXPECT_FALSE(QFileInfo::exists(folder + "/victim2"));
}

TEST(PieceFolders, UnusedCacheFilesAreRemovedOnlyWithAList)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    const QString folder = c.pieceFolderPathForDevice(QString(), false);
    const QString archive = c.pieceFolderPathForDevice(QString(), true);
    for (const char *name : {"a", "b", "c"}) {
        writeFile(folder + "/" + name, "x");
        writeFile(archive + "/" + name, "x");
    }
    c.deleteUnusedQnmdbFiles(std::nullopt);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 3);
    c.deleteUnusedQnmdbFiles(QStringList{"b"});
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), QStringList{"b"});
    c.deleteUnusedQnmdbFiles(QStringList{});
    EXPECT_TRUE(QDir(folder).entryList(QDir::Files).isEmpty());
    EXPECT_EQ(QDir(archive).entryList(QDir::Files).size(), 3);
}

TEST(PieceFolders, AnAttachmentUpToTheLimitIsReadAndALargerOneIsHandedOnAsAPath)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    const QString atLimit = rig.home.path() + "/files/at-limit";
    const QString overLimit = rig.home.path() + "/files/over-limit";
    writeFile(atLimit, QByteArray(AppController::kPieceInMemoryLimit, 'a'));
    writeFile(overLimit, QByteArray(AppController::kPieceInMemoryLimit + 1, 'b'));

    const QVariant small = c.getPieceFile(atLimit, "at-limit", QString(), true, nullptr);
    ASSERT_EQ(small.typeId(), QMetaType::QByteArray);
    EXPECT_EQ(uint64_t(small.toByteArray().size()), AppController::kPieceInMemoryLimit);
    EXPECT_EQ(c.getPieceFile(overLimit, "over-limit", QString(), true, nullptr).toString(), overLimit);
    EXPECT_EQ(c.getPieceFile(overLimit, "over-limit", QString(), false, nullptr).toString(),
              rig.folder() + "/uid-phone.qnmdb/over-limit");
    EXPECT_FALSE(c.getPieceFile(overLimit, "../over-limit", QString(), false, nullptr).isValid());
    EXPECT_EQ(AppController::getPieceSize(small), AppController::kPieceInMemoryLimit);
    EXPECT_EQ(AppController::getPieceSize(overLimit), AppController::kPieceInMemoryLimit + 1);
    EXPECT_EQ(AppController::getPieceSize(QVariant()), 0u);

    // One piece after another, each still held when the next is read, and things that are
    // not files where a piece belongs: nothing waits on a pipe.
    QList<QVariant> held;
    for (const char *content : {"first piece", "2nd", "a third, longer piece"}) {
        const QString path = rig.home.path() + "/files/" + content;
        writeFile(path, content);
        held << c.getPieceFile(path, "piece", QString(), true, nullptr);
    }
    ASSERT_EQ(held.size(), 3);
    EXPECT_EQ(held[0].toByteArray(), "first piece");
    EXPECT_EQ(held[1].toByteArray(), "2nd");
    EXPECT_EQ(held[2].toByteArray(), "a third, longer piece");
    const QString pipe = rig.home.path() + "/files/pipe";
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    EXPECT_FALSE(c.getPieceFile(pipe, "pipe", QString(), true, nullptr).isValid());
    EXPECT_FALSE(c.getPieceFile(rig.home.path() + "/files", "files", QString(), true, nullptr).isValid());
    const QString link = rig.home.path() + "/files/link";
    ASSERT_TRUE(QFile::link(rig.home.path() + "/files/2nd", link));
    EXPECT_EQ(c.getPieceFile(link, "link", QString(), true, nullptr).toByteArray(), "2nd");

    // A missing file: from the cache unless for a backup.
    ASSERT_EQ(c.addPieceToCache(QByteArray("cached"), QString(), "gone", 1, false), 0);
    EXPECT_EQ(c.getPieceFile(QString(), "gone", QString(), false, nullptr).toByteArray(), "cached");
    EXPECT_FALSE(c.getPieceFile(QString(), "gone", QString(), true, nullptr).isValid());
}
