#include "telemetry/core/VUServiceAbstract.h"

#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUUserDefaults.h"
#include "telemetry/core/VUVovUdezir.h"

#include "platform/UserDefaults.h"

bool VUServiceAbstract::isEnabled() const
{
    const QVariant stored = VUUserDefaults::shared()->objectForKey(isEnabledKey());
    return !stored.isValid() || variantBoolValue(stored);
}

void VUServiceAbstract::setEnabled(bool enabled)
{
    std::lock_guard guard(mLock);
    if (enabled == isEnabled())
        return;
    applyEnabledState(enabled);
    VUUserDefaults::shared()->setObject(enabled, isEnabledKey());
}

void VUServiceAbstract::applyEnabledState(bool enabled)
{
    std::shared_ptr<VUChannelUnitProtocol> unit;
    {
        std::lock_guard guard(mLock);
        unit = mChannelUnit;
    }
    if (unit)
        unit->setEnabled(enabled, true);
}

bool VUServiceAbstract::canBeUsed() const
{
    const bool configured = VUVovUdezir::sharedInstance()->sdkConfigured();
    std::lock_guard guard(mLock);
    if (configured && mStarted)
        return true;
    VULogError(VULogTag(),
               "%s service hasn't been started. You need to call [VUVovUdezir start:YOUR_APP_SECRET "
               "withServices:LIST_OF_SERVICES] first.",
               qUtf8Printable(serviceName()));
    return false;
}

bool VUServiceAbstract::isAvailable() const
{
    std::lock_guard guard(mLock);
    return isEnabled() && mStarted;
}

bool VUServiceAbstract::isStartedFromApplication() const
{
    std::lock_guard guard(mLock);
    return mStartedFromApplication;
}

void VUServiceAbstract::startWithChannelGroup(const std::shared_ptr<VUChannelGroupProtocol> &channelGroup,
                                              const std::optional<QString> &appSecret,
                                              const std::optional<QString> &transmissionTargetToken,
                                              bool fromApplication)
{
    std::lock_guard guard(mLock);
    mStartedFromApplication = fromApplication;
    mChannelGroup = channelGroup;
    mAppSecret = appSecret;
    mDefaultTransmissionTargetToken = transmissionTargetToken;
    mStarted = true;
    if (const auto configuration = channelUnitConfiguration(); configuration && channelGroup)
        mChannelUnit = channelGroup->addChannelUnitWithConfiguration(*configuration);
    if (isEnabled())
        applyEnabledState(true);
}

void VUServiceAbstract::updateConfigurationWithAppSecret(const std::optional<QString> &appSecret,
                                                         const std::optional<QString> &transmissionTargetToken)
{
    std::lock_guard guard(mLock);
    mStartedFromApplication = true;
    mAppSecret = appSecret;
    mDefaultTransmissionTargetToken = transmissionTargetToken;
    if (isEnabled())
        applyEnabledState(true);
}

void VUServiceAbstract::setServiceEnabled(bool enabled)
{
    // The core's state is read before this service's lock is taken (lock order).
    const auto core = VUVovUdezir::sharedInstance();
    const bool coreEnabled = VUVovUdezir::isEnabled();
    const bool coreSwitching = core->enabledStateUpdating();
    std::lock_guard guard(mLock);
    if (!canBeUsed())
        return;
    if (!coreEnabled && !coreSwitching) {
        VULogError(VULogTag(),
                   "The SDK is disabled. Re-enable the whole SDK from VovUdezir first before enabling %s service.",
                   qUtf8Printable(serviceName()));
        return;
    }
    setEnabled(enabled);
}

bool VUServiceAbstract::isServiceEnabled() const
{
    std::lock_guard guard(mLock);
    return canBeUsed() && isEnabled();
}

std::shared_ptr<VUChannelGroupProtocol> VUServiceAbstract::channelGroup() const
{
    std::lock_guard guard(mLock);
    return mChannelGroup;
}

std::shared_ptr<VUChannelUnitProtocol> VUServiceAbstract::channelUnit() const
{
    std::lock_guard guard(mLock);
    return mChannelUnit;
}

std::optional<QString> VUServiceAbstract::appSecret() const
{
    std::lock_guard guard(mLock);
    return mAppSecret;
}

std::optional<QString> VUServiceAbstract::defaultTransmissionTargetToken() const
{
    std::lock_guard guard(mLock);
    return mDefaultTransmissionTargetToken;
}

bool VUServiceAbstract::started() const
{
    std::lock_guard guard(mLock);
    return mStarted;
}
