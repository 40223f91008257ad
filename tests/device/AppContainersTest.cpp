// The app list, app containers and app icons, against the fixture device's apps.

#include "FilesRig.h"

#include "device/QNSharableApp.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>

using Mode = DeviceFilesWindow::Mode;

namespace {

QStringList ids(const QVariantMap &apps)
{
    return apps.keys();
}

} // namespace

TEST(AppContainers, TheAppListWithAndWithoutAllApps)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;

    // Only apps that share files.
    EXPECT_EQ(ids(c.getSharableApps()), (QStringList{"com.apple.sharer", "com.example.notes"}));

    // All apps: other makers' apps and the listed Apple ones too; other Apple apps only with
    // file sharing. A device without the all-apps capability stays with sharing apps unless
    // the developer preference says otherwise.
    UserDefaults::standard().setBool(true, QStringLiteral("ALL_APPS_MODE"));
    c.loadAppList();
    EXPECT_TRUE(gNotSoAppsMode.load());
    EXPECT_EQ(ids(c.getSharableApps()), (QStringList{"com.apple.sharer", "com.example.notes"}));
    UserDefaults::standard().setBool(true, QStringLiteral("DEV_ALL_APPS_MODE"));
    c.loadAppList();
    EXPECT_FALSE(gNotSoAppsMode.load());
    EXPECT_EQ(ids(c.getSharableApps()),
              (QStringList{"com.apple.Remote", "com.apple.sharer", "com.example.game", "com.example.notes"}));

    // Published on the main thread, sorted by display name.
    ASSERT_TRUE(waitUntil([&] { return c.sharableApps().size() == 4; }));
    QStringList names;
    for (const QNSharableApp &app : c.sharableApps())
        names << app.displayName();
    EXPECT_EQ(names, (QStringList{"Apple Sharer", "Game", "Notes Pro", "Remote"}));
    EXPECT_GE(rig.window.appsChanges, 2);
    EXPECT_EQ(QNSharableApp(QVariantMap{{"CFBundleIdentifier", "x.y"}}).displayName(), QString("No Name"));
}

TEST(AppContainers, OpensAContainerAndListsItLikeTheMediaArea)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    c.loadAppList();
    ASSERT_TRUE(waitUntil([&] { return c.sharableApps().size() == 2; }));

    // Selecting two apps opens nothing.
    c.selectionChanged({0, 1});
    EXPECT_TRUE(c.currentAppID().isEmpty());
    c.selectionChanged({1}); // "Notes Pro"
    EXPECT_EQ(c.currentAppID(), QString("com.example.notes"));
    rig.window.mode = Mode::FileSharing;
    EXPECT_EQ(c.getStartDir(), QString("/Documents/"));
    EXPECT_EQ(c.getPathsForDir(QStringLiteral("/")), (QStringList{"/Documents/note.txt"}));
    c.resetCopyOperation();
    ASSERT_EQ(c.downloadFile(QStringLiteral("note.txt"), rig.local(QStringLiteral("note.txt")), false, false), 0);
    EXPECT_EQ(readLocal(rig.local(QStringLiteral("note.txt"))), QByteArray("a note\n"));
    // No sidecars outside the program's own folder.
    writePattern(rig.local(QStringLiteral("up.txt")), 10);
    ASSERT_EQ(c.uploadFile(rig.local(QStringLiteral("up.txt")), QStringLiteral("up.txt")), 0);
    EXPECT_TRUE(QFile::exists(rig.device(QStringLiteral("apps/com.example.notes/container/Documents/up.txt"))));
    EXPECT_FALSE(QFile::exists(rig.device(QStringLiteral("apps/com.example.notes/container/Documents/.metadata_file"))));

    EXPECT_TRUE(c.disconnectFromApp());
    EXPECT_FALSE(c.disconnectFromApp());
    EXPECT_TRUE(c.currentAppID().isEmpty());

    // An app that is not there: an error, never a success without a connection.
    EXPECT_NE(c.connectToApp(QStringLiteral("com.example.absent")), 0);
    std::lock_guard lock(c.mLock);
    EXPECT_EQ(c.mAppConn, nullptr);
    EXPECT_EQ(c.errorCode(), 0);
}

