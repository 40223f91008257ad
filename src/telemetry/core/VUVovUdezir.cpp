#include "telemetry/core/VUVovUdezir.h"

#include "platform/MainThread.h"
#include "platform/UserDefaults.h"
#include "telemetry/core/VUCustomPropertiesLog.h"
#include "telemetry/core/VUDelegateForwarder.h"
#include "telemetry/core/VUDeviceTracker.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUSessionContext.h"
#include "telemetry/core/VUStartServiceLog.h"
#include "telemetry/core/VUUserDefaults.h"
#include "telemetry/core/VUUserIdContext.h"
#include "telemetry/core/VUUtility.h"

#include <QFile>

#include <algorithm>
#include <mutex>

namespace {

std::mutex gSharedLock;

// Never destroyed at exit: the component's threads may still run then, and its objects use
// other statics (the notification center, the reachability registry) that are gone by then.
std::shared_ptr<VUVovUdezir> &gSharedSlot()
{
    static auto *slot = new std::shared_ptr<VUVovUdezir>();
    return *slot;
}

QString fromWhere(bool fromApplication)
{
    return fromApplication ? QString() : QStringLiteral("from a library ");
}

} // namespace

std::shared_ptr<VUVovUdezir> VUVovUdezir::sharedInstance()
{
    std::lock_guard guard(gSharedLock);
    auto &shared = gSharedSlot();
    if (!shared)
        shared = std::make_shared<VUVovUdezir>();
    return shared;
}

void VUVovUdezir::resetSharedInstance()
{
    std::shared_ptr<VUVovUdezir> previous;
    {
        std::lock_guard guard(gSharedLock);
        previous.swap(gSharedSlot());
    }
    // Torn down outside the lock: its services may ask for the shared instance.
    if (!previous)
        return;
    // Log work that is running may hold the group beyond this instance, and would go on using
    // what the caller tears down next (at quit, the program's static objects): it ends first.
    if (const auto group = previous->channelGroup())
        group->stop(MainThread::serveWhileWaiting);
}

VUVovUdezir::VUVovUdezir() = default;

// Class operations.

void VUVovUdezir::start(const QString &startString, const Services &services)
{
    sharedInstance()->start(startString, services, true);
}

void VUVovUdezir::startWithServices(const Services &services)
{
    sharedInstance()->start(QString(), services, true);
}

void VUVovUdezir::startFromLibraryWithServices(const Services &services)
{
    sharedInstance()->start(QString(), services, false);
}

void VUVovUdezir::startService(const std::shared_ptr<VUServiceAbstract> &service)
{
    const auto core = sharedInstance();
    core->startService(service, core->appSecret(), core->defaultTransmissionTargetToken(), true, true);
}

void VUVovUdezir::configureWithAppSecret(const QString &startString)
{
    sharedInstance()->configureWithAppSecret(VUUtility::appSecretFrom(startString),
                                             VUUtility::transmissionTargetTokenFrom(startString), true);
}

void VUVovUdezir::configure()
{
    sharedInstance()->configureWithAppSecret(std::nullopt, std::nullopt, true);
}

bool VUVovUdezir::isConfigured()
{
    const auto core = sharedInstance();
    return core->sdkConfigured() && core->configuredFromApplication();
}

void VUVovUdezir::setLogUrl(const QString &logUrl)
{
    sharedInstance()->setLogUrlOnInstance(logUrl);
}

void VUVovUdezir::setEnabled(bool isEnabled)
{
    sharedInstance()->setEnabledOnInstance(isEnabled);
}

bool VUVovUdezir::isEnabled()
{
    const auto core = sharedInstance();
    std::lock_guard guard(core->mLock);
    return core->canBeUsed() && core->isEnabledOnInstance();
}

bool VUVovUdezir::isAppDelegateForwarderEnabled()
{
    return VUDelegateForwarder::isEnabled();
}

QUuid VUVovUdezir::installId()
{
    return sharedInstance()->installIdOnInstance();
}

unsigned VUVovUdezir::logLevel()
{
    return VULogger::currentLogLevel();
}

void VUVovUdezir::setLogLevel(unsigned level)
{
    VULogger::setCurrentLogLevel(level);
    VUDelegateForwarder::flushTraceBuffer();
}

void VUVovUdezir::setLogHandler(VULogHandler handler)
{
    VULogger::setLogHandler(std::move(handler));
}

void VUVovUdezir::setCustomProperties(const QVariantMap &properties)
{
    if (properties.isEmpty()) {
        VULogError(logTag(), "Custom properties may not be null or empty");
        return;
    }
    sharedInstance()->sendCustomPropertiesLog(properties);
}

void VUVovUdezir::setWrapperSdk(std::shared_ptr<VUWrapperSdk> wrapperSdk)
{
    VUDeviceTracker::sharedInstance()->setWrapperSdk(std::move(wrapperSdk));
}

