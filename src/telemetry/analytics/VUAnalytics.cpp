#include "telemetry/analytics/VUAnalytics.h"

#include "telemetry/analytics/VUAnalyticsCategory.h"
#include "telemetry/analytics/VUAnalyticsDelegate.h"
#include "telemetry/analytics/VUAnalyticsLogTag.h"
#include "telemetry/analytics/VUAnalyticsTransmissionTarget.h"
#include "telemetry/analytics/VUEventLog.h"
#include "telemetry/analytics/VUPageLog.h"
#include "telemetry/analytics/VUStartSessionLog.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUSessionContext.h"
#include "telemetry/core/VUUserIdContext.h"

#include "platform/MainThread.h"

#include <QUuid>

namespace {

std::mutex gSharedLock;

// Never destroyed at exit, like the core's shared instance: telemetry threads may still
// call into it while static objects go away.
std::shared_ptr<VUAnalytics> &gSharedSlot()
{
    static auto *slot = new std::shared_ptr<VUAnalytics>();
    return *slot;
}

} // namespace

std::shared_ptr<VUAnalytics> VUAnalytics::sharedInstance()
{
    std::lock_guard guard(gSharedLock);
    auto &shared = gSharedSlot();
    if (!shared) {
        shared = std::make_shared<VUAnalytics>();
        shared->mSessionTracker->setDelegate(std::weak_ptr<VUSessionTrackerDelegate>(shared));
    }
    return shared;
}

void VUAnalytics::resetSharedInstance()
{
    std::shared_ptr<VUAnalytics> previous;
    {
        std::lock_guard guard(gSharedLock);
        previous.swap(gSharedSlot());
    }
}

void VUAnalytics::registerLogClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        VUKeyedCoding::registerClass(QStringLiteral("VULogWithNameAndProperties"),
                                     [] { return std::make_shared<VULogWithNameAndProperties>(); });
        VUKeyedCoding::registerClass(QStringLiteral("VUEventLog"), [] { return std::make_shared<VUEventLog>(); });
        VUKeyedCoding::registerClass(QStringLiteral("VUPageLog"), [] { return std::make_shared<VUPageLog>(); });
        VUKeyedCoding::registerClass(QStringLiteral("VUStartSessionLog"),
                                     [] { return std::make_shared<VUStartSessionLog>(); });
        VUKeyedCoding::registerClass(QStringLiteral("VUEventProperties"),
                                     [] { return std::make_shared<VUEventProperties>(); });
    });
}

VUAnalytics::VUAnalytics() : mSessionTracker(std::make_shared<VUSessionTracker>())
{
    registerLogClasses();
}

VUAnalytics::~VUAnalytics() = default;

QString VUAnalytics::logTag() const
{
    return VUAnalyticsLogTag();
}

std::optional<VUChannelUnitConfiguration> VUAnalytics::channelUnitConfiguration() const
{
    return VUChannelUnitConfiguration::defaultConfigurationWithGroupId(groupId());
}

std::shared_ptr<VUAnalytics> VUAnalytics::self()
{
    return std::static_pointer_cast<VUAnalytics>(shared_from_this());
}

// Core-facing operations.

void VUAnalytics::startWithChannelGroup(const std::shared_ptr<VUChannelGroupProtocol> &channelGroup,
                                        const std::optional<QString> &appSecret,
                                        const std::optional<QString> &transmissionTargetToken, bool fromApplication)
{
    std::lock_guard guard(mLock);
    VUServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
    if (transmissionTargetToken)
        mDefaultTransmissionTarget = createTransmissionTargetForToken(*transmissionTargetToken);
    VUAnalyticsCategory::activateCategory();
    VULogVerbose(logTag(), "Started Analytics service.");
}

void VUAnalytics::updateConfigurationWithAppSecret(const std::optional<QString> &appSecret,
                                                   const std::optional<QString> &transmissionTargetToken)
{
    std::lock_guard guard(mLock);
    VUServiceAbstract::updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
    if (transmissionTargetToken && !mDefaultTransmissionTarget)
        mDefaultTransmissionTarget = createTransmissionTargetForToken(*transmissionTargetToken);
}

