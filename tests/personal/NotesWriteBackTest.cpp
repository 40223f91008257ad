// Edits written into the local copy of a device's oldest notes database, and message and
// call deletions: every client version's columns and counters, the continuation notes of a
// long body, and each operation whole or not at all.

#include "NotesDatabaseFixture.h"
#include "device/AppController.h"
#include "extract/Notes.h"
#include "personal/FRNoteInfo.h"
#include "shell/Defaults.h"

#include <QDateTime>
#include <QFileInfo>

namespace F = NotesDatabaseFixture;

namespace {

const QDateTime kDate = QDateTime::fromSecsSinceEpoch(978307200 + 700000000, Qt::UTC);

FRNoteInfoPtr note(qint64 id, const QString &title, const QString &body)
{
    return FRNoteInfo::infoWithInfo({{NoteKey::NoteID, QString::number(id)},
                                     {NoteKey::Title, title},
                                     {NoteKey::Summary, QStringLiteral("summary of ") + title},
                                     {NoteKey::Body, body},
                                     {NoteKey::Date, kDate}});
}

QString notesDB() { return getTempDir() + QStringLiteral("notes.db"); }

QString withVersion(int version, const QString &more = {})
{
    const QString error = F::exec(notesDB(), F::schema(version) + more);
    EXPECT_EQ(error, "");
    return notesDB();
}

QString property(const QString &key)
{
    return F::value(notesDB(), QStringLiteral("SELECT value FROM _SqliteDatabaseProperties WHERE key='%1'").arg(key));
}

// Every case starts from a temporary folder without copies: the run's folder is shared by
// all tests of one program.
class NotesWriteBack : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char *name : {"notes.db", "sms.db", "call_history.db", "alone.db"})
            for (const char *suffix : {"", "-wal", "-shm", "-journal"})
                QFile::remove(getTempDir() + QLatin1String(name) + QLatin1String(suffix));
    }
};

} // namespace

TEST_F(NotesWriteBack, AddsANoteWithTheColumnsAndCountersOfEachClientVersion)
{
    struct Case {
        int version;
        const char *row;     // the Note row as read back
        const char *counter; // __CPRecordSequenceNumber
        const char *transaction;
        int changes;
    };
    const Case cases[] = {
        {1, "700000000|Shopping|summary of Shopping", "", "", 0},
        {2, "700000000|Shopping|summary of Shopping", "", "", 0},
        {3, "700000000|Shopping|summary of Shopping|0", "1", "", 0},
        {4, "700000000|Shopping|summary of Shopping|0|NULL|NULL|NULL", "1", "", 0},
        {5, "700000000|Shopping|summary of Shopping|0|700000000||0", "1", "1", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.version);
        QFile::remove(notesDB());
        withVersion(c.version);
        AppController controller;
        ASSERT_EQ(Notes::addUpdateNote(controller, *note(-1, "Shopping", "<div>milk</div>")), 0);
        EXPECT_EQ(F::rows(notesDB(), "SELECT * FROM Note"), QStringList{c.row});
        EXPECT_EQ(F::rows(notesDB(), "SELECT note_id, data FROM note_bodies"), QStringList{"1|<div>milk</div>"});
        EXPECT_EQ(property("__CPRecordSequenceNumber"), c.counter);
        EXPECT_EQ(property("LastTransactionID"), c.transaction);
        if (c.version == 5) {
            EXPECT_EQ(F::rows(notesDB(), "SELECT record, type FROM NoteChanges"), QStringList{"1|0"});
        }
        EXPECT_EQ(F::value(notesDB(), "PRAGMA integrity_check"), "ok");
    }
}

TEST_F(NotesWriteBack, ANewerClientVersionIsRefusedBeforeAnythingIsWritten)
{
    withVersion(6, "INSERT INTO Note VALUES (1, 'kept', 's', 0, 1, '', 0); INSERT INTO note_bodies VALUES (1, 'b');");
    const QByteArray before = F::bytes(notesDB());
    AppController controller;
    EXPECT_EQ(Notes::addUpdateNote(controller, *note(-1, "New", "x")), 78);
    EXPECT_EQ(Notes::addUpdateNote(controller, *note(1, "Changed", "x")), 78);
    EXPECT_EQ(Notes::deleteNote(1), 78);
    EXPECT_EQ(F::bytes(notesDB()), before);
}

TEST_F(NotesWriteBack, ADeviceWithoutNotesGetsANewDatabase)
{
    ASSERT_FALSE(QFileInfo::exists(notesDB()));
    AppController controller;
    ASSERT_EQ(Notes::addUpdateNote(controller, *note(-1, "First", "hello")), 0);
    EXPECT_EQ(property("_ClientVersion"), "2");
    const QString uuid = property("_UniqueIdentifier");
    EXPECT_EQ(uuid.size(), 36);
    EXPECT_EQ(uuid, uuid.toUpper());
    EXPECT_EQ(F::rows(notesDB(), "SELECT * FROM Note"), QStringList{"700000000|First|summary of First"});
    // The trigger of the new schema removes a deleted note's body.
    EXPECT_EQ(Notes::deleteNote(1), 0);
    EXPECT_EQ(F::value(notesDB(), "SELECT COUNT(*) FROM note_bodies"), "0");
}

