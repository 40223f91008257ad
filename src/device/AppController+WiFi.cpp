// Wi-Fi devices: power assertions while they are checked, the wake-up thread, the known
// devices kept in "KnownDevices", and the away state of the current Wi-Fi device.

#include "device/AppController.h"

#include "device/DeviceTimings.h"
#include "device/FrameworkValues.h"
#include "device/MobileDeviceFramework.h"
#include "shell/Defaults.h"
#include "interfaces/FRWindowHub.h"
#include "shell/VarnekLogger.h"

#include <QDateTime>

int AppController::powerAssertionForDevice(AMDeviceRef device)
{
    if (!AMDevicePowerAssertionCreate)
        return 0; // nothing to keep awake with; the check goes on without it
    AMDError error = 0;
    const uint32_t assertion = AMDevicePowerAssertionCreate(
        device, "AMDPowerAssertionTypeWirelessSync", "com.apple.iTunes", nullptr, 1200.0, &error);
    VarnekLog("AMDevicePowerAssertionCreate: %d 0x%x", error, assertion);
    // The call's own result decides; an assertion number of 0 is no proof of success.
    return error;
}

void AppController::wakeupDeviceOnThread()
{
    if (!preferenceBool(QStringLiteral("USE_WIFI")))
        return;
    QList<QVariantMap> tokens;
    {
        std::lock_guard lock(gKnownDevicesLock);
        if (preferenceBool(QStringLiteral("USE_WIFI")))
            for (const KnownDeviceRecord &record : mKnownDevices)
                if (record.hasToken())
                    tokens.append(record.token());
    }
    for (const QVariantMap &token : tokens) {
        plist_t raw = plistFromVariant(token);
        if (!raw)
            continue;
        {
            std::lock_guard lock(mLock);
            if (AMDeviceWakeupUsingToken)
                AMDeviceWakeupUsingToken(raw);
        }
        plist_free(raw);
    }
}

bool AppController::connectToThis(const QString &uid)
{
    std::lock_guard known(gKnownDevicesLock);
    std::lock_guard attached(mConnectedDevicesLock);
    for (const KnownDeviceRecord &record : mKnownDevices) {
        if (record.uid() != uid)
            continue;
        if (!record.connect())
            return false;
        for (const ConnectedDeviceEntry &entry : mConnectedDevices)
            if (entry.interfaceType() == kInterfaceWiFi && entry.uid() == uid)
                return !entry.ejected();
        return true;
    }
    return true;
}

void AppController::saveKnownDevices()
{
    std::lock_guard lock(gKnownDevicesLock);
    KnownDeviceRecord::saveToDefaults(mKnownDevices);
}

void AppController::setMKnownDevicesOnMain(const QList<KnownDeviceRecord> &records)
{
    setMKnownDevices(records);
}

void AppController::recordKnownDevice(const QString &uid, const QString &name, const QVariantMap &token)
{
    // Set-up thread: gKnownDevicesLock alone, never the attached-device list.
    std::lock_guard lock(gKnownDevicesLock);
    bool connect = true;
    for (qsizetype i = 0; i < mKnownDevices.size(); ++i) {
        if (mKnownDevices.at(i).uid() == uid) {
            connect = mKnownDevices.at(i).connect();
            mKnownDevices.removeAt(i);
            break;
        }
    }
    mKnownDevices.append(KnownDeviceRecord(uid, token, connect, name));
    KnownDeviceRecord::saveToDefaults(mKnownDevices);
}

void AppController::markCurrentEjected(bool ejected)
{
    const QString uid = connectedDeviceID();
    const int interface = interfaceType();
    std::lock_guard lock(mConnectedDevicesLock);
    for (qsizetype i = 0; i < mConnectedDevices.size(); ++i) {
        // uid and interface: a device listed over USB and Wi-Fi has two entries.
        if (mConnectedDevices.at(i).uid() == uid && mConnectedDevices.at(i).interfaceType() == interface) {
            const ConnectedDeviceEntry marked = mConnectedDevices.at(i).withEjected(ejected);
            mConnectedDevices.removeAt(i);
            mConnectedDevices.append(marked);
            return;
        }
    }
}

void AppController::deviceStatusVacation(bool gone)
{
    if (gone) {
        VarnekLog("wireless device went away");
        mStatus.store(kStatusAway);
        mMissingDate = QDateTime::currentDateTimeUtc();
    } else {
        VarnekLog("wireless device came back");
        mStatus.store(kStatusConnected);
    }
    // The connections of the old device reference are dead either way: close them, so the
    // next file operation connects afresh.
    releaseConnections();
    updateStatusMessage();
}

bool AppController::wirelessDeviceOnVacation(const QString &uid) const
{
    if (mStatus.load() != kStatusAway)
        return false;
    return uid.isEmpty() || uid == connectedDeviceID();
}

bool AppController::wirelessDeviceVacationWasLong() const
{
    if (!mMissingDate.isValid())
        return false;
    const qint64 away = mMissingDate.msecsTo(QDateTime::currentDateTimeUtc());
    return away > qint64(deviceTimings().longAbsenceSeconds.load()) * 1000;
}

void AppController::disconnectFromWifi()
{
    removeWifiDevices();
    if (interfaceType() == kInterfaceWiFi && dev())
        finishHandlingDisconnect(dev());
}

void AppController::resubscribe()
{
    if (!AMDeviceNotificationSubscribe)
        return;
    subscribeToDevices();
}