void VUAnalytics::applyEnabledState(bool enabled)
{
    std::lock_guard guard(mLock);
    VUServiceAbstract::applyEnabledState(enabled);
    if (isStartedFromApplication()) {
        const auto group = channelGroup();
        if (enabled) {
            resumeOnInstance();
            mSessionTracker->start();
            if (group) {
                // Once each, however often the service is enabled again.
                group->removeDelegate(mSessionTracker.get());
                group->removeDelegate(static_cast<VUChannelDelegate *>(this));
                group->addDelegate(std::weak_ptr<VUChannelDelegate>(mSessionTracker));
                group->addDelegate(std::weak_ptr<VUChannelDelegate>(std::static_pointer_cast<VUChannelDelegate>(self())));
            }
            if (autoPageTrackingEnabled()) {
                MainThread::performOnMainThread([] {
                    const QString missed = VUAnalyticsCategory::missedPageViewName();
                    if (!missed.isEmpty())
                        VUAnalytics::trackPage(missed);
                });
            }
        } else {
            if (group) {
                group->removeDelegate(mSessionTracker.get());
                group->removeDelegate(static_cast<VUChannelDelegate *>(this));
            }
            mSessionTracker->stop();
            VUSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
        }
    }
    VULogInfo(logTag(), "Analytics service has been %s.", enabled ? "enabled" : "disabled");
}

void VUAnalytics::setEnabled(bool enabled)
{
    std::lock_guard guard(mLock);
    VUServiceAbstract::setEnabled(enabled);
    for (const auto &target : std::as_const(mTransmissionTargets))
        target->setEnabled(enabled);
}

// Class operations.

void VUAnalytics::trackEvent(const QString &eventName)
{
    trackEvent(eventName, VUPropertyList(), 1);
}

void VUAnalytics::trackEvent(const QString &eventName, const VUPropertyList &properties, quint64 flags)
{
    trackEvent(eventName, properties, nullptr, flags);
}

void VUAnalytics::trackEvent(const QString &eventName, const VUPropertyList &properties,
                             const std::shared_ptr<VUAnalyticsTransmissionTarget> &target, quint64 flags)
{
    sharedInstance()->trackEventOnInstance(eventName, properties, target, flags);
}

void VUAnalytics::trackEvent(const QString &eventName, const std::shared_ptr<VUEventProperties> &typedProperties,
                             quint64 flags)
{
    trackEvent(eventName, typedProperties, nullptr, flags);
}

void VUAnalytics::trackEvent(const QString &eventName, const std::shared_ptr<VUEventProperties> &typedProperties,
                             const std::shared_ptr<VUAnalyticsTransmissionTarget> &target, quint64 flags)
{
    sharedInstance()->trackEventOnInstance(eventName, typedProperties, target, flags);
}

void VUAnalytics::trackPage(const QString &pageName, const VUPropertyList &properties)
{
    sharedInstance()->trackPageOnInstance(pageName, properties);
}

void VUAnalytics::pause()
{
    sharedInstance()->pauseOnInstance();
}

void VUAnalytics::resume()
{
    sharedInstance()->resumeOnInstance();
}

void VUAnalytics::setAutoPageTrackingEnabled(bool enabled)
{
    sharedInstance()->setAutoPageTrackingEnabledOnInstance(enabled);
}

bool VUAnalytics::isAutoPageTrackingEnabled()
{
    return sharedInstance()->autoPageTrackingEnabled();
}

std::shared_ptr<VUAnalyticsTransmissionTarget> VUAnalytics::transmissionTargetForToken(const QString &token)
{
    return sharedInstance()->transmissionTargetForTokenOnInstance(token);
}

void VUAnalytics::pauseTransmissionTargetForToken(const QString &token)
{
    sharedInstance()->pauseTransmissionTargetForTokenOnInstance(token);
}

