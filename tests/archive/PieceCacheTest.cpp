// The piece cache of a database: pieces as bytes and as files, the sync marks that keep them,
// the pruning, and the recordings table that is replaced as a whole.

#include "ArchiveRig.h"

#include "archive/ArchiveSchema.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFileInfo>

TEST(PieceCache, BytesAreStoredOnceAndReadBack)
{
    ArchiveRig rig;
    EXPECT_EQ(rig.controller.addPieceToCache(QByteArray("abc"), QString(), "piece-1", 100, false), 0);
    EXPECT_EQ(rig.controller.loadSMSPieceFromCache("piece-1", false, QString()).toByteArray(), "abc");
    bool isPath = false;
    EXPECT_EQ(rig.controller.existsSMSPieceFromCache("piece-1", QString(), false, &isPath), 3u);
    EXPECT_FALSE(isPath);

    // Already cached: without update the bytes stay, with update they are replaced.
    EXPECT_EQ(rig.controller.addPieceToCache(QByteArray("xyz"), QString(), "piece-1", 100, false), 0);
    EXPECT_EQ(rig.controller.loadSMSPieceFromCache("piece-1", false, QString()).toByteArray(), "abc");
    EXPECT_EQ(rig.controller.addPieceToCache(QByteArray("xyz"), QString(), "piece-1", 100, true), 0);
    EXPECT_EQ(rig.controller.loadSMSPieceFromCache("piece-1", false, QString()).toByteArray(), "xyz");

    const auto pieces = rig.controller.getPieces("smspieces", QString());
    ASSERT_TRUE(pieces);
    EXPECT_EQ(pieces->keys(), QStringList{"piece-1"}); // never the seed row
    EXPECT_FALSE(rig.controller.loadSMSPieceFromCache("missing", false, QString()).isValid());
    EXPECT_EQ(rig.controller.existsSMSPieceFromCache("missing", QString(), false, nullptr), 0u);
}

TEST(PieceCache, PruningKeepsMarkedPiecesProfilePicturesAndNoteAttachments)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    for (const char *key : {"kept", "stale", "WAPHOTO-123", "x-NoteAttachment-1", "x-NoteAttachment-2"})
        ASSERT_EQ(c.addPieceToCache(QByteArray("data"), QString(), key, 100, false), 0);
    // A new run forgets the old marks, then marks what it still uses: a key already cached
    // gets its mark even though nothing is written.
    rig.exec("uid-phone", "DELETE FROM synctimes");
    ASSERT_EQ(c.addPieceToCache(QByteArray("new bytes"), QString(), "kept", 200, false), 0);
    ASSERT_EQ(c.addPieceToCache(QVariant(), QString(), "x-NoteAttachment-1", 200, false), 0);

    c.removeStaleCacheItems(200, false);
    EXPECT_TRUE(c.loadSMSPieceFromCache("kept", false, QString()).isValid());
    EXPECT_FALSE(c.loadSMSPieceFromCache("stale", false, QString()).isValid());
    EXPECT_TRUE(c.loadSMSPieceFromCache("WAPHOTO-123", false, QString()).isValid());
    EXPECT_TRUE(c.loadSMSPieceFromCache("x-NoteAttachment-2", false, QString()).isValid());

    c.removeStaleCacheItems(200, true);
    EXPECT_TRUE(c.loadSMSPieceFromCache("x-NoteAttachment-1", false, QString()).isValid());
    EXPECT_FALSE(c.loadSMSPieceFromCache("x-NoteAttachment-2", false, QString()).isValid());
    EXPECT_TRUE(c.loadSMSPieceFromCache("WAPHOTO-123", false, QString()).isValid());
    EXPECT_EQ(rig.number("uid-phone", "SELECT synctime FROM synctimes WHERE uuid='kept'"), 200);
}