TEST(AppContainers, AnAppThatCannotBeOpenedNeverLeavesTheLastAppsContainerInUse)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    c.loadAppList();
    ASSERT_TRUE(waitUntil([&] { return c.sharableApps().size() == 2; }));
    rig.window.mode = Mode::FileSharing;
    c.selectionChanged({1}); // "Notes Pro"
    ASSERT_NE(c.getAfc(), nullptr);

    // The session for the next app is refused: its selection must not write into the
    // container that is still open for the last one.
    rig.setFaults({{"FailCalls", QVariantList{QVariantMap{{"EntryPoint", "AMDeviceStartSession"}, {"Call", 1}, {"Repeat", true}}}}});
    rig.window.directoryErrors.clear();
    c.selectionChanged({0}); // "Apple Sharer"
    EXPECT_EQ(c.currentAppID(), QString("com.apple.sharer"));
    EXPECT_EQ(c.getAfc(), nullptr);
    // The user hears that the app did not open.
    EXPECT_EQ(rig.window.directoryErrors, QList<int>{int(kAMDUndefinedError)});
    writePattern(rig.local(QStringLiteral("up.txt")), 10);
    c.resetCopyOperation();
    EXPECT_NE(c.uploadFile(rig.local(QStringLiteral("up.txt")), QStringLiteral("up.txt")), 0);
    EXPECT_FALSE(QFile::exists(rig.device(QStringLiteral("apps/com.example.notes/container/Documents/up.txt"))));
    EXPECT_FALSE(QFile::exists(rig.media(QStringLiteral("Fernlow/up.txt"))));
    rig.setFaults({});
}

TEST(AppContainers, DocumentsOnlyDevicesOpenWithVendDocuments)
{
    FilesRig rig({{"AppContainers", "Documents"}});
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    c.loadAppList(); // firmware 10.2 without the developer preference: documents only
    EXPECT_TRUE(gNotSoAppsMode.load());
    ASSERT_EQ(c.connectToApp(QStringLiteral("com.example.notes")), 0);
    rig.window.mode = Mode::FileSharing;
    EXPECT_EQ(c.getStartDir(), QString("/Documents/"));
    EXPECT_EQ(c.getPathsForDir(QStringLiteral("/")), (QStringList{"/Documents/note.txt"}));

    // Without the documents-only mode the container command is refused by this device.
    UserDefaults::standard().setBool(true, QStringLiteral("DEV_ALL_APPS_MODE"));
    c.loadAppList();
    EXPECT_EQ(c.connectToApp(QStringLiteral("com.example.notes")), AppController::kVendRefused);
    EXPECT_EQ(c.errorCode(), 0);
}

TEST(AppContainers, IconsAreFetchedOnceWithoutReconnectingAndCached)
{
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    AppController &c = *rig.controller;
    UserDefaults::standard().setBool(true, QStringLiteral("ALL_APPS_MODE"));
    UserDefaults::standard().setBool(true, QStringLiteral("DEV_ALL_APPS_MODE"));
    const QList<QNSharableApp> apps = QNSharableApp::appInfosForInfoDict(c.getSharableApps());
    ASSERT_EQ(apps.size(), 4);

    // Every reconnection would fail from now on: icons come over the open session.
    rig.setFaults({{"FailCalls", QVariantList{QVariantMap{{"EntryPoint", "AMDeviceConnect"}, {"Call", 1}, {"Repeat", true}}}}});
    c.fetchAppIcons(apps);
    ASSERT_TRUE(waitUntil([&] { return rig.window.iconsFetched.size() == 2; }));
    EXPECT_EQ(rig.window.iconsFetched, (QStringList{"com.example.game", "com.example.notes"}));
    const QByteArray png = readLocal(rig.device(QStringLiteral("apps/com.example.notes/icon.png")));
    EXPECT_EQ(QNSharableApp::iconData(QStringLiteral("com.example.notes")), png);
    EXPECT_EQ(UserDefaults::standard().objectForKey(QStringLiteral("com.example.notes-IconDataScaled24x24")).toByteArray(), png);
    // An app without an icon has none cached, and its failure is not the connection's.
    EXPECT_TRUE(QNSharableApp::iconData(QStringLiteral("com.apple.Remote")).isEmpty());
    EXPECT_EQ(c.errorCode(), 0);

    // Cached icons are never fetched again.
    QFile::remove(rig.device(QStringLiteral("apps/com.example.notes/icon.png")));
    rig.setFaults({});
    c.fetchAppIcons(apps);
    QCoreApplication::processEvents();
    EXPECT_EQ(rig.window.iconsFetched.size(), 2);
    EXPECT_EQ(QNSharableApp::iconData(QStringLiteral("com.example.notes")), png);
}
