// Start-up and the automatic device choice: devices attached during the start-up wait are
// only listed; the choice then takes them by the rules.

#include "ControllerRig.h"
#include "TestHome.h"

#include "archive/QNArchive.h"
#include "device/DeviceTimings.h"
#include "platform/UserDefaults.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

struct Device
{
    const char *folder;
    const char *name;
    const char *uid;
    bool wifi;
};

struct ChoiceCase
{
    const char *title;
    Device first;  // attached before start-up
    Device second; // attached during the start-up wait
    bool useWifi;
    const char *lastConnected;
    const char *knownNotToConnect; // a Wi-Fi uid the user excluded, or ""
    int listed;
    const char *chosen; // "" for none
};

} // namespace

TEST(DeviceChoice, DevicesAttachedDuringTheWaitAreChosenByTheRules)
{
    const ChoiceCase cases[] = {
        {"the USB device last connected beats a USB device listed first",
         {"a", "Alpha", "uid-a", false}, {"b", "Beta", "uid-b", false}, false, "uid-b", "", 2, "uid-b"},
        {"another USB device beats the Wi-Fi device last connected",
         {"w", "Alpha", "uid-w", true}, {"b", "Beta", "uid-b", false}, true, "uid-w", "", 2, "uid-b"},
        {"the Wi-Fi device last connected when no USB device is there",
         {"w1", "Alpha", "uid-w1", true}, {"w2", "Beta", "uid-w2", true}, true, "uid-w2", "", 2, "uid-w2"},
        {"another Wi-Fi device the user allows",
         {"w1", "Alpha", "uid-w1", true}, {"w2", "Beta", "uid-w2", true}, true, "", "uid-w1", 2, "uid-w2"},
        {"no Wi-Fi device at all while the preference is off",
         {"w1", "Alpha", "uid-w1", true}, {"w2", "Beta", "uid-w2", true}, false, "uid-w1", "", 0, ""},
    };
    for (const ChoiceCase &c : cases) {
        SCOPED_TRACE(c.title);
        ControllerRig rig;
        if (*c.lastConnected)
            UserDefaults::standard().setObject(QString::fromLatin1(c.lastConnected),
                                               QStringLiteral("LAST_CONNECTED_DEVICE"));
        if (*c.knownNotToConnect)
            KnownDeviceRecord::saveToDefaults(
                {KnownDeviceRecord(QString::fromLatin1(c.knownNotToConnect), {}, false, QStringLiteral("Alpha"))});
        rig.sim.attach(c.first.folder, c.first.name, c.first.uid, c.first.wifi);
        rig.start(c.useWifi);
        rig.sim.attach(c.second.folder, c.second.name, c.second.uid, c.second.wifi);

        if (c.listed > 0)
            ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == c.listed; }));
        else // both attach checks have given their answer
            ASSERT_TRUE(waitUntil([&] { return rig.logText().count("Connection did not work out.") == 2; }));
        EXPECT_EQ(rig.controller->connectedDevices().size(), c.listed);
        // While the wait runs an attach only lists the device.
        EXPECT_TRUE(rig.controller->waitingForConnections());
        EXPECT_EQ(rig.controller->status(), AppController::kStatusNone);
        EXPECT_EQ(rig.window.count(QStringLiteral("setStatusMessage")), 0);

        rig.controller->switchToDevice({}); // what the end of the wait runs
        if (*c.chosen) {
            EXPECT_TRUE(rig.waitForConnection(QString::fromLatin1(c.chosen)));
        } else {
            spin(100);
            EXPECT_EQ(rig.controller->dev(), nullptr);
            EXPECT_EQ(rig.controller->status(), AppController::kStatusNone);
        }
    }
}

TEST(DeviceChoice, TheStartUpWaitEndsWithTheChoiceAndTheIdentityIsLogged)
{
    ControllerRig rig;
    deviceTimings().startupChoiceMs = 200;
    rig.sim.attach("phone", "Test iPhone", "uid-phone", false);
    rig.start();
    ASSERT_TRUE(rig.waitForConnection("uid-phone"));
    EXPECT_FALSE(rig.controller->waitingForConnections());
    EXPECT_EQ(rig.controller->deviceName(), "Test iPhone");
    EXPECT_EQ(rig.controller->deviceClass(), "iPhone");
    EXPECT_EQ(rig.controller->productVersion(), "10.2");
    EXPECT_EQ(rig.controller->deviceFirmwareVersion(), "14C92");
    EXPECT_EQ(rig.controller->devicePhoneNumber(), "+1 555 0100");
    EXPECT_EQ(rig.controller->interfaceType(), AppController::kInterfaceUSB);
    EXPECT_TRUE(rig.controller->cameraLinked());
    EXPECT_EQ(UserDefaults::standard().stringForKey("LAST_CONNECTED_DEVICE"), "uid-phone");
    EXPECT_EQ(rig.window.statusText, "Starting up...");

    const QString log = rig.logText();
    EXPECT_TRUE(log.contains("Device Number: uid-phone")) << qPrintable(log);
    EXPECT_TRUE(log.contains("Firmware Version: 14C92"));
    EXPECT_TRUE(log.contains("Product Version: 10.2"));
}

