#include "LiveRig.h"

#include "backup/BackupSessionFlags.h"
#include "backup/BackupSessionState.h"
#include "device/DeviceTimings.h"
#include "shell/Defaults.h"
#include "shell/SystemFlags.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <gtest/gtest.h>

QByteArray database(const QString &sql)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("scratch.db"));
    sqlite3 *db = nullptr;
    EXPECT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    char *message = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &message), SQLITE_OK)
        << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void RecordingPrompt::requestBackupPassword(const QString &deviceID)
{
    ++requests;
    lastDevice = deviceID;
    const QString answer = answers.isEmpty() ? QString::fromLatin1(kFailedToGetAPassword) : answers.takeFirst();
    mReceiver->setBackupPassword(answer, remember);
}

LiveRig::LiveRig()
{
    HASDECRYPT = true;
    gDeviceError.store(0);
    // Cases share the process's temporary folder and the session state: each starts as a
    // fresh run would, without an earlier case's manifest or backup folder.
    gManifestDict.reset();
    QDir(sessionBackupFolder(kUid)).removeRecursively();
    DeviceTimings &t = deviceTimings();
    t.backupRetryMs = 10;
    t.backupErrorRetryMs = 10;
    t.backupPollMs = 20;
    // Long enough that a streaming device on a loaded machine is never taken for a stalled
    // one (stretched where the build runs slower); the stall cases shorten it themselves.
    t.backupInactivityMs = scaledTimeoutMs(3000);
    t.connectionDictRetryMs = 10;
    t.deviceListenerMs = scaledTimeoutMs(500);
    t.hostSyncPollMs = 10;
    t.passwordPollMs = 10;
    t.restoreCompleteDelayMs = 20;
    t.batchPauseMs = 10;
}

LiveRig::~LiveRig()
{
    // The session's own log tells why a case went wrong.
    if (::testing::Test::HasFailure() && qEnvironmentVariableIsSet("QUILLON_DUMP_LOG"))
        fprintf(stderr, "%s\n", qUtf8Printable(log()));
}

namespace {

QVariantMap currentProtocol()
{
    return {{QStringLiteral("Domains"),
             QVariantMap{{QStringLiteral("com.apple.mobile.backup"),
                          QVariantMap{{QStringLiteral("Version"), QStringLiteral("2.1")}}}}}};
}

void writePersonalFiles(const QString &deviceFolder, const QMap<QString, QByteArray> &files)
{
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QString path = deviceFolder + QStringLiteral("/personal/") + it.key();
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(it.value());
    }
}

} // namespace

void LiveRig::attach(const QMap<QString, QByteArray> &files, const QVariantMap &settings)
{
    QVariantMap merged = currentProtocol();
    for (auto it = settings.begin(); it != settings.end(); ++it)
        merged.insert(it.key(), it.value());
    mLogStart = rig.logText().size();
    rig.start();
    rig.sim.attach(QStringLiteral("phone"), QStringLiteral("Phone"), kUid, false, merged);
    writePersonalFiles(deviceFolder(), files);
    ASSERT_TRUE(waitUntil([this] { return rig.controller->connectedDevices().size() == 1; }));
    rig.controller->switchToDevice({});
    ASSERT_TRUE(rig.waitForConnection(kUid, 10000));
    ASSERT_TRUE(waitUntil([] { return gAFewSecondsHaveGoneBy.load(); }, 10000));
}

void LiveRig::attachAnother(const QString &folder, const QString &uid, const QMap<QString, QByteArray> &files)
{
    ASSERT_TRUE(waitUntil([this] { return rig.controller->connectedDevices().isEmpty(); }, 10000));
    rig.sim.attach(folder, QStringLiteral("Phone ") + folder, uid, false, currentProtocol());
    writePersonalFiles(rig.sim.root() + QLatin1Char('/') + folder, files);
    ASSERT_TRUE(rig.waitForConnection(uid, 10000));
}

QString LiveRig::deviceFolder() const
{
    return rig.sim.root() + QStringLiteral("/phone");
}

std::future<int> LiveRig::request()
{
    AppController *controller = rig.controller.get();
    return std::async(std::launch::async, [controller] { return controller->getBackupData(); });
}

int LiveRig::wait(std::future<int> &result, int timeoutMs)
{
    const bool ready = waitUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                                 timeoutMs);
    EXPECT_TRUE(ready) << "the request did not finish";
    return ready ? result.get() : -999;
}

QStringList LiveRig::tempFiles() const
{
    QStringList names = QDir(getTempDir()).entryList(QDir::Files);
    names.sort();
    return names;
}

QByteArray LiveRig::tempFile(const QString &name) const
{
    QFile file(getTempDir() + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