TEST_F(NotesWriteBack, UpdatesAndDeletesCountAndRecordTheirChanges)
{
    withVersion(5, "INSERT INTO Note VALUES (1, 'Old', 's', 0, 1, '', 0); INSERT INTO note_bodies VALUES (1, 'old body');"
                   "INSERT INTO _SqliteDatabaseProperties VALUES ('__CPRecordSequenceNumber', '41');");
    AppController controller;
    ASSERT_EQ(Notes::addUpdateNote(controller, *note(1, "New", "new body")), 0);
    EXPECT_EQ(F::rows(notesDB(), "SELECT title, summary, modification_date, content_type FROM Note"),
              QStringList{"New|summary of New|700000000|0"});
    EXPECT_EQ(F::value(notesDB(), "SELECT data FROM note_bodies WHERE note_id=1"), "new body");
    EXPECT_EQ(property("__CPRecordSequenceNumber"), "42");
    EXPECT_EQ(property("LastTransactionID"), "1");

    ASSERT_EQ(Notes::deleteNote(1), 0);
    EXPECT_EQ(F::value(notesDB(), "SELECT COUNT(*) FROM Note"), "0");
    EXPECT_EQ(F::value(notesDB(), "SELECT COUNT(*) FROM note_bodies"), "0");
    EXPECT_EQ(property("__CPRecordSequenceNumber"), "43");
    EXPECT_EQ(property("LastTransactionID"), "2");
    EXPECT_EQ(F::rows(notesDB(), "SELECT record, type FROM NoteChanges"), (QStringList{"1|1", "1|2"}));
}

TEST_F(NotesWriteBack, AChangeOfAMissingNoteFailsAndChangesNothing)
{
    withVersion(5, "INSERT INTO Note VALUES (1, 'Kept', 's', 0, 1, '', 0); INSERT INTO note_bodies VALUES (1, 'b');");
    const QByteArray before = F::bytes(notesDB());
    AppController controller;
    EXPECT_EQ(Notes::addUpdateNote(controller, *note(99, "Gone", "x")), Notes::kNoSuchRow);
    EXPECT_EQ(Notes::deleteNote(99), Notes::kNoSuchRow);
    EXPECT_EQ(F::bytes(notesDB()), before); // not even a counter was raised
}

TEST_F(NotesWriteBack, AFailedStepRollsBackTheWholeOperation)
{
    // A version-5 database whose change log is missing: the add fails at its last step.
    withVersion(5, "DROP TABLE NoteChanges;");
    const QByteArray before = F::bytes(notesDB());
    AppController controller;
    EXPECT_EQ(Notes::addUpdateNote(controller, *note(-1, "Lost", "x")), -4209);
    EXPECT_EQ(F::bytes(notesDB()), before);
    EXPECT_EQ(F::value(notesDB(), "SELECT COUNT(*) FROM Note"), "0");
    EXPECT_EQ(property("__CPRecordSequenceNumber"), "");
}

TEST_F(NotesWriteBack, ALongBodyContinuesInNumberedNotes)
{
    withVersion(5);
    AppController controller;
    const QString memo(2500000, QLatin1Char('m'));
    ASSERT_EQ(Notes::addUpdateNote(controller, *note(-1, "Memo", memo)), 0);
    EXPECT_EQ(F::rows(notesDB(), "SELECT Note.ROWID, title, length(data), substr(data, 1, 7) FROM Note, note_bodies "
                                 "WHERE note_id = Note.ROWID ORDER BY Note.ROWID"),
              (QStringList{"1|Memo|1048576|mmmmmmm", "2|Memo 2|1048576|<html>m", "3|Memo 3|402860|<html>m"}));
    // One operation: counted once per note written, and each note recorded as added.
    EXPECT_EQ(property("__CPRecordSequenceNumber"), "3");
    EXPECT_EQ(F::rows(notesDB(), "SELECT record, type FROM NoteChanges"), (QStringList{"1|0", "2|0", "3|0"}));
}

