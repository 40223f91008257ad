#include "extract/DeviceDatabase.h"

#include "archive/ArchiveSql.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

int DeviceDatabase::open(const QString &path)
{
    close();
    mMessage.clear();
    const QFileInfo info(path);
    if (!info.isFile()) {
        mMessage = QStringLiteral("not a regular file");
        return SQLITE_CANTOPEN;
    }
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &mDb, SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        mMessage = mDb ? QString::fromUtf8(sqlite3_errmsg(mDb)) : QString();
        close();
        return rc;
    }
    // A file that is not a database opens fine and fails at its first read: read the schema
    // now so such a file is refused here, where the caller reports an unreadable file.
    const int check = sqlite3_exec(mDb, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (check != SQLITE_OK) {
        mMessage = QString::fromUtf8(sqlite3_errmsg(mDb));
        close();
        return check;
    }
    return SQLITE_OK;
}

void DeviceDatabase::close()
{
    if (mDb)
        sqlite3_close_v2(mDb);
    mDb = nullptr;
    mColumns.clear();
}

const QSet<QString> &DeviceDatabase::columnsOf(const QString &table)
{
    const QString key = table.toLower();
    auto found = mColumns.find(key);
    if (found != mColumns.end())
        return *found;
    QSet<QString> names;
    if (mDb) {
        QString quoted = table;
        quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
        SqlStatement info(mDb, QStringLiteral("PRAGMA table_info(\"%1\")").arg(quoted));
        while (info.ok() && info.step() == SQLITE_ROW)
            names.insert(ArchiveSql::text(info.get(), 1).toLower());
    }
    return *mColumns.insert(key, names);
}

bool DeviceDatabase::hasTable(const QString &table)
{
    return !columnsOf(table).isEmpty();
}

bool DeviceDatabase::hasColumn(const QString &table, const QString &column)
{
    return columnsOf(table).contains(column.toLower());
}

QString DeviceDatabase::column(const QString &table, const QString &name)
{
    return hasColumn(table, name) ? table + QLatin1Char('.') + name : QStringLiteral("NULL");
}

bool DeviceDatabase::isConnectedDeviceFile(const QString &path)
{
    const QString temp = getTempDir();
    if (temp.isEmpty())
        return false;
    return QDir::cleanPath(QFileInfo(path).absolutePath()) == QDir::cleanPath(temp);
}

void DeviceDatabase::removeWithJournals(const QString &path)
{
    QFile::remove(path);
    QFile::remove(path + QStringLiteral("-wal"));
    QFile::remove(path + QStringLiteral("-shm"));
}
