#include "extract/WritableCopy.h"

#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

int WritableCopy::openWith(const QString &path, int flags)
{
    close();
    mMessage.clear();
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &mDb, flags, nullptr);
    if (rc != SQLITE_OK) {
        mMessage = mDb ? QString::fromUtf8(sqlite3_errmsg(mDb)) : QStringLiteral("out of memory");
        sqlite3_close_v2(mDb);
        mDb = nullptr;
        return rc;
    }
    sqlite3_busy_timeout(mDb, 5000);
    // A file that is no database opens fine and fails at its first read: read the schema now.
    const int check = sqlite3_exec(mDb, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (check != SQLITE_OK) {
        mMessage = QString::fromUtf8(sqlite3_errmsg(mDb));
        sqlite3_close_v2(mDb);
        mDb = nullptr;
        return check;
    }
    return SQLITE_OK;
}

int WritableCopy::open(const QString &path)
{
    if (!QFileInfo(path).isFile()) {
        mMessage = QStringLiteral("no regular file");
        return SQLITE_CANTOPEN;
    }
    return openWith(path, SQLITE_OPEN_READWRITE);
}

int WritableCopy::create(const QString &path)
{
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
        mMessage = QStringLiteral("already exists");
        return SQLITE_CANTOPEN;
    }
    return openWith(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
}

int WritableCopy::begin()
{
    return sqlite3_exec(mDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
}

int WritableCopy::commit()
{
    const int rc = sqlite3_exec(mDb, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        rollback();
    return rc;
}

void WritableCopy::rollback()
{
    if (mDb && !sqlite3_get_autocommit(mDb))
        sqlite3_exec(mDb, "ROLLBACK", nullptr, nullptr, nullptr);
}

void WritableCopy::close()
{
    if (!mDb)
        return;
    rollback();
    sqlite3_wal_checkpoint_v2(mDb, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_close_v2(mDb);
    mDb = nullptr;
}
