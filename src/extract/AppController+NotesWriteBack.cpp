// Edits made here written into the local copies of device databases before the window's
// edit queue restores them onto the device: notes added, changed and deleted in the oldest
// notes database ("notes.db"), and messages and calls deleted. Each operation is one
// transaction on a copy opened for it alone: it commits whole or leaves the copy as it was,
// and the copy is checkpointed and closed afterwards (extract/WritableCopy).

#include "device/AppController.h"

#include "archive/ArchiveSql.h"
#include "backup/WorkFolderNames.h"
#include "extract/Notes.h"
#include "extract/WritableCopy.h"
#include "interfaces/FRWindowHub.h"
#include "personal/FRNoteInfo.h"
#include "personal/NotesDataController.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QFile>
#include <QFileInfo>
#include <QUuid>

namespace {

const QString kHome = QStringLiteral("HomeDomain");
const QString kNotesPath = QStringLiteral("Library/Notes/notes.db");

// The device's message triggers call read(flags): 1 when bit 0x02 or 0x20 is set.
void readFunction(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    if (argc == 1 && sqlite3_value_type(argv[0]) == SQLITE_INTEGER) {
        const sqlite3_int64 flags = sqlite3_value_int64(argv[0]);
        sqlite3_result_int(context, (flags & 0x02) || (flags & 0x20) ? 1 : 0);
        return;
    }
    sqlite3_result_error(context, "not an int", -1);
}

QString newUUID()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

// The split point of a body longer than the limit: never inside a surrogate pair.
qsizetype splitPoint(const QString &body)
{
    qsizetype at = Notes::kNoteBodyLimit;
    if (body.at(at - 1).isHighSurrogate() && body.at(at).isLowSurrogate())
        --at;
    return at;
}

// Whether `text` ends inside a tag: its last "<" comes after its last ">".
bool endsInsideTag(const QString &text)
{
    return text.lastIndexOf(QLatin1Char('<')) > text.lastIndexOf(QLatin1Char('>'));
}

struct NoteRow
{
    QString title;
    QString summary;
    QString body;
    qint32 date;
};

int addNoteChange(sqlite3 *db, qint64 rowid, int type)
{
    static const char *const names[] = {"Add", "Update", "Delete"};
    SqlStatement insert(db, "INSERT INTO NoteChanges (record,type) VALUES (?, ?)");
    if (!insert.ok()) {
        VarnekLog("sqlite3_exec: 2 Prepare %s NoteChanges Error %d %s", names[type], insert.rc(), sqlite3_errmsg(db));
        return -4209;
    }
    insert.bind(1, rowid);
    insert.bindInt(2, type);
    const int rc = insert.step();
    if (rc != SQLITE_DONE) {
        VarnekLog("sqlite3_exec: 2 NoteChanges %s Error %d %s", names[type], rc, sqlite3_errmsg(db));
        return -99210;
    }
    return 0;
}

// Versions 3 to 5 count every change, version 5 also by transaction.
int raiseNoteCounters(sqlite3 *db, int version, int sequenceFailure, const char *sequenceLog)
{
    if (version >= 3 && !Notes::incrementCPRecordSequenceNumber(db)) {
        VarnekLog("%s", sequenceLog);
        return sequenceFailure;
    }
    if (version == 5 && !Notes::incrementLastTransactionID(db)) {
        VarnekLog("Can't add or increment trans num");
        return -1;
    }
    return 0;
}

int addNoteRows(sqlite3 *db, int version, const NoteRow &first, qint64 *firstRowid);
int updateNoteRow(sqlite3 *db, int version, const NoteRow &row, qint64 rowid);

} // namespace

bool Notes::incrementCPRecordSequenceNumber(sqlite3 *db)
{
    return incrementProp(db, QStringLiteral("__CPRecordSequenceNumber"));
}

bool Notes::incrementLastTransactionID(sqlite3 *db)
{
    return incrementProp(db, QStringLiteral("LastTransactionID"));
}

