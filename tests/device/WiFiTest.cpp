// Wi-Fi devices: away and back, the known-devices record across runs, the user's
// "disconnect", and the power assertion of the attach check.

#include "ControllerRig.h"

#include "device/DeviceTimings.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace {

// A Wi-Fi device, connected by the automatic choice.
void connectWifiPad(ControllerRig &rig)
{
    rig.sim.attach("pad", "Pad", "uid-pad", true);
    rig.start(true);
    ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == 1; }));
    rig.controller->switchToDevice({});
    ASSERT_TRUE(rig.waitForConnection("uid-pad"));
    ASSERT_EQ(rig.controller->interfaceType(), AppController::kInterfaceWiFi);
}

} // namespace

TEST(WiFi, ADeviceAwayAndBackReloadsAfterAShortAbsenceAndRefreshesAfterALongOne)
{
    struct Case
    {
        const char *title;
        int longAbsenceSeconds;
        const char *expected;
    };
    const Case cases[] = {
        {"short absence: the current mode reloads", 3600, "loadData"},
        {"long absence: every category refreshes", 0, "doRefresh"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.title);
        ControllerRig rig;
        connectWifiPad(rig);
        deviceTimings().longAbsenceSeconds = c.longAbsenceSeconds;
        const AMDeviceRef before = rig.controller->dev();
        const int instance = rig.controller->deviceInstance();
        rig.window.clear();

        rig.sim.setAway("pad", true);
        ASSERT_TRUE(waitUntil([&] { return rig.controller->status() == AppController::kStatusAway; }));
        EXPECT_TRUE(rig.controller->connectedStatus());
        EXPECT_FALSE(rig.controller->reachableStatus());
        EXPECT_TRUE(rig.controller->wirelessDeviceOnVacation("uid-pad"));
        EXPECT_EQ(rig.controller->connectedDevices().size(), 1); // the entry stays
        EXPECT_FALSE(rig.hasConnection()); // its connections are closed, through the framework
        const QString log = rig.logText();
        EXPECT_TRUE(log.mid(log.lastIndexOf("wireless device went away")).contains("before AFCConnectionClose"));
        // While away, connecting returns at once and says so once.
        EXPECT_EQ(rig.controller->makeConnection(), -1);
        EXPECT_EQ(rig.controller->makeConnection(), -1);
        ASSERT_TRUE(waitUntil([&] { return rig.window.count("showErrorOnMain") == 1; }));

        spin(20);
        rig.sim.setAway("pad", false);
        ASSERT_TRUE(waitUntil([&] { return rig.window.count(c.expected) == 1; }));
        EXPECT_EQ(rig.controller->status(), AppController::kStatusConnected);
        EXPECT_NE(rig.controller->dev(), before); // the new reference is adopted
        EXPECT_EQ(rig.controller->connectedDeviceID(), "uid-pad");
        EXPECT_EQ(rig.controller->deviceInstance(), instance); // no new set-up
        if (QString(c.expected) == "loadData")
            EXPECT_EQ(rig.window.argumentsOf("loadData"), QStringList{QString::number(instance)});
        else
            EXPECT_EQ(rig.window.count("loadData"), 0);
        // The next file operation connects to the device again.
        EXPECT_EQ(rig.controller->makeConnection(), 0);
        EXPECT_TRUE(rig.hasConnection());
    }
}

TEST(WiFi, AwayWithTheWindowClosedIsADetach)
{
    ControllerRig rig;
    rig.window.isOpen = false;
    connectWifiPad(rig);
    rig.sim.setAway("pad", true);
    ASSERT_TRUE(waitUntil([&] { return rig.controller->dev() == nullptr; }));
    EXPECT_EQ(rig.controller->status(), AppController::kStatusDisconnected);
    EXPECT_TRUE(rig.controller->connectedDevices().isEmpty());
}

