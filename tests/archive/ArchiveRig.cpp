#include "ArchiveRig.h"

#include "archive/ArchiveFolder.h"
#include "personal/FRAddressExtras.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

ArchiveRig::ArchiveRig(const QString &uid, const QString &name)
{
    setArchiveLocation(home.path() + QStringLiteral("/archive"));
    connect(uid, name);
    // The name caches are process-wide: every test starts without names, whichever tests
    // ran before it in this process.
    std::lock_guard lock(gGlobalCacheLock);
    gPhones.clear();
    gEntries.clear();
    gImages.clear();
    gTempImages.clear();
}

void ArchiveRig::connect(const QString &uid, const QString &name)
{
    std::lock_guard lock(controller.mDeviceValuesLock);
    controller.mDeviceNumber = uid;
    controller.mDeviceName = name;
}

QString ArchiveRig::folder() const
{
    return archiveFolderPath();
}

QString ArchiveRig::dbPath(const QString &key) const
{
    return folder() + QLatin1Char('/') + key + QStringLiteral(".db");
}

void ArchiveRig::loadFixture(const QString &key, const QString &relativePath) const
{
    QDir().mkpath(folder());
    QFile script(fixturePath(relativePath));
    ASSERT_TRUE(script.open(QIODevice::ReadOnly)) << qPrintable(relativePath);
    sqlite3 *db = openRaw(key);
    char *message = nullptr;
    ASSERT_EQ(sqlite3_exec(db, script.readAll().constData(), nullptr, nullptr, &message), SQLITE_OK)
        << (message ? message : "");
    sqlite3_close(db);
}

sqlite3 *ArchiveRig::openRaw(const QString &key) const
{
    sqlite3 *db = nullptr;
    sqlite3_open(QFile::encodeName(dbPath(key)).constData(), &db);
    sqlite3_busy_timeout(db, 5000);
    return db;
}

QStringList ArchiveRig::columns(const QString &key, const QString &table) const
{
    QStringList names;
    sqlite3 *db = openRaw(key);
    sqlite3_stmt *statement = nullptr;
    const QByteArray sql = QStringLiteral("PRAGMA table_info(%1)").arg(table).toUtf8();
    if (sqlite3_prepare_v2(db, sql.constData(), -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW)
            names << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 1)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return names;
}

qint64 ArchiveRig::number(const QString &key, const QString &sql) const
{
    sqlite3 *db = openRaw(key);
    sqlite3_stmt *statement = nullptr;
    qint64 value = -1;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &statement, nullptr) == SQLITE_OK
        && sqlite3_step(statement) == SQLITE_ROW)
        value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

QString ArchiveRig::text(const QString &key, const QString &sql) const
{
    sqlite3 *db = openRaw(key);
    sqlite3_stmt *statement = nullptr;
    QString value;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &statement, nullptr) == SQLITE_OK
        && sqlite3_step(statement) == SQLITE_ROW) {
        const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
        value = bytes ? QString::fromUtf8(bytes) : QString();
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

void ArchiveRig::exec(const QString &key, const QString &sql) const
{
    sqlite3 *db = openRaw(key);
    char *message = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &message), SQLITE_OK)
        << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
}

bool ArchiveRig::processHasOpen(const QString &path)
{
    return descriptorsOn(path) > 0;
}

int ArchiveRig::descriptorsOn(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    int count = 0;
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() == target)
            ++count;
    }
    return count;
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << qPrintable(path);
    file.write(contents);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