bool Notes::incrementProp(sqlite3 *db, const QString &prop)
{
    QString value;
    bool exists = false;
    {
        SqlStatement select(db, "SELECT value FROM _SqliteDatabaseProperties WHERE key=?");
        if (!select.ok()) {
            VarnekLog("sqlite3_exec: 1 Error incrementing %s %d %s", qUtf8Printable(prop), select.rc(), sqlite3_errmsg(db));
            return false;
        }
        select.bind(1, prop);
        int rc;
        while ((rc = select.step()) == SQLITE_ROW) {
            value = ArchiveSql::text(select.get(), 0);
            exists = true;
        }
        if (rc != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: 1 Error incrementing %s %d %s", qUtf8Printable(prop), rc, sqlite3_errmsg(db));
            return false;
        }
    }
    if (exists) {
        SqlStatement update(db, "UPDATE _SqliteDatabaseProperties SET value=? WHERE key=?");
        update.bind(1, value.toLongLong() + 1);
        update.bind(2, prop);
        const int rc = update.ok() ? update.step() : update.rc();
        if (rc != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: 1 incrementing %s update error %d %s", qUtf8Printable(prop), rc, sqlite3_errmsg(db));
            return false;
        }
        return true;
    }
    SqlStatement insert(db, "INSERT INTO _SqliteDatabaseProperties (key, value) VALUES (?, '1')");
    insert.bind(1, prop);
    const int rc = insert.ok() ? insert.step() : insert.rc();
    if (rc != SQLITE_DONE) {
        VarnekLog("sqlite3_exec: 1 incrementing %s insert error %d %s", qUtf8Printable(prop), rc, sqlite3_errmsg(db));
        return false;
    }
    return true;
}

int Notes::addUpdateNote(AppController &controller, const FRNoteInfo &note)
{
    const qint64 noteId = note.noteId();
    const qint64 rowid = note.keyString().toLongLong();
    NoteRow row{note.noteTitle(), note.summary(), note.rawNoteBody(),
                qint32(note.noteNSDate().toSecsSinceEpoch() - 978307200)};

    const QString path = getTempDir() + QStringLiteral("notes.db");
    WritableCopy copy;
    int version = 2;
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
        if (const int rc = copy.open(path); rc != SQLITE_OK) {
            VarnekLog("Error processing notes db file for add: (%d) %s", rc, qUtf8Printable(copy.message()));
            return -4206;
        }
        version = AppController::getClientVersion(copy.handle());
        if (version > 5) {
            VarnekLog("Notes db is client version %d", version);
            return 78;
        }
    } else {
        // Only a device without a notes database gets a new one; a fetched copy that went
        // missing is an error, never a reason to restore an empty database over the notes.
        if (!controller.sessionFileNames().nameFor(kHome, kNotesPath).isEmpty()) {
            VarnekLog("Error processing notes db file for add: (%d) %s", SQLITE_CANTOPEN, "the fetched copy is gone");
            return -4206;
        }
        if (const int rc = copy.create(path); rc != SQLITE_OK) {
            VarnekLog("Error processing notes db file for add: (%d) %s", rc, qUtf8Printable(copy.message()));
            return -4206;
        }
        const QString script =
            QStringLiteral("CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
                           "INSERT INTO _SqliteDatabaseProperties (key, value) VALUES ('_ClientVersion', '2');"
                           "INSERT INTO _SqliteDatabaseProperties (key, value) VALUES ('_UniqueIdentifier', '%1');"
                           "CREATE TABLE Note (creation_date INTEGER, title TEXT, summary TEXT);"
                           "CREATE TABLE note_bodies (note_id INTEGER, data, UNIQUE(note_id));"
                           "CREATE TRIGGER delete_note_bodies AFTER DELETE ON Note BEGIN DELETE FROM note_bodies "
                           "WHERE note_id = OLD.ROWID; END;")
                .arg(newUUID());
        QByteArray failure;
        if (const int rc = ArchiveSql::execInTransaction(copy.handle(), script.toUtf8().constData(), &failure);
            rc != SQLITE_OK) {
            VarnekLog("Error processing notes db creating table 1: (%d) %s", rc, failure.constData());
            copy.close();
            QFile::remove(path); // an empty file is no database to restore
            return -4211;
        }
    }

    sqlite3 *db = copy.handle();
    if (copy.begin() != SQLITE_OK) {
        VarnekLog("sqlite3_exec: BEGIN Error %d %s", sqlite3_errcode(db), sqlite3_errmsg(db));
        return -4206;
    }
    qint64 newRowid = 0;
    const int rc = noteId < 0 ? addNoteRows(db, version, row, &newRowid) : updateNoteRow(db, version, row, rowid);
    if (rc != 0) {
        copy.rollback();
        return rc;
    }
    if (const int commit = copy.commit(); commit != SQLITE_OK) {
        VarnekLog("sqlite3_exec: COMMIT Error %d %s", commit, sqlite3_errmsg(db));
        return -4210;
    }
    copy.close();
    if (noteId < 0) {
        // The list learns the new row id only once it is committed.
        if (FRWindowHub *hub = controller.window(); hub && hub->notesDataController())
            hub->notesDataController()->updateNoteId(noteId, newRowid);
    }
    return 0;
}