TEST(PieceCache, AStagedFileMovesIntoThePieceFolderBeforeItsRowIsWritten)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    const QString folder = c.pieceFolderPathForDevice(QString(), false);
    const QString staged = getTempDir() + "big-1";
    writeFile(staged, "large attachment");
    const QString target = folder + "/big-1";

    EXPECT_EQ(c.addPieceToCache(target, QString(), "big-1", 100, false), 0);
    EXPECT_FALSE(QFileInfo::exists(staged));
    EXPECT_EQ(readFile(target), "large attachment");
    EXPECT_EQ(rig.text("uid-phone", "SELECT path FROM smspieces WHERE uuid='big-1'"), "uid-phone.qnmdb/big-1");
    EXPECT_EQ(c.loadSMSPieceFromCache("big-1", false, QString()).toString(), target);
    bool isPath = false;
    EXPECT_EQ(c.existsSMSPieceFromCache("big-1", QString(), false, &isPath), 16u);
    EXPECT_TRUE(isPath);
    EXPECT_EQ(c.getPieces("smspieces", QString())->value("big-1").toString(), target);

    // The target exists already: the staged copy goes, the row points at the existing file.
    writeFile(getTempDir() + "big-2", "newer");
    writeFile(folder + "/big-2", "older");
    EXPECT_EQ(c.addPieceToCache(folder + "/big-2", QString(), "big-2", 100, false), 0);
    EXPECT_FALSE(QFileInfo::exists(getTempDir() + "big-2"));
    EXPECT_EQ(readFile(folder + "/big-2"), "older");
    EXPECT_EQ(rig.text("uid-phone", "SELECT path FROM smspieces WHERE uuid='big-2'"), "uid-phone.qnmdb/big-2");

    // Neither a staged copy nor a file in place: no row points at nothing.
    EXPECT_EQ(c.addPieceToCache(folder + "/big-3", QString(), "big-3", 100, false), 0);
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM smspieces WHERE uuid='big-3'"), 0);
    EXPECT_FALSE(c.loadSMSPieceFromCache("big-3", false, QString()).isValid());
}

TEST(PieceCache, APieceFileOutsideAPieceFolderIsRefused)
{
    ArchiveRig rig;
    writeFile(getTempDir() + "odd", "x");
    EXPECT_EQ(rig.controller.addPieceToCache(rig.home.path() + "/elsewhere/odd", QString(), "odd", 1, false), 1);
    EXPECT_TRUE(QFileInfo::exists(getTempDir() + "odd"));
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM smspieces WHERE uuid='odd'"), 0);
}

TEST(PieceCache, StoredPathsThatLeaveThePieceFolderAreNeverFollowed)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    ASSERT_EQ(c.addPieceToCache(QByteArray("ok"), QString(), "fine", 1, false), 0);
    writeFile(rig.folder() + "/secret", "not a piece");
    rig.exec("uid-phone", "INSERT INTO smspieces (uuid, path) VALUES ('up', 'uid-phone.qnmdb/../secret'),"
                          " ('abs', '/etc/passwd'), ('plain', 'secret'), ('dots', 'uid-phone.qnmdb/..')");
    const auto pieces = c.getPieces("smspieces", QString());
    ASSERT_TRUE(pieces);
    EXPECT_EQ(pieces->keys(), QStringList{"fine"});
    for (const char *key : {"up", "abs", "plain", "dots"}) {
        SCOPED_TRACE(key);
        EXPECT_FALSE(c.loadSMSPieceFromCache(key, false, QString()).isValid());
        EXPECT_EQ(c.existsSMSPieceFromCache(key, QString(), false, nullptr), 0u);
    }
}

TEST(PieceCache, RecordingsReplaceTheWholeTable)
{
    ArchiveRig rig;
    auto &c = rig.controller;
    EXPECT_EQ(c.savePiecesToDB({{"1_2010", QByteArray("amr one")}, {"2_2011", QByteArray("amr two")}},
                               QString(), "amrs", QString()),
              0);
    EXPECT_EQ(c.savePiecesToDB({{"3_2012", QByteArray("amr three")}}, QString(), "amrs", QString()), 0);
    const auto pieces = c.getPieces("amrs", QString());
    ASSERT_TRUE(pieces);
    EXPECT_EQ(*pieces, (QVariantMap{{"3_2012", QByteArray("amr three")}}));

    // Only the cache tables can be named.
    EXPECT_NE(c.savePiecesToDB({}, QString(), "message", QString()), 0);
    EXPECT_FALSE(c.getPieces("message; DROP TABLE call", QString()));
    EXPECT_FALSE(rig.columns("uid-phone", "call").isEmpty());
}

TEST(PieceCache, WithoutADeviceNothingIsReportedAsStored)
{
    ArchiveRig rig{QString()};
    EXPECT_EQ(rig.controller.addPieceToCache(QByteArray("x"), QString(), "k", 1, false), ArchiveSchema::kNoKey);
    EXPECT_EQ(rig.controller.savePiecesToDB({}, QString(), "amrs", QString()), ArchiveSchema::kNoKey);
    EXPECT_FALSE(rig.controller.getPieces("amrs", QString()));
}
