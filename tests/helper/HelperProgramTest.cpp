// QuillonHelper run as the login session runs it, against simulated devices and a stand-in
// Quillon: which attachments start Quillon, that only one helper runs, and when it removes
// itself.

#include "HelperRig.h"

#include "TestHome.h"
#include "TestWait.h"
#include "shell/LaunchAtLoginController.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kWaiting = QStringLiteral("waiting for a device");

// The installed helper with its login entries, as Quillon's set-up leaves them (the second
// entry for the same program stands for a duplicate an older version made).
void install(const HelperRig &rig)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(rig.installedHelper()).absolutePath()));
    ASSERT_TRUE(QFile::copy(buildPath("bin/QuillonHelper"), rig.installedHelper()));
    ASSERT_TRUE(QDir().mkpath(rig.autostart()));
    for (const char *name : {"/a-helper.desktop", "/b-helper.desktop"}) {
        QFile entry(rig.autostart() + name);
        ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
        entry.write(LaunchAtLoginController::desktopEntry(rig.installedHelper()));
    }
}

} // namespace

TEST(QuillonHelper, StartsQuillonOnALaterUSBAttachOnly)
{
    HelperRig rig;
    rig.attach("early", "Early iPhone");
    QProcess helper;
    rig.start(helper);
    // The device attached before the helper started is announced at once and ignored.
    ASSERT_TRUE(rig.waitForLog(helper, kWaiting)) << qPrintable(rig.log(helper));
    EXPECT_FALSE(rig.quillonStarted());
    EXPECT_EQ(helper.state(), QProcess::Running);

    rig.attach("later", "Later iPhone");
    EXPECT_TRUE(rig.endsCleanly(helper)) << qPrintable(rig.log(helper));
    EXPECT_TRUE(waitUntil([&] { return rig.quillonStarted(); }, scaledTimeoutMs(5000)));
    stopProcess(helper);
}

TEST(QuillonHelper, KeepsWaitingWhenQuillonRunsOrTheDeviceIsNotAUSBDeviceWithAName)
{
    HelperRig rig;
    QProcess helper;
    rig.start(helper);
    ASSERT_TRUE(rig.waitForLog(helper, kWaiting)) << qPrintable(rig.log(helper));

    rig.attach("pad", "Wireless iPad", true);
    EXPECT_TRUE(rig.waitForLog(helper, "not over USB")) << qPrintable(rig.log(helper));
    rig.attach("nameless", QString());
    EXPECT_TRUE(rig.waitForLog(helper, "gives no name")) << qPrintable(rig.log(helper));

    // This user's Quillon runs: nothing is started.
    QProcess running;
    running.start(rig.standIn(), {"hold"});
    ASSERT_TRUE(running.waitForStarted());
    rig.attach("phone", "Test iPhone");
    EXPECT_TRUE(rig.waitForLog(helper, "Quillon runs already")) << qPrintable(rig.log(helper));
    EXPECT_EQ(helper.state(), QProcess::Running);
    EXPECT_FALSE(rig.quillonStarted());

    // Once it has quit, the next attachment starts it.
    running.closeWriteChannel();
    ASSERT_TRUE(running.waitForFinished(5000));
    rig.attach("phone2", "Second iPhone");
    EXPECT_TRUE(rig.endsCleanly(helper)) << qPrintable(rig.log(helper));
    EXPECT_TRUE(waitUntil([&] { return rig.quillonStarted(); }, scaledTimeoutMs(5000)));
    stopProcess(helper);
    stopProcess(running);
}

TEST(QuillonHelper, ASecondHelperEndsAndTheFirstKeepsWaiting)
{
    HelperRig rig;
    QProcess first;
    rig.start(first);
    ASSERT_TRUE(rig.waitForLog(first, kWaiting)) << qPrintable(rig.log(first));
    QProcess second;
    rig.start(second);
    EXPECT_TRUE(rig.endsCleanly(second)) << qPrintable(rig.log(second));
    EXPECT_EQ(first.state(), QProcess::Running);

    // Started together, exactly one of two stays.
    QProcess a, b;
    stopProcess(first);
    rig.start(a);
    rig.start(b);
    EXPECT_TRUE(waitUntil([&] { return a.state() == QProcess::NotRunning || b.state() == QProcess::NotRunning; },
                          scaledTimeoutMs(10000)));
    EXPECT_NE(a.state() == QProcess::Running, b.state() == QProcess::Running);
    stopProcess(a);
    stopProcess(b);
}

TEST(QuillonHelper, RemovesItsLoginEntryAndItselfOnlyWhenQuillonIsGone)
{
    struct Case
    {
        const char *name;
        std::function<void(HelperRig &)> arrange;
        bool removed;
    };
    const Case cases[] = {
        {"no entry", [](HelperRig &rig) { QFile::remove(rig.entry()); }, true},
        {"the entry's program is gone", [](HelperRig &rig) { rig.writeEntry(rig.home() + "/bin/gone/Quillon"); }, true},
        {"the entry is a folder",
         [](HelperRig &rig) {
             QFile::remove(rig.entry());
             QDir().mkpath(rig.entry());
         },
         false},
        {"the entry is a pipe",
         [](HelperRig &rig) {
             QFile::remove(rig.entry());
             ASSERT_EQ(mkfifo(QFile::encodeName(rig.entry()).constData(), 0600), 0);
         },
         false},
        {"the entry names no program",
         [](HelperRig &rig) {
             QFile file(rig.entry());
             ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
             file.write("[Desktop Entry]\nType=Application\nName=Quillon\nExec=\"unterminated\n");
         },
         false},
        {"the entry links to itself",
         [](HelperRig &rig) {
             QFile::remove(rig.entry());
             ASSERT_TRUE(QFile::link(rig.entry(), rig.entry()));
         },
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HelperRig rig;
        install(rig);
        c.arrange(rig);
        QProcess helper;
        rig.start(helper, rig.installedHelper());
        EXPECT_TRUE(rig.endsCleanly(helper)) << qPrintable(rig.log(helper));
        EXPECT_EQ(!QFileInfo::exists(rig.installedHelper()), c.removed);
        EXPECT_EQ(!QFileInfo::exists(rig.autostart() + "/a-helper.desktop"), c.removed);
        // Only the first entry for the helper goes.
        EXPECT_TRUE(QFileInfo::exists(rig.autostart() + "/b-helper.desktop"));
        stopProcess(helper);
    }
}

TEST(QuillonHelper, AnotherUsersQuillonDoesNotCount)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs to start a process as another user";
    HelperRig rig;
    // Another user's process by the stand-in's name: a link named like it to sleep, in a
    // folder that user may enter.
    QTemporaryDir shared;
    ASSERT_TRUE(QFile::setPermissions(shared.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                         QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                         QFileDevice::ExeOther));
    const QString name = QFileInfo(rig.standIn()).fileName();
    ASSERT_TRUE(QFile::link("/bin/sleep", shared.path() + "/" + name));
    QProcess other;
    other.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", shared.path() + "/" + name, "60"});
    ASSERT_TRUE(other.waitForStarted());

    QProcess helper;
    rig.start(helper);
    ASSERT_TRUE(rig.waitForLog(helper, "waiting for a device")) << qPrintable(rig.log(helper));
    rig.attach("phone", "Test iPhone");
    EXPECT_TRUE(rig.endsCleanly(helper)) << qPrintable(rig.log(helper));
    EXPECT_TRUE(waitUntil([&] { return rig.quillonStarted(); }, scaledTimeoutMs(5000)));
    stopProcess(helper);
    other.kill();
    other.waitForFinished(5000);
}
