// Putting rows into an archive and taking them out again: the duplicate check, messages
// with their attachments, calls and voicemail, the archive view's deletes and their undo,
// the device name, attachment thumbnails and archived contact names.
//
// Callers hold localLock (extraction also holds an open transaction around many calls);
// the operations that take it themselves say so.

#include "device/AppController.h"

#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSchema.h"
#include "archive/ArchiveSql.h"
#include "archive/ArchiveThisSetting.h"
#include "archive/PieceFiles.h"
#include "archive/PieceNames.h"
#include "archive/QNArchive.h"
#include "backup/DeviceBackup.h"
#include "backup/Keybag.h"
#include "messages/FRSMSInfo.h"
#include "personal/FRCallInfo.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <array>

namespace {

const QString kTombstone = QStringLiteral("---DELETED---");

bool isArchiveTable(const QString &table)
{
    return table == QLatin1String("message") || table == QLatin1String("call")
        || table == QLatin1String("voicemail");
}

// Prepares a kept statement of the handle when it is not prepared yet.
int prepareKept(const ArchiveDBPtr &db, ArchiveDB::Kept which, const char *sql)
{
    sqlite3_stmt *&statement = db->kept(which);
    if (statement)
        return SQLITE_OK;
    const int rc = sqlite3_prepare_v2(db->handle(), sql, -1, &statement, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(statement);
        statement = nullptr;
    }
    return rc;
}

void bindText(sqlite3_stmt *statement, int index, const QString &text)
{
    if (text.isNull()) {
        sqlite3_bind_null(statement, index);
        return;
    }
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(statement, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

// The UTF-8 texts bound to one statement, held until it has run: SQLite then reads them in
// place instead of making a copy of each.
class HeldTexts
{
public:
    void bind(sqlite3_stmt *statement, int index, const QString &text)
    {
        if (text.isNull()) {
            sqlite3_bind_null(statement, index);
            return;
        }
        const QByteArray &utf8 = mHeld.at(mCount++) = text.toUtf8(); // at(): more binds than room never write past it
        sqlite3_bind_text(statement, index, utf8.constData(), int(utf8.size()), SQLITE_STATIC);
    }

private:
    std::array<QByteArray, 8> mHeld;
    size_t mCount = 0;
};

// Resets a statement on every way out of a scope.
struct ResetOnExit
{
    sqlite3_stmt *statement;
    ~ResetOnExit()
    {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
};

// The remote id of a record as the 64-bit number the archive stores.
qint64 remoteNumber(const QVariant &remote)
{
    return remote.typeId() == QMetaType::QString ? leadingInteger(remote.toString()) : remote.toLongLong();
}

} // namespace

bool AppController::checkForItem(const QString &item, int64_t date, const QVariant &otherValue,
                                 const QString &table, const QString &device, int *error)
{
    Q_UNUSED(otherValue);
    int openError = 0;
    const ArchiveDBPtr db = getBackupDB(device, &openError);
    if (!db) {
        VarnekLog("Error opening Backup %s DB file (%d)", qUtf8Printable(table), openError);
        if (error)
            *error = openError;
        return false;
    }
    std::lock_guard local(localLock);
    sqlite3 *handle = db->handle();
    if (!db->kept(ArchiveDB::CheckMessage) && !MainThread::isMainThread())
        ArchiveSchema::upkeepIndexes(handle, db->key());
    // The row id comes along so that a found row is the one removed below.
    for (auto [which, sql] : {std::pair{ArchiveDB::CheckMessage,
                                        "SELECT text, date, rowid FROM message WHERE date=? and html=? LIMIT 1"},
                              std::pair{ArchiveDB::CheckVoicemail,
                                        "SELECT rowid FROM voicemail WHERE date=? and address=? LIMIT 1"},
                              std::pair{ArchiveDB::CheckCall,
                                        "SELECT rowid FROM call WHERE date=? and address=? LIMIT 1"}}) {
        const int rc = prepareKept(db, which, sql);
        if (rc != SQLITE_OK) {
            VarnekLog("sqlite3_exec: Local SMS prepare check Error %d %s", rc, sqlite3_errmsg(handle));
            // Unchecked is not absent: the caller must not store a twin on its word.
            if (error)
                *error = rc;
            return false;
        }
    }
    const bool message = table == QLatin1String("message");
    sqlite3_stmt *statement = db->kept(message ? ArchiveDB::CheckMessage
                                       : table == QLatin1String("call") ? ArchiveDB::CheckCall
                                                                         : ArchiveDB::CheckVoicemail);
    ResetOnExit reset{statement};
    sqlite3_bind_int64(statement, 1, date);
    bindText(statement, 2, item.isNull() ? QString(QStringLiteral("")) : item);
    if (const int rc = sqlite3_step(statement); rc != SQLITE_ROW) {
        if (rc != SQLITE_DONE && error)
            *error = rc;
        return false;
    }
    if (message && item.isEmpty()) {
        // Archived before its content was known: the row found is replaced by the caller.
        const qint64 rowid = sqlite3_column_int64(statement, 2);
        SqlStatement remove(handle, "DELETE FROM message WHERE rowid=?");
        remove.bind(1, rowid);
        const int rc = remove.ok() ? remove.step() : remove.rc();
        if (rc != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: Local SMS Delete Error %d %s", rc, sqlite3_errmsg(handle));
            return true;
        }
        SqlStatement pieces(handle, "DELETE FROM smsbackuppieces WHERE smsid=?");
        pieces.bind(1, rowid);
        if (pieces.ok())
            pieces.step();
        return false;
    }
    return true;
}

bool AppController::securePieceFile(const QString &path, const QString &name, const QString &device,
                                    const QString &destination, const DeviceBackupPtr &backup)
{
    if (QFileInfo(destination).isFile())
        return true;
    QString error;
    const QString temp = getTempDir() + name;
    if (QFileInfo(temp).isFile()) {
        if (PieceFiles::copyIntoPlace(temp, destination, &error))
            return true;
        VarnekLog("Error copying file for add message piece to archive with path 2 Error %s", qUtf8Printable(error));
        return false;
    }
    const QString cached = QDir(pieceFolderPathForDevice(device, false)).filePath(name);
    if (QFileInfo(cached).isFile()) {
        if (PieceFiles::copyIntoPlace(cached, destination, &error))
            return true;
        VarnekLog("Error copying file for add message piece to archive with path Error %s", qUtf8Printable(error));
        return false;
    }
    // A file of the device backup: a link into the backup folder, or the file itself.
    const QFileInfo info(path);
    const QString source = info.isSymLink() ? info.symLinkTarget() : path;
    if (source.isEmpty() || !QFileInfo(source).isFile())
        return false;
    if (backup && backup->encrypted()) {
        const QVariantMap entry = backup->keysNClasses().value(name).toMap();
        const auto keybag = backup->keybag();
        if (entry.isEmpty() || !keybag) {
            VarnekLog("Can't decrypt large file for add linked message piece to archive with path");
            return false;
        }
        if (!keybag->decryptFile(source, destination, entry.value(QStringLiteral("key")).toByteArray(),
                                 entry.value(QStringLiteral("class")).toUInt())) {
            VarnekLog("Error decrypting large file for add linked message piece to archive with path");
            return false;
        }
        return true;
    }
    if (!PieceFiles::copyIntoPlace(source, destination, &error)) {
        VarnekLog("Error copying file for add linked message piece to archive with path Error %s",
                  qUtf8Printable(error));
        return false;
    }
    return true;
}

bool AppController::addSMSToBackup(FRSMSInfo &sms, const QString &device, bool preserveID, int *error,
                                   const DeviceBackupPtr &backup, bool processingCurrentDevice)
{
    int localError = 0;
    int *err = error ? error : &localError;
    const ArchiveDBPtr db = getBackupDB(device, err);
    if (!db)
        return false;
    std::lock_guard local(localLock);
    sqlite3 *handle = db->handle();
    const qint64 date = sms.SMSNSDate().toSecsSinceEpoch();

    if (preserveID) {
        // Undo: the tombstone of the same row goes (found by its row id: an old row's stored
        // date may differ from the repaired date the record carries).
        SqlStatement remove(handle, "DELETE FROM message WHERE rowid=? AND address=?");
        remove.bindInt(1, sms.itemId());
        remove.bind(2, kTombstone);
        const int rc = remove.ok() ? remove.step() : remove.rc();
        if (rc != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: Local SMS undo Delete Error %d %s", rc, sqlite3_errmsg(handle));
            return false;
        }
    }
    const ArchiveDB::Kept which = preserveID ? ArchiveDB::AddMessageKeepingRow : ArchiveDB::AddMessage;
    int rc = prepareKept(db, which,
                         preserveID ? "INSERT INTO message (id, date, address, text, flags, html, sender, grouptitle, "
                                      "recipientnames, sendername, ROWID) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                                    : "INSERT INTO message (id, date, address, text, flags, html, sender, grouptitle, "
                                      "recipientnames, sendername) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (rc == SQLITE_OK) {
        sqlite3_stmt *insert = db->kept(which);
        HeldTexts texts; // outlives the reset below
        ResetOnExit reset{insert};
        sqlite3_bind_int64(insert, 1, remoteNumber(sms.remoteId()));
        sqlite3_bind_int64(insert, 2, date);
        texts.bind(insert, 3, sms.SMSNumber());
        texts.bind(insert, 4, sms.SMSRawText());
        sqlite3_bind_int(insert, 5, sms.SMSFlagsInt());
        texts.bind(insert, 6, sms.SMSFullHTML());
        texts.bind(insert, 7, sms.SMSNumberSpecific());
        texts.bind(insert, 8, sms.GroupTitle());
        texts.bind(insert, 9, sms.RecipientNames());
        texts.bind(insert, 10, sms.SenderName());
        if (preserveID)
            sqlite3_bind_int(insert, 11, sms.itemId());
        rc = sqlite3_step(insert);
    }
    if (rc != SQLITE_DONE) {
        VarnekLog("sqlite3_exec: 1 Backup Add Error %d %s", rc, sqlite3_errmsg(handle));
        *err = kAddMessageFailed;
        return false;
    }
    const qint64 smsid = sqlite3_last_insert_rowid(handle);
    const QStringList keys = sms.fileids();
    if (keys.isEmpty())
        return true;

    if ((rc = prepareKept(db, ArchiveDB::BackPiece, "INSERT INTO smsbackuppieces (smsid, uuid, data) VALUES (?, ?, ?)"))
        != SQLITE_OK) {
        VarnekLog("sqlite3_exec: 2 Prepare Add sms piece to backup Error %d %s", rc, sqlite3_errmsg(handle));
        *err = kPrepareAddPieceFailed;
        return false;
    }
    if ((rc = prepareKept(db, ArchiveDB::BackPiecePath,
                          "INSERT INTO smsbackuppieces (smsid, uuid, path) VALUES (?, ?, ?)"))
        != SQLITE_OK) {
        VarnekLog("sqlite3_exec: 2 Prepare Add sms piece to backup with path Error %d %s", rc, sqlite3_errmsg(handle));
        *err = kPrepareAddPiecePathFailed;
        return false;
    }
    const QVariantMap files = sms.files();
    for (const QString &key : keys) {
        const QString uuid = key.section(QLatin1Char('/'), -1);
        QVariant piece = files.value(uuid);
        if (!piece.isValid())
            piece = getPieceFile(key, uuid, device, !processingCurrentDevice, backup);
        if (!piece.isValid() || piece.isNull())
            continue;
        if (piece.typeId() == QMetaType::QByteArray) {
            sqlite3_stmt *statement = db->kept(ArchiveDB::BackPiece);
            const QByteArray data = piece.toByteArray(); // read in place: outlives the reset
            ResetOnExit reset{statement};
            sqlite3_bind_int64(statement, 1, smsid);
            bindText(statement, 2, uuid);
            sqlite3_bind_blob64(statement, 3, data.constData(), sqlite3_uint64(data.size()), SQLITE_STATIC);
            if ((rc = sqlite3_step(statement)) != SQLITE_DONE) {
                VarnekLog("sqlite3_exec: 2 Add sms backup piece Error %d %s", rc, sqlite3_errmsg(handle));
                *err = kAddPieceFailed;
                return false;
            }
            continue;
        }
        const QString path = piece.toString();
        const QString name = QFileInfo(path).fileName();
        if (!PieceNames::isPlainName(name)) {
            VarnekLog("Skipping a message piece without a usable file name");
            continue;
        }
        const QString folder = pieceFolderPathForDevice(device, true);
        const QString destination = QDir(folder).filePath(name);
        // The file is secured before its row is written: a row never points at nothing.
        if (!securePieceFile(path, name, device, destination, backup)) {
            if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink())
                continue; // nothing to archive: skipped like a piece that cannot be found
            *err = kPieceFileFailed;
            return false;
        }
        sqlite3_stmt *statement = db->kept(ArchiveDB::BackPiecePath);
        ResetOnExit reset{statement};
        sqlite3_bind_int64(statement, 1, smsid);
        bindText(statement, 2, uuid);
        bindText(statement, 3, QFileInfo(folder).fileName() + QLatin1Char('/') + name);
        if ((rc = sqlite3_step(statement)) != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: 2 Add sms backup piece with path Error %d %s", rc, sqlite3_errmsg(handle));
            *err = kAddPiecePathFailed;
            return false;
        }
    }
    sms.clearFiles();
    return true;
}

bool AppController::addCallOrVoicemail(const FRCallInfo &call, const QString &device, bool preserveID,
                                       int *error, bool voicemail)
{
    int localError = 0;
    if (!error)
        error = &localError;
    const ArchiveDBPtr db = getBackupDB(device, error);
    if (!db)
        return false;
    // Every failure below leaves its SQLite code: the runs end on a set error, and without
    // one a record that was never stored would pass for stored.
    std::lock_guard local(localLock);
    sqlite3 *handle = db->handle();
    const QDateTime when = call.CallNSDate();
    const qint64 date = when.isValid() ? when.toSecsSinceEpoch() : 0;
    const char *table = voicemail ? "voicemail" : "call";
    if (preserveID) {
        SqlStatement remove(handle, QStringLiteral("DELETE FROM %1 WHERE rowid=? AND address=?").arg(QLatin1String(table)));
        remove.bindInt(1, call.itemId());
        remove.bind(2, kTombstone);
        const int rc = remove.ok() ? remove.step() : remove.rc();
        if (rc != SQLITE_DONE) {
            VarnekLog(voicemail ? "sqlite3_exec: Local voicemail undo Delete Error %d %s"
                                : "sqlite3_exec: Local call undo Delete Error %d %s",
                      rc, sqlite3_errmsg(handle));
            *error = rc;
            return false;
        }
    }
    SqlStatement insert;
    if (voicemail)
        insert.prepare(handle, preserveID ? "INSERT INTO voicemail (ROWID, id, date, address, duration, flags, amr) "
                                            "VALUES (?, ?, ?, ?, ?, ?, ?)"
                                          : "INSERT INTO voicemail (id, date, address, duration, flags, amr) "
                                            "VALUES (?, ?, ?, ?, ?, ?)");
    else
        insert.prepare(handle, preserveID ? "INSERT INTO call (id, date, address, duration, flags, provider, name, "
                                            "ROWID) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"
                                          : "INSERT INTO call (id, date, address, duration, flags, provider, name) "
                                            "VALUES (?, ?, ?, ?, ?, ?, ?)");
    if (!insert.ok()) {
        VarnekLog(voicemail ? "sqlite3_exec: 2 Prepare Add voicemail to backup Error %d %s"
                            : "sqlite3_exec: 2 Prepare Add call to backup Error %d %s",
                  insert.rc(), sqlite3_errmsg(handle));
        *error = insert.rc();
        return false;
    }
    int index = 1;
    if (voicemail && preserveID)
        insert.bindInt(index++, call.itemId());
    insert.bind(index++, remoteNumber(call.remoteId()));
    insert.bindDouble(index++, double(date));
    insert.bind(index++, call.CallNumber());
    insert.bindInt(index++, call.CallSeconds());
    insert.bindInt(index++, call.CallFlags());
    if (voicemail) {
        insert.bind(index++, call.amr());
    } else {
        const QVariant provider = call.CallProvider();
        insert.bind(index++, provider.isValid() ? provider.toString() : QString());
        const QVariant name = call.CallDBName();
        insert.bind(index++, name.isValid() ? name.toString() : QString());
        if (preserveID)
            insert.bindInt(index++, call.itemId());
    }
    const int rc = insert.step();
    if (rc != SQLITE_DONE) {
        VarnekLog(voicemail ? "sqlite3_exec: 2 Add voicemail to backup Error %d %s"
                            : "sqlite3_exec: 2 Add call to backup Error %d %s",
                  rc, sqlite3_errmsg(handle));
        *error = rc;
        return false;
    }
    return true;
}

bool AppController::addCallToBackup(const FRCallInfo &call, const QString &device, bool preserveID, int *error)
{
    return addCallOrVoicemail(call, device, preserveID, error, false);
}

bool AppController::addVoicemailToBackup(const FRCallInfo &voicemail, const QString &device, bool preserveID,
                                         int *error)
{
    return addCallOrVoicemail(voicemail, device, preserveID, error, true);
}

QStringList AppController::backupPieceFiles(int rowid, const QString &device)
{
    QStringList paths;
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(device, &error);
    if (!db) {
        VarnekLog("Error opening SMS Backup DB file for find and delete part files: (%d) %s", error, "");
        return paths;
    }
    std::lock_guard local(localLock);
    SqlStatement select(db->handle(), "SELECT path from smsbackuppieces where smsid=? and path != ''");
    if (!select.ok())
        return paths;
    select.bindInt(1, rowid);
    while (select.step() == SQLITE_ROW) {
        const QString relative = PieceNames::checkedRelativePath(ArchiveSql::text(select.get(), 0));
        if (!relative.isEmpty())
            paths << QDir(archiveFolderPath()).filePath(relative);
    }
    return paths;
}

void AppController::sendBackupPieceFilesToTemp(int rowid, const QString &device)
{
    // Moved, not deleted: an undo finds them in the temporary folder.
    for (const QString &path : backupPieceFiles(rowid, device))
        safeMoveToTemp(path);
}

bool AppController::deleteLocalItem(int rowid, const QString &table, const QString &device)
{
    return deleteLocal(rowid, table, device, false);
}

bool AppController::deleteLocalItemForReal(int rowid, const QString &table, const QString &device)
{
    return deleteLocal(rowid, table, device, true);
}

bool AppController::deleteLocal(int rowid, const QString &table, const QString &device, bool forReal)
{
    if (!isArchiveTable(table))
        return false;
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(device, &error);
    if (!db) {
        VarnekLog("Error opening SMS Backup DB file for delete: (%d) %s", error, "");
        return false;
    }
    std::lock_guard local(localLock);
    sqlite3 *handle = db->handle();
    const bool message = table == QLatin1String("message");
    // The attachment files are moved only once the database has changed: a failed change
    // keeps the files where the rows say they are.
    const QStringList pieceFiles = message ? backupPieceFiles(rowid, device) : QStringList();

    int rc = ArchiveSql::exec(handle, "SAVEPOINT deletelocal");
    if (rc == SQLITE_OK && !forReal && table == QLatin1String("voicemail")) {
        SqlStatement clear(handle, "UPDATE voicemail SET amr=? WHERE ROWID=?");
        clear.bind(1, QByteArray("", 0));
        clear.bindInt(2, rowid);
        const int code = clear.ok() ? clear.step() : clear.rc();
        if (code != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: 2 Add AMR Error %d %s", code, sqlite3_errmsg(handle));
            ArchiveSql::exec(handle, "ROLLBACK TO deletelocal; RELEASE deletelocal;");
            return false;
        }
    }
    const auto run = [&](const char *sql, bool tombstone) {
        QString text = QString::fromLatin1(sql);
        text.replace(QLatin1String("%1"), table); // a table name of the fixed three
        SqlStatement statement(handle, text);
        if (!statement.ok())
            return statement.rc();
        int index = 1;
        if (tombstone)
            for (int i = 0; i < (message ? 4 : 1); ++i)
                statement.bind(index++, kTombstone);
        statement.bindInt(index, rowid);
        const int code = statement.step();
        return code == SQLITE_DONE ? SQLITE_OK : code;
    };
    if (rc == SQLITE_OK) {
        if (forReal)
            rc = run("DELETE FROM %1 WHERE rowid=?", false);
        else if (message)
            rc = run("UPDATE %1 SET text=?, html=?, address=?, sender=? WHERE rowid=?", true);
        else
            rc = run("UPDATE %1 SET address=? WHERE rowid=?", true);
        if (rc == SQLITE_OK && message)
            rc = run("DELETE FROM smsbackuppieces WHERE smsid=?", false);
    }
    if (rc != SQLITE_OK) {
        VarnekLog(forReal ? "sqlite3_exec: Local DELETE %s Error %d %s" : "sqlite3_exec: Local Clear %s Error %d %s",
                  qUtf8Printable(table), rc, sqlite3_errmsg(handle));
        ArchiveSql::exec(handle, "ROLLBACK TO deletelocal; RELEASE deletelocal;");
        return false;
    }
    rc = ArchiveSql::exec(handle, "RELEASE deletelocal");
    if (rc != SQLITE_OK) {
        VarnekLog(forReal ? "sqlite3_exec: Local DELETE %s Error %d %s" : "sqlite3_exec: Local Clear %s Error %d %s",
                  qUtf8Printable(table), rc, sqlite3_errmsg(handle));
        return false;
    }
    for (const QString &path : pieceFiles)
        safeMoveToTemp(path);
    return true;
}

void AppController::loadSMSPiecesIntoMemoryForUndo(FRSMSInfo &sms, const QString &device)
{
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(device, &error);
    if (!db) {
        VarnekLog("Error getting SMS Backup DB file for pieces: (%d) %s", error, "");
        return;
    }
    std::lock_guard local(localLock);
    SqlStatement select(db->handle(), "SELECT uuid, data, path from smsbackuppieces WHERE smsid=?");
    if (!select.ok()) {
        VarnekLog("sqlite3_exec: prepare sms pieces query error (%d) %s", select.rc(), sqlite3_errmsg(db->handle()));
        return;
    }
    select.bindInt(1, sms.itemId());
    QVariantMap files;
    while (select.step() == SQLITE_ROW) {
        const QString uuid = ArchiveSql::text(select.get(), 0);
        const QByteArray data = ArchiveSql::blob(select.get(), 1);
        const QString relative = PieceNames::checkedRelativePath(ArchiveSql::text(select.get(), 2));
        if (!data.isEmpty())
            files.insert(uuid, data);
        else if (!relative.isEmpty())
            files.insert(uuid, QDir(archiveFolderPath()).filePath(relative));
    }
    if (!files.isEmpty())
        sms.setFiles(files);
}

void AppController::addProps(const ArchiveDBPtr &db, const QString &key, const QString &name)
{
    if (!db)
        return;
    std::lock_guard local(localLock);
    if (ArchiveSql::probe(db->handle(), "SELECT * FROM props WHERE key='phonename'"))
        return;
    VarnekLog("create props later");
    if (ArchiveSchema::addPropsTable(db->handle(), name.isNull() ? deviceName() : name) != SQLITE_OK)
        return;
    const QString uid = key.isEmpty() ? connectedDeviceID() : key;
    if (!gArchiveThisSetting.load())
        ArchiveSql::exec(db->handle(), "INSERT OR REPLACE INTO props (key, value) VALUES ('archive', 'NO');");
    // The list belongs to the main thread: it is handed the work, queued; nothing here waits
    // for the main thread while holding the archive lock.
    onMain([this, uid] {
        if (auto archive = QNArchive::initWithUuid(uid, devices, archiveFolderPath())) {
            QList<std::shared_ptr<QNArchive>> list = devices;
            list.append(archive);
            setDevicesOnMain(list);
        }
        NotificationCenter::defaultCenter().postNotificationName(QStringLiteral("QNArchiveEdited"), nullptr);
    });
}

bool AppController::writeThumbnailToBackup(int rowid, const QString &device, const QString &uuid,
                                           const QByteArray &thumbnail)
{
    std::lock_guard local(localLock);
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(device, &error);
    if (!db) {
        VarnekLog("Error getting SMS Backup DB file for pieces: (%d) %s", error, "");
        return false;
    }
    SqlStatement update(db->handle(), "UPDATE smsbackuppieces SET thumbnail=? WHERE smsid=? AND uuid=?");
    if (!update.ok()) {
        VarnekLog("sqlite3_exec: 2 Prepare Add sms piece to backup Error %d %s", update.rc(),
                  sqlite3_errmsg(db->handle()));
        return false;
    }
    update.bind(1, thumbnail);
    update.bindInt(2, rowid);
    update.bind(3, uuid);
    const int rc = update.step();
    if (rc != SQLITE_DONE) {
        VarnekLog("sqlite3_exec: 3 Add sms backup piece Error %d %s", rc, sqlite3_errmsg(db->handle()));
        return false;
    }
    return true;
}

int AppController::addContactToCache(const QVariantMap &contact, const QString &forKey, const QString &toDB,
                                     bool update)
{
    std::lock_guard local(localLock);
    int error = ArchiveSchema::kNoKey;
    const ArchiveDBPtr db = getBackupDB(toDB, &error);
    if (!db)
        return error;
    sqlite3 *handle = db->handle();
    SqlStatement check(handle, "SELECT id FROM contacts WHERE id=? LIMIT 1");
    if (!check.ok()) {
        VarnekLog("sqlite3_exec: 2 Prepare check in contact cache Error %d %s", check.rc(), sqlite3_errmsg(handle));
        return check.rc();
    }
    check.bind(1, forKey);
    const bool present = check.step() == SQLITE_ROW;
    if (contact.isEmpty() || (present && !update))
        return 0;
    const QString name = contact.value(QStringLiteral("name")).toString();
    const QByteArray image = contact.value(QStringLiteral("image")).toByteArray();
    SqlStatement write;
    if (!present) {
        if (write.prepare(handle, "INSERT INTO contacts (id, name, image) VALUES (?, ?, ?)") != SQLITE_OK) {
            VarnekLog("sqlite3_exec: 2 Prepare Add to cache Error %d %s", write.rc(), sqlite3_errmsg(handle));
            return write.rc();
        }
        write.bind(1, forKey);
        write.bind(2, name);
        write.bind(3, image);
    } else if (!image.isEmpty()) {
        if (write.prepare(handle, "UPDATE contacts SET name=?, image=? where id=?") != SQLITE_OK) {
            VarnekLog("sqlite3_exec: 2 Prepare update contact cache Error %d %s", write.rc(), sqlite3_errmsg(handle));
            return write.rc();
        }
        write.bind(1, name);
        write.bind(2, image);
        write.bind(3, forKey);
    } else {
        if (write.prepare(handle, "UPDATE contacts SET name=? where id=?") != SQLITE_OK) {
            VarnekLog("sqlite3_exec: 5 Prepare update contact cache Error %d %s", write.rc(), sqlite3_errmsg(handle));
            return write.rc();
        }
        write.bind(1, name);
        write.bind(2, forKey);
    }
    const int rc = write.step();
    if (rc != SQLITE_DONE) {
        VarnekLog(present ? "sqlite3_step: 2 update contact cache Error %d %s"
                          : "sqlite3_step: 2 Add item to contact cache Error %d %s",
                  rc, sqlite3_errmsg(handle));
        return rc;
    }
    return 0;
}
