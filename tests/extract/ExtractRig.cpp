#include "ExtractRig.h"

#include "shell/Defaults.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

ExtractRig::ExtractRig(const QString &uid)
    : ArchiveRig(uid)
{
    QDir().mkpath(workFolder());
}

void ExtractRig::makeArchive(const QString &uid)
{
    int error = 0;
    ASSERT_TRUE(controller.getBackupDB(QString(), &error)) << error;
    ASSERT_TRUE(waitUntil([&] { return controller.shouldArchive(uid); }));
}

QString ExtractRig::tempFile(const QString &name) const
{
    return getTempDir() + name;
}

QString ExtractRig::workFolder() const
{
    return home.path() + QStringLiteral("/work");
}

QString ExtractRig::workFile(const QString &name) const
{
    return workFolder() + QLatin1Char('/') + name;
}

void makeDatabase(const QString &path, const QString &sql)
{
    QFile::remove(path);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    char *message = nullptr;
    const int rc = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &message);
    EXPECT_EQ(rc, SQLITE_OK) << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
}

QString blobLiteral(const QByteArray &bytes)
{
    return QStringLiteral("X'%1'").arg(QString::fromLatin1(bytes.toHex()));
}