namespace {

int addNoteRows(sqlite3 *db, int version, const NoteRow &first, qint64 *firstRowid)
{
    NoteRow row = first;
    QString rest;
    for (int counter = 2;; ++counter) {
        if (row.body.size() > Notes::kNoteBodyLimit) {
            const qsizetype at = splitPoint(row.body);
            rest = row.body.mid(at);
            const bool cutTag = endsInsideTag(row.body.left(at));
            row.body.truncate(at);
            if (cutTag) {
                const qsizetype open = rest.indexOf(QLatin1Char('<')), close = rest.indexOf(QLatin1Char('>'));
                if (close >= 0 && (open < 0 || close < open))
                    rest = rest.mid(close + 1);
            }
        } else {
            rest.clear();
        }
        if (const int rc = raiseNoteCounters(db, version, 8078, "Can't add or increment seq number for add"); rc != 0)
            return rc;
        const char *sql = version <= 2 ? "INSERT INTO Note (creation_date, title, summary) VALUES (?, ?, ?)"
                          : version == 3
                              ? "INSERT INTO Note (creation_date, title, summary, contains_cjk) VALUES (?, ?, ?, ?)"
                              : "INSERT INTO Note (creation_date, title, summary, contains_cjk, modification_date, "
                                "author, content_type) VALUES (?, ?, ?, ?, ?, ?, ?)";
        qint64 rowid = 0;
        {
            SqlStatement insert(db, sql);
            if (!insert.ok()) {
                VarnekLog("sqlite3_exec: 1 Prepare Add Error %d %s", insert.rc(), sqlite3_errmsg(db));
                return -4207;
            }
            insert.bind(1, qint64(row.date));
            insert.bind(2, row.title);
            insert.bind(3, row.summary);
            if (version >= 3)
                insert.bindInt(4, 0);
            if (version == 5) {
                insert.bind(5, qint64(row.date));
                insert.bind(6, QStringLiteral(""));
                insert.bindInt(7, 0);
            }
            if (const int rc = insert.step(); rc != SQLITE_DONE) {
                VarnekLog("sqlite3_exec: 1 Do Add Error %d %s", rc, sqlite3_errmsg(db));
                return -4208;
            }
            rowid = sqlite3_last_insert_rowid(db);
        }
        {
            SqlStatement orphan(db, "SELECT note_id FROM note_bodies WHERE note_id=?");
            if (!orphan.ok()) {
                VarnekLog("sqlite3_exec: Check for orphans Notes DB Error %d %s", orphan.rc(), sqlite3_errmsg(db));
                return -4215;
            }
            orphan.bind(1, rowid);
            if (orphan.step() == SQLITE_ROW) {
                SqlStatement remove(db, "DELETE FROM note_bodies WHERE note_id=?");
                remove.bind(1, rowid);
                if (const int rc = remove.ok() ? remove.step() : remove.rc(); rc != SQLITE_DONE) {
                    VarnekLog("sqlite3_exec: Orphan Notes Delete Error %d %s", rc, sqlite3_errmsg(db));
                    return -4216;
                }
            }
        }
        {
            SqlStatement body(db, "INSERT INTO note_bodies (note_id, data) VALUES (?, ?)");
            if (!body.ok()) {
                VarnekLog("sqlite3_exec: 2 Prepare Add Note Error %d %s", body.rc(), sqlite3_errmsg(db));
                return -4209;
            }
            body.bind(1, rowid);
            body.bind(2, row.body);
            if (const int rc = body.step(); rc != SQLITE_DONE) {
                VarnekLog("sqlite3_exec: 2 Add Error %d %s", rc, sqlite3_errmsg(db));
                return -4210;
            }
        }
        if (version == 5) {
            if (const int rc = addNoteChange(db, rowid, 0); rc != 0)
                return rc;
        }
        if (*firstRowid == 0)
            *firstRowid = rowid;
        if (rest.isEmpty())
            return 0;
        row.title = QStringLiteral("%1 %2").arg(first.title).arg(counter);
        row.body = QStringLiteral("<html>") + rest;
    }
}

int updateNoteRow(sqlite3 *db, int version, const NoteRow &row, qint64 rowid)
{
    if (const int rc = raiseNoteCounters(db, version, -4210, "Can't add or increment seq number for update"); rc != 0)
        return rc;
    {
        SqlStatement update(db, version == 5
                                    ? "UPDATE Note SET modification_date=?, title=?, summary=?, content_type=0 WHERE rowid=?"
                                    : "UPDATE Note SET creation_date=?, title=?, summary=? WHERE rowid=?");
        if (!update.ok()) {
            VarnekLog("sqlite3_exec: 1 Update Prepare Error %d %s", update.rc(), sqlite3_errmsg(db));
            return -4211;
        }
        update.bind(1, qint64(row.date));
        update.bind(2, row.title);
        update.bind(3, row.summary);
        update.bind(4, rowid);
        if (const int rc = update.step(); rc != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: 1 Update Error %d %s", rc, sqlite3_errmsg(db));
            return -4212;
        }
        if (sqlite3_changes(db) == 0) {
            VarnekLog("sqlite3_exec: 1 Update Error %d %s", SQLITE_NOTFOUND, "no such note");
            return Notes::kNoSuchRow;
        }
    }
    {
        SqlStatement update(db, "UPDATE note_bodies SET data=? WHERE note_id=?");
        if (!update.ok()) {
            VarnekLog("sqlite3_exec: 2 Update Prepare Error %d %s", update.rc(), sqlite3_errmsg(db));
            return -4213;
        }
        update.bind(1, row.body);
        update.bind(2, rowid);
        if (const int rc = update.step(); rc != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: 2 Update Error %d %s", rc, sqlite3_errmsg(db));
            return -4214;
        }
        if (sqlite3_changes(db) == 0) {
            VarnekLog("sqlite3_exec: 2 Update Error %d %s", SQLITE_NOTFOUND, "the note has no body");
            return Notes::kNoSuchRow;
        }
    }
    if (version == 5) {
        if (const int rc = addNoteChange(db, rowid, 1); rc != 0)
            return rc;
    }
    return 0;
}

} // namespace