void VUAnalytics::resumeTransmissionTargetForToken(const QString &token)
{
    sharedInstance()->resumeTransmissionTargetForTokenOnInstance(token);
}

void VUAnalytics::setDelegate(std::shared_ptr<VUAnalyticsDelegate> delegate)
{
    sharedInstance()->setDelegateOnInstance(std::move(delegate));
}

// Instance operations.

void VUAnalytics::trackEventOnInstance(const QString &eventName,
                                       const std::shared_ptr<VUEventProperties> &typedProperties,
                                       const std::shared_ptr<VUAnalyticsTransmissionTarget> &target, quint64 flags)
{
    std::lock_guard guard(mLock);
    if (!canBeUsed() || !isEnabled())
        return;
    const auto chosenTarget = target ? target : mDefaultTransmissionTarget;
    unsigned persistence = unsigned(flags & 0xff);
    if (persistence != 1 && persistence != 2) {
        VULogWarning(logTag(), "Invalid flags (%u) received, using normal as a default.", persistence);
        persistence = 1;
    }
    auto log = std::make_shared<VUEventLog>();
    if (chosenTarget) {
        if (!chosenTarget->isEnabled()) {
            VULogError(logTag(), "This transmission target is disabled.");
            return;
        }
        log->addTransmissionTargetToken(chosenTarget->transmissionTargetToken());
        log->tag = chosenTarget;
        if (chosenTarget == mDefaultTransmissionTarget)
            log->userId = VUUserIdContext::sharedInstance()->userId();
    }
    if (!eventName.isNull())
        log->name = eventName;
    log->eventId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    auto properties = typedProperties;
    if (!mDefaultTransmissionTarget)
        properties = validateVovUdezirEventProperties(properties);
    log->typedProperties = properties && !properties->isEmpty() ? properties : nullptr;
    sendLog(log, persistence);
}

void VUAnalytics::trackEventOnInstance(const QString &eventName, const VUPropertyList &properties,
                                       const std::shared_ptr<VUAnalyticsTransmissionTarget> &target, quint64 flags)
{
    trackEventOnInstance(eventName, VUEventProperties::initWithStringDictionary(removeInvalidProperties(properties)),
                         target, flags);
}

VUStringProperties VUAnalytics::removeInvalidProperties(const VUPropertyList &properties)
{
    // Keys are strings by type here; a value that is not a string is dropped silently.
    VUStringProperties result;
    for (const auto &[key, value] : properties) {
        if (value.metaType().id() != QMetaType::QString)
            continue;
        auto existing = std::find_if(result.begin(), result.end(), [&key](const auto &entry) { return entry.first == key; });
        if (existing != result.end())
            existing->second = value.toString();
        else
            result.append({key, value.toString()});
    }
    return result;
}

void VUAnalytics::trackPageOnInstance(const QString &pageName, const VUPropertyList &properties)
{
    std::lock_guard guard(mLock);
    if (!canBeUsed() || !isEnabled())
        return;
    auto log = std::make_shared<VUPageLog>();
    if (!pageName.isNull())
        log->name = pageName;
    if (!properties.isEmpty()) {
        QMap<QString, QString> map;
        for (const auto &[key, value] : removeInvalidProperties(properties))
            map.insert(key, value);
        log->properties = map;
    }
    sendLog(log, 1);
}

void VUAnalytics::pauseOnInstance()
{
    std::lock_guard guard(mLock);
    if (!canBeUsed())
        return;
    if (const auto unit = channelUnit())
        unit->pauseWithIdentifyingObject(this);
}

void VUAnalytics::resumeOnInstance()
{
    std::lock_guard guard(mLock);
    if (!canBeUsed())
        return;
    if (const auto unit = channelUnit())
        unit->resumeWithIdentifyingObject(this);
}

void VUAnalytics::sendLog(const std::shared_ptr<VUAbstractLog> &log, quint64 flags)
{
    if (const auto unit = channelUnit())
        unit->enqueueItem(log, flags);
}

