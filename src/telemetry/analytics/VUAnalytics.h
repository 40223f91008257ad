#pragma once
// The usage-analytics service: sessions (through its session tracker, which sends one
// "startSession" log per session on the unit "Analytics"), events with string or typed
// properties and persistence flags, pages, transmission targets whose events leave as
// common-schema logs, pause and resume, automatic page tracking and a delegate that hears
// about event and page logs being sent. While enabled, the tracker and the service are
// delegates of the channel group: the tracker stamps session ids, the service filters and
// repairs its own logs (VUAnalytics+Validation.cpp) and tells its delegate what was sent.
//
// One shared instance per process (sharedInstance, made once, thread-safe). The public
// operations are the static ones; they forward to the shared instance.
//
// Thread-safe. Lock order: the core's lock, then this service's recursive lock (the service
// base's mLock, also taken by every transmission target and property configurator), then
// the session tracker's lock, then the session context's and the channel group's own locks.
// The channel delegate calls take no analytics lock before they have decided a log is theirs
// (class, tag and token are tested first), and the tracker calls its delegate with no lock
// of its own held.

#include "telemetry/analytics/VUEventProperties.h"
#include "telemetry/analytics/VULogWithNameAndProperties.h"
#include "telemetry/analytics/VUSessionTracker.h"
#include "telemetry/core/VUServiceAbstract.h"
#include "telemetry/core/VUUtility.h"

#include <QMap>

class VUAnalyticsDelegate;
class VUAnalyticsTransmissionTarget;

class VUAnalytics : public VUServiceAbstract, public VUSessionTrackerDelegate, public VUChannelDelegate
{
public:
    static constexpr int kMaxEventNameLength = 256;
    static constexpr int kMaxPropertiesPerEvent = 20;
    static constexpr int kMaxPropertyKeyLength = 125;
    static constexpr int kMaxPropertyValueLength = 125;

    static std::shared_ptr<VUAnalytics> sharedInstance();
    // Forgets the shared instance; the next sharedInstance() makes a new one.
    static void resetSharedInstance();
    // Makes the analytics log classes readable from the log database (once per process).
    static void registerLogClasses();

    VUAnalytics();
    ~VUAnalytics() override;

    // Identity.
    QString serviceName() const override { return QStringLiteral("Analytics"); }
    QString logTag() const override;
    QString groupId() const override { return QStringLiteral("Analytics"); }
    std::optional<VUChannelUnitConfiguration> channelUnitConfiguration() const override;
    bool isAppSecretRequired() const override { return false; }

    // Called by the core.
    void startWithChannelGroup(const std::shared_ptr<VUChannelGroupProtocol> &channelGroup,
                               const std::optional<QString> &appSecret,
                               const std::optional<QString> &transmissionTargetToken, bool fromApplication) override;
    void updateConfigurationWithAppSecret(const std::optional<QString> &appSecret,
                                          const std::optional<QString> &transmissionTargetToken) override;
    void applyEnabledState(bool isEnabled) override;
    // The base switch, then the same switch on every target handed out.
    void setEnabled(bool isEnabled) override;

    // Public class operations.
    static void trackEvent(const QString &eventName);
    static void trackEvent(const QString &eventName, const VUPropertyList &properties, quint64 flags = 1);
    static void trackEvent(const QString &eventName, const VUPropertyList &properties,
                           const std::shared_ptr<VUAnalyticsTransmissionTarget> &target, quint64 flags);
    static void trackEvent(const QString &eventName, const std::shared_ptr<VUEventProperties> &typedProperties,
                           quint64 flags = 1);
    static void trackEvent(const QString &eventName, const std::shared_ptr<VUEventProperties> &typedProperties,
                           const std::shared_ptr<VUAnalyticsTransmissionTarget> &target, quint64 flags);
    static void trackPage(const QString &pageName, const VUPropertyList &properties = {});
    static void pause();
    static void resume();
    static void setAutoPageTrackingEnabled(bool enabled);
    static bool isAutoPageTrackingEnabled();
    static std::shared_ptr<VUAnalyticsTransmissionTarget> transmissionTargetForToken(const QString &token);
    static void pauseTransmissionTargetForToken(const QString &token);
    static void resumeTransmissionTargetForToken(const QString &token);
    static void setDelegate(std::shared_ptr<VUAnalyticsDelegate> delegate);

