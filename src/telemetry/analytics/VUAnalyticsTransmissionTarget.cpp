#include "telemetry/analytics/VUAnalyticsTransmissionTarget.h"

#include "telemetry/analytics/VUAnalytics.h"
#include "telemetry/analytics/VUAnalyticsAuthenticationProvider.h"
#include "telemetry/analytics/VUAnalyticsLogTag.h"
#include "telemetry/analytics/VUPropertyConfigurator.h"
#include "telemetry/core/VUCommonSchemaLog.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUUserDefaults.h"

#include "platform/UserDefaults.h"

namespace {

std::mutex gProviderLock;
std::shared_ptr<VUAnalyticsAuthenticationProvider> gAuthenticationProvider;

std::recursive_mutex &analyticsLock()
{
    return VUAnalytics::sharedInstance()->lock();
}

} // namespace

std::shared_ptr<VUAnalyticsTransmissionTarget> VUAnalyticsTransmissionTarget::create(
    const QString &token, const std::shared_ptr<VUAnalyticsTransmissionTarget> &parentTarget,
    const std::shared_ptr<VUChannelGroupProtocol> &channelGroup)
{
    std::shared_ptr<VUAnalyticsTransmissionTarget> target(
        new VUAnalyticsTransmissionTarget(token, parentTarget, channelGroup));
    target->mPropertyConfigurator = std::make_shared<VUPropertyConfigurator>(target);
    if (channelGroup) {
        // Held weakly by the group: they leave its table when they are freed.
        channelGroup->addDelegate(std::weak_ptr<VUChannelDelegate>(target->mPropertyConfigurator));
        channelGroup->addDelegate(std::weak_ptr<VUChannelDelegate>(target));
    }
    return target;
}

VUAnalyticsTransmissionTarget::VUAnalyticsTransmissionTarget(const QString &token,
                                                             std::shared_ptr<VUAnalyticsTransmissionTarget> parentTarget,
                                                             std::shared_ptr<VUChannelGroupProtocol> channelGroup)
    : mParentTarget(std::move(parentTarget)), mChannelGroup(channelGroup), mTransmissionTargetToken(token)
{
    // A token without a target key keys its flag by the whole token, so such targets do
    // not all share one flag.
    const QString key = VUUtility::targetKeyFromTargetToken(token).value_or(token);
    mIsEnabledKey = QStringLiteral("%1/%2").arg(VUAnalytics::sharedInstance()->isEnabledKey(), key);
    if (!isImmediateParent())
        VUUserDefaults::shared()->setObject(false, mIsEnabledKey);
}

void VUAnalyticsTransmissionTarget::trackEvent(const QString &eventName)
{
    trackEvent(eventName, VUPropertyList(), 1);
}

void VUAnalyticsTransmissionTarget::trackEvent(const QString &eventName, const VUPropertyList &properties, quint64 flags)
{
    std::shared_ptr<VUEventProperties> typed;
    if (!properties.isEmpty()) {
        typed = std::make_shared<VUEventProperties>();
        for (const auto &[key, value] : properties) {
            const bool isString = value.metaType().id() == QMetaType::QString;
            typed->setString(isString ? std::optional<QString>(value.toString()) : std::nullopt,
                             key.isNull() ? std::nullopt : std::optional<QString>(key));
        }
    }
    trackEvent(eventName, typed, flags);
}

void VUAnalyticsTransmissionTarget::trackEvent(const QString &eventName,
                                               const std::shared_ptr<VUEventProperties> &typedProperties,
                                               quint64 flags)
{
    std::shared_ptr<VUEventProperties> merged = std::make_shared<VUEventProperties>();
    {
        std::lock_guard guard(analyticsLock());
        for (const VUAnalyticsTransmissionTarget *target = this; target; target = target->mParentTarget.get())
            target->mPropertyConfigurator->mergeTypedPropertiesWith(*merged);
    }
    if (typedProperties)
        merged->mergeEventProperties(*typedProperties);
    else if (merged->isEmpty())
        merged = nullptr;
    VUAnalytics::trackEvent(eventName, merged, shared_from_this(), flags);
}

