#include "platform/Paths.h"
#include "TestHome.h"

#include <gtest/gtest.h>

TEST(Paths, FollowHomeAndXdgVariables)
{
    TestHome home;
    EXPECT_EQ(Paths::applicationSupport(), home.path() + "/.local/share/Quillon");
    EXPECT_EQ(Paths::logsRoot(), home.path() + "/.local/state/Logs");
    EXPECT_EQ(Paths::backupFolder(), home.path() + "/.local/share/MobileSync/Backup");

    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    EXPECT_EQ(Paths::applicationSupport(), home.path() + "/data/Quillon");
    // A relative value is ignored, as the XDG rules say.
    qputenv("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(Paths::applicationSupport(), home.path() + "/.local/share/Quillon");
    qunsetenv("XDG_DATA_HOME");
}

TEST(Paths, ResolvesStoredHostPaths)
{
    TestHome home;
    const QString h = home.path();
    struct Case {
        const char *stored;
        QString expected;
    } cases[] = {
        {"~/Library/Application Support/Quillon", h + "/.local/share/Quillon"},
        {"~/Library/Application Support", h + "/.local/share"},
        {"~/Library/Logs/Quillon", h + "/.local/state/Logs/Quillon"},
        {"~/Library/Caches/x", h + "/.cache/x"},
        {"~/Library/Application SupportX", h + "/Library/Application SupportX"},
        {"~/Documents", h + "/Documents"},
        {"~", h},
        {"/var/tmp/q", "/var/tmp/q"},
        {"~user/x", "~user/x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stored);
        EXPECT_EQ(Paths::resolveUserPath(QString::fromUtf8(c.stored)), c.expected);
    }
}

TEST(Paths, DesktopComesFromTheUserDirsFileElseHomeDesktop)
{
    TestHome home;
    const QString h = home.path();
    EXPECT_EQ(Paths::desktop(), h + "/Desktop"); // no user-dirs file
    struct Case {
        const char *line;
        QString expected;
    } cases[] = {
        {"XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"", h + "/Schreibtisch"},
        {"XDG_DESKTOP_DIR=\"/srv/desk\"", "/srv/desk"},
        {"XDG_DESKTOP_DIR=\"$HOME/\"", h + "/Desktop"},   // home itself: no desktop folder
        {"XDG_DESKTOP_DIR=\"relative/desk\"", h + "/Desktop"},
        {"XDG_DESKTOP_DIR=$HOME/unquoted", h + "/Desktop"},
        {"# XDG_DESKTOP_DIR=\"/commented\"", h + "/Desktop"},
        {"XDG_DOCUMENTS_DIR=\"$HOME/Docs\"", h + "/Desktop"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        home.writeFile(".config/user-dirs.dirs", QByteArray("# written by the desktop\n") + c.line + "\n");
        EXPECT_EQ(Paths::desktop(), c.expected);
    }
}