void VUVovUdezir::setCountryCode(const std::optional<QString> &countryCode)
{
    VUDeviceTracker::sharedInstance()->setCountryCode(countryCode);
}

bool VUVovUdezir::isDebuggerAttached()
{
    static const bool attached = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "[VUCrashes] ERROR: Checking for a running debugger via /proc failed.\n");
            return false;
        }
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("TracerPid:"))
                return line.mid(10).trimmed().toLongLong() != 0;
        return false;
    }();
    return attached;
}

QString VUVovUdezir::sdkVersion()
{
    return VUUtility::sdkVersion();
}

void VUVovUdezir::setMaxStorageSize(qint64 sizeInBytes, std::function<void(bool)> completionHandler)
{
    sharedInstance()->setMaxStorageSizeOnInstance(sizeInBytes, std::move(completionHandler));
}

void VUVovUdezir::setUserId(const std::optional<QString> &userId)
{
    sharedInstance()->setUserIdOnInstance(userId);
}

// Instance operations.

void VUVovUdezir::start(const QString &startString, const Services &services, bool fromApplication)
{
    const auto secret = VUUtility::appSecretFrom(startString);
    const auto token = VUUtility::transmissionTargetTokenFrom(startString);
    if (!configureWithAppSecret(secret, token, fromApplication))
        return;
    const Services sorted = sortServices(services);
    QStringList names;
    for (const auto &service : sorted)
        if (service)
            names.append(service->serviceName());
    VULogVerbose(logTag(), "Start services %s from %s", qUtf8Printable(names.join(QStringLiteral(", "))),
                 fromApplication ? "an application" : "a library");
    QStringList started;
    for (const auto &service : sorted)
        if (startService(service, secret, token, false, fromApplication))
            started.append(service->serviceName());
    if (!started.isEmpty() && fromApplication)
        sendStartServiceLog(started);
    else if (started.isEmpty())
        VULogDebug(logTag(), "No services have been started.");
}

bool VUVovUdezir::configureWithAppSecret(const std::optional<QString> &appSecret,
                                         const std::optional<QString> &transmissionTargetToken, bool fromApplication)
{
    std::lock_guard guard(mLock);
    if (fromApplication && mConfiguredFromApplication) {
        VULogger::logMessage([] { return QStringLiteral("Vov Udezir SDK has already been configured."); },
                             VULogLevelAssert, logTag(), __FILE__, __func__, __LINE__);
        VULogger::logMessage([] { return QStringLiteral("Vov Udezir SDK configuration %1failed.").arg(fromWhere(true)); },
                             VULogLevelAssert, logTag(), __FILE__, __func__, __LINE__);
        return false;
    }
    if (!mAppSecret) {
        mAppSecret = appSecret;
        VUSessionContext::sharedInstance()->setSessionId(std::nullopt);
    }
    if (!mDefaultTransmissionTargetToken)
        mDefaultTransmissionTargetToken = transmissionTargetToken;
    VUUserIdContext::sharedInstance();
    initializeChannelGroup();
    applyPipelineEnabledState(isEnabledOnInstance());
    mSdkConfigured = true;
    mConfiguredFromApplication = mConfiguredFromApplication || fromApplication;
    if (!VULogger::isUserDefinedLogLevel() && VUUtility::currentAppEnvironment() == 99)
        setLogLevel(VULogLevelWarning);
    VULogInfo(logTag(), "Vov Udezir SDK configured %ssuccessfully.", qUtf8Printable(fromWhere(fromApplication)));
    return true;
}

VUVovUdezir::Services VUVovUdezir::sortServices(const Services &services)
{
    Services sorted = services;
    // Stable: services of equal priority keep the order they were given in.
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) {
        const qint64 left = a ? a->initializationPriority() : 0;
        const qint64 right = b ? b->initializationPriority() : 0;
        return left > right;
    });
    return sorted;
}

