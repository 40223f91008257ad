// The device code against a framework library that has only the entry points the program
// requires: every optional one (interface type, pairing with options, secure starts and
// contexts, app containers, application lookup, message pairs, modification times, power
// assertions, wake-up tokens, identifiers, unsubscribing) is unbound, and each caller must
// take its way around it instead of calling through a null pointer.

#include "ControllerRig.h"
#include "FilesRig.h"

#include "device/MobileDeviceFramework.h"

#include <gtest/gtest.h>

namespace {

// Points the binding at the reduced library for one test, and back afterwards.
struct RequiredOnlyLibrary
{
    RequiredOnlyLibrary() { qputenv("QUILLON_MOBILEDEVICE_LIBRARY", MOBILEDEVICE_REQUIRED_ONLY); }
    ~RequiredOnlyLibrary()
    {
        qunsetenv("QUILLON_MOBILEDEVICE_LIBRARY");
        bindMobileDeviceFramework();
    }
};

} // namespace

TEST(OptionalEntryPoints, WiFiPathsRunWithoutThem)
{
    RequiredOnlyLibrary library;
    {
    ControllerRig rig;
    rig.sim.attach("pad", "Pad", "uid-pad", true);
    rig.start(true);
    ASSERT_EQ(AMDevicePowerAssertionCreate, nullptr);
    ASSERT_EQ(AMDeviceGetInterfaceType, nullptr);
    ASSERT_EQ(AMDServiceConnectionSendMessage, nullptr);
    ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == 1; }));
    rig.controller->switchToDevice({});
    ASSERT_TRUE(rig.waitForConnection("uid-pad"));
    AppController &c = *rig.controller;

    // Without an interface query every device counts as USB; without assertions and tokens
    // nothing is kept awake or woken.
    EXPECT_EQ(c.interfaceType(), AppController::kInterfaceUSB);
    EXPECT_EQ(c.powerAssertionForDevice(c.dev()), 0);
    c.wakeupDeviceOnThread();
    EXPECT_TRUE(c.connectToThis(QStringLiteral("uid-pad")));

    // Out of reach and back: a detach and a new attach, each handled.
    rig.sim.setAway("pad", true);
    ASSERT_TRUE(waitUntil([&] { return c.connectedDevices().isEmpty(); }));
    rig.sim.setAway("pad", false);
    ASSERT_TRUE(waitUntil([&] { return c.connectedDevices().size() == 1; }));
    c.switchToDevice({});
    ASSERT_TRUE(rig.waitForConnection("uid-pad")) << qPrintable(rig.logText());
    c.disconnectFromWifi();
    c.resubscribe();
    rig.stop(); // the subscription ends without an unsubscribe entry point
    }

    // That subscription lives on in the library: the next run's devices must reach the new
    // controller only, never the one that is gone.
    ControllerRig again;
    again.sim.attach("phone", "Phone", "uid-phone", false);
    again.start();
    ASSERT_TRUE(waitUntil([&] { return again.controller->connectedDevices().size() == 1; }));
    again.controller->switchToDevice({});
    EXPECT_TRUE(again.waitForConnection("uid-phone"));
}

TEST(OptionalEntryPoints, AppPathsAndUploadsRunWithoutThem)
{
    RequiredOnlyLibrary library;
    FilesRig rig;
    ASSERT_TRUE(rig.connect());
    ASSERT_EQ(AMDeviceLookupApplications, nullptr);
    ASSERT_EQ(AMDeviceSecureStartService, nullptr);
    AppController &c = *rig.controller;

    EXPECT_TRUE(c.getSharableApps().isEmpty());
    c.loadAppList();
    EXPECT_EQ(c.connectToApp(QStringLiteral("com.example.notes")), AppController::kAppsUnavailable);
    c.selectionChanged({0});
    // The springboard service starts, but neither message pair is there to ask it.
    EXPECT_TRUE(c.getAppPNGData(QStringLiteral("com.example.notes")).isEmpty());
    c.fetchAppIcons({QNSharableApp(QVariantMap{{"CFBundleIdentifier", "com.example.notes"}})});

    // An upload sets no modification time on the device without the operation entry points.
    writePattern(rig.local(QStringLiteral("up.bin")), 1000);
    c.resetCopyOperation();
    EXPECT_EQ(c.uploadFile(rig.local(QStringLiteral("up.bin")), QStringLiteral("up.bin")), 0);
    EXPECT_EQ(readLocal(rig.media(QStringLiteral("Fernlow/up.bin"))).size(), 1000);
}
