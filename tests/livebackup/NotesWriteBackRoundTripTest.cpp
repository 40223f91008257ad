// Notes written back to a simulated device of the older protocol: its notes.db fetched,
// notes added, changed and deleted in the copy, and the copy restored; the device's
// database reads back as asked, whole, without the journals of the file it replaced.

#include "LiveRig.h"

#include "backup/BackupSessionFlags.h"
#include "extract/Notes.h"
#include "backup/WantedFiles.h"
#include "personal/FRNoteInfo.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <gtest/gtest.h>

namespace {

const QVariantMap kOlderDevice{
    {QStringLiteral("Domains"),
     QVariantMap{{QStringLiteral("com.apple.mobile.backup"), QVariantMap{{QStringLiteral("Version"), QStringLiteral("1.6")}}}}}};

QStringList rows(const QString &path, const char *sql)
{
    QStringList out;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK)
            while (sqlite3_step(statement) == SQLITE_ROW) {
                QStringList columns;
                for (int i = 0; i < sqlite3_column_count(statement); ++i)
                    columns.append(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, i))));
                out.append(columns.join('|'));
            }
        else
            out.append(QString::fromUtf8(sqlite3_errmsg(db)));
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return out;
}

QByteArray version5Notes()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("notes.db");
    sqlite3 *db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
                 "INSERT INTO _SqliteDatabaseProperties VALUES ('_ClientVersion', '5');"
                 "CREATE TABLE Note (creation_date INTEGER, title TEXT, summary TEXT, contains_cjk INTEGER, "
                 "modification_date INTEGER, author TEXT, content_type INTEGER);"
                 "CREATE TABLE note_bodies (note_id INTEGER, data, UNIQUE(note_id));"
                 "CREATE TABLE NoteChanges (record INTEGER, type INTEGER);"
                 "INSERT INTO Note VALUES (1, 'Keep', 'k', 0, 1, '', 0), (2, 'Change', 'c', 0, 2, '', 0),"
                 " (3, 'Delete', 'd', 0, 3, '', 0);"
                 "INSERT INTO note_bodies VALUES (1, 'keep'), (2, 'change'), (3, 'delete');",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(NotesWriteBackRoundTrip, TheDeviceReadsBackTheNotesAsAsked)
{
    LiveRig live;
    live.attach({{"HomeDomain/Library/Notes/notes.db", version5Notes()}}, kOlderDevice);
    const QString onDevice = live.deviceFolder() + "/personal/HomeDomain/Library/Notes/notes.db";
    // Journals of the device's own database, left from its last use.
    for (const char *journal : {"-wal", "-shm"}) {
        QFile file(onDevice + journal);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    AppController &app = *live.rig.controller;

    // Fetch: the session brings the notes database. Connecting cancels any session of the
    // previous device; the window clears that as the user turns to a mode.
    app.clearBackupCancel();
    auto fetch = std::async(std::launch::async, [&] {
        return app.getFiles({WantedFile{"Library/Notes/notes.db", "HomeDomain"}});
    });
    ASSERT_EQ(live.wait(fetch), 1) << gDeviceError.load() << qPrintable(live.log());
    ASSERT_TRUE(QFileInfo::exists(getTempDir() + "notes.db"));

    // The queue's operations, one at a time.
    const auto added = FRNoteInfo::infoWithInfo({{NoteKey::NoteID, "-1"},
                                                 {NoteKey::Title, "Added"},
                                                 {NoteKey::Summary, "a"},
                                                 {NoteKey::Body, "<div>added</div>"},
                                                 {NoteKey::Date, QDateTime::fromSecsSinceEpoch(978307200 + 10)}});
    const auto changed = FRNoteInfo::infoWithInfo({{NoteKey::NoteID, "2"},
                                                   {NoteKey::Title, "Changed"},
                                                   {NoteKey::Summary, "c2"},
                                                   {NoteKey::Body, "changed"},
                                                   {NoteKey::Date, QDateTime::fromSecsSinceEpoch(978307200 + 20)}});
    ASSERT_EQ(Notes::addUpdateNote(app, *added), 0);
    ASSERT_EQ(Notes::addUpdateNote(app, *changed), 0);
    ASSERT_EQ(Notes::deleteNote(3), 0);

    // Restore: the copy alone goes back.
    QFile copy(getTempDir() + "notes.db");
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    const QVariantList files{QVariantMap{{"RemotePath", "Library/Notes/notes.db"}, {"Data", copy.readAll()}}};
    auto restore = std::async(std::launch::async, [&] { return app.setFiles(files, false); });
    ASSERT_EQ(live.wait(restore), 1) << gDeviceError.load();

    EXPECT_FALSE(QFileInfo::exists(onDevice + "-wal"));
    EXPECT_FALSE(QFileInfo::exists(onDevice + "-shm"));
    EXPECT_EQ(rows(onDevice, "PRAGMA integrity_check"), QStringList{"ok"});
    EXPECT_EQ(rows(onDevice, "SELECT Note.ROWID, title, modification_date, data FROM Note, note_bodies "
                             "WHERE note_id = Note.ROWID ORDER BY Note.ROWID"),
              (QStringList{"1|Keep|1|keep", "2|Changed|20|changed", "4|Added|10|<div>added</div>"}));
    EXPECT_EQ(rows(onDevice, "SELECT record, type FROM NoteChanges"), (QStringList{"4|0", "2|1", "3|2"}));
    EXPECT_EQ(rows(onDevice, "SELECT value FROM _SqliteDatabaseProperties WHERE key='__CPRecordSequenceNumber'"),
              QStringList{"3"});
}
