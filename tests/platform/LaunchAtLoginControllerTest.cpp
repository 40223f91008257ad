#include "TestWait.h"
#include "platform/Paths.h"
#include "shell/LaunchAtLoginController.h"
#include "TestHome.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

namespace {

QStringList entries() { return QDir(Paths::autostartFolder()).entryList({"*.desktop"}, QDir::Files, QDir::Name); }

} // namespace

TEST(LaunchAtLoginController, OnOnAgainOff)
{
    TestHome home;
    LaunchAtLoginController controller;
    EXPECT_FALSE(controller.launchAtLogin());
    EXPECT_EQ(controller.loginItems(), Paths::autostartFolder());

    controller.setLaunchAtLogin(true);
    EXPECT_TRUE(controller.launchAtLogin());
    ASSERT_EQ(entries(), QStringList{"QuillonHelper.desktop"});
    QFile entry(Paths::autostartFolder() + "/QuillonHelper.desktop");
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QByteArray text = entry.readAll();
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(text.contains("Type=Application\n"));
    EXPECT_EQ(LaunchAtLoginController::programOfEntry(text), Paths::applicationSupport() + "/QuillonHelper");

    controller.setLaunchAtLogin(true);
    EXPECT_EQ(entries().size(), 1);

    controller.setLaunchAtLogin(false);
    EXPECT_FALSE(controller.launchAtLogin());
    EXPECT_TRUE(entries().isEmpty());
    controller.setLaunchAtLogin(false);
    EXPECT_TRUE(entries().isEmpty());
}

TEST(LaunchAtLoginController, LeavesOtherProgramsEntriesAlone)
{
    TestHome home;
    const QString other = "[Desktop Entry]\nType=Application\nExec=/usr/bin/other --flag\n";
    home.writeFile(".config/autostart/QuillonHelper.desktop", other.toUtf8());
    // A hidden entry for the helper means "do not start it": it does not count as on.
    home.writeFile(".config/autostart/old.desktop",
                   LaunchAtLoginController::desktopEntry(Paths::applicationSupport() + "/QuillonHelper") + "Hidden=true\n");
    LaunchAtLoginController controller;
    EXPECT_FALSE(controller.launchAtLogin());

    controller.setLaunchAtLogin(true);
    EXPECT_TRUE(controller.launchAtLogin());
    EXPECT_EQ(entries(), (QStringList{"QuillonHelper-2.desktop", "QuillonHelper.desktop", "old.desktop"}));
    controller.setLaunchAtLogin(false);
    EXPECT_EQ(entries(), (QStringList{"QuillonHelper.desktop", "old.desktop"}));
    QFile kept(Paths::autostartFolder() + "/QuillonHelper.desktop");
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), other.toUtf8());
}

TEST(LaunchAtLoginController, ExecLineRoundTripsAwkwardPaths)
{
    const QString programs[] = {
        "/opt/quillon/QuillonHelper",
        "/home/a b/Quillon Helper",
        "/x/we\"ird$`name%u",
        "/x/back\\slash",
        "/x/ünïcode",
        "/x/line\nHidden=true\ttab\rreturn",
    };
    for (const QString &program : programs) {
        SCOPED_TRACE(program.toStdString());
        EXPECT_EQ(LaunchAtLoginController::programOfEntry(LaunchAtLoginController::desktopEntry(program)), program);
    }
    const struct {
        const char *entry;
        const char *program;
    } parsed[] = {
        {"[Desktop Entry]\nExec=/usr/bin/q --x %U\n", "/usr/bin/q"},
        {"[Desktop Entry]\nExec=\"/a b/q\" -x\n", "/a b/q"},
        {"[Desktop Entry]\nExec=\"/a b/q\n", ""},
        {"[Desktop Entry]\nExec=/usr/bin/q\nHidden=true\n", ""},
        {"[Other Group]\nExec=/usr/bin/q\n", ""},
        {"[Desktop Entry]\n# Exec=/usr/bin/q\n", ""},
        {"", ""},
    };
    for (const auto &c : parsed) {
        SCOPED_TRACE(c.entry);
        EXPECT_EQ(LaunchAtLoginController::programOfEntry(c.entry), QString(c.program));
    }
}

TEST(LaunchAtLoginController, TellsObserversWhenTheListChanges)
{
    TestHome home;
    QDir().mkpath(Paths::autostartFolder());
    LaunchAtLoginController controller;
    int changes = 0;
    QObject::connect(&controller, &LaunchAtLoginController::launchAtLoginChanged, [&] { ++changes; });
    home.writeFile(".config/autostart/someone-else.desktop", "[Desktop Entry]\nExec=/bin/true\n");
    EXPECT_TRUE(waitUntil([&] { return changes > 0; }));
}
