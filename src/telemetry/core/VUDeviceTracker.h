#pragma once
// The process-wide keeper of the current device description and of the last five
// descriptions with the time each was made ("pastDevicesKey" in the user defaults), so a
// log written in an earlier run can be given the description that was current then.
//
// A description is rebuilt only when something that goes into it was changed through this
// class (wrapper SDK, country code, an explicit refresh request) or after clearDevices.
// Host values: uname, /etc/os-release, DMI (/sys/class/dmi/id), the Qt locale and time
// zone, and the screen size from a provider the GUI installs ("0x0" without one).
//
// Thread-safe: every operation holds the tracker's lock (the telemetry queue, the crash
// service and the start-up thread call in). The screen-size provider is called under it,
// so it must not wait for the main thread.

#include "telemetry/core/VUDevice.h"
#include "telemetry/core/VUHistoryInfo.h"

#include <QSize>

#include <functional>
#include <mutex>

class VUDeviceTracker
{
public:
    static constexpr int kMaxDevicesHistoryCount = 5;

    static std::shared_ptr<VUDeviceTracker> sharedInstance();
    static void resetSharedInstance();
    static void refreshDeviceNextTime();
    // Screen size in device pixels; installed by the GUI.
    static void setScreenSizeProvider(std::function<QSize()> provider);

    VUDeviceTracker();

    void setWrapperSdk(std::shared_ptr<VUWrapperSdk> wrapperSdk);
    void setCountryCode(const std::optional<QString> &countryCode);
    std::shared_ptr<VUDevice> device();
    std::shared_ptr<VUDevice> updatedDevice();
    void refreshWrapperSdk(VUDevice &device) const;
    std::shared_ptr<VUDevice> deviceForTimestamp(const std::optional<QDateTime> &timestamp);
    void clearDevices();
    QList<std::shared_ptr<VUDeviceHistoryInfo>> deviceHistory() const;

    // Host values, each as the table of the description says.
    static QString deviceModel();
    static QString oemName();
    static QString osName();
    static std::optional<QString> osVersion();
    static QString osBuild();
    static QString locale();
    static qint64 timeZoneOffset();
    static QString screenSize();
    // "language[-Script]_COUNTRY" from a preferred-language tag; the country falls back to
    // `currentCountry` when the tag has none.
    static QString localeIdentifier(const QString &preferredLanguage, const QString &currentCountry);

private:
    void storeHistory();

    mutable std::recursive_mutex mLock;
    std::shared_ptr<VUDevice> mDevice;
    QList<std::shared_ptr<VUDeviceHistoryInfo>> mDeviceHistory;
};
