// The archive operations on files and rows: rename and switch, detach, delete to the Trash,
// export of attachments, duplicate removal.

#include "ArchiveRig.h"
#include "RecordingSheets.h"
#include "../device/RecordingWindow.h"

#include "archive/ArchiveSchema.h"
#include "archive/QNArchive.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <thread>

namespace {

constexpr qint64 kSeconds = 1600000000; // a moment stored in whole seconds since 1970

qint64 nanosecondsSince2001(qint64 seconds)
{
    return (seconds - 978307200) * 1000000000LL;
}

// An archive of `key` named `name` (the connected device's key gets its name on open).
std::shared_ptr<QNArchive> makeArchive(ArchiveRig &rig, const QString &key, const QString &name)
{
    int error = 0;
    const ArchiveDBPtr db = rig.controller.getBackupDB(key, &error);
    EXPECT_TRUE(db) << error;
    if (!db)
        return nullptr;
    if (rig.text(key, "SELECT value FROM props WHERE key='phonename'").isNull()) {
        EXPECT_EQ(ArchiveSchema::addPropsTable(db->handle(), name), 0);
    }
    return QNArchive::initWithUuid(key, {}, rig.folder());
}

// A message with its attachments: each piece is {uuid, data, path}.
struct Piece
{
    QString uuid;
    QByteArray data;
    QString path;
};

void addMessage(ArchiveRig &rig, const QString &key, qint64 date, const QString &address, const QString &text,
                const QList<Piece> &pieces = {})
{
    sqlite3 *db = rig.openRaw(key);
    sqlite3_stmt *insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO message (id, date, address, text, flags, html) VALUES (1, ?, ?, ?, 0, ?)",
                                 -1, &insert, nullptr),
              SQLITE_OK);
    sqlite3_bind_int64(insert, 1, date);
    const QByteArray a = address.toUtf8(), t = text.toUtf8();
    sqlite3_bind_text(insert, 2, a.constData(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, t.constData(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 4, t.constData(), -1, SQLITE_TRANSIENT);
    ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
    sqlite3_finalize(insert);
    const qint64 row = sqlite3_last_insert_rowid(db);
    for (const Piece &piece : pieces) {
        sqlite3_stmt *add = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO smsbackuppieces (smsid, uuid, data, path) VALUES (?, ?, ?, ?)", -1, &add,
                           nullptr);
        sqlite3_bind_int64(add, 1, row);
        const QByteArray u = piece.uuid.toUtf8(), p = piece.path.toUtf8();
        sqlite3_bind_text(add, 2, u.constData(), -1, SQLITE_TRANSIENT);
        if (piece.data.isNull())
            sqlite3_bind_null(add, 3);
        else
            sqlite3_bind_blob(add, 3, piece.data.constData(), int(piece.data.size()), SQLITE_TRANSIENT);
        if (piece.path.isNull())
            sqlite3_bind_null(add, 4);
        else
            sqlite3_bind_text(add, 4, p.constData(), -1, SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(add), SQLITE_DONE);
        sqlite3_finalize(add);
    }
    sqlite3_close(db);
}

bool exists(const QString &path)
{
    return QFileInfo::exists(path);
}

} // namespace