TEST(WiFi, TheKnownDeviceIsRememberedAcrossRunsWithTheUsersChoice)
{
    ControllerRig rig;
    connectWifiPad(rig);
    // The first run recorded the device with its wake-up token.
    QList<KnownDeviceRecord> known = KnownDeviceRecord::loadFromDefaults();
    ASSERT_EQ(known.size(), 1);
    EXPECT_EQ(known[0].uid(), "uid-pad");
    EXPECT_EQ(known[0].displayName(), "Pad");
    EXPECT_TRUE(known[0].connect());
    EXPECT_TRUE(known[0].hasToken());
    const QVariantMap firstToken = known[0].token();

    // The user excludes it from automatic connection in the options sheet.
    known[0].setConnect(false);
    rig.controller->setMKnownDevicesOnMain(known);
    rig.controller->saveKnownDevices();
    rig.stop();

    // The next run: listed, but not chosen automatically.
    rig.start(true);
    ASSERT_EQ(rig.controller->mKnownDevicesCopy().size(), 1);
    EXPECT_FALSE(rig.controller->mKnownDevicesCopy()[0].connect());
    ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == 1; }));
    EXPECT_FALSE(rig.controller->connectToThis("uid-pad"));
    rig.controller->switchToDevice({});
    spin(100);
    EXPECT_EQ(rig.controller->dev(), nullptr);

    // Chosen from the menu it connects, and the record keeps the user's choice.
    rig.controller->switchToDevice(rig.entry("uid-pad", AppController::kInterfaceWiFi));
    ASSERT_TRUE(rig.waitForConnection("uid-pad"));
    known = KnownDeviceRecord::loadFromDefaults();
    ASSERT_EQ(known.size(), 1);
    EXPECT_FALSE(known[0].connect());
    EXPECT_TRUE(known[0].hasToken());
    Q_UNUSED(firstToken);
}

TEST(WiFi, DisconnectMarksTheEntryOfTheCurrentInterfaceOnly)
{
    ControllerRig rig;
    // The same device over USB and over Wi-Fi: two entries with one uid.
    rig.sim.attach("usb", "Pad", "uid-pad", false);
    rig.sim.attach("pad", "Pad", "uid-pad", true);
    rig.start(true);
    ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == 2; }));
    rig.controller->switchToDevice(rig.entry("uid-pad", AppController::kInterfaceWiFi));
    ASSERT_TRUE(rig.waitForConnection("uid-pad"));
    ASSERT_EQ(rig.controller->interfaceType(), AppController::kInterfaceWiFi);

    rig.controller->markCurrentEjected(true);
    EXPECT_TRUE(rig.entry("uid-pad", AppController::kInterfaceWiFi).ejected());
    EXPECT_FALSE(rig.entry("uid-pad", AppController::kInterfaceUSB).hasEjected());
    EXPECT_FALSE(rig.controller->connectToThis("uid-pad"));
}

TEST(WiFi, AFailedPowerAssertionStopsTheAttachCheck)
{
    struct Case
    {
        const char *title;
        qint64 error;
        int listed;
    };
    const Case cases[] = {
        {"a refused assertion gives the device up", qint64(uint32_t(kAMDUndefinedError)), 0},
        {"an unpaired device's refusal is no reason to stop", qint64(uint32_t(kAMDNotPairedError)), 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.title);
        ControllerRig rig;
        rig.sim.attach("pad", "Pad", "uid-pad", true);
        rig.sim.setFaults("pad", {{"FailCalls", QVariantList{QVariantMap{
                                                    {"EntryPoint", "AMDevicePowerAssertionCreate"},
                                                    {"Call", 1}, {"Error", c.error}}}}});
        rig.start(true);
        // Waits for the attach check's own word rather than a pause a loaded machine outlasts.
        if (c.listed > 0)
            ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == c.listed; }));
        else
            ASSERT_TRUE(waitUntil([&] { return rig.logText().contains("Could not do power assertion! Giving up."); }));
        QCoreApplication::processEvents();
        EXPECT_EQ(rig.controller->connectedDevices().size(), c.listed);
    }
}

TEST(WiFi, SwitchingWiFiOffDropsTheCurrentWiFiDevice)
{
    ControllerRig rig;
    connectWifiPad(rig);
    UserDefaults::standard().setBool(false, "USE_WIFI");
    rig.controller->disconnectFromWifi();
    EXPECT_EQ(rig.controller->dev(), nullptr);
    EXPECT_FALSE(rig.controller->connectedStatus());
    EXPECT_TRUE(rig.controller->connectedDevices().isEmpty());
}