    // Instance operations behind them.
    void trackEventOnInstance(const QString &eventName, const VUPropertyList &properties,
                              const std::shared_ptr<VUAnalyticsTransmissionTarget> &target, quint64 flags);
    void trackEventOnInstance(const QString &eventName, const std::shared_ptr<VUEventProperties> &typedProperties,
                              const std::shared_ptr<VUAnalyticsTransmissionTarget> &target, quint64 flags);
    void trackPageOnInstance(const QString &pageName, const VUPropertyList &properties);
    void pauseOnInstance();
    void resumeOnInstance();
    static VUStringProperties removeInvalidProperties(const VUPropertyList &properties);
    void sendLog(const std::shared_ptr<VUAbstractLog> &log, quint64 flags);
    std::shared_ptr<VUAnalyticsTransmissionTarget> transmissionTargetForTokenOnInstance(const QString &token);
    std::shared_ptr<VUAnalyticsTransmissionTarget> createTransmissionTargetForToken(const QString &token);
    void pauseTransmissionTargetForTokenOnInstance(const QString &token);
    void resumeTransmissionTargetForTokenOnInstance(const QString &token);
    std::shared_ptr<VUChannelUnitProtocol> vezUdudovezoChannelUnit();

    // Session tracker delegate.
    void sessionTrackerProcessLog(VUSessionTracker *tracker, const std::shared_ptr<VUAbstractLog> &log) override;

    // Channel delegate.
    void channelWillSendLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) override;
    void channelDidSucceedSendingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) override;
    void channelDidFailSendingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                                  const std::optional<VUError> &error) override;
    bool channelUnitShouldFilterLog(VUChannelUnitProtocol *unit, const std::shared_ptr<VUAbstractLog> &log) override;

    // Validation (VUAnalytics+Validation.cpp).
    static bool validateLog(VULogWithNameAndProperties &log);
    static std::optional<QString> validateEventName(const std::optional<QString> &eventName, const QString &logType);
    static VUStringProperties validateProperties(const VUPropertyList &properties, const QString &logName,
                                                 const QString &logType);
    static std::shared_ptr<VUEventProperties> validateVovUdezirEventProperties(
        const std::shared_ptr<VUEventProperties> &properties);
    static std::shared_ptr<VUTypedProperty> validateVovUdezirTypedProperty(const VUTypedProperty &property);
    static QString validateVovUdezirPropertyName(const QString &key);
    static QString validateVovUdezirStringTypedPropertyValue(const QString &value);

    // Accessors.
    bool autoPageTrackingEnabled() const { return mAutoPageTrackingEnabled.load(); }
    void setAutoPageTrackingEnabledOnInstance(bool enabled) { mAutoPageTrackingEnabled = enabled; }
    std::shared_ptr<VUSessionTracker> sessionTracker() const { return mSessionTracker; }
    std::shared_ptr<VUAnalyticsDelegate> delegate() const;
    void setDelegateOnInstance(std::shared_ptr<VUAnalyticsDelegate> delegate);
    std::shared_ptr<VUAnalyticsTransmissionTarget> defaultTransmissionTarget() const;
    // The service's recursive lock, which transmission targets share.
    std::recursive_mutex &lock() const { return mLock; }

private:
    std::shared_ptr<VUAnalytics> self();

    std::atomic<bool> mAutoPageTrackingEnabled{false};
    std::shared_ptr<VUSessionTracker> mSessionTracker;
    mutable std::mutex mDelegateLock;
    std::shared_ptr<VUAnalyticsDelegate> mDelegate;
    // Guarded by mLock.
    QMap<QString, std::shared_ptr<VUAnalyticsTransmissionTarget>> mTransmissionTargets;
    std::shared_ptr<VUAnalyticsTransmissionTarget> mDefaultTransmissionTarget;
    std::shared_ptr<VUChannelUnitProtocol> mVezUdudovezoChannelUnit;
};