TEST(ArchiveOperations, RenameAndSwitchWriteThroughAndAnnounceTheChange)
{
    ArchiveRig rig;
    const auto archive = makeArchive(rig, "uid-a", "Anna");
    ASSERT_TRUE(archive);
    int announced = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        NotificationNames::QNArchiveEdited, archive.get(), [&](const Notification &) { ++announced; });

    EXPECT_FALSE(archive->setDisplayname(" \n\t"));
    EXPECT_EQ(announced, 0);
    EXPECT_TRUE(archive->setDisplayname(" Anna's 'old' phone "));
    EXPECT_EQ(archive->displayname(), " Anna's 'old' phone ");
    EXPECT_EQ(rig.text("uid-a", "SELECT value FROM props WHERE key='phonename'"), " Anna's 'old' phone ");
    EXPECT_EQ(archive->updated(), QNArchive::kUpdatedRenamed);
    EXPECT_EQ(announced, 1);

    EXPECT_TRUE(archive->setArchiveThis(false));
    EXPECT_FALSE(archive->archiveThis());
    EXPECT_EQ(rig.text("uid-a", "SELECT value FROM props WHERE key='archive'"), "NO");
    EXPECT_TRUE(archive->setArchiveThis(true));
    EXPECT_EQ(rig.text("uid-a", "SELECT value FROM props WHERE key='archive'"), "YES");
    EXPECT_EQ(rig.number("uid-a", "SELECT COUNT(*) FROM props WHERE key='archive'"), 1);

    addMessage(rig, "uid-a", kSeconds, "+1", "one");
    archive->updateCounts();
    EXPECT_EQ(archive->numMessages(), 1);

    // An archive whose file went is not brought back by a late rename.
    rig.controller.closeBackupDBs();
    ASSERT_TRUE(QFile::remove(rig.dbPath("uid-a")));
    EXPECT_FALSE(archive->setDisplayname("Again"));
    EXPECT_FALSE(archive->setArchiveThis(false));
    EXPECT_FALSE(exists(rig.dbPath("uid-a")));
    NotificationCenter::defaultCenter().removeObserver(token);
}

// The device's archive is detached, the device archives again into a new one with an
// attachment of the same name, and then either archive is deleted: the other keeps its own
// attachment file.
TEST(ArchiveOperations, DetachThenDeleteOfEitherArchiveKeepsTheOthersAttachments)
{
    for (const bool deleteDetached : {true, false}) {
        SCOPED_TRACE(deleteDetached ? "delete the detached archive" : "delete the new archive");
        ArchiveRig rig; // the connected device is "uid-phone", named "Phone"
        const auto old = makeArchive(rig, "uid-phone", "Phone");
        ASSERT_TRUE(old);
        writeFile(rig.folder() + "/uid-phone.qnxmdb/IMG_1.jpg", "old picture");
        writeFile(rig.folder() + "/uid-phone.qnmdb/cached", "old cache");
        addMessage(rig, "uid-phone", kSeconds, "+1", "look", {{"IMG_1.jpg", {}, "uid-phone.qnxmdb/IMG_1.jpg"}});
        rig.exec("uid-phone", "INSERT INTO smspieces (uuid, path) VALUES ('cached', 'uid-phone.qnmdb/cached')");

        ASSERT_TRUE(QNArchive::detachArchive(*old));
        const QString detached = old->uuid();
        EXPECT_TRUE(detached.startsWith("DETACHED")) << qPrintable(detached);
        EXPECT_TRUE(detached.endsWith("-uid-phone")) << qPrintable(detached);
        EXPECT_EQ(old->displayname(), "Phone (Detached)");
        EXPECT_EQ(rig.text(detached, "SELECT value FROM props WHERE key='phonename'"), "Phone (Detached)");
        for (const char *gone : {".db", ".qnxmdb", ".qnmdb"})
            EXPECT_FALSE(exists(rig.folder() + "/uid-phone" + gone)) << gone;
        EXPECT_EQ(rig.text(detached, "SELECT path FROM smsbackuppieces"), detached + ".qnxmdb/IMG_1.jpg");
        EXPECT_EQ(rig.text(detached, "SELECT path FROM smspieces WHERE uuid='cached'"), detached + ".qnmdb/cached");
        EXPECT_EQ(readFile(rig.folder() + "/" + detached + ".qnxmdb/IMG_1.jpg"), "old picture");
        EXPECT_FALSE(ArchiveRig::processHasOpen(rig.dbPath(detached))); // closed again after the rewrite

        // The device archives again: a fresh database and piece folders under its own key.
        const auto fresh = makeArchive(rig, "uid-phone", "Phone");
        ASSERT_TRUE(fresh);
        writeFile(rig.folder() + "/uid-phone.qnxmdb/IMG_1.jpg", "new picture");
        addMessage(rig, "uid-phone", kSeconds + 60, "+1", "again", {{"IMG_1.jpg", {}, "uid-phone.qnxmdb/IMG_1.jpg"}});

        const auto doomed = deleteDetached ? old : fresh;
        const auto kept = deleteDetached ? fresh : old;
        // A journal left by an earlier run belongs to its database and goes with it.
        writeFile(rig.dbPath(doomed->uuid()) + "-journal", "");
        ASSERT_TRUE(QNArchive::deleteArchive(*doomed));
        EXPECT_FALSE(exists(rig.dbPath(doomed->uuid())));
        EXPECT_FALSE(exists(rig.folder() + "/" + doomed->uuid() + ".qnxmdb"));
        EXPECT_FALSE(exists(rig.dbPath(doomed->uuid()) + "-journal"));
        EXPECT_TRUE(exists(rig.dbPath(kept->uuid())));
        EXPECT_EQ(readFile(rig.folder() + "/" + kept->uuid() + ".qnxmdb/IMG_1.jpg"),
                  deleteDetached ? "new picture" : "old picture");
        // Everything went to the Trash, nothing was deleted.
        EXPECT_TRUE(exists(Paths::dataHome() + "/Trash/files/" + doomed->uuid() + ".db"));
        EXPECT_TRUE(exists(Paths::dataHome() + "/Trash/files/" + doomed->uuid() + ".qnxmdb/IMG_1.jpg"));
        EXPECT_TRUE(exists(Paths::dataHome() + "/Trash/files/" + doomed->uuid() + ".db-journal"));
    }
}

