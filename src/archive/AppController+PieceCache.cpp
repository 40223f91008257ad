// The piece cache inside an archive or cache database: "smspieces" (attachments as bytes or
// as files in the "qnmdb" folder), "synctimes" (which keys the last run used) and "amrs"
// (voicemail recordings). The extraction marks every piece it uses and prunes the rest; the
// backup code reads them back.

#include "device/AppController.h"

#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSchema.h"
#include "archive/ArchiveSql.h"
#include "archive/PieceFiles.h"
#include "archive/PieceNames.h"
#include "platform/MainThread.h"
#include "platform/Paths.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Only the cache tables may be named by callers: the name is spliced into the statement.
bool isCacheTable(const QString &table)
{
    return table == QLatin1String("smspieces") || table == QLatin1String("amrs");
}

// The full path of a stored relative piece path, or empty when the stored text could lead
// anywhere but a file directly inside a piece folder.
QString fullPiecePath(const QString &relative)
{
    const QString checked = PieceNames::checkedRelativePath(relative);
    return checked.isEmpty() ? QString() : QDir(archiveFolderPath()).filePath(checked);
}

} // namespace

int AppController::addPieceToCache(const QVariant &piece, const QString &toDB, const QString &forKey,
                                   int64_t synctime, bool update)
{
    int error = ArchiveSchema::kNoKey;
    std::lock_guard local(localLock);
    const ArchiveDBPtr db = getBackupDB(toDB, &error);
    if (!db)
        return error;
    sqlite3 *handle = db->handle();
    const bool hasPiece = piece.isValid() && !piece.isNull();

    SqlStatement check(handle, "SELECT uuid FROM smspieces WHERE uuid=? LIMIT 1");
    if (!check.ok()) {
        VarnekLog("sqlite3_exec: 2 Prepare check in cache Error %d %s", check.rc(), sqlite3_errmsg(handle));
        return check.rc();
    }
    check.bind(1, forKey);
    const bool exists = check.step() == SQLITE_ROW;

    if (exists && hasPiece && update) {
        SqlStatement change(handle, "UPDATE smspieces SET data=? where uuid=?");
        if (!change.ok()) {
            VarnekLog("sqlite3_exec: 2 Prepare update cache Error %d %s", change.rc(), sqlite3_errmsg(handle));
            return change.rc();
        }
        change.bind(1, piece.typeId() == QMetaType::QByteArray ? piece.toByteArray()
                                                                : piece.toString().toUtf8());
        change.bind(2, forKey);
        const int rc = change.step();
        if (rc != SQLITE_DONE) {
            VarnekLog("sqlite3_step: 2 update cache Error %d %s", rc, sqlite3_errmsg(handle));
            return rc;
        }
    } else if (!exists && hasPiece) {
        SqlStatement addData(handle, "INSERT INTO smspieces (uuid, data) VALUES (?, ?)");
        if (!addData.ok()) {
            VarnekLog("sqlite3_exec: 2 Prepare Add to cache Error %d %s", addData.rc(), sqlite3_errmsg(handle));
            return addData.rc();
        }
        SqlStatement addPath(handle, "INSERT INTO smspieces (uuid, path) VALUES (?, ?)");
        if (!addPath.ok()) {
            VarnekLog("sqlite3_exec: 2 Prepare Add to cache paths Error %d %s", addPath.rc(),
                      sqlite3_errmsg(handle));
            return addPath.rc();
        }
        if (piece.typeId() == QMetaType::QByteArray) {
            addData.bind(1, forKey);
            addData.bind(2, piece.toByteArray());
            const int rc = addData.step();
            if (rc != SQLITE_DONE) {
                VarnekLog("sqlite3_step: 2 Add item to cache Error %d %s", rc, sqlite3_errmsg(handle));
                return rc;
            }
        } else {
            const QString target = Paths::resolveUserPath(piece.toString());
            const QFileInfo targetInfo(target);
            const QString folderName = QFileInfo(targetInfo.absolutePath()).fileName();
            // The row names the file by its folder and name only: a target anywhere but
            // directly inside a piece folder could never be found again (or could be
            // anything), so it is refused.
            if (!PieceNames::isPieceFolderName(folderName) || !PieceNames::isPlainName(targetInfo.fileName())) {
                VarnekLog("Error copying file for add cache AMR with path Error %s, %s",
                          "not in a piece folder", "smspieces");
                return 1;
            }
            const QString staged = PieceNames::isPlainName(forKey) ? getTempDir() + forKey : QString();
            const bool stagedExists = !staged.isEmpty() && QFileInfo(staged).isFile();
            if (stagedExists && !targetInfo.exists()) {
                QString moveError;
                if (!PieceFiles::moveIntoPlace(staged, target, &moveError)) {
                    VarnekLog("Error copying file for add cache AMR with path Error %s, %s",
                              qUtf8Printable(moveError), "smspieces");
                    return 1;
                }
            } else if (!stagedExists && !targetInfo.exists()) {
                // A row would point at nothing: the piece is not cached, and the run goes on.
                VarnekLog("Missing file for add cache AMR with path Error %s, %s", qUtf8Printable(target),
                          "smspieces");
                return 0;
            }
            if (!staged.isEmpty() && QFileInfo(staged).isFile())
                QFile::remove(staged); // only once the target is in place
            addPath.bind(1, forKey);
            addPath.bind(2, folderName + QLatin1Char('/') + targetInfo.fileName());
            const int rc = addPath.step();
            if (rc != SQLITE_DONE) {
                VarnekLog("sqlite3_exec: 2 Add AMR cache with path Error %d %s", rc, sqlite3_errmsg(handle));
                return rc;
            }
        }
    }
    // The mark is recorded also when nothing was written: that is how a run declares the
    // keys it still uses, so the pruning keeps them.
    return updateSyncTimeForDB(db, forKey, synctime);
}

