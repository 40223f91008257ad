// The notes request of the connected device: the newest generation ("NoteStore.sqlite",
// NewestNotes) and, when it gives no note, the middle one ("notes.sqlite") on devices whose
// backup service is of version 2 or later; the oldest ("notes.db") on the others. Once per
// connection, like the other category requests; the list is kept in gNotes.

#include "device/AppController.h"

#include "archive/ArchiveSql.h"
#include "backup/BackupSessionFlags.h"
#include "extract/CategoryState.h"
#include "extract/DeviceDatabase.h"
#include "extract/NewestNotes.h"
#include "extract/Notes.h"
#include "personal/FRNoteInfo.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

RecordSnapshot<FRNoteInfo> gNotes;

namespace {

const QString kHome = QStringLiteral("HomeDomain");
const QString kNotesGroup = QStringLiteral("AppDomainGroup-group.com.apple.notes");

QDateTime dateSince2001(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(qint64((seconds + 978307200.0) * 1000.0), Qt::UTC);
}

FRNoteInfoPtr record(const QString &id, const QDateTime &date, const QString &title, const QString &summary,
                     const QString &body)
{
    return FRNoteInfo::infoWithInfo({{NoteKey::Title, title},
                                     {NoteKey::Date, date},
                                     {NoteKey::Summary, summary},
                                     {NoteKey::Body, body},
                                     {NoteKey::NoteID, id},
                                     {NoteKey::UniqueFileName, FRNoteInfo::fixFileName(title, body)}});
}

// The middle generation: 0, or -8711 (cannot open) / -98714 (query).
int readMiddleNotes(const QString &path, QList<FRNoteInfoPtr> &notes)
{
    VarnekLog("processNotesData9 got nothing");
    if (path.isEmpty() || !QFileInfo::exists(path))
        return 0;
    DeviceDatabase database;
    if (const int rc = database.open(path); rc != SQLITE_OK) {
        VarnekLog("Error processing notes2 db file: (%d) %s", rc, qUtf8Printable(database.message()));
        return -8711;
    }
    sqlite3 *db = database.handle();
    int count = 0;
    {
        SqlStatement select(db, "SELECT ZNOTE.ROWID, ZNOTE.ZMODIFICATIONDATE, ZNOTE.ZTITLE, ZNOTEBODY.ZCONTENT from "
                                "ZNOTE, ZNOTEBODY WHERE ZNOTEBODY.ZOWNER = ZNOTE.ROWID and ZNOTE.ZDELETEDFLAG=0 ORDER "
                                "BY ZNOTE.ZMODIFICATIONDATE DESC, ZNOTE.ROWID ASC");
        if (!select.ok()) {
            VarnekLog("SELECT ZNOTE Error %d %s", select.rc(), sqlite3_errmsg(db));
            return -98714;
        }
        while (select.step() == SQLITE_ROW) {
            sqlite3_stmt *row = select.get();
            QString title = ArchiveSql::text(row, 2);
            if (title.isEmpty())
                title = QStringLiteral("Untitled");
            notes.append(record(ArchiveSql::text(row, 0), dateSince2001(sqlite3_column_double(row, 1)), title, title,
                                ArchiveSql::text(row, 3)));
            ++count;
        }
    }
    gNumNotes.store(count);
    database.close();
    QFile::remove(path);
    return 0;
}

// The oldest generation: 0, -8711 (cannot open) or -8712 to -8716 (the five reads).
int readOldestNotes(const QString &path, QList<FRNoteInfoPtr> &notes)
{
    VarnekLog("running super old notes");
    if (path.isEmpty() || !QFileInfo::exists(path))
        return 0;
    DeviceDatabase database;
    if (const int rc = database.open(path); rc != SQLITE_OK) {
        VarnekLog("Error processing notes db file: (%d) %s", rc, qUtf8Printable(database.message()));
        return -8711;
    }
    sqlite3 *db = database.handle();
    const QString dateColumn = AppController::getClientVersion(db) >= 5 ? QStringLiteral("modification_date")
                                                                        : QStringLiteral("creation_date");
    const QString order = QStringLiteral(" FROM Note, note_bodies WHERE note_bodies.note_id = Note.ROWID ORDER BY Note.%1 "
                                         "DESC, Note.ROWID ASC")
                              .arg(dateColumn);
    struct Read
    {
        QString column;
        const char *log;
        int code;
    };
    const Read reads[] = {
        {QStringLiteral("Note.") + dateColumn, "sqlite3_exec: SELECT Note.creation_date Error %d %s", -8712},
        {QStringLiteral("Note.title"), "sqlite3_exec: 2 Error %d %s", -8713},
        {QStringLiteral("Note.summary"), "sqlite3_exec: 3 Error %d %s", -8714},
        {QStringLiteral("note_bodies.note_id"), "sqlite3_exec: 4 Error %d %s", -8715},
        {QStringLiteral("note_bodies.data"), "sqlite3_exec: 5 Error %d %s", -8716},
    };
    // One column per read; NULL reads as "" (a date as 0), so the five stay aligned row for row.
    QList<QStringList> columns;
    QList<double> dates;
    for (const Read &read : reads) {
        SqlStatement select(db, QStringLiteral("SELECT ") + read.column + order);
        QStringList values;
        int rc = select.rc();
        while (select.ok() && (rc = select.step()) == SQLITE_ROW) {
            if (&read == &reads[0])
                dates.append(sqlite3_column_double(select.get(), 0));
            values.append(ArchiveSql::text(select.get(), 0));
        }
        if (!select.ok() || rc != SQLITE_DONE) {
            VarnekLog(read.log, rc, sqlite3_errmsg(db));
            return read.code;
        }
        columns.append(values);
    }
    qsizetype rows = dates.size();
    for (const QStringList &values : columns)
        rows = std::min(rows, values.size());
    for (qsizetype i = 0; i < rows; ++i)
        notes.append(record(columns[3][i], dateSince2001(dates[i]), columns[1][i], columns[2][i], columns[4][i]));
    gNumNotes.store(int(dates.size()));
    database.close();
    QFile::remove(path);
    return 0;
}

void copyError(int *error, int code)
{
    if (error && code != 0)
        *error = code;
}

} // namespace