std::shared_ptr<VUAnalyticsTransmissionTarget> VUAnalyticsTransmissionTarget::transmissionTargetForToken(
    const QString &token)
{
    std::lock_guard guard(analyticsLock());
    if (const auto child = mChildTransmissionTargets.value(token))
        return child;
    auto child = create(token, shared_from_this(), mChannelGroup.lock());
    mChildTransmissionTargets.insert(token, child);
    return child;
}

QMap<QString, std::shared_ptr<VUAnalyticsTransmissionTarget>> VUAnalyticsTransmissionTarget::childTransmissionTargets() const
{
    std::lock_guard guard(analyticsLock());
    return mChildTransmissionTargets;
}

bool VUAnalyticsTransmissionTarget::isEnabled() const
{
    std::lock_guard guard(analyticsLock());
    const QVariant stored = VUUserDefaults::shared()->objectForKey(mIsEnabledKey);
    return !stored.isValid() || variantBoolValue(stored);
}

void VUAnalyticsTransmissionTarget::setEnabled(bool enabled)
{
    std::lock_guard guard(analyticsLock());
    if (enabled != isEnabled()) {
        if (enabled && !isImmediateParent()) {
            VULogWarning(VUAnalyticsLogTag(),
                         "Can't enable; parent transmission target and/or Analytics service is disabled.");
            return;
        }
        VUUserDefaults::shared()->setObject(enabled, mIsEnabledKey);
        if (enabled)
            resume();
    }
    for (const auto &child : std::as_const(mChildTransmissionTargets))
        child->setEnabled(enabled);
}

void VUAnalyticsTransmissionTarget::pause()
{
    if (!isEnabled()) {
        VULogError(VUAnalyticsLogTag(), "This transmission target is disabled.");
        return;
    }
    VUAnalytics::pauseTransmissionTargetForToken(mTransmissionTargetToken);
}

void VUAnalyticsTransmissionTarget::resume()
{
    if (!isEnabled()) {
        VULogError(VUAnalyticsLogTag(), "This transmission target is disabled.");
        return;
    }
    VUAnalytics::resumeTransmissionTargetForToken(mTransmissionTargetToken);
}

bool VUAnalyticsTransmissionTarget::isImmediateParent() const
{
    if (mParentTarget)
        return mParentTarget->isEnabled();
    return VUAnalytics::sharedInstance()->isServiceEnabled();
}

void VUAnalyticsTransmissionTarget::channelPrepareLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &log)
{
    // Cheap tests first: only this target's common-schema logs reach the analytics lock.
    const auto csLog = std::dynamic_pointer_cast<VUCommonSchemaLog>(log);
    if (!csLog)
        return;
    const auto tokens = csLog->transmissionTargetTokens();
    if (!tokens || !tokens->contains(mTransmissionTargetToken))
        return;
    const auto provider = authenticationProvider();
    if (!provider || !isEnabled())
        return;
    if (!csLog->ext)
        csLog->ext = std::make_shared<VUCSExtensions>();
    if (!csLog->ext->protocolExt)
        csLog->ext->protocolExt = std::make_shared<VUProtocolExtension>();
    csLog->ext->protocolExt->ticketKeys = QStringList{provider->ticketKeyHash()};
    provider->checkTokenExpiry();
}

void VUAnalyticsTransmissionTarget::addAuthenticationProvider(
    const std::shared_ptr<VUAnalyticsAuthenticationProvider> &provider)
{
    if (!provider) {
        VULogError(VUAnalyticsLogTag(), "Authentication provider may not be null.");
        return;
    }
    setAuthenticationProvider(provider);
    provider->acquireTokenAsync();
}

std::shared_ptr<VUAnalyticsAuthenticationProvider> VUAnalyticsTransmissionTarget::authenticationProvider()
{
    std::lock_guard guard(gProviderLock);
    return gAuthenticationProvider;
}

void VUAnalyticsTransmissionTarget::setAuthenticationProvider(std::shared_ptr<VUAnalyticsAuthenticationProvider> provider)
{
    std::lock_guard guard(gProviderLock);
    gAuthenticationProvider = std::move(provider);
}