int AppController::updateSyncTimeForDB(const ArchiveDBPtr &db, const QString &forKey, int64_t synctime)
{
    sqlite3 *handle = db ? db->handle() : nullptr;
    if (!handle) {
        VarnekLog("sqlite3_step: update/insert synctime table Error %d %s", SQLITE_MISUSE, "");
        return SQLITE_MISUSE;
    }
    std::lock_guard local(localLock);
    SqlStatement insert(handle, "INSERT INTO synctimes (synctime, uuid) VALUES (?, ?)");
    if (!insert.ok()) {
        VarnekLog("sqlite3_exec: 2 Prepare insert synctime table Error %d %s", insert.rc(),
                  sqlite3_errmsg(handle));
        return insert.rc();
    }
    insert.bind(1, qint64(synctime));
    insert.bind(2, forKey);
    const int rc = insert.step();
    if (rc != SQLITE_DONE) {
        VarnekLog("sqlite3_step: update/insert synctime table Error %d %s", rc, sqlite3_errmsg(handle));
        return rc;
    }
    return 0;
}

void AppController::removeStaleCacheItems(int64_t synctime, bool notes)
{
    Q_UNUSED(synctime); // the marks of earlier runs are removed before a run, not here
    std::lock_guard local(localLock);
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(QString(), &error);
    if (!db)
        return;
    const char *sql = notes
        ? "DELETE FROM smspieces WHERE smspieces.uuid LIKE '%-NoteAttachment-%' AND uuid not in "
          "(SELECT smspieces.uuid FROM synctimes INNER JOIN smspieces ON smspieces.uuid == synctimes.uuid);"
        : "DELETE FROM smspieces WHERE smspieces.uuid NOT LIKE 'WAPHOTO%' AND smspieces.uuid NOT LIKE "
          "'%-NoteAttachment-%' AND uuid not in (SELECT smspieces.uuid FROM synctimes INNER JOIN "
          "smspieces ON smspieces.uuid == synctimes.uuid);";
    const int rc = ArchiveSql::exec(db->handle(), sql);
    if (rc != SQLITE_OK)
        VarnekLog("sqlite3_exec: delete stale cache error %d %s", rc, sqlite3_errmsg(db->handle()));
}

std::optional<QVariantMap> AppController::getPieces(const QString &tableName, const QString &fromDB)
{
    if (!isCacheTable(tableName))
        return std::nullopt;
    std::lock_guard local(localLock);
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(fromDB, &error);
    if (!db)
        return std::nullopt;
    sqlite3 *handle = db->handle();
    const bool withPath = tableName.startsWith(QLatin1String("sms"));
    const QString sql = withPath ? QStringLiteral("SELECT uuid, data, path from %1 WHERE uuid != 'NEW'")
                                 : QStringLiteral("SELECT uuid, data from %1 WHERE uuid != 'NEW'");
    SqlStatement select(handle, sql.arg(tableName));
    if (!select.ok()) {
        VarnekLog("sqlite3_exec: prepare amr record error (%d) %s", select.rc(), sqlite3_errmsg(handle));
        return std::nullopt;
    }
    QVariantMap pieces;
    while (select.step() == SQLITE_ROW) {
        const QString key = ArchiveSql::text(select.get(), 0);
        const QByteArray data = ArchiveSql::blob(select.get(), 1);
        if (!data.isEmpty()) {
            pieces.insert(key, data);
        } else if (withPath) {
            const QString full = fullPiecePath(ArchiveSql::text(select.get(), 2));
            if (!full.isEmpty())
                pieces.insert(key, full);
        }
    }
    return pieces;
}

