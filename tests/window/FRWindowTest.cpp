#include "TestHome.h"
#include "archive/ArchiveFolder.h"
#include "device/AppController.h"
#include "platform/UserDefaults.h"
#include "shell/AppDelegate.h"
#include "shell/Defaults.h"
#include "shell/SystemFlags.h"
#include "shell/VarnekLogger.h"
#include "window/FRWindow.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QImage>
#include <QPixmap>
#include <gtest/gtest.h>

TEST(FRWindow, StartsAsTheCollapsedStripAndExpandsToTheRememberedHeight)
{
    TestHome home;
    UserDefaults::standard().setBool(true, "DEBUG_LOG");
    FRWindow::load();
    EXPECT_TRUE(HASDECRYPT.load());
    EXPECT_TRUE(OS1015.load());
    VarnekLogger *logger = gMainLogger.load();
    ASSERT_NE(logger, nullptr);
    EXPECT_TRUE(logger->logToFile());

    AppController controller;
    AppDelegate delegate;
    FRWindow window(&controller, &delegate);
    delegate.mainWindow = &window;
    controller.awakeFromNib();
    window.awakeFromNib();

    EXPECT_FALSE(window.opened());
    EXPECT_EQ(window.height(), FRWindow::kCollapsedHeight);
    EXPECT_EQ(window.maximumHeight(), FRWindow::kCollapsedHeight);
    EXPECT_EQ(window.currentMode(), "SMS");
    EXPECT_EQ(window.statusText(), "Starting up...");
    EXPECT_EQ(archiveLocation(), "~/Library/Application Support/Quillon");
    EXPECT_TRUE(UserDefaults::standard().boolForKey("PRINT_SELECTION")); // the device layer started
    EXPECT_TRUE(UserDefaults::standard().contains("SHOW_SMS"));          // start-up values written

    // The strip shows the status line alone: the device's views are not squeezed into it.
    window.show();
    const QImage strip = window.grab().toImage();
    EXPECT_EQ(strip.height(), FRWindow::kCollapsedHeight);
    QWidget *deviceArea = window.findChild<QWidget *>("deviceArea");
    ASSERT_NE(deviceArea, nullptr);
    EXPECT_FALSE(deviceArea->isVisible());

    window.setWindowSize(true, false);
    EXPECT_TRUE(window.opened());
    EXPECT_EQ(window.height(), FRWindow::kDefaultOpenedHeight);
    EXPECT_TRUE(deviceArea->isVisible());
    window.closeup();
    EXPECT_EQ(window.height(), FRWindow::kCollapsedHeight);
    EXPECT_FALSE(deviceArea->isVisible());
    // A user who never had the key gets 414 stored at the first collapse.
    EXPECT_EQ(UserDefaults::standard().doubleForKey("OPENEDHEIGHT7"), 414.0);

    const QString temp = getTempDir();
    ASSERT_TRUE(QFileInfo(temp).isDir());
    window.appWillTerminate();
    EXPECT_FALSE(QFileInfo::exists(temp));
    EXPECT_TRUE(gBail.load());
    gBail.store(false);

    const QByteArray log = [&] {
        QFile f(logger->logFilePath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    EXPECT_TRUE(log.contains("Quillon 2.14.1 started on Linux"));
    EXPECT_TRUE(log.contains("closeConnections"));
    logger->setLogToFile(false);
}

TEST(FRWindow, AStoredArchiveLocationThatCannotBeMadeFallsBackToTheDefault)
{
    TestHome home;
    const QString blocker = home.writeFile("blocker", "a file, not a folder");
    UserDefaults::standard().setObject(blocker + "/Archive", "ARCHIVE_LOCATION");
    FRWindow window(nullptr, nullptr);
    window.finishLaunching();
    EXPECT_EQ(archiveLocation(), "~/Library/Application Support/Quillon");

    const QString chosen = home.path() + "/Elsewhere/Quillon";
    UserDefaults::standard().setObject(chosen, "ARCHIVE_LOCATION");
    window.finishLaunching();
    EXPECT_EQ(archiveLocation(), chosen);
    EXPECT_TRUE(QFileInfo(chosen).isDir());
}

TEST(FRWindow, AnArchiveLocationThatIsNoAbsoluteFolderPathFallsBackToTheDefault)
{
    TestHome home;
    QTemporaryDir startedIn;
    const QString previousCurrent = QDir::currentPath();
    QDir::setCurrent(startedIn.path());
    const QString absolute = home.path() + "/Chosen";
    const struct {
        const char *name;
        QVariant stored;
    } cases[] = {
        {"relative", QStringLiteral("Archive")},
        {"another user's home", QStringLiteral("~nobody/Archive")},
        {"data instead of text", absolute.toUtf8()},
        {"a number", 7},
        {"a list", QVariantList{absolute}},
    };
    FRWindow window(nullptr, nullptr);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        UserDefaults::standard().setObject(c.stored, "ARCHIVE_LOCATION");
        window.finishLaunching();
        EXPECT_EQ(archiveLocation(), "~/Library/Application Support/Quillon");
        EXPECT_TRUE(QDir::isAbsolutePath(archiveFolderPath()));
    }
    // Nothing was made where Quillon happened to be started, nor at the refused path.
    EXPECT_TRUE(QDir(startedIn.path()).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(absolute));
    QDir::setCurrent(previousCurrent);
}
