#pragma once
// One run of the device controller against simulated devices, for the controller tests:
// a fresh home (defaults), a throw-away device folder (QUILLON_SIM_DEVICES), a recording
// window and an AppController started the way the main window starts it.
//
// Devices are made from tests/fixtures/controller/phone.plist with a name, a uid, an
// interface and extra settings; every folder change is atomic (a rename), so the device
// library never sees half a device. Main thread only; wait() turns the event loop.

#include "TestWait.h"
#include "RecordingWindow.h"
#include "TestHome.h"
#include "device/AppController.h"

#include <QTemporaryDir>
#include <QVariantMap>

#include <functional>
#include <memory>

class SimFolder
{
public:
    SimFolder();
    ~SimFolder();
    SimFolder(const SimFolder &) = delete;
    SimFolder &operator=(const SimFolder &) = delete;

    QString root() const { return mDir.path(); }
    // Attaches a device: `settings` is merged over the fixture (top-level keys), the
    // identity values over its "Values".
    void attach(const QString &folder, const QString &name, const QString &uid, bool wifi,
                const QVariantMap &settings = {});
    void detach(const QString &folder);
    // The "away" marker of a Wi-Fi device.
    void setAway(const QString &folder, bool away);
    // The device's fault file ({} removes it).
    void setFaults(const QString &folder, const QVariantMap &faults);

private:
    QTemporaryDir mDir;
    QTemporaryDir mStaging; // same file system, outside the watched folder
    QByteArray mPrevious;
    bool mHadPrevious = false;
};

// Turns the event loop for `ms`.
void spin(int ms);

struct ControllerRig
{
    ControllerRig();
    ~ControllerRig();

    // Creates and starts the controller (awakeFromNib, setupiPhone) and waits until device
    // handling has begun. `useWifi` sets "USE_WIFI" first.
    void start(bool useWifi = false);
    // Ends the run as the program's end would (threads stopped, subscription ended).
    void stop();
    // Waits until the controller shows `uid` as the connected, reachable device.
    bool waitForConnection(const QString &uid, int timeoutMs = 5000);
    // Whether the media-area (or, with `whole`, the whole-filesystem) connection is open,
    // read under the device lock like every other user of it.
    bool hasConnection(bool whole = false) const;
    // The attached-device entry with this uid and interface, or a null entry.
    ConnectedDeviceEntry entry(const QString &uid, int interfaceType) const;
    // The text of this run's log file (DEBUG_LOG is on for every rig).
    QString logText() const;

    TestHome home;
    SimFolder sim;
    RecordingWindow window;
    std::unique_ptr<AppController> controller;
};
