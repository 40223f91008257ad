#pragma once
// A destination for events, named by a transmission target token (its target key is the
// part before the first "-"). Events tracked through a target carry its token and leave as
// common-schema logs. Targets form a tree: a child is enabled only while its parent is (a
// root: while the analytics service is); each target's enabled flag persists in the user
// defaults under "<service key>/<target key>". Each has a property configurator whose
// overrides and default properties apply to its own events and are inherited by its
// children. An authentication provider, set once for every target, adds a ticket key to
// the common-schema logs of enabled targets.
//
// Thread-safe: the enabled flag, the children and the event operation hold the analytics
// service's recursive lock. The channel hook tests the log's class and tokens before it
// takes that lock, so a log that is not this target's never waits for it. The provider slot
// has its own lock.

#include "telemetry/analytics/VUEventProperties.h"
#include "telemetry/core/VUChannelProtocols.h"
#include "telemetry/core/VUUtility.h"

#include <QMap>

#include <mutex>

class VUAnalyticsAuthenticationProvider;
class VUPropertyConfigurator;

class VUAnalyticsTransmissionTarget : public VUChannelDelegate,
                                      public std::enable_shared_from_this<VUAnalyticsTransmissionTarget>
{
public:
    // Made and registered (with its configurator) as a delegate of the channel group.
    static std::shared_ptr<VUAnalyticsTransmissionTarget> create(
        const QString &token, const std::shared_ptr<VUAnalyticsTransmissionTarget> &parentTarget,
        const std::shared_ptr<VUChannelGroupProtocol> &channelGroup);

    void trackEvent(const QString &eventName);
    void trackEvent(const QString &eventName, const VUPropertyList &properties, quint64 flags = 1);
    void trackEvent(const QString &eventName, const std::shared_ptr<VUEventProperties> &typedProperties,
                    quint64 flags = 1);
    std::shared_ptr<VUAnalyticsTransmissionTarget> transmissionTargetForToken(const QString &token);
    bool isEnabled() const;
    void setEnabled(bool isEnabled);
    void pause();
    void resume();
    bool isImmediateParent() const;

    void channelPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) override;

    static void addAuthenticationProvider(const std::shared_ptr<VUAnalyticsAuthenticationProvider> &provider);
    static std::shared_ptr<VUAnalyticsAuthenticationProvider> authenticationProvider();
    static void setAuthenticationProvider(std::shared_ptr<VUAnalyticsAuthenticationProvider> provider);

    std::shared_ptr<VUPropertyConfigurator> propertyConfigurator() const { return mPropertyConfigurator; }
    std::shared_ptr<VUAnalyticsTransmissionTarget> parentTarget() const { return mParentTarget; }
    QMap<QString, std::shared_ptr<VUAnalyticsTransmissionTarget>> childTransmissionTargets() const;
    QString isEnabledKey() const { return mIsEnabledKey; }
    std::shared_ptr<VUChannelGroupProtocol> channelGroup() const { return mChannelGroup.lock(); }
    QString transmissionTargetToken() const { return mTransmissionTargetToken; }

private:
    VUAnalyticsTransmissionTarget(const QString &token, std::shared_ptr<VUAnalyticsTransmissionTarget> parentTarget,
                                  std::shared_ptr<VUChannelGroupProtocol> channelGroup);

    std::shared_ptr<VUPropertyConfigurator> mPropertyConfigurator;
    std::shared_ptr<VUAnalyticsTransmissionTarget> mParentTarget;
    // Guarded by the analytics lock.
    QMap<QString, std::shared_ptr<VUAnalyticsTransmissionTarget>> mChildTransmissionTargets;
    QString mIsEnabledKey;
    // Weak: an event's log refers to its target until it is stored, and the log waits on the
    // group's own queue, so a strong reference would keep the group alive from inside it.
    std::weak_ptr<VUChannelGroupProtocol> mChannelGroup;
    QString mTransmissionTargetToken;
};