RecordSnapshot<FRNoteInfo> Notes::doGetNotes(AppController &controller, int *error)
{
    std::lock_guard notes(notesLock);
    if (controller.mHaveNotes.load())
        return gNotes;
    gNumNotes.store(0);
    gNotes = makeSnapshot<FRNoteInfo>({});
    if (!controller.sessionFilesReady(error))
        return nullptr;

    const QString temp = getTempDir();
    QList<FRNoteInfoPtr> list;
    int result = 0;
    if (is20Stuff.load()) {
        const QString store = controller.sessionFile({kNotesGroup}, QStringLiteral("NoteStore.sqlite"));
        if (!store.isEmpty() && QFileInfo::exists(store)) {
            const auto newest = NewestNotes::read(controller, store, temp, QDateTime::currentSecsSinceEpoch());
            list = newest.notes;
            gNumNotes.store(newest.count);
            DeviceDatabase::removeWithJournals(store);
        }
        if (gNumNotes.load() == 0)
            result = readMiddleNotes(controller.sessionFile({kHome}, QStringLiteral("Library/Notes/notes.sqlite")), list);
        VarnekLog("got %ld notes", long(gNumNotes.load()));
    } else {
        result = readOldestNotes(controller.sessionFile({kHome}, QStringLiteral("Library/Notes/notes.db")), list);
    }
    gNotes = makeSnapshot(std::move(list));

    if (result != 0) {
        copyError(error, result);
        return nullptr;
    }
    if (!controller.mCancelBackup.load())
        controller.mHaveNotes.store(true);
    if (controller.mHaveVoicemail.load() && controller.mHaveSMS.load())
        controller.saveManifestToPrefs();
    return controller.mHaveNotes.load() ? gNotes : nullptr;
}

void Notes::replaceNotes(QList<std::shared_ptr<FRNoteInfo>> notes)
{
    std::lock_guard lock(notesLock);
    gNotes = makeSnapshot(std::move(notes));
    gNumNotes.store(int(gNotes->size()));
}
