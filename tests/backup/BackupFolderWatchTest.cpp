#include "BackupGenerator.h"
#include "TestHome.h"
#include "TestWait.h"
#include "../device/RecordingWindow.h"

#include "backup/BackupCredentials.h"
#include "backup/BackupKeychain.h"
#include "backup/DeviceBackup.h"
#include "device/AppController.h"
#include "device/BackupFolderWatch.h"
#include "device/DeviceTimings.h"
#include "platform/ExtendedAttributes.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "shell/SystemFlags.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

namespace {

QStringList names(const QList<DeviceBackupPtr> &list)
{
    QStringList out;
    for (const DeviceBackupPtr &b : list)
        out << b->backupFileName();
    return out;
}

class BackupFolderWatchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        HASDECRYPT = true;
        BackupCredentials::clear();
        mHome = std::make_unique<TestHome>();
        deviceTimings().backupWatchLatencyMs = 50;
    }
    void TearDown() override
    {
        deviceTimings().reset();
        BackupCredentials::clear();
    }
    std::unique_ptr<TestHome> mHome;
};

// Quillon running: a backup added to the backup folder appears in `backups` (and the window
// refreshes its lists), a removed one disappears. The folder need not exist at start.
TEST_F(BackupFolderWatchTest, BackupsFollowTheFolder)
{
    RecordingWindow window;
    AppController controller;
    controller.setWindow(&window);
    controller.observeBackupFolder();
    controller.startPollingBackupFolder();
    controller.startPollingBackupFolder(); // a second start changes nothing
    controller.loadBackupsOnThread();
    ASSERT_TRUE(waitUntil([&] { return window.count("refreshBackupWindows") >= 1; }));
    EXPECT_TRUE(controller.backups.isEmpty());

    BackupGen::Recipe recipe;
    BackupGen::write(Paths::backupFolder() + "/first", recipe);
    ASSERT_TRUE(waitUntil([&] { return names(controller.backups) == QStringList{"first"}; }, 10000));
    recipe.deviceName = "Zed";
    BackupGen::write(Paths::backupFolder() + "/second", recipe);
    ASSERT_TRUE(waitUntil([&] { return names(controller.backups) == QStringList({"first", "second"}); }, 10000));
    ASSERT_TRUE(QDir(Paths::backupFolder() + "/first").removeRecursively());
    ASSERT_TRUE(waitUntil([&] { return names(controller.backups) == QStringList{"second"}; }, 10000));
    EXPECT_GE(window.count("refreshBackupWindows"), 4);
    controller.stopPollingBackupFolder();
}

// A backup's "Snapshot" folder vanishing is a finished backup: "BackupUpdated" names that
// backup's folder. A snapshot that stays posts nothing.
TEST_F(BackupFolderWatchTest, FinishedBackupIsReported)
{
    BackupGen::Recipe recipe;
    BackupGen::write(Paths::backupFolder() + "/busy", recipe);
    BackupGen::write(Paths::backupFolder() + "/idle", recipe);
    ASSERT_TRUE(QDir().mkpath(Paths::backupFolder() + "/busy/Snapshot"));
    ASSERT_TRUE(QDir().mkpath(Paths::backupFolder() + "/idle/Snapshot"));

    QStringList updated;
    int folderUpdates = 0;
    QObject receiver;
    NotificationCenter &center = NotificationCenter::defaultCenter();
    center.addObserver(&receiver, NotificationNames::BackupUpdated, nullptr, [&](const Notification &note) {
        updated << note.userInfo.value("path").toString();
    });
    center.addObserver(&receiver, NotificationNames::BackupFolderUpdated, nullptr,
                       [&](const Notification &) { ++folderUpdates; });
    BackupFolderWatch watch;
    watch.start(Paths::backupFolder());

    BackupGen::writeFileAt(Paths::backupFolder() + "/idle/Snapshot/partial", "x");
    ASSERT_TRUE(QDir(Paths::backupFolder() + "/busy/Snapshot").removeRecursively());
    ASSERT_TRUE(waitUntil([&] { return !updated.isEmpty(); }, 10000));
    EXPECT_EQ(updated, QStringList{QDir::cleanPath(Paths::backupFolder() + "/busy")});
    EXPECT_EQ(folderUpdates, 0);
}

// Decrypted data lives in the temporary folder: it carries the mark that keeps it out of
// backups of this computer, and loses it again on request.
TEST_F(BackupFolderWatchTest, ExcludesFoldersFromBackups)
{
    QTemporaryDir dir(mHome->path() + "/exclude-XXXXXX");
    if (!ExtendedAttributes::set(dir.path(), "user.quillon.probe", "1"))
        GTEST_SKIP() << "no extended attributes on this file system";
    ASSERT_TRUE(AppController::doExcludeFromBackupOnThread(dir.path(), true));
    EXPECT_EQ(ExtendedAttributes::get(dir.path(), "user.xdg.robots.backup"), QByteArray("false"));
    ASSERT_TRUE(AppController::doExcludeFromBackupOnThread(dir.path(), false));
    EXPECT_FALSE(ExtendedAttributes::get(dir.path(), "user.xdg.robots.backup"));
}

// The listing shows an encrypted backup at once, still locked, and unlocks it with the
// remembered password afterwards on the listing thread; the window hears of both.
TEST_F(BackupFolderWatchTest, ListingUnlocksAfterShowing)
{
    BackupGen::Recipe recipe;
    recipe.encrypted = true;
    BackupGen::write(Paths::backupFolder() + "/enc", recipe);
    BackupKeychain::rememberPassword(recipe.keybag.password, {}, "BACKUPenc");

    QList<QList<bool>> deliveries;
    DeviceBackup::loadBackupsOnThread([&](QList<DeviceBackupPtr> list) {
        QList<bool> states;
        for (const DeviceBackupPtr &b : list)
            states << b->hasUnlockedKeybag();
        deliveries << states;
    });
    ASSERT_TRUE(waitUntil([&] { return deliveries.size() == 2; }, 10000));
    EXPECT_EQ(deliveries[1], QList<bool>{true});
    EXPECT_EQ(deliveries[0].size(), 1);
}

// Without read access to the backup folder, the listing says so and the controller shows
// the help window; a readable folder shows nothing.
TEST_F(BackupFolderWatchTest, BlockedFolderShowsHelp)
{
    RecordingWindow window;
    AppController controller;
    controller.setWindow(&window);
    gBackupsBlocked = false;
    controller.showBackupsMessage();
    // Queued after the message's own hand-over, so it runs once that has.
    bool handedOver = false;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [&] { handedOver = true; }, Qt::QueuedConnection);
    ASSERT_TRUE(waitUntil([&] { return handedOver; }));
    EXPECT_EQ(window.count("showBackupsAccessHelp"), 0);
    gBackupsBlocked = true;
    controller.showBackupsMessage();
    EXPECT_TRUE(waitUntil([&] { return window.count("showBackupsAccessHelp") == 1; }));
    gBackupsBlocked = false;
}

} // namespace
