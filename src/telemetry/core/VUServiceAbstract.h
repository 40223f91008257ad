#pragma once
// The base of every telemetry service (the analytics and crashes services): its persistent
// enabled flag ("kVU<group id>IsEnabledKey" in the user defaults; absent means enabled),
// its start state, the channel group it was started with and its own channel unit.
//
// A concrete service is one shared instance (made once, handed to VUVovUdezir::start) and
// supplies its name, log tag, group id and, when it sends logs, its unit configuration;
// it may change its start priority (higher first) and whether it needs the app secret.
//
// States: made (not started) -> started (unit added) -> reconfigured by a later start from
// the application. Enabled and disabled at any time after start; disabling deletes the
// unit's stored logs.
//
// Thread-safe: the service's recursive lock guards its state and every enabled-state
// change. Lock order: the core's lock before a service's; a service reads the core's
// state before it takes its own lock.

#include "telemetry/core/VUChannelProtocols.h"

#include <mutex>
#include <optional>

class VUServiceAbstract : public std::enable_shared_from_this<VUServiceAbstract>
{
public:
    virtual ~VUServiceAbstract() = default;

    // What a concrete service supplies.
    virtual QString serviceName() const = 0;
    virtual QString logTag() const = 0;
    virtual QString groupId() const = 0;
    virtual std::optional<VUChannelUnitConfiguration> channelUnitConfiguration() const { return std::nullopt; }
    virtual qint64 initializationPriority() const { return 500; }
    virtual bool isAppSecretRequired() const { return true; }

    // The stored flag.
    bool isEnabled() const;
    // Changes the flag: applyEnabledState first (which sees the old stored value), then stores.
    // A service that switches more than its unit (analytics: its targets) extends it.
    virtual void setEnabled(bool isEnabled);
    // Base: the unit is enabled, or disabled with its logs deleted. Overrides call it first.
    virtual void applyEnabledState(bool isEnabled);
    bool canBeUsed() const;
    bool isAvailable() const;
    bool isStartedFromApplication() const;
    virtual void startWithChannelGroup(const std::shared_ptr<VUChannelGroupProtocol> &channelGroup,
                                       const std::optional<QString> &appSecret,
                                       const std::optional<QString> &transmissionTargetToken, bool fromApplication);
    virtual void updateConfigurationWithAppSecret(const std::optional<QString> &appSecret,
                                                  const std::optional<QString> &transmissionTargetToken);

    // The public switch and reading of one service (the design's class-level setEnabled and
    // isEnabled): refused before the service is started, and switching is refused while
    // the component as a whole is disabled, unless the component itself is switching.
    void setServiceEnabled(bool isEnabled);
    bool isServiceEnabled() const;

    QString isEnabledKey() const { return QStringLiteral("kVU%1IsEnabledKey").arg(groupId()); }
    std::shared_ptr<VUChannelGroupProtocol> channelGroup() const;
    std::shared_ptr<VUChannelUnitProtocol> channelUnit() const;
    std::optional<QString> appSecret() const;
    std::optional<QString> defaultTransmissionTargetToken() const;
    bool started() const;

protected:
    mutable std::recursive_mutex mLock;

private:
    bool mStartedFromApplication = false;
    bool mStarted = false;
    std::shared_ptr<VUChannelGroupProtocol> mChannelGroup;
    std::shared_ptr<VUChannelUnitProtocol> mChannelUnit;
    std::optional<QString> mAppSecret;
    std::optional<QString> mDefaultTransmissionTargetToken;
};