TEST(DeviceChoice, ASecondDeviceWhileOneIsCurrentIsOnlyListed)
{
    ControllerRig rig;
    rig.sim.attach("a", "Alpha", "uid-a", false);
    rig.start();
    rig.controller->switchToDevice({});
    ASSERT_TRUE(rig.waitForConnection("uid-a"));
    const int instance = rig.controller->deviceInstance();

    rig.sim.attach("b", "Beta", "uid-b", false);
    ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == 2; }));
    spin(100);
    EXPECT_EQ(rig.controller->connectedDeviceID(), "uid-a");
    EXPECT_EQ(rig.controller->deviceInstance(), instance);
    EXPECT_EQ(rig.window.menu.size(), 2);
}

TEST(DeviceChoice, TheArchiveListIsReadBeforeDevicesAreHandled)
{
    ControllerRig rig;
    const QString folder = QNArchive::archiveLocation();
    ASSERT_TRUE(QDir().mkpath(folder));
    QFile script(fixturePath(QStringLiteral("controller/archive.sql")));
    ASSERT_TRUE(script.open(QIODevice::ReadOnly));
    const QByteArray sql = script.readAll();
    for (const char *key : {"uid-one", "uid-two"}) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(QDir(folder).filePath(QString(key) + ".db").toUtf8().constData(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    // A cache database has no props and is not an archive.
    sqlite3 *cache = nullptr;
    sqlite3_open(QDir(folder).filePath("thumbcacheX.db").toUtf8().constData(), &cache);
    sqlite3_exec(cache, "CREATE TABLE thumbs (x);", nullptr, nullptr, nullptr);
    sqlite3_close(cache);

    rig.start();
    ASSERT_EQ(rig.controller->devices.size(), 2);
    EXPECT_EQ(rig.controller->devices[0]->displayname(), "Phone");
    EXPECT_TRUE(rig.controller->devices[1]->displayname().startsWith("Phone (Created "));
    EXPECT_EQ(rig.controller->devices[0]->numMessages(), 2);
    EXPECT_EQ(rig.controller->devices[0]->numCalls(), 1);
    EXPECT_EQ(rig.window.argumentsOf("setThreadRunning"), QStringList{"NO"});
}

TEST(DeviceChoice, AnnouncingTheCurrentDeviceAgainChangesNothing)
{
    ControllerRig rig;
    rig.sim.attach("a", "Alpha", "uid-a", false);
    rig.start();
    rig.controller->switchToDevice({});
    ASSERT_TRUE(rig.waitForConnection("uid-a"));
    const int instance = rig.controller->deviceInstance();

    rig.controller->resubscribe(); // a new subscription announces every attached device
    ASSERT_TRUE(waitUntil([&] {
        return rig.logText().contains("device showed up, and it's the same UID and interface as the current one, ignore that");
    }));
    EXPECT_EQ(rig.controller->deviceInstance(), instance);
    EXPECT_EQ(rig.controller->connectedDevices().size(), 1);
    EXPECT_TRUE(rig.hasConnection());
}

TEST(DeviceChoice, DeviceSoftwareTooOldIsExplainedOncePerRun)
{
    ControllerRig rig;
    rig.sim.attach("a", "Alpha", "uid-a", false, {{"RequiresNewerHost", true}});
    rig.sim.attach("b", "Beta", "uid-b", false, {{"RequiresNewerHost", true}});
    rig.start();
    ASSERT_TRUE(waitUntil([&] { return rig.logText().count("showOSWarning and iTunes") == 2; }));
    EXPECT_EQ(rig.window.argumentsOf("showInformationPanel"), QStringList{"Unable to Connect"});
    EXPECT_TRUE(rig.controller->connectedDevices().isEmpty());
}

TEST(DeviceChoice, WithoutTheDeviceFrameworkTheArchivesStillLoad)
{
    const QByteArray previous = qgetenv("QUILLON_MOBILEDEVICE_LIBRARY");
    qputenv("QUILLON_MOBILEDEVICE_LIBRARY", "/nonexistent/libmobiledevice.so");
    {
        ControllerRig rig;
        rig.sim.attach("a", "Alpha", "uid-a", false);
        rig.start();
        EXPECT_EQ(rig.window.count("reportiTunes81Required"), 1);
        EXPECT_EQ(rig.window.count("loadArchiveWindows"), 1);
        EXPECT_TRUE(rig.logText().contains("No frameworks"));
        spin(100);
        EXPECT_TRUE(rig.controller->connectedDevices().isEmpty());
        EXPECT_FALSE(rig.controller->waitingForConnections());
    }
    if (previous.isEmpty())
        qunsetenv("QUILLON_MOBILEDEVICE_LIBRARY");
    else
        qputenv("QUILLON_MOBILEDEVICE_LIBRARY", previous);
}