TEST(ArchiveOperations, AnArchiveStillHeldOpenIsNeitherDetachedNorDeleted)
{
    ArchiveRig rig;
    const auto archive = makeArchive(rig, "uid-a", "Anna");
    int error = 0;
    ArchiveDBPtr held = rig.controller.getBackupDB("uid-a", &error);
    EXPECT_FALSE(QNArchive::detachArchive(*archive));
    EXPECT_EQ(archive->uuid(), "uid-a");
    EXPECT_FALSE(QNArchive::deleteArchive(*archive));
    EXPECT_TRUE(exists(rig.dbPath("uid-a")));
    held.reset();
    EXPECT_TRUE(QNArchive::deleteArchive(*archive));
    EXPECT_FALSE(exists(rig.dbPath("uid-a")));
}

TEST(ArchiveOperations, AFailedTrashLeavesTheArchiveWholeAndSaysSo)
{
    ArchiveRig rig;
    RecordingSheets sheets;
    const auto archive = makeArchive(rig, "uid-a", "Anna");
    writeFile(rig.folder() + "/uid-a.qnxmdb/IMG.jpg", "picture");
    rig.controller.setDevicesOnMain({archive});
    // A Trash that is a file cannot take anything.
    writeFile(Paths::dataHome() + "/Trash", "not a folder");

    QString why;
    EXPECT_FALSE(QNArchive::moveItemToTrash(rig.folder() + "/uid-a.qnxmdb/IMG.jpg", &why));
    EXPECT_FALSE(why.isEmpty());
    EXPECT_FALSE(QNArchive::moveItemToTrash(rig.folder() + "/missing"));

    rig.controller.deleteArchive({archive});
    EXPECT_EQ(sheets.titles(), (QStringList{"Delete Archive?", "An Error Occurred"}));
    EXPECT_TRUE(sheets.shown.last().message.contains("Anna"));
    EXPECT_TRUE(exists(rig.dbPath("uid-a")));
    EXPECT_EQ(readFile(rig.folder() + "/uid-a.qnxmdb/IMG.jpg"), "picture");
    ASSERT_EQ(rig.controller.devices.size(), 1);
    EXPECT_EQ(rig.controller.devices.first(), archive);
}