int Notes::deleteNote(int rowid)
{
    WritableCopy copy;
    if (const int rc = copy.open(getTempDir() + QStringLiteral("notes.db")); rc != SQLITE_OK) {
        VarnekLog("Error processing notes db file for delete: (%d) %s", rc, qUtf8Printable(copy.message()));
        return -1;
    }
    sqlite3 *db = copy.handle();
    const int version = AppController::getClientVersion(db);
    if (version > 5) {
        VarnekLog("Notes db is client version %d", version);
        return 78;
    }
    if (copy.begin() != SQLITE_OK) {
        VarnekLog("sqlite3_exec: BEGIN Error %d %s", sqlite3_errcode(db), sqlite3_errmsg(db));
        return -1;
    }
    int result = raiseNoteCounters(db, version, -1, "Can't add or increment seq number");
    if (result == 0) {
        SqlStatement remove(db, "DELETE FROM Note WHERE rowid=?");
        remove.bindInt(1, rowid);
        const int rc = remove.ok() ? remove.step() : remove.rc();
        if (rc != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: 1 Delete Error %d %s", rc, sqlite3_errmsg(db));
            result = -1;
        } else if (sqlite3_changes(db) == 0) {
            VarnekLog("sqlite3_exec: 1 Delete Error %d %s", SQLITE_NOTFOUND, "no such note");
            result = Notes::kNoSuchRow;
        }
    }
    if (result == 0) {
        SqlStatement remove(db, "DELETE FROM note_bodies WHERE note_id=?");
        remove.bindInt(1, rowid);
        const int rc = remove.ok() ? remove.step() : remove.rc();
        if (rc != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: 2 Delete Error %d %s", rc, sqlite3_errmsg(db));
            result = -1;
        }
    }
    if (result == 0 && version == 5)
        result = addNoteChange(db, rowid, 2);
    if (result != 0) {
        copy.rollback();
        return result;
    }
    if (const int rc = copy.commit(); rc != SQLITE_OK) {
        VarnekLog("sqlite3_exec: COMMIT Error %d %s", rc, sqlite3_errmsg(db));
        return -1;
    }
    return 0;
}

