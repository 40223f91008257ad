// The built program with a plain and an encrypted backup in its backup folder: both are
// listed at start-up, and a backup added while it runs is listed too.

#include "BackupGenerator.h"
#include "TestHome.h"
#include "QuillonRun.h"
#include "TestWait.h"

#include "platform/Paths.h"
#include "platform/UserDefaults.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QString logOf(const QString &home)
{
    QString newest;
    QDirIterator it(home + "/.local/state", {"*.log"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (newest.isEmpty() || QFileInfo(path).lastModified() > QFileInfo(newest).lastModified())
            newest = path;
    }
    QFile file(newest);
    return !newest.isEmpty() && file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

TEST(QuillonWithBackups, ListsBackupsAtStartAndWhenTheFolderChanges)
{
    QTemporaryDir home;
    QTemporaryDir tmp;
    const QByteArray ownHome = qgetenv("HOME");
    QByteArray xdg[4];
    const char *names[] = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"};
    for (int i = 0; i < 4; ++i) {
        xdg[i] = qgetenv(names[i]);
        qunsetenv(names[i]);
    }
    qputenv("HOME", home.path().toUtf8());
    UserDefaults::standard().setBool(true, QStringLiteral("DEBUG_LOG"));
    const QString backups = Paths::backupFolder();
    BackupGen::Recipe plain;
    plain.deviceName = plain.displayName = "Plain Phone";
    BackupGen::write(backups + "/00008030-00000000000000A1", plain);
    BackupGen::Recipe encrypted;
    encrypted.deviceName = encrypted.displayName = "Secret Phone";
    encrypted.encrypted = true;
    BackupGen::write(backups + "/00008030-00000000000000B2", encrypted);
    qputenv("HOME", ownHome);
    for (int i = 0; i < 4; ++i) {
        if (!xdg[i].isNull())
            qputenv(names[i], xdg[i]);
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("TMPDIR", tmp.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QUILLON_QUIT_AFTER_MS", "60000");
    for (const char *name : names)
        env.remove(name);
    QProcess quillon;
    quillon.setProcessEnvironment(env);
    quillon.start(buildPath(QStringLiteral("bin/Quillon")), {});
    ASSERT_TRUE(quillon.waitForStarted());

    auto logHas = [&](const QString &text) {
        return waitUntil([&] { return logOf(home.path()).contains(text); }, 20000);
    };
    EXPECT_TRUE(logHas("Initialized Plain Phone"));
    EXPECT_TRUE(logHas("Initialized Secret Phone"));
    EXPECT_TRUE(logHas("2 backups on this computer")) << qPrintable(logOf(home.path()));

    // A third backup appears while Quillon runs (and watches).
    EXPECT_TRUE(logHas("Watching the backup folder"));
    BackupGen::write(backups + "/00008030-00000000000000C3", plain);
    EXPECT_TRUE(logHas("Detected iTunes backup window changed"));
    EXPECT_TRUE(logHas("3 backups on this computer")) << qPrintable(logOf(home.path()));

    quitQuillon(quillon);
}