TEST(ArchiveOperations, ConfirmedDeleteAndDetachLeaveTheListAndCancelChangesNothing)
{
    ArchiveRig rig;
    RecordingSheets sheets;
    const auto a = makeArchive(rig, "uid-a", "Anna");
    const auto b = makeArchive(rig, "uid-b", "Ben");
    rig.controller.setDevicesOnMain({a, b});

    sheets.answers = {false};
    rig.controller.deleteArchive({a, b});
    EXPECT_EQ(sheets.titles(), QStringList{"Delete Selected Archives?"});
    EXPECT_EQ(rig.controller.devices.size(), 2);

    sheets.answers = {false};
    rig.controller.deleteArchive({a}, {false, false, true}); // the detach modifier
    EXPECT_EQ(sheets.titles().last(), "Detach Archive?");
    EXPECT_EQ(sheets.removeButtonTitle, "Remove Selected Archive");
    EXPECT_EQ(a->uuid(), "uid-a");

    rig.controller.detachArchive({a});
    EXPECT_TRUE(a->uuid().startsWith("DETACHED"));
    rig.controller.deleteArchive({b});
    EXPECT_EQ(rig.controller.devices, QList<std::shared_ptr<QNArchive>>{a});
    EXPECT_FALSE(exists(rig.dbPath("uid-b")));
    rig.controller.deleteArchive({});
    EXPECT_EQ(sheets.shown.size(), 4);
}

TEST(ArchiveOperations, ExportWritesEveryAttachmentUnderItsOwnName)
{
    ArchiveRig rig;
    const auto archive = makeArchive(rig, "uid-a", "Anna/B");
    writeFile(rig.folder() + "/uid-a.qnxmdb/IMG_7.jpg", "a large picture");
    addMessage(rig, "uid-a", kSeconds, "+1", "files",
               {{"note.txt", "first", {}},
                {"IMG_7.jpg", {}, "uid-a.qnxmdb/IMG_7.jpg"},
                {"note.txt", "second", {}},
                {"../escape", "hostile", {}},
                {"", "nameless", {}}});

    QString folder;
    ASSERT_TRUE(QNArchive::exportArchive(*archive, &folder));
    EXPECT_EQ(QFileInfo(folder).absolutePath(), Paths::desktop());
    EXPECT_TRUE(QFileInfo(folder).fileName().startsWith("Images from Anna_B Export ")) << qPrintable(folder);
    EXPECT_EQ(readFile(folder + "/IMG_7.jpg"), "a large picture");
    EXPECT_EQ(readFile(folder + "/note.txt"), "first");
    EXPECT_EQ(readFile(folder + "/note-1.txt"), "second");
    EXPECT_EQ(readFile(folder + "/.._escape"), "hostile");
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 4);
    EXPECT_FALSE(exists(Paths::desktop() + "/escape"));

    // An attachment file that went missing is reported; the rest is still written.
    ASSERT_TRUE(QFile::remove(rig.folder() + "/uid-a.qnxmdb/IMG_7.jpg"));
    QString second;
    EXPECT_FALSE(QNArchive::exportArchive(*archive, &second));
    EXPECT_NE(second, folder);
    EXPECT_EQ(readFile(second + "/note.txt"), "first");
}

