// Device discovery and choice: the framework's attach and detach notifications, the list of
// attached devices behind the device menu, and which device becomes the current one.

#include "device/AppController.h"

#include "device/DeviceTimings.h"
#include "device/FrameworkValues.h"
#include "device/MobileDeviceFramework.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "interfaces/FRWindowHub.h"
#include "shell/VarnekLogger.h"

#include <algorithm>

namespace {
constexpr int kDeviceUnusable = 4321;
}

void AppController::handleDeviceNotification(AMDeviceRef device, uint32_t message)
{
    VarnekLog("device_callback: code %d", int(message));
    if (message == kAMDeviceAttached) {
        mDeviceThreads.detach([this, device] { checkConnectionOnThread(device); });
        return;
    }
    if (message != kAMDeviceDetached)
        return;

    const int interface = interfaceForDev(device);
    if (interface == kInterfaceWiFi && device == dev() && connectedStatus() && mWindow
        && mWindow->opened()) {
        // A Wi-Fi device drops out briefly all the time: keep it, marked away.
        deviceStatusVacation(true);
        return;
    }
    if (interface == 0) {
        VarnekLog("device disconnect callback and device not in list, ignoring");
        return;
    }
    removeDevice(device);
    finishHandlingDisconnect(device);
    VarnekLog("device disconnect callback removing device");
}

int AppController::checkConnection(AMDeviceRef device)
{
    const bool useWifi = preferenceBool(QStringLiteral("USE_WIFI"));
    VarnekLog("Checking Connection");
    QString name;
    int interface = kInterfaceUSB;
    AMDError result = 0;
    {
        std::lock_guard lock(mLock);
        if (useWifi) {
            const int assertion = powerAssertionForDevice(device);
            if (assertion != 0 && assertion != kAMDNotPairedError) {
                VarnekLog("Could not do power assertion! Giving up.");
                return assertion;
            }
        }
        result = AMDeviceConnect(device);
        if (result == 0) {
            const AMDError session = AMDeviceStartSession(device);
            if (session) {
                VarnekLog("AMDeviceStartSession err in checkConnection %d", session);
                interface = kInterfaceUSB;
                result = session;
            } else {
                interface = deviceInterfaceType(device);
            }
            if (useWifi || interface == kInterfaceUSB)
                name = copyDeviceString(device, "DeviceName");
            if (!session)
                AMDeviceStopSession(device);
            AMDeviceDisconnect(device);
        }
    }
    VarnekLog("Connection %swork out.", name.isEmpty() ? "did not " : "did ");
    if (!name.isEmpty() && (useWifi || interface == kInterfaceUSB))
        return 0;
    return result ? result : kDeviceUnusable;
}

void AppController::checkConnectionOnThread(AMDeviceRef device)
{
    const int result = checkConnection(device);
    if (result == kAMDHostTooOldError)
        onMain([this] { showOSWarning(); });
    else if (result == 0)
        onMain([this, device] { finishHandlingConnect(device); });
}

ConnectedDeviceEntry AppController::addDevice(AMDeviceRef device)
{
    QString name;
    QString uid;
    QString identity;
    int interface = 0;
    bool hostTooOld = false;
    {
        std::lock_guard lock(mLock);
        if (AMDeviceConnect(device) == 0) {
            const AMDError session = AMDeviceStartSession(device);
            if (session == kAMDNotPairedError) {
                name = ConnectedDeviceEntry::kUnpairedName;
                uid = ConnectedDeviceEntry::kUnpairedUid;
                interface = kInterfaceUSB;
            } else if (session) {
                VarnekLog("AMDeviceStartSession err in addDevice %d", session);
                hostTooOld = session == kAMDHostTooOldError;
            } else {
                interface = deviceInterfaceType(device);
                name = copyDeviceString(device, "DeviceName");
                uid = copyDeviceString(device, "UniqueDeviceID");
                AMDeviceStopSession(device);
            }
            if (!uid.isEmpty())
                identity = deviceIdentity(device);
            AMDeviceDisconnect(device);
        }
    }
    if (hostTooOld)
        showOSWarning();
    if (name.isEmpty() || uid.isEmpty())
        return {};

    ConnectedDeviceEntry entry(name, uid, interface, device, identity);
    QList<ConnectedDeviceEntry> menu;
    {
        std::lock_guard lock(mConnectedDevicesLock);
        if (reachableStatus() && interface == interfaceType() && uid == connectedDeviceID()) {
            VarnekLog("device showed up, and it's the same UID and interface as the current one, ignore that");
            return {};
        }
        mConnectedDevices.removeIf([&](const ConnectedDeviceEntry &e) { return e.sameDevice(entry); });
        mConnectedDevices.append(entry);
        menu = mConnectedDevices;
    }
    if (mWindow)
        mWindow->updateDevicesMenuContents(menu);
    return entry;
}

void AppController::finishHandlingConnect(AMDeviceRef device)
{
    const ConnectedDeviceEntry entry = addDevice(device);
    if (entry.isNull())
        return;
    const bool mayChoose = entry.interfaceType() == kInterfaceUSB || connectToThis(entry.uid());
    if (mWaitingForConnections.load())
        return; // the start-up choice decides

    if (connectedStatus()) {
        if (entry.interfaceType() == kInterfaceWiFi && wirelessDeviceOnVacation(entry.uid())) {
            deviceStatusVacation(false);
            setDev(entry);
            if (wirelessDeviceVacationWasLong()) {
                VarnekLog("Device has been missing for 6 hours, so refresh the data");
                if (mWindow)
                    mWindow->doRefresh();
            } else {
                const int instance = deviceInstance();
                onMainAfter(deviceTimings().reloadAfterReturnMs.load(), [this, instance] {
                    if (mWindow)
                        mWindow->loadData(instance);
                });
            }
        }
        // A new device never replaces the current one by itself.
        if (mWindow)
            mWindow->updateDevicesMenuSelection({});
        return;
    }
    if (mayChoose) {
        setDev(entry);
        deviceStatusChanged(kStatusConnected);
    }
}