int Notes::deleteItem(int rowid, const QString &devicePath, const QString &table)
{
    // The table is spliced into the statement: only the two the edit queue names.
    if (table != QLatin1String("message") && table != QLatin1String("call")) {
        VarnekLog("sqlite3_exec: Delete %s Error %d %s", qUtf8Printable(table), SQLITE_MISUSE, "unknown table");
        return -1;
    }
    const QString name = QFileInfo(devicePath).fileName();
    WritableCopy copy;
    const int opened = name.isEmpty() || name == QLatin1String("..") ? SQLITE_CANTOPEN : copy.open(getTempDir() + name);
    if (opened != SQLITE_OK) {
        VarnekLog("Error processing %s db file for delete: (%d) %s", qUtf8Printable(devicePath), opened,
                  qUtf8Printable(copy.message()));
        return -1;
    }
    sqlite3 *db = copy.handle();
    int highest = 5;
    if (table == QLatin1String("message")) {
        const int rc = sqlite3_create_function(db, "read", 1, SQLITE_UTF8, nullptr, readFunction, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            VarnekLog("Error sqlite3_create_function: (%d) %s", rc, sqlite3_errmsg(db));
            return -4212;
        }
        highest = 11;
    }
    const int version = AppController::getClientVersion(db);
    if (version > highest) {
        VarnekLog("%s db is client version %d", qUtf8Printable(devicePath), version);
        return 78;
    }
    if (copy.begin() != SQLITE_OK) {
        VarnekLog("sqlite3_exec: BEGIN Error %d %s", sqlite3_errcode(db), sqlite3_errmsg(db));
        return -1;
    }
    int result = 0;
    {
        SqlStatement remove(db, QStringLiteral("DELETE FROM %1 WHERE rowid=?").arg(table));
        remove.bindInt(1, rowid);
        const int rc = remove.ok() ? remove.step() : remove.rc();
        if (rc != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: Delete %s Error %d %s", qUtf8Printable(table), rc, sqlite3_errmsg(db));
            result = -1;
        } else if (sqlite3_changes(db) == 0) {
            VarnekLog("sqlite3_exec: Delete %s Error %d %s", qUtf8Printable(table), SQLITE_NOTFOUND, "no such row");
            result = Notes::kNoSuchRow;
        }
    }
    if (result != 0) {
        copy.rollback();
        return result;
    }
    if (const int rc = copy.commit(); rc != SQLITE_OK) {
        VarnekLog("sqlite3_exec: Delete %s Error %d %s", qUtf8Printable(table), rc, sqlite3_errmsg(db));
        return -1;
    }
    return 0;
}
