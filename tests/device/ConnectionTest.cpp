// Connecting to the chosen device: retries, pairing, passcode locks, detach and re-attach,
// and device switches.

#include "ControllerRig.h"

#include "device/DeviceTimings.h"
#include "platform/UserDefaults.h"

#include <QElapsedTimer>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

// Connect calls of one device: the attach check makes the 1st, listing it the 2nd, and the
// connection's tries start with the 3rd.
constexpr int kFirstConnectionTry = 3;

QVariantMap failConnects(int fromCall, int count, bool repeat)
{
    QVariantList failures;
    for (int i = 0; i < count; ++i)
        failures.append(QVariantMap{{"EntryPoint", "AMDeviceConnect"},
                                    {"Call", qint64(fromCall + i)},
                                    {"Repeat", repeat}});
    return {{"FailCalls", failures}};
}

} // namespace

TEST(Connection, RetriesAfterRefusedConnectsAndGivesUpAfterTenTries)
{
    struct Case
    {
        const char *title;
        int failures;
        bool repeat;
        bool connects;
    };
    const Case cases[] = {
        {"three refusals, then the fourth try connects", 3, false, true},
        {"every try refused: ten tries, then the device is given up", 1, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.title);
        ControllerRig rig;
        deviceTimings().connectRetryMs = 30;
        rig.sim.attach("phone", "Phone", "uid-phone", false);
        rig.sim.setFaults("phone", failConnects(kFirstConnectionTry, c.failures, c.repeat));
        rig.start();
        ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == 1; }));

        QElapsedTimer timer;
        timer.start();
        rig.controller->switchToDevice({});
        if (c.connects) {
            EXPECT_TRUE(rig.waitForConnection("uid-phone"));
            EXPECT_GE(timer.elapsed(), 3 * 30);
            continue;
        }
        // The failure clears the device: back to no device, with the code in the log.
        ASSERT_TRUE(waitUntil([&] { return rig.controller->dev() == nullptr
                                           && rig.window.count("setupDevice") >= 2; }));
        EXPECT_GE(timer.elapsed(), 10 * 30);
        EXPECT_EQ(rig.controller->status(), AppController::kStatusNone);
        EXPECT_TRUE(rig.logText().contains(QStringLiteral("AMDeviceConnect: %1").arg(int(kAMDUndefinedError))));
        EXPECT_EQ(rig.window.count("showErrorOnMain"), 0); // a USB failure shows no sheet
    }
}

TEST(Connection, QuitDoesNotWaitForTheRetriesOfARefusedConnection)
{
    ControllerRig rig;
    deviceTimings().connectRetryMs = 300; // ten tries: three seconds
    rig.sim.attach("phone", "Phone", "uid-phone", false);
    rig.sim.setFaults("phone", failConnects(kFirstConnectionTry, 1, true));
    rig.start();
    ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == 1; }));
    rig.controller->switchToDevice({});
    // The set-up thread is retrying, holding the device lock.
    ASSERT_TRUE(waitUntil([&] {
        std::unique_lock lock(rig.controller->mLock, std::try_to_lock);
        return !lock.owns_lock();
    }));

    struct ResetBail
    {
        ~ResetBail() { gBail.store(false); }
    } resetBail;
    QElapsedTimer timer;
    timer.start();
    gBail.store(true); // what the quit handler sets before it closes the connections
    rig.controller->closeConnections(true);
    EXPECT_LT(timer.elapsed(), 1500);
}