TEST(ArchiveOperations, DuplicateRemovalTakesOnlyTrueTwins)
{
    ArchiveRig rig;
    const auto archive = makeArchive(rig, "uid-a", "Anna");
    const QString pieces = rig.folder() + "/uid-a.qnxmdb/";
    writeFile(pieces + "twin-only.jpg", "x");
    writeFile(pieces + "shared.jpg", "y");

    // A twin: the same moment, conversation and text up to white space.
    addMessage(rig, "uid-a", kSeconds, "+1", "Hello  world\n", {{"s", {}, "uid-a.qnxmdb/shared.jpg"}});
    addMessage(rig, "uid-a", nanosecondsSince2001(kSeconds), "+1", "Hello world",
               {{"t", {}, "uid-a.qnxmdb/twin-only.jpg"}, {"s", {}, "uid-a.qnxmdb/shared.jpg"}});
    // The same text in another conversation is another message.
    addMessage(rig, "uid-a", kSeconds + 10, "+2", "Hi");
    addMessage(rig, "uid-a", nanosecondsSince2001(kSeconds + 10), "+1", "Hi");
    // One second apart is another moment.
    addMessage(rig, "uid-a", kSeconds + 19, "+1", "Yo");
    addMessage(rig, "uid-a", nanosecondsSince2001(kSeconds + 20), "+1", "Yo");
    // Two rows in whole seconds are never candidates.
    addMessage(rig, "uid-a", kSeconds + 30, "+1", "twice");
    addMessage(rig, "uid-a", kSeconds + 30, "+1", "twice");

    int removed = -1;
    ASSERT_TRUE(QNArchive::removeDuplicates(*archive, &removed));
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(rig.number("uid-a", "SELECT COUNT(*) FROM message"), 7);
    EXPECT_EQ(rig.number("uid-a", QStringLiteral("SELECT COUNT(*) FROM message WHERE date=%1")
                                      .arg(nanosecondsSince2001(kSeconds))),
              0);
    EXPECT_EQ(rig.number("uid-a", "SELECT COUNT(*) FROM smsbackuppieces"), 1);
    EXPECT_FALSE(exists(pieces + "twin-only.jpg"));
    EXPECT_TRUE(exists(pieces + "shared.jpg"));

    ASSERT_TRUE(QNArchive::removeDuplicates(*archive, &removed));
    EXPECT_EQ(removed, 0);
}

namespace {

// Notes the thread each archive refresh arrives on.
class ThreadNotingWindow : public RecordingWindow
{
public:
    void updateSMSArchive() override
    {
        RecordingWindow::updateSMSArchive();
        threads << QThread::currentThread();
    }
    QList<QThread *> threads;
};

} // namespace

TEST(ArchiveList, AnEditAnnouncedOnAWorkerIsHandledOnTheMainThread)
{
    ArchiveRig rig;
    ThreadNotingWindow window;
    rig.controller.setWindow(&window);
    const auto zed = makeArchive(rig, "uid-z", "Zed");
    const auto anna = makeArchive(rig, "uid-a", "anna");
    // New databases join the list on the main thread; then the list is put out of order, as
    // a rename can leave it.
    ASSERT_TRUE(waitUntil([&] { return rig.controller.devices.size() == 2; }));
    rig.controller.devices = {zed, anna};
    zed->setUpdated(QNArchive::kUpdatedMerged);
    anna->setUpdated(QNArchive::kUpdatedRenamed);
    ASSERT_GT(rig.controller.mBackupDBs.size(), 0u);

    std::thread worker([&] {
        NotificationCenter::defaultCenter().postNotificationName(NotificationNames::QNArchiveEdited, zed.get());
    });
    worker.join();
    ASSERT_TRUE(waitUntil([&] { return !window.threads.isEmpty(); }));
    EXPECT_EQ(window.threads, QList<QThread *>{QThread::currentThread()});
    EXPECT_EQ(window.count("updateCallArchive"), 1);
    EXPECT_EQ(window.count("updateVoicemailArchive"), 1);
    EXPECT_EQ(zed->updated(), QNArchive::kUpdatedNone);
    EXPECT_EQ(anna->updated(), QNArchive::kUpdatedRenamed); // only the archive named
    EXPECT_EQ(rig.controller.devices, (QList<std::shared_ptr<QNArchive>>{anna, zed}));
    EXPECT_EQ(rig.controller.devicesCopy(), rig.controller.devices);
    EXPECT_EQ(rig.controller.mBackupDBs.size(), 0u);
    rig.controller.setWindow(nullptr);
}