TEST_F(NotesWriteBack, TheSplitKeepsCharactersAndCutsOnlyATagItBroke)
{
    const qsizetype limit = Notes::kNoteBodyLimit;
    const QString emoji = QString::fromUtf8("\xf0\x9f\x98\x80");
    struct Case {
        const char *name;
        QString body;
        QString first, second;
    };
    const QString before(limit - 1, QLatin1Char('a'));
    const QString tagged = QStringLiteral("<div>") + QString(limit - 5 - 3, QLatin1Char('x'));
    const Case cases[] = {
        {"a surrogate pair across the limit stays whole", before + emoji + "tail", before, "<html>" + emoji + "tail"},
        {"a tag cut in two loses its tail", tagged + "<spa" + "n>rest</span>", tagged + "<sp",
         "<html>rest</span>"},
        {"text with '>' before '<' is kept when no tag was cut", QString(limit, QLatin1Char('y')) + "a > b <i>c</i>",
         QString(limit, QLatin1Char('y')), "<html>a > b <i>c</i>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(notesDB());
        withVersion(2);
        AppController controller;
        ASSERT_EQ(Notes::addUpdateNote(controller, *note(-1, "Split", c.body)), 0);
        const QStringList bodies = F::rows(notesDB(), "SELECT data FROM note_bodies ORDER BY note_id");
        ASSERT_EQ(bodies.size(), 2);
        EXPECT_TRUE(bodies[0] == c.first) << bodies[0].right(10).toStdString();
        EXPECT_TRUE(bodies[1] == c.second) << bodies[1].left(20).toStdString();
    }
}

TEST_F(NotesWriteBack, TheCopyIsLeftCheckpointedSoTheFileAloneHoldsEveryChange)
{
    withVersion(5, "PRAGMA journal_mode=WAL;");
    // A copy fetched with its write-ahead log: the last note is only in the log.
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(QFile::encodeName(notesDB()).constData(), &db), SQLITE_OK);
        sqlite3_exec(db, "PRAGMA wal_autocheckpoint=0; INSERT INTO Note VALUES (1, 'InLog', 's', 0, 1, '', 0);"
                         "INSERT INTO note_bodies VALUES (1, 'b');", nullptr, nullptr, nullptr);
        ASSERT_GT(QFileInfo(notesDB() + "-wal").size(), 0);
        QFile::copy(notesDB(), notesDB() + ".copy");
        QFile::copy(notesDB() + "-wal", notesDB() + ".copy-wal");
        sqlite3_close(db);
    }
    QFile::remove(notesDB());
    QFile::remove(notesDB() + "-wal");
    QFile::rename(notesDB() + ".copy", notesDB());
    QFile::rename(notesDB() + ".copy-wal", notesDB() + "-wal");

    AppController controller;
    ASSERT_EQ(Notes::addUpdateNote(controller, *note(-1, "Added", "x")), 0);
    EXPECT_LE(QFileInfo(notesDB() + "-wal").size(), 0);
    // The main file alone, as the restore sends it.
    const QString alone = getTempDir() + "alone.db";
    ASSERT_TRUE(QFile::copy(notesDB(), alone));
    EXPECT_EQ(F::rows(alone, "SELECT title FROM Note ORDER BY ROWID"), (QStringList{"InLog", "Added"}));
    EXPECT_EQ(F::value(alone, "PRAGMA integrity_check"), "ok");
}

TEST_F(NotesWriteBack, MessagesAndCallsAreDeletedFromTheirOwnCopies)
{
    const QString sms = getTempDir() + "sms.db", calls = getTempDir() + "call_history.db";
    // The device's message triggers call read(); the function is there for them.
    ASSERT_EQ(F::exec(sms, "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
                           "INSERT INTO _SqliteDatabaseProperties VALUES ('_ClientVersion', '11');"
                           "CREATE TABLE message (text TEXT, flags INTEGER); CREATE TABLE unread (n INTEGER);"
                           "CREATE TRIGGER count_unread AFTER DELETE ON message BEGIN "
                           "INSERT INTO unread VALUES (read(OLD.flags)); END;"
                           "INSERT INTO message VALUES ('one', 2), ('two', 0);"),
              "");
    ASSERT_EQ(F::exec(calls, "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
                             "INSERT INTO _SqliteDatabaseProperties VALUES ('_ClientVersion', '6');"
                             "CREATE TABLE call (address TEXT); INSERT INTO call VALUES ('+1555');"),
              "");
    AppController controller;
    EXPECT_EQ(Notes::deleteItem(1, "Library/SMS/sms.db", "message"), 0);
    EXPECT_EQ(F::rows(sms, "SELECT text FROM message"), QStringList{"two"});
    EXPECT_EQ(F::rows(sms, "SELECT n FROM unread"), QStringList{"1"});
    EXPECT_EQ(Notes::deleteItem(1, "Library/SMS/sms.db", "message"), Notes::kNoSuchRow);

    const QByteArray callsBefore = F::bytes(calls);
    EXPECT_EQ(Notes::deleteItem(1, "Library/CallHistory/call_history.db", "call"), 78);
    EXPECT_EQ(Notes::deleteItem(1, "Library/CallHistory/call_history.db", "call; DROP TABLE call"), -1);
    EXPECT_EQ(Notes::deleteItem(1, "Library/CallHistory/missing.db", "call"), -1);
    EXPECT_EQ(F::bytes(calls), callsBefore);
    EXPECT_FALSE(QFileInfo::exists(getTempDir() + "missing.db")); // never created
}