int AppController::savePiecesToDB(const QVariantMap &pieces, const QString &toDB, const QString &tableName,
                                  const QString &srcPath)
{
    Q_UNUSED(srcPath); // the pieces arrive as bytes
    if (!isCacheTable(tableName))
        return SQLITE_MISUSE;
    std::lock_guard local(localLock);
    int error = ArchiveSchema::kNoKey;
    const ArchiveDBPtr db = getBackupDB(toDB, &error);
    if (!db)
        return error;
    sqlite3 *handle = db->handle();
    VarnekLog("BEGIN for savePiecesToDB");
    int rc = ArchiveSql::exec(handle, "BEGIN");
    if (rc != SQLITE_OK) {
        VarnekLog("sqlite3_exec: AMR BEGIN Error %d %s", rc, sqlite3_errmsg(handle));
        return rc;
    }
    const auto rollback = [handle] {
        const int code = ArchiveSql::exec(handle, "ROLLBACK");
        if (code != SQLITE_OK)
            VarnekLog("rollback in save pieces error %d %s", code, sqlite3_errmsg(handle));
    };
    rc = ArchiveSql::exec(handle, QStringLiteral("DELETE FROM %1").arg(tableName));
    if (rc != SQLITE_OK) {
        VarnekLog("sqlite3_exec: AMR Delete Error %d %s", rc, sqlite3_errmsg(handle));
        rollback();
        return rc;
    }
    {
        SqlStatement insert(handle, QStringLiteral("INSERT INTO %1 (uuid, data) VALUES (?, ?)").arg(tableName));
        if (!insert.ok()) {
            VarnekLog("sqlite3_exec: 2 Prepare Add amrs Error %d %s", insert.rc(), sqlite3_errmsg(handle));
            const int code = insert.rc();
            rollback();
            return code;
        }
        for (auto it = pieces.constBegin(); it != pieces.constEnd(); ++it) {
            insert.bind(1, it.key());
            insert.bind(2, it.value().toByteArray());
            rc = insert.step();
            if (rc != SQLITE_DONE) {
                VarnekLog("sqlite3_step: 2 Add AMR Error %d %s", rc, sqlite3_errmsg(handle));
                insert.reset();
                rollback();
                return rc;
            }
            insert.reset();
        }
    }
    rc = ArchiveSql::exec(handle, "COMMIT");
    if (rc != SQLITE_OK) {
        VarnekLog("sqlite3_exec: AMR COMMIT Error %d %s", rc, sqlite3_errmsg(handle));
        rollback();
        return rc;
    }
    return 0;
}

QVariant AppController::loadSMSPieceFromCache(const QString &uuid, bool thumbnail, const QString &fromDB)
{
    const QString key = thumbnail ? QStringLiteral("thumb_") + uuid : uuid;
    // No archive lock (drawing reads on the main thread): the counted handle stays open for
    // this read whatever closeBackupDBs does meanwhile, and the handle serialises its calls.
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(fromDB, &error);
    if (!db) {
        if (error)
            VarnekLog("Error getting SMS cache DB file for pieces: (%d) %s", error, "");
        return {};
    }
    sqlite3 *handle = db->handle();
    SqlStatement select(handle, "SELECT data, path from smspieces WHERE (uuid=?) LIMIT 1");
    if (!select.ok()) {
        VarnekLog("sqlite3_exec: prepare sms cache pieces query error (%d) %s", select.rc(),
                  sqlite3_errmsg(handle));
        return {};
    }
    select.bind(1, key);
    if (select.step() != SQLITE_ROW)
        return {};
    const QByteArray data = ArchiveSql::blob(select.get(), 0);
    if (!data.isEmpty())
        return data;
    if (thumbnail)
        return {};
    const QString full = fullPiecePath(ArchiveSql::text(select.get(), 1));
    if (!full.isEmpty() && QFileInfo(full).isFile())
        return full;
    return {};
}

uint64_t AppController::existsSMSPieceFromCache(const QString &uuid, const QString &forDB, bool thumbnail,
                                                bool *isPath)
{
    std::unique_lock local(localLock, std::defer_lock);
    // Drawing asks on the main thread: it never waits for the archive lock and reports the
    // piece as present while the lock is busy.
    if (MainThread::isMainThread()) {
        if (!local.try_lock())
            return 1;
    } else {
        local.lock();
    }
    const QString key = thumbnail ? QStringLiteral("thumb_") + uuid : uuid;
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(forDB, &error);
    if (!db)
        return 0;
    sqlite3 *handle = db->handle();
    SqlStatement select(handle, "SELECT length(data), path from smspieces WHERE (uuid=?) LIMIT 1");
    if (!select.ok()) {
        VarnekLog("sqlite3_exec: prepare sms pieces cache query error (%d) %s", select.rc(),
                  sqlite3_errmsg(handle));
        return 0;
    }
    select.bind(1, key);
    uint64_t total = 0;
    while (select.step() == SQLITE_ROW) {
        const qint64 length = sqlite3_column_int64(select.get(), 0);
        if (length > 0) {
            total += uint64_t(length);
            continue;
        }
        const QString full = fullPiecePath(ArchiveSql::text(select.get(), 1));
        const QFileInfo file(full);
        if (!full.isEmpty() && file.isFile()) {
            if (isPath)
                *isPath = true;
            total += uint64_t(file.size());
        }
    }
    return total;
}
