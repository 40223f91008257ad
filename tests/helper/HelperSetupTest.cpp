// Quillon's set-up and removal of QuillonHelper, in the test process's own throw-away home:
// the helper copied in fresh, one login entry, the old helper stopped, the entries and
// folders of earlier product names removed.

#include "HelperRig.h"

#include "TestHome.h"
#include "TestWait.h"
#include "platform/Paths.h"
#include "shell/HelperAppAdditions.h"
#include "shell/LaunchAtLoginController.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

// The helpers that set-up starts inherit the test's environment: point it at the rig's
// devices, library and lock, and give the test home the rig's Quillon entry.
class HelperSetup : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const QProcessEnvironment env = rig.environment();
        for (const char *name : {"XDG_DATA_DIRS", "XDG_RUNTIME_DIR", "QUILLON_SIM_DEVICES", "QUILLON_MOBILEDEVICE_LIBRARY"}) {
            mSaved.append({name, qgetenv(name)});
            qputenv(name, env.value(name).toUtf8());
        }
        QDir().mkpath(Paths::dataHome() + "/applications");
        QFile::remove(Paths::dataHome() + "/applications/quillon.desktop");
        ASSERT_TRUE(QFile::copy(rig.entry(), Paths::dataHome() + "/applications/quillon.desktop"));
        QDir(Paths::autostartFolder()).removeRecursively();
    }
    void TearDown() override
    {
        HelperAppAdditions::unsetupHelperApp();
        for (const auto &[name, value] : mSaved)
            qputenv(name, value);
    }

    static int entriesFor(const QString &program)
    {
        int count = 0;
        const QDir folder(Paths::autostartFolder());
        for (const QString &name : folder.entryList({"*.desktop"}, QDir::Files)) {
            QFile file(folder.filePath(name));
            if (file.open(QIODevice::ReadOnly) && LaunchAtLoginController::programOfEntry(file.readAll()) == program)
                ++count;
        }
        return count;
    }

    static void writeEntry(const QString &name, const QString &program)
    {
        QDir().mkpath(Paths::autostartFolder());
        QFile file(Paths::autostartFolder() + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(LaunchAtLoginController::desktopEntry(program));
    }

    HelperRig rig;
    QList<std::pair<const char *, QByteArray>> mSaved;
};

ino_t inodeOf(const QString &path)
{
    struct stat info {};
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

} // namespace

TEST_F(HelperSetup, TurnedOnTwiceCopiesAFreshHelperKeepsOneEntryAndReplacesTheRunningHelper)
{
    for (const char *old : {"Fernlow", "Pelmora"})
        ASSERT_TRUE(QDir().mkpath(Paths::applicationSupportRoot() + "/" + old + "/sub"));
    const QString installed = HelperAppAdditions::installedHelper();

    HelperAppAdditions::setupHelperApp(buildPath("bin/QuillonHelper"));
    QFile built(buildPath("bin/QuillonHelper")), copy(installed);
    ASSERT_TRUE(built.open(QIODevice::ReadOnly) && copy.open(QIODevice::ReadOnly));
    EXPECT_EQ(copy.readAll(), built.readAll());
    EXPECT_TRUE(QFileInfo(installed).isExecutable());
    EXPECT_EQ(entriesFor(installed), 1);
    for (const char *old : {"Fernlow", "Pelmora"})
        EXPECT_FALSE(QFileInfo::exists(Paths::applicationSupportRoot() + "/" + old));
    QList<pid_t> first;
    ASSERT_TRUE(waitUntil([&] { return !(first = HelperAppAdditions::runningHelpers(installed)).isEmpty(); },
                          scaledTimeoutMs(5000)));
    const ino_t firstCopy = inodeOf(installed);

    HelperAppAdditions::setupHelperApp(buildPath("bin/QuillonHelper"));
    EXPECT_EQ(entriesFor(installed), 1);
    EXPECT_NE(inodeOf(installed), firstCopy);
    QList<pid_t> second;
    ASSERT_TRUE(waitUntil(
        [&] {
            second = HelperAppAdditions::runningHelpers(installed);
            return second.size() == 1 && second != first;
        },
        scaledTimeoutMs(5000)))
        << second.size();
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(installed).absolutePath() + "/.QuillonHelper.new"));

    HelperAppAdditions::unsetupHelperApp();
    EXPECT_TRUE(HelperAppAdditions::runningHelpers(installed).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(installed));
    EXPECT_EQ(entriesFor(installed), 0);
}

TEST_F(HelperSetup, WithoutAHelperBesideTheProgramNothingIsInstalled)
{
    ASSERT_TRUE(QDir().mkpath(Paths::applicationSupportRoot() + "/Fernlow"));
    HelperAppAdditions::setupHelperApp(rig.home() + "/no/QuillonHelper");
    EXPECT_FALSE(QFileInfo::exists(HelperAppAdditions::installedHelper()));
    EXPECT_FALSE(QFileInfo::exists(Paths::autostartFolder()));
    EXPECT_FALSE(QFileInfo::exists(Paths::applicationSupportRoot() + "/Fernlow"));
}

TEST_F(HelperSetup, TurnedOffRemovesTheFirstEntryOfEachHelperNameAndLeavesOthers)
{
    // Turned off with nothing installed: nothing is made.
    HelperAppAdditions::unsetupHelperApp();
    EXPECT_FALSE(QFileInfo::exists(Paths::autostartFolder()));

    writeEntry("a-fernlow.desktop", "/opt/old/FernlowHelper");
    writeEntry("b-fernlow.desktop", "/opt/older/FernlowHelper");
    writeEntry("pelmora.desktop", "/opt/old/PelmoraHelper");
    writeEntry("quillon-old.desktop", "/opt/old/QuillonHelper");
    writeEntry("other.desktop", "/usr/bin/other-program");
    HelperAppAdditions::unsetupHelperApp();
    const QStringList left = QDir(Paths::autostartFolder()).entryList({"*.desktop"}, QDir::Files, QDir::Name);
    EXPECT_EQ(left, QStringList({"b-fernlow.desktop", "other.desktop"}));
}