bool VUVovUdezir::startService(const std::shared_ptr<VUServiceAbstract> &service,
                               const std::optional<QString> &appSecret,
                               const std::optional<QString> &transmissionTargetToken, bool andSendLog,
                               bool fromApplication)
{
    std::lock_guard guard(mLock);
    if (!service) {
        VULogError(logTag(), "Cannot start service %s. Provided value is nil or invalid.", "(null)");
        return false;
    }
    if (!mSdkConfigured || (fromApplication && !mConfiguredFromApplication)) {
        VULogError(logTag(), "Vov Udezir has not been configured so it couldn't start the service.");
        return false;
    }
    if (fromApplication && service->isAvailable() && service->isStartedFromApplication())
        return false;
    if (service->isAppSecretRequired() && (!appSecret || appSecret->isEmpty())) {
        VULogError(logTag(), "Cannot start service %s. Vov Udezir was started without app secret, but the service requires it.",
                   qUtf8Printable(service->serviceName()));
        return false;
    }
    if (shouldDisable(service->serviceName())) {
        VULogDebug(logTag(), "Environment variable to disable service has been set; not starting service %s",
                   qUtf8Printable(service->serviceName()));
        return false;
    }
    if (service->isAvailable()) {
        if (!fromApplication)
            return true;
        service->updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
    } else {
        if (!mServices.contains(service))
            mServices.append(service);
        service->startWithChannelGroup(mChannelGroup, appSecret, transmissionTargetToken, fromApplication);
        if (service->isServiceEnabled() && !isEnabledOnInstance()) {
            mEnabledStateUpdating = true;
            service->setServiceEnabled(false);
            mEnabledStateUpdating = false;
        }
    }
    if (andSendLog && fromApplication)
        sendStartServiceLog({service->serviceName()});
    return true;
}

void VUVovUdezir::initializeChannelGroup()
{
    std::lock_guard guard(mLock);
    const QUuid install = installIdOnInstance();
    if (!mVezUdudovezoChannelDelegate)
        mVezUdudovezoChannelDelegate = std::make_shared<VUVezUdudovezoChannelDelegate>(install);
    if (!mChannelGroup) {
        mChannelGroup = VUChannelGroupDefault::create(install.toString(QUuid::WithoutBraces).toUpper(), mLogUrl);
        mChannelGroup->addDelegate(mVezUdudovezoChannelDelegate);
        if (mRequestedMaxStorageSizeInBytes) {
            mChannelGroup->setMaxStorageSize(*mRequestedMaxStorageSizeInBytes, mMaxStorageSizeCompletionHandler);
            mRequestedMaxStorageSizeInBytes.reset();
            mMaxStorageSizeCompletionHandler = nullptr;
        }
    }
    mChannelGroup->setAppSecret(mAppSecret);
    if (!mChannelUnit)
        mChannelUnit = mChannelGroup->addChannelUnitWithConfiguration(
            VUChannelUnitConfiguration::defaultConfigurationWithGroupId(groupId()));
}

void VUVovUdezir::applyPipelineEnabledState(bool enabled)
{
    if (!enabled) {
        VUDeviceTracker::sharedInstance()->clearDevices();
        VUSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(false);
        VUUserIdContext::sharedInstance()->clearUserIdHistory();
    }
    std::lock_guard guard(mLock);
    if (mChannelGroup)
        mChannelGroup->setEnabled(enabled, true);
    if (enabled && mStartedServiceNames) {
        const QStringList names = *mStartedServiceNames;
        mStartedServiceNames.reset();
        sendStartServiceLog(names);
    }
}

void VUVovUdezir::sendStartServiceLog(const QStringList &serviceNames)
{
    std::lock_guard guard(mLock);
    if (isEnabledOnInstance()) {
        auto log = std::make_shared<VUStartServiceLog>();
        log->services = serviceNames;
        if (mChannelUnit)
            mChannelUnit->enqueueItem(log, 1);
    } else {
        if (!mStartedServiceNames)
            mStartedServiceNames = QStringList();
        mStartedServiceNames->append(serviceNames);
    }
}

void VUVovUdezir::sendCustomPropertiesLog(const QVariantMap &properties)
{
    std::lock_guard guard(mLock);
    auto log = std::make_shared<VUCustomPropertiesLog>();
    log->properties = properties;
    if (mChannelUnit)
        mChannelUnit->enqueueItem(log, 1);
}

bool VUVovUdezir::canBeUsed() const
{
    if (mSdkConfigured)
        return true;
    VULogError(logTag(), "Vov Udezir SDK hasn't been configured. You need to call [VUVovUdezir start:YOUR_APP_SECRET "
                         "withServices:LIST_OF_SERVICES] first.");
    return false;
}

bool VUVovUdezir::shouldDisable(const QString &serviceName)
{
    if (!qEnvironmentVariableIsSet("VOV_UDEZIR_DISABLE"))
        return false;
    const QStringList parts = qEnvironmentVariable("VOV_UDEZIR_DISABLE").split(QLatin1Char(','));
    for (const QString &part : parts) {
        const QString name = part.trimmed();
        if (name == serviceName || name == QLatin1String("All"))
            return true;
    }
    return false;
}

bool VUVovUdezir::configuredFromApplication() const
{
    std::lock_guard guard(mLock);
    return mConfiguredFromApplication;
}

QString VUVovUdezir::logUrl() const
{
    std::lock_guard guard(mLock);
    return mLogUrl;
}

std::optional<QString> VUVovUdezir::appSecret() const
{
    std::lock_guard guard(mLock);
    return mAppSecret;
}

