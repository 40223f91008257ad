// The archive operations that move an archive's files: to the Trash (delete) and to a new
// key (detach). An archive is its database, the database's journals and its two piece
// folders; they always move together, and only after the database's handle is closed.

#include "archive/QNArchive.h"

#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSql.h"
#include "archive/PieceNames.h"
#include "device/AppController.h"
#include "platform/NotificationCenter.h"
#include "platform/Trash.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace {

QString tr(const char *text) { return QCoreApplication::translate("QNArchive", text); }

// The journals SQLite may keep beside a database.
const char *const kCompanions[] = {"-journal", "-wal", "-shm"};

bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

QString itemPath(const QString &key, const QString &suffix)
{
    return QDir(archiveFolderPath()).filePath(key + suffix);
}

// Closes the key's shared handle; false (logged) when it is still held elsewhere.
bool closeHandle(const QString &key)
{
    AppController *controller = gSharedAppController.load();
    if (controller && !controller->closeBackupDB(key)) {
        VarnekLog("Archive %s is still in use; its files stay", qUtf8Printable(key));
        return false;
    }
    return true;
}

bool renameItem(const QString &from, const QString &to)
{
    if (present(to)) {
        VarnekLog("Error moving archive item %s: the name is taken", qUtf8Printable(to));
        return false;
    }
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        VarnekLog("Error moving archive item %s: %s", qUtf8Printable(from), std::strerror(errno));
        return false;
    }
    return true;
}

// Stored piece paths name their folder ("<key>.qnxmdb/<file>"): after a move to a new key
// they must name the new folder.
int rewritePiecePaths(sqlite3 *db, const char *table, const QString &oldFolder, const QString &newFolder)
{
    SqlStatement update(db, QStringLiteral("UPDATE %1 SET path = ?2 || substr(path, length(?1) + 1) "
                                           "WHERE substr(path, 1, length(?1)) = ?1")
                                .arg(QLatin1String(table)));
    if (!update.ok())
        return update.rc();
    update.bind(1, oldFolder + QLatin1Char('/'));
    update.bind(2, newFolder + QLatin1Char('/'));
    const int rc = update.step();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Moves every file of `oldKey` to `newKey` and has the moved database name itself `newName`
// and point at its moved pieces. All or nothing.
bool moveArchiveFiles(AppController &controller, const QString &oldKey, const QString &newKey, const QString &newName)
{
    std::lock_guard local(localLock);
    if (!controller.hasBackupTable(oldKey) || !closeHandle(oldKey))
        return false;

    // Every item moves by rename inside the archive folder; a failure puts back what moved.
    std::vector<std::pair<QString, QString>> moved;
    const auto undo = [&] {
        for (auto it = moved.rbegin(); it != moved.rend(); ++it)
            std::rename(QFile::encodeName(it->second).constData(), QFile::encodeName(it->first).constData());
        moved.clear();
    };
    QStringList suffixes{QStringLiteral(".db")};
    for (const char *companion : kCompanions)
        suffixes << QStringLiteral(".db") + QLatin1String(companion);
    suffixes << QStringLiteral(".qnxmdb") << QStringLiteral(".qnmdb");
    for (const QString &suffix : suffixes) {
        const QString from = itemPath(oldKey, suffix);
        if (!present(from))
            continue;
        const QString to = itemPath(newKey, suffix);
        if (!renameItem(from, to)) {
            undo();
            return false;
        }
        moved.emplace_back(from, to);
    }

    // The moved database learns its name and where its pieces now lie, in one transaction.
    int error = 0;
    ArchiveDBPtr db = controller.getBackupDB(newKey, &error);
    int rc = db ? ArchiveSql::exec(db->handle(), "BEGIN") : error;
    if (rc == SQLITE_OK)
        rc = rewritePiecePaths(db->handle(), "smsbackuppieces", oldKey + QStringLiteral(".qnxmdb"),
                               newKey + QStringLiteral(".qnxmdb"));
    if (rc == SQLITE_OK)
        rc = rewritePiecePaths(db->handle(), "smspieces", oldKey + QStringLiteral(".qnmdb"),
                               newKey + QStringLiteral(".qnmdb"));
    if (rc == SQLITE_OK) {
        SqlStatement rename(db->handle(), "UPDATE props SET value=? WHERE key='phonename'");
        rename.bind(1, newName);
        rc = rename.ok() ? rename.step() : rename.rc();
        if (rc == SQLITE_DONE)
            rc = SQLITE_OK;
    }
    if (rc == SQLITE_OK)
        rc = ArchiveSql::exec(db->handle(), "COMMIT");
    if (rc != SQLITE_OK) {
        VarnekLog("Error detaching archive %s: (%d) %s", qUtf8Printable(oldKey), rc,
                  db ? sqlite3_errmsg(db->handle()) : "");
        if (db && !sqlite3_get_autocommit(db->handle()))
            ArchiveSql::exec(db->handle(), "ROLLBACK");
        db.reset();
        if (closeHandle(newKey))
            undo();
        return false;
    }
    // Closed again: the next user opens it under its new key.
    db.reset();
    closeHandle(newKey);
    return true;
}

} // namespace

bool QNArchive::moveItemToTrash(const QString &path, QString *error)
{
    if (!present(path)) {
        if (error)
            *error = QStringLiteral("%1 does not exist").arg(path);
        return false;
    }
    QString why;
    if (!Trash::moveToTrash(path, &why)) {
        // The Trash was promised: an item that cannot go there stays where it is.
        VarnekLog("Error moving %s to the Trash: %s", qUtf8Printable(path), qUtf8Printable(why));
        if (error)
            *error = why;
        return false;
    }
    return true;
}

bool QNArchive::deleteArchive(QNArchive &archive)
{
    const QString key = archive.uuid();
    if (key.isEmpty() || !PieceNames::isPlainName(key))
        return false;
    std::lock_guard local(localLock);
    if (!closeHandle(key))
        return false;
    // The database goes first: when it cannot, the archive is left whole.
    const QString db = itemPath(key, QStringLiteral(".db"));
    if (!moveItemToTrash(db))
        return false;
    bool ok = true;
    for (const char *companion : kCompanions) {
        const QString path = db + QLatin1String(companion);
        if (present(path))
            ok = moveItemToTrash(path) && ok;
    }
    for (const QString &suffix : {QStringLiteral(".qnmdb"), QStringLiteral(".qnxmdb")}) {
        const QString folder = itemPath(key, suffix);
        if (present(folder))
            ok = moveItemToTrash(folder) && ok;
    }
    return ok;
}

bool QNArchive::detachArchive(QNArchive &archive)
{
    const QString oldKey = archive.uuid();
    if (oldKey.isEmpty() || !PieceNames::isPlainName(oldKey))
        return false;
    AppController *controller = gSharedAppController.load();
    if (!controller)
        return false;
    const QString newName = archive.displayname() + tr(" (Detached)");
    const QString newKey = QString::asprintf("DETACHED%f-", double(QDateTime::currentMSecsSinceEpoch()) / 1000.0)
        + oldKey;
    if (!moveArchiveFiles(*controller, oldKey, newKey, newName))
        return false;
    archive.setUuid(newKey);
    archive.setDisplaynameField(newName);
    archive.setUpdated(kUpdatedRenamed);
    NotificationCenter::defaultCenter().postNotificationName(NotificationNames::QNArchiveEdited, &archive);
    return true;
}
