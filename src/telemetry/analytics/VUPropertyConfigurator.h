#pragma once
// What one transmission target overrides in the common-schema logs of its own events: the
// application's version, name and locale and the user id (inherited by child targets, the
// nearest one set wins), the device id (this target's own, never inherited), and default
// event properties (a target's own win over its parent's, the event's own over all).
//
// Thread-safe: the overrides have their own lock, so the channel hook, which runs on any
// enqueuing thread, reads whole values; the default properties are changed and merged under
// the analytics service's lock. The hook tests the log's class and tag before it asks
// whether its target is enabled.

#include "telemetry/analytics/VUEventProperties.h"
#include "telemetry/core/VUChannelProtocols.h"

#include <mutex>

class VUAnalyticsTransmissionTarget;

class VUPropertyConfigurator : public VUChannelDelegate
{
public:
    explicit VUPropertyConfigurator(std::weak_ptr<VUAnalyticsTransmissionTarget> transmissionTarget);

    void setAppVersion(const std::optional<QString> &appVersion);
    void setAppName(const std::optional<QString> &appName);
    void setAppLocale(const std::optional<QString> &appLocale);
    // Accepted as the user-id context accepts a common-schema user id; "c:" is added when
    // the value has no prefix. A refused value keeps the previous one.
    void setUserId(const std::optional<QString> &userId);
    void setEventPropertyString(const std::optional<QString> &value, const std::optional<QString> &key);
    void setEventPropertyDouble(double value, const std::optional<QString> &key);
    void setEventPropertyInt64(qint64 value, const std::optional<QString> &key);
    void setEventPropertyBool(bool value, const std::optional<QString> &key);
    void setEventPropertyDate(const std::optional<QDateTime> &value, const std::optional<QString> &key);
    void removeEventPropertyForKey(const std::optional<QString> &key);
    void collectDeviceId();
    // Adds every default property whose key `properties` lacks.
    void mergeTypedPropertiesWith(VUEventProperties &properties) const;

    void channelPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) override;

    // "u:" and an identifier of this installation's machine that cannot be turned back into
    // its machine id (a keyed hash of /etc/machine-id, as a UUID).
    static QString getDeviceIdentifier();
    // The same from a given machine-id file (tests).
    static QString deviceIdentifierFromMachineIdFile(const QString &path);

    std::optional<QString> appVersion() const;
    std::optional<QString> appName() const;
    std::optional<QString> appLocale() const;
    std::optional<QString> userId() const;
    std::optional<QString> deviceId() const;
    std::shared_ptr<VUEventProperties> eventProperties() const { return mEventProperties; }

private:
    mutable std::mutex mOverridesLock;
    std::optional<QString> mAppVersion;
    std::optional<QString> mAppName;
    std::optional<QString> mAppLocale;
    std::optional<QString> mUserId;
    std::optional<QString> mDeviceId;
    std::weak_ptr<VUAnalyticsTransmissionTarget> mTransmissionTarget;
    std::shared_ptr<VUEventProperties> mEventProperties;
};