std::optional<QString> VUVovUdezir::defaultTransmissionTargetToken() const
{
    std::lock_guard guard(mLock);
    return mDefaultTransmissionTargetToken;
}

std::shared_ptr<VUChannelGroupDefault> VUVovUdezir::channelGroup() const
{
    std::lock_guard guard(mLock);
    return mChannelGroup;
}

std::shared_ptr<VUChannelUnitProtocol> VUVovUdezir::channelUnit() const
{
    std::lock_guard guard(mLock);
    return mChannelUnit;
}

std::shared_ptr<VUVezUdudovezoChannelDelegate> VUVovUdezir::vezUdudovezoChannelDelegate() const
{
    std::lock_guard guard(mLock);
    return mVezUdudovezoChannelDelegate;
}

VUVovUdezir::Services VUVovUdezir::services() const
{
    std::lock_guard guard(mLock);
    return mServices;
}

void VUVovUdezir::setLogUrlOnInstance(const QString &logUrl)
{
    std::lock_guard guard(mLock);
    mLogUrl = logUrl;
    if (mChannelGroup)
        mChannelGroup->setLogUrl(logUrl);
}

void VUVovUdezir::setEnabledOnInstance(bool enabled)
{
    std::lock_guard guard(mLock);
    if (!canBeUsed())
        return;
    mEnabledStateUpdating = true;
    if (enabled != isEnabledOnInstance()) {
        VUUserDefaults::shared()->setObject(enabled, kVUEnabledKey);
        applyPipelineEnabledState(enabled);
    }
    for (const auto &service : std::as_const(mServices))
        service->setServiceEnabled(enabled);
    mEnabledStateUpdating = false;
    VULogInfo(logTag(), "Vov Udezir SDK %s.", enabled ? "enabled" : "disabled");
}

bool VUVovUdezir::isEnabledOnInstance() const
{
    const QVariant stored = VUUserDefaults::shared()->objectForKey(kVUEnabledKey);
    return !stored.isValid() || variantBoolValue(stored);
}

QUuid VUVovUdezir::installIdOnInstance()
{
    std::lock_guard guard(mLock);
    if (mInstallId)
        return *mInstallId;
    const QUuid stored(VUUserDefaults::shared()->objectForKey(kVUInstallIdKey).toString());
    if (!stored.isNull()) {
        mInstallId = stored;
    } else {
        mInstallId = QUuid::createUuid();
        VUUserDefaults::shared()->setObject(mInstallId->toString(QUuid::WithoutBraces).toUpper(), kVUInstallIdKey);
    }
    return *mInstallId;
}

void VUVovUdezir::setMaxStorageSizeOnInstance(qint64 sizeInBytes, std::function<void(bool)> completionHandler)
{
    if (sizeInBytes < kMinAcceptableStorageSize) {
        if (completionHandler)
            completionHandler(false);
        VULogWarning(logTag(), "Cannot set storage size to %lld bytes, minimum value is %lld bytes",
                     static_cast<long long>(sizeInBytes), static_cast<long long>(kMinAcceptableStorageSize));
        return;
    }
    bool refused = false;
    {
        std::lock_guard guard(mLock);
        if (mSetMaxStorageSizeHasBeenCalled) {
            VULogWarning(logTag(), "setMaxStorageSize:completionHandler: may only be called once per app launch");
            refused = true;
        } else {
            mSetMaxStorageSizeHasBeenCalled = true;
            if (mConfiguredFromApplication) {
                VULogWarning(logTag(), "Unable to set storage size after the application has configured Vov Udezir");
                refused = true;
            } else if (mChannelGroup) {
                mChannelGroup->setMaxStorageSize(sizeInBytes, completionHandler);
            } else {
                mRequestedMaxStorageSizeInBytes = sizeInBytes;
                mMaxStorageSizeCompletionHandler = completionHandler;
            }
        }
    }
    if (refused && completionHandler)
        completionHandler(false);
}

void VUVovUdezir::setUserIdOnInstance(const std::optional<QString> &userId)
{
    std::lock_guard guard(mLock);
    if (!mConfiguredFromApplication) {
        VULogError(logTag(), "VovUdezir must be configured from application, libraries cannot call setUserId.");
        return;
    }
    if (!mAppSecret && !mDefaultTransmissionTargetToken) {
        VULogError(logTag(), "VovUdezir must be configured with a secret from application to call setUserId.");
        return;
    }
    if (userId) {
        if (mAppSecret && !VUUserIdContext::isUserIdValidForVovUdezir(userId))
            return;
        if (mDefaultTransmissionTargetToken && !VUUserIdContext::isUserIdValidForVezUdudovezo(userId))
            return;
    }
    VUUserIdContext::sharedInstance()->setUserId(userId);
}