void AppController::finishHandlingDisconnect(AMDeviceRef device)
{
    if (mWaitingForConnections.load())
        return;
    if (!device)
        device = dev();
    if (device && device == dev()) {
        dropCachedBackupManifest();
        // The device is gone, but its connections still hold the framework's resources.
        closeConnections(false);
        setDev({});
        deviceStatusChanged(kStatusDisconnected);
    } else if (mWindow) {
        mWindow->updateDevicesMenuSelection({});
    }
}

bool AppController::devicesConnected() const
{
    std::lock_guard lock(mConnectedDevicesLock);
    return !mConnectedDevices.isEmpty();
}

QList<ConnectedDeviceEntry> AppController::connectedDevices() const
{
    std::lock_guard lock(mConnectedDevicesLock);
    return mConnectedDevices;
}

int AppController::interfaceForDev(AMDeviceRef device) const
{
    std::lock_guard lock(mConnectedDevicesLock);
    for (const ConnectedDeviceEntry &entry : mConnectedDevices)
        if (entry.dev() == device)
            return entry.interfaceType();
    return 0;
}

void AppController::removeDevice(AMDeviceRef device)
{
    QList<ConnectedDeviceEntry> menu;
    {
        std::lock_guard lock(mConnectedDevicesLock);
        const auto found = std::find_if(mConnectedDevices.begin(), mConnectedDevices.end(),
                                        [device](const auto &entry) { return entry.dev() == device; });
        if (found != mConnectedDevices.end())
            mConnectedDevices.erase(found);
        menu = mConnectedDevices;
    }
    if (mWindow)
        mWindow->updateDevicesMenuContents(menu);
}

void AppController::removeWifiDevices()
{
    QList<ConnectedDeviceEntry> menu;
    {
        std::lock_guard lock(mConnectedDevicesLock);
        for (qsizetype i = mConnectedDevices.size() - 1; i >= 0; --i)
            if (mConnectedDevices.at(i).interfaceType() == kInterfaceWiFi)
                mConnectedDevices.removeAt(i);
        menu = mConnectedDevices;
    }
    if (mWindow)
        mWindow->updateDevicesMenuContents(menu);
}

void AppController::switchToDevice(const ConnectedDeviceEntry &requested)
{
    mWaitingForConnections.store(false);
    if (!requested.isNull()) {
        if (requested.uid() == connectedDeviceID() && requested.interfaceType() == interfaceType())
            return;
        if (mStatus.load() == kStatusAway)
            removeDevice(dev());
    }
    cancelBackup();
    dropCachedBackupManifest();
    if (dev() || connectedStatus()) {
        stopSizeThread();
        if (mWindow)
            mWindow->stopPhotosThread();
        closeConnections(false);
        deviceStatusChanged(kStatusDisconnected);
    }

    ConnectedDeviceEntry chosen = requested;
    if (chosen.isNull()) {
        QList<ConnectedDeviceEntry> candidates;
        {
            std::lock_guard lock(mConnectedDevicesLock);
            std::stable_sort(mConnectedDevices.begin(), mConnectedDevices.end(), usbFirst);
            candidates = mConnectedDevices;
        }
        // connectToThis takes gKnownDevicesLock and then the list lock itself, so the choice
        // works on a copy rather than inside the list lock.
        const QString last = UserDefaults::standard().stringForKey(QStringLiteral("LAST_CONNECTED_DEVICE"));
        auto pick = [&](auto &&accept) {
            for (const ConnectedDeviceEntry &entry : candidates)
                if (accept(entry))
                    return entry;
            return ConnectedDeviceEntry();
        };
        auto usb = [](const ConnectedDeviceEntry &e) { return e.interfaceType() == kInterfaceUSB; };
        auto wifi = [](const ConnectedDeviceEntry &e) { return e.interfaceType() == kInterfaceWiFi; };
        chosen = pick([&](const auto &e) { return usb(e) && e.uid() == last; });
        if (chosen.isNull())
            chosen = pick([&](const auto &e) { return usb(e) && e.uid() != last; });
        if (chosen.isNull())
            chosen = pick([&](const auto &e) { return wifi(e) && e.uid() == last && connectToThis(e.uid()); });
        if (chosen.isNull())
            chosen = pick([&](const auto &e) { return wifi(e) && connectToThis(e.uid()); });
    }
    if (chosen.isNull())
        return;
    setDev(chosen);
    deviceStatusChanged(kStatusConnected);
}

void AppController::setDev(const ConnectedDeviceEntry &entry)
{
    mDev.store(entry.isNull() ? nullptr : entry.dev());
    mInterfaceType.store(entry.isNull() ? 0 : entry.interfaceType());
    {
        std::lock_guard lock(mDeviceValuesLock);
        mDeviceNumber = entry.isNull() ? QString() : entry.uid();
    }
    if (mWindow)
        mWindow->updateDevicesMenuSelection(entry);
}