TEST(Connection, UnpairedDevicesAreListedApartAndPairedWhenChosen)
{
    ControllerRig rig;
    rig.sim.attach("one", "First", "uid-first", false, {{"Paired", false}});
    rig.sim.attach("two", "Second", "uid-second", false, {{"Paired", false}});
    rig.start();
    ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == 2; }));
    for (const ConnectedDeviceEntry &entry : rig.controller->connectedDevices()) {
        EXPECT_EQ(entry.uid(), "12345");
        EXPECT_EQ(entry.name(), "Unpaired Device");
        EXPECT_EQ(entry.interfaceType(), AppController::kInterfaceUSB);
    }

    rig.controller->switchToDevice(rig.controller->connectedDevices().first());
    ASSERT_TRUE(waitUntil([&] { return rig.hasConnection(); }));
    const QString uid = rig.controller->connectedDeviceID();
    EXPECT_TRUE(uid == "uid-first" || uid == "uid-second") << qPrintable(uid);
    EXPECT_EQ(UserDefaults::standard().stringForKey("LAST_CONNECTED_DEVICE"), uid);
    EXPECT_TRUE(rig.logText().contains("QNDevIsPaired: 0x0"));
}

TEST(Connection, APasscodeLockIsReportedWithItsCode)
{
    struct Case
    {
        const char *title;
        bool paired;
        int code;
        const char *listedAs;
    };
    const Case cases[] = {
        {"paired: the file service is refused", true, int(kAMDDeviceLockedError), "Phone"},
        {"not paired: pairing is refused", false, int(kAMDPasswordProtectedError), "Unpaired Device"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.title);
        ControllerRig rig;
        rig.sim.attach("phone", "Phone", "uid-phone", false, {{"Paired", c.paired}, {"PasscodeLocked", true}});
        rig.start();
        ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == 1; }));
        rig.controller->switchToDevice({});
        ASSERT_TRUE(waitUntil([&] { return rig.window.count("reportPassCodeError") == 1; }));
        EXPECT_EQ(rig.window.argumentsOf("reportPassCodeError"),
                  QStringList{QString::number(uint(c.code), 16)});
        ASSERT_TRUE(waitUntil([&] { return rig.controller->dev() == nullptr; }));
        EXPECT_EQ(rig.controller->status(), AppController::kStatusNone);
        EXPECT_FALSE(rig.hasConnection());
        // The attempt has ended: the strip names the device and its state, not a choice
        // still to come.
        EXPECT_TRUE(waitUntil([&] { return rig.window.statusText == QString(c.listedAs) + " Not Trusted"; }))
            << qPrintable(rig.window.statusText);
        EXPECT_EQ(rig.window.statusColour, "red");
    }
}

TEST(Connection, DetachTearsDownRaisesTheGenerationAndReattachConnectsAgain)
{
    ControllerRig rig;
    rig.sim.attach("phone", "Phone", "uid-phone", false);
    rig.start();
    rig.controller->switchToDevice({});
    ASSERT_TRUE(rig.waitForConnection("uid-phone"));
    const AMDeviceRef first = rig.controller->dev();
    const int before = rig.controller->deviceInstance();
    rig.window.clear();

    rig.sim.detach("phone");
    ASSERT_TRUE(waitUntil([&] { return rig.controller->dev() == nullptr && rig.window.count("setupDevice") == 1; }));
    EXPECT_GT(rig.controller->deviceInstance(), before);
    EXPECT_EQ(rig.controller->status(), AppController::kStatusDisconnected);
    EXPECT_FALSE(rig.controller->connectedStatus());
    EXPECT_FALSE(rig.hasConnection());
    EXPECT_FALSE(rig.hasConnection(true));
    EXPECT_TRUE(rig.controller->connectedDeviceID().isEmpty());
    EXPECT_FALSE(rig.controller->cameraLinked());
    EXPECT_TRUE(rig.controller->connectedDevices().isEmpty());
    EXPECT_TRUE(rig.window.menu.isEmpty());
    const QString log = rig.logText();
    EXPECT_TRUE(log.contains("device disconnect callback removing device"));
    // The gone device's connections were closed through the framework, not just forgotten.
    const QString afterDetach = log.mid(log.lastIndexOf("device_callback: code 2"));
    EXPECT_TRUE(afterDetach.contains("before AFCConnectionClose")) << qPrintable(afterDetach);
    EXPECT_TRUE(afterDetach.contains("before AMDeviceDisconnect"));

    rig.sim.attach("phone", "Phone", "uid-phone", false);
    ASSERT_TRUE(rig.waitForConnection("uid-phone"));
    EXPECT_NE(rig.controller->dev(), first); // a new attachment, a new reference
}

