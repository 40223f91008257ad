#pragma once
// The telemetry component's entry point: it reads the start string, configures the
// component once (application secret, default transmission target token, the channel
// group with its common-schema delegate, the core's own channel unit "VovUdezir"),
// starts the services it is given (highest start priority first; adding a service is one
// more entry in the list handed to start), sends one start-service log naming them, and
// keeps the component-wide switches: enabled state ("VUVovUdezirIsEnabled"), install id
// ("VUInstallId"), log URL, storage size and user id.
//
// States: not configured -> configured from a library -> configured from the application
// (a second configuration from the application is refused).
//
// Thread-safe: the shared instance's recursive lock guards configuration, service starts,
// the enabled state, start-service logs, the install id, the storage size and the channel
// group. Channel work is handed to the group's queue. Services are told with the lock held
// (lock order: the core's lock before a service's).

#include "telemetry/core/VUChannelGroupDefault.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUWrapperSdk.h"
#include "telemetry/core/VUServiceAbstract.h"
#include "telemetry/core/VUVezUdudovezoChannelDelegate.h"

#include <QUuid>

#include <atomic>

class VUVovUdezir
{
public:
    using Services = QList<std::shared_ptr<VUServiceAbstract>>;

    // The log endpoint used when none is configured.
    static inline const QString kVUDefaultLogUrl = QStringLiteral("https://in.vovudezir.invalid");
    static inline const QString kVUEnabledKey = QStringLiteral("VUVovUdezirIsEnabled");
    static inline const QString kVUInstallIdKey = QStringLiteral("VUInstallId");
    static constexpr qint64 kMinAcceptableStorageSize = 24 * 1024;

    static std::shared_ptr<VUVovUdezir> sharedInstance();
    // Drops the shared instance; returns once the running work of its log queue has ended.
    static void resetSharedInstance();
    VUVovUdezir();

    // The design's class operations.
    static void start(const QString &startString, const Services &services);
    static void startWithServices(const Services &services);
    static void startFromLibraryWithServices(const Services &services);
    static void startService(const std::shared_ptr<VUServiceAbstract> &service);
    static void configureWithAppSecret(const QString &startString);
    static void configure();
    static bool isConfigured();
    static void setLogUrl(const QString &logUrl);
    static void setEnabled(bool isEnabled);
    static bool isEnabled();
    static bool isAppDelegateForwarderEnabled();
    static QUuid installId();
    static unsigned logLevel();
    static void setLogLevel(unsigned level);
    static void setLogHandler(VULogHandler handler);
    static void setCustomProperties(const QVariantMap &properties);
    static void setWrapperSdk(std::shared_ptr<VUWrapperSdk> wrapperSdk);
    static void setCountryCode(const std::optional<QString> &countryCode);
    static bool isDebuggerAttached();
    static QString sdkVersion();
    static void setMaxStorageSize(qint64 sizeInBytes, std::function<void(bool)> completionHandler);
    static void setUserId(const std::optional<QString> &userId);
    static QString logTag() { return QStringLiteral("VovUdezir"); }
    static QString groupId() { return QStringLiteral("VovUdezir"); }

    // Instance operations.
    bool configureWithAppSecret(const std::optional<QString> &appSecret,
                                const std::optional<QString> &transmissionTargetToken, bool fromApplication);
    void start(const QString &startString, const Services &services, bool fromApplication);
    static Services sortServices(const Services &services);
    bool startService(const std::shared_ptr<VUServiceAbstract> &service, const std::optional<QString> &appSecret,
                      const std::optional<QString> &transmissionTargetToken, bool andSendLog, bool fromApplication);
    void initializeChannelGroup();
    void applyPipelineEnabledState(bool isEnabled);
    void sendStartServiceLog(const QStringList &serviceNames);
    bool canBeUsed() const;
    static bool shouldDisable(const QString &serviceName);

    bool sdkConfigured() const { return mSdkConfigured.load(); }
    bool configuredFromApplication() const;
    bool enabledStateUpdating() const { return mEnabledStateUpdating.load(); }
    QString logUrl() const;
    std::optional<QString> appSecret() const;
    std::optional<QString> defaultTransmissionTargetToken() const;
    std::shared_ptr<VUChannelGroupDefault> channelGroup() const;
    std::shared_ptr<VUChannelUnitProtocol> channelUnit() const;
    std::shared_ptr<VUVezUdudovezoChannelDelegate> vezUdudovezoChannelDelegate() const;
    Services services() const;

private:
    void setLogUrlOnInstance(const QString &logUrl);
    void setEnabledOnInstance(bool isEnabled);
    bool isEnabledOnInstance() const;
    QUuid installIdOnInstance();
    void setMaxStorageSizeOnInstance(qint64 sizeInBytes, std::function<void(bool)> completionHandler);
    void setUserIdOnInstance(const std::optional<QString> &userId);
    void sendCustomPropertiesLog(const QVariantMap &properties);

    mutable std::recursive_mutex mLock;
    std::atomic<bool> mSdkConfigured{false};
    bool mConfiguredFromApplication = false;
    std::atomic<bool> mEnabledStateUpdating{false};
    bool mSetMaxStorageSizeHasBeenCalled = false;
    std::optional<QUuid> mInstallId;
    QString mLogUrl = kVUDefaultLogUrl;
    std::shared_ptr<VUChannelUnitProtocol> mChannelUnit;
    std::shared_ptr<VUVezUdudovezoChannelDelegate> mVezUdudovezoChannelDelegate;
    std::shared_ptr<VUChannelGroupDefault> mChannelGroup;
    Services mServices;
    std::optional<QStringList> mStartedServiceNames;
    std::optional<QString> mAppSecret;
    std::optional<QString> mDefaultTransmissionTargetToken;
    std::optional<qint64> mRequestedMaxStorageSizeInBytes;
    std::function<void(bool)> mMaxStorageSizeCompletionHandler;
};