std::shared_ptr<VUAnalyticsTransmissionTarget> VUAnalytics::transmissionTargetForTokenOnInstance(const QString &token)
{
    std::lock_guard guard(mLock);
    if (const auto found = mTransmissionTargets.value(token)) {
        VULogDebug(logTag(), "Returning transmission target found with id %s.",
                   qUtf8Printable(VUUtility::targetKeyFromTargetToken(token).value_or(QString())));
        return found;
    }
    auto target = createTransmissionTargetForToken(token);
    mTransmissionTargets.insert(token, target);
    return target;
}

std::shared_ptr<VUAnalyticsTransmissionTarget> VUAnalytics::createTransmissionTargetForToken(const QString &token)
{
    auto target = VUAnalyticsTransmissionTarget::create(token, nullptr, channelGroup());
    VULogDebug(logTag(), "Created transmission target with target key %s.",
               qUtf8Printable(VUUtility::targetKeyFromTargetToken(token).value_or(QString())));
    return target;
}

void VUAnalytics::pauseTransmissionTargetForTokenOnInstance(const QString &token)
{
    if (const auto unit = vezUdudovezoChannelUnit())
        unit->pauseSendingLogsWithToken(token);
}

void VUAnalytics::resumeTransmissionTargetForTokenOnInstance(const QString &token)
{
    if (const auto unit = vezUdudovezoChannelUnit())
        unit->resumeSendingLogsWithToken(token);
}

std::shared_ptr<VUChannelUnitProtocol> VUAnalytics::vezUdudovezoChannelUnit()
{
    std::lock_guard guard(mLock);
    if (!mVezUdudovezoChannelUnit) {
        if (const auto group = channelGroup())
            mVezUdudovezoChannelUnit = group->channelUnitForGroupId(groupId() + QStringLiteral("/one"));
    }
    return mVezUdudovezoChannelUnit;
}

void VUAnalytics::sessionTrackerProcessLog(VUSessionTracker *, const std::shared_ptr<VUAbstractLog> &log)
{
    sendLog(log, 1);
}

// Channel delegate: no analytics lock, only the delegate's slot.

std::shared_ptr<VUAnalyticsDelegate> VUAnalytics::delegate() const
{
    std::lock_guard guard(mDelegateLock);
    return mDelegate;
}

void VUAnalytics::setDelegateOnInstance(std::shared_ptr<VUAnalyticsDelegate> delegate)
{
    std::lock_guard guard(mDelegateLock);
    mDelegate = std::move(delegate);
}

std::shared_ptr<VUAnalyticsTransmissionTarget> VUAnalytics::defaultTransmissionTarget() const
{
    std::lock_guard guard(mLock);
    return mDefaultTransmissionTarget;
}

void VUAnalytics::channelWillSendLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &log)
{
    const auto listener = delegate();
    if (!listener)
        return;
    if (const auto event = std::dynamic_pointer_cast<VUEventLog>(log))
        listener->analyticsWillSendEventLog(this, event);
    else if (const auto page = std::dynamic_pointer_cast<VUPageLog>(log))
        listener->analyticsWillSendPageLog(this, page);
}

void VUAnalytics::channelDidSucceedSendingLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &log)
{
    const auto listener = delegate();
    if (!listener)
        return;
    if (const auto event = std::dynamic_pointer_cast<VUEventLog>(log))
        listener->analyticsDidSucceedSendingEventLog(this, event);
    else if (const auto page = std::dynamic_pointer_cast<VUPageLog>(log))
        listener->analyticsDidSucceedSendingPageLog(this, page);
}

void VUAnalytics::channelDidFailSendingLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &log,
                                           const std::optional<VUError> &error)
{
    const auto listener = delegate();
    if (!listener)
        return;
    if (const auto event = std::dynamic_pointer_cast<VUEventLog>(log))
        listener->analyticsDidFailSendingEventLog(this, event, error);
    else if (const auto page = std::dynamic_pointer_cast<VUPageLog>(log))
        listener->analyticsDidFailSendingPageLog(this, page, error);
}