TEST(Connection, ADetachDuringSetUpDropsTheStaleResult)
{
    ControllerRig rig;
    rig.sim.attach("phone", "Phone", "uid-phone", false);
    rig.start();
    ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == 1; }));
    // A slow device: the set-up is still running when the device goes.
    rig.sim.setFaults("phone", {{"Slow", QVariantMap{{"CallDelayMilliseconds", 40}}}});
    rig.window.clear();
    const int before = rig.controller->deviceInstance();
    rig.controller->switchToDevice({});
    // The set-up thread has begun (it raises the generation first); a loaded machine may
    // take a while to start it.
    ASSERT_TRUE(waitUntil([&] { return rig.controller->deviceInstance() > before; }));
    const int duringSetUp = rig.controller->deviceInstance();
    rig.sim.detach("phone");
    ASSERT_TRUE(waitUntil([&] { return rig.controller->dev() == nullptr
                                       && rig.controller->deviceInstance() > duringSetUp; }));
    // Time for the set-up thread to finish against the device that is gone: whenever it
    // finishes, the raised generation makes it drop its result, so this only gives a fault
    // the chance to show.
    spin(800);
    EXPECT_FALSE(rig.controller->connectedStatus());
    EXPECT_FALSE(rig.hasConnection());
    EXPECT_EQ(rig.controller->dev(), nullptr);
    // Only the tear-down reached the window; nothing claims the old device is set up.
    EXPECT_EQ(rig.window.count("setupDevice"), 1);
    EXPECT_EQ(rig.window.count("reportPassCodeError") + rig.window.count("showErrorOnMain"), 0);
}

TEST(Connection, ASwitchAfterAFailedListingReachesTheNewDevice)
{
    ControllerRig rig;
    rig.sim.attach("a", "Alpha", "uid-a", false);
    rig.sim.attach("b", "Beta", "uid-b", false);
    rig.start();
    ASSERT_TRUE(waitUntil([&] { return rig.controller->connectedDevices().size() == 2; }));
    rig.controller->switchToDevice(rig.entry("uid-a", AppController::kInterfaceUSB));
    ASSERT_TRUE(rig.waitForConnection("uid-a"));

    rig.controller->setErrorCode(-3333); // what a failed folder listing leaves behind
    rig.controller->switchToDevice(rig.entry("uid-b", AppController::kInterfaceUSB));
    EXPECT_TRUE(rig.waitForConnection("uid-b"));
    EXPECT_EQ(rig.controller->errorCode(), 0);
}

TEST(Connection, TheWaitForTheMediaApplicationNeverHoldsTheDeviceLockAgainstTheMainThread)
{
    ControllerRig rig;
    deviceTimings().mediaAppSettleMs = 30;
    rig.start();
    gAFewSecondsHaveGoneBy.store(false);
    std::atomic<bool> locked{false};
    std::atomic<bool> done{false};
    // A file operation holds the device lock and starts the short wait of a connection
    // while the main thread waits for that same lock.
    std::thread worker([&] {
        std::lock_guard lock(rig.controller->mLock);
        locked.store(true);
        rig.controller->aFewSecondsHaveGoneBySetOnMain();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        done.store(true);
    });
    while (!locked.load())
        std::this_thread::yield();
    {
        std::lock_guard lock(rig.controller->mLock); // blocks the main thread until the worker lets go
        EXPECT_TRUE(done.load());
    }
    worker.join();
    EXPECT_FALSE(gAFewSecondsHaveGoneBy.load());
    EXPECT_TRUE(waitUntil([] { return gAFewSecondsHaveGoneBy.load(); }));
}
