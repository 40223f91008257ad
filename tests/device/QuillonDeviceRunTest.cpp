// The built program with a simulated device folder: it connects to the device, logs the
// device's identity values and follows a detach and a re-attach.

#include "ControllerRig.h"
#include "TestHome.h"
#include "QuillonRun.h"
#include "platform/UserDefaults.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The newest log file under the program's log folder in `home`.
QString logOf(const QString &home)
{
    QString newest;
    QDirIterator it(home + "/.local/state", {"*.log"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (newest.isEmpty() || QFileInfo(path).lastModified() > QFileInfo(newest).lastModified())
            newest = path;
    }
    if (newest.isEmpty())
        return {};
    QFile file(newest);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

TEST(QuillonWithADevice, ConnectsLogsTheIdentityAndFollowsDetachAndReattach)
{
    QTemporaryDir home;
    QTemporaryDir tmp;
    SimFolder sim;
    sim.attach("phone", "Test iPhone", "uid-run-phone", false);

    // The child's defaults live under its own HOME.
    const QByteArray ownHome = qgetenv("HOME");
    qputenv("HOME", home.path().toUtf8());
    UserDefaults::standard().setBool(true, QStringLiteral("DEBUG_LOG"));
    qputenv("HOME", ownHome);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("TMPDIR", tmp.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QUILLON_SIM_DEVICES", sim.root());
    env.insert("QUILLON_QUIT_AFTER_MS", "60000");
    for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"})
        env.remove(name);
    QProcess quillon;
    quillon.setProcessEnvironment(env);
    quillon.start(buildPath(QStringLiteral("bin/Quillon")), {});
    ASSERT_TRUE(quillon.waitForStarted());

    auto logHas = [&](const QString &text, int times = 1) {
        return waitUntil([&] { return logOf(home.path()).count(text) >= times; }, 15000);
    };
    EXPECT_TRUE(logHas("Device Number: uid-run-phone")) << qPrintable(logOf(home.path()));
    EXPECT_TRUE(logHas("Firmware Version: 14C92"));
    EXPECT_TRUE(logHas("Product Version: 10.2"));

    sim.detach("phone");
    EXPECT_TRUE(logHas("device disconnect callback removing device"));
    EXPECT_TRUE(logHas("setupDevice: not connected. resetting"));

    sim.attach("phone", "Test iPhone", "uid-run-phone", false);
    EXPECT_TRUE(logHas("Device Number: uid-run-phone", 2)) << qPrintable(logOf(home.path()));

    if (HasFailure())
        ADD_FAILURE() << qPrintable(logOf(home.path()));
    quitQuillon(quillon);
}
