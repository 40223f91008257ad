#include "telemetry/analytics/VUPropertyConfigurator.h"

#include "telemetry/analytics/VUAnalytics.h"
#include "telemetry/analytics/VUAnalyticsLogTag.h"
#include "telemetry/analytics/VUAnalyticsTransmissionTarget.h"
#include "telemetry/core/VUCommonSchemaLog.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUUserIdContext.h"

#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace {

const QString kMachineIdPath = QStringLiteral("/etc/machine-id");
// What stands after "u:" when the machine has no readable id.
const QString kMissingDeviceId = QStringLiteral("(null)");

std::recursive_mutex &analyticsLock()
{
    return VUAnalytics::sharedInstance()->lock();
}

// The first found walking from `target` up through its parents.
template <class Getter>
std::optional<QString> inherited(const std::shared_ptr<VUAnalyticsTransmissionTarget> &target, Getter get)
{
    for (auto current = target; current; current = current->parentTarget())
        if (auto value = get(*current->propertyConfigurator()))
            return value;
    return std::nullopt;
}

} // namespace

VUPropertyConfigurator::VUPropertyConfigurator(std::weak_ptr<VUAnalyticsTransmissionTarget> transmissionTarget)
    : mTransmissionTarget(std::move(transmissionTarget)), mEventProperties(std::make_shared<VUEventProperties>())
{
}

void VUPropertyConfigurator::setAppVersion(const std::optional<QString> &appVersion)
{
    std::lock_guard guard(mOverridesLock);
    mAppVersion = appVersion;
}

void VUPropertyConfigurator::setAppName(const std::optional<QString> &appName)
{
    std::lock_guard guard(mOverridesLock);
    mAppName = appName;
}

void VUPropertyConfigurator::setAppLocale(const std::optional<QString> &appLocale)
{
    std::lock_guard guard(mOverridesLock);
    mAppLocale = appLocale;
}

void VUPropertyConfigurator::setUserId(const std::optional<QString> &userId)
{
    if (!VUUserIdContext::isUserIdValidForVezUdudovezo(userId))
        return;
    std::lock_guard guard(mOverridesLock);
    mUserId = VUUserIdContext::prefixedUserIdFromUserId(userId);
}

void VUPropertyConfigurator::setEventPropertyString(const std::optional<QString> &value, const std::optional<QString> &key)
{
    std::lock_guard guard(analyticsLock());
    mEventProperties->setString(value, key);
}

void VUPropertyConfigurator::setEventPropertyDouble(double value, const std::optional<QString> &key)
{
    std::lock_guard guard(analyticsLock());
    mEventProperties->setDouble(value, key);
}

void VUPropertyConfigurator::setEventPropertyInt64(qint64 value, const std::optional<QString> &key)
{
    std::lock_guard guard(analyticsLock());
    mEventProperties->setInt64(value, key);
}

void VUPropertyConfigurator::setEventPropertyBool(bool value, const std::optional<QString> &key)
{
    std::lock_guard guard(analyticsLock());
    mEventProperties->setBool(value, key);
}

void VUPropertyConfigurator::setEventPropertyDate(const std::optional<QDateTime> &value, const std::optional<QString> &key)
{
    std::lock_guard guard(analyticsLock());
    mEventProperties->setDate(value, key);
}

void VUPropertyConfigurator::removeEventPropertyForKey(const std::optional<QString> &key)
{
    if (!key) {
        VULogError(VUAnalyticsLogTag(), "Event property key to remove cannot be nil.");
        return;
    }
    std::lock_guard guard(analyticsLock());
    mEventProperties->removePropertyForKey(*key);
}

void VUPropertyConfigurator::collectDeviceId()
{
    const QString deviceId = getDeviceIdentifier();
    std::lock_guard guard(mOverridesLock);
    mDeviceId = deviceId;
}

void VUPropertyConfigurator::mergeTypedPropertiesWith(VUEventProperties &properties) const
{
    std::lock_guard guard(analyticsLock());
    for (const auto &[key, property] : mEventProperties->properties())
        if (!properties.contains(key))
            properties.setProperty(property, key);
}

void VUPropertyConfigurator::channelPrepareLog(VUChannelProtocol *, const std::shared_ptr<VUAbstractLog> &log)
{
    // Class and tag first: the enabled test takes the analytics lock.
    const auto csLog = std::dynamic_pointer_cast<VUCommonSchemaLog>(log);
    if (!csLog)
        return;
    const auto target = mTransmissionTarget.lock();
    if (!target || csLog->tag.get() != static_cast<const void *>(target.get()) || !target->isEnabled())
        return;
    if (!csLog->ext)
        csLog->ext = std::make_shared<VUCSExtensions>();
    auto &ext = *csLog->ext;
    if (!ext.appExt)
        ext.appExt = std::make_shared<VUAppExtension>();
    if (!ext.userExt)
        ext.userExt = std::make_shared<VUUserExtension>();
    if (!ext.deviceExt)
        ext.deviceExt = std::make_shared<VUDeviceExtension>();
    if (auto version = inherited(target, [](const VUPropertyConfigurator &c) { return c.appVersion(); }))
        ext.appExt->ver = version;
    if (auto name = inherited(target, [](const VUPropertyConfigurator &c) { return c.appName(); }))
        ext.appExt->name = name;
    if (auto locale = inherited(target, [](const VUPropertyConfigurator &c) { return c.appLocale(); }))
        ext.appExt->locale = locale;
    if (auto userId = inherited(target, [](const VUPropertyConfigurator &c) { return c.userId(); }))
        ext.userExt->localId = userId;
    ext.deviceExt->localId = deviceId();
}

QString VUPropertyConfigurator::getDeviceIdentifier()
{
    return deviceIdentifierFromMachineIdFile(kMachineIdPath);
}

QString VUPropertyConfigurator::deviceIdentifierFromMachineIdFile(const QString &path)
{
    QFile file(path);
    QByteArray machineId;
    // A machine id is one line of 32 hex digits in a regular file; a pipe or device in its
    // place is not read (it could block or never end).
    if (QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly))
        machineId = file.read(256).trimmed();
    if (machineId.isEmpty())
        return QStringLiteral("u:") + kMissingDeviceId;
    // Keyed by the application's identifier, so the value is ours alone and does not give
    // the machine id away.
    const QByteArray key = VUUtility::mainBundleIdentifier().toUtf8();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.constData(), int(key.size()), reinterpret_cast<const unsigned char *>(machineId.constData()),
              size_t(machineId.size()), digest, &length) ||
        length < 16)
        return QStringLiteral("u:") + kMissingDeviceId;
    const QUuid uuid = QUuid::fromRfc4122(QByteArrayView(reinterpret_cast<const char *>(digest), 16));
    return QStringLiteral("u:") + uuid.toString(QUuid::WithoutBraces).toUpper();
}

std::optional<QString> VUPropertyConfigurator::appVersion() const
{
    std::lock_guard guard(mOverridesLock);
    return mAppVersion;
}

std::optional<QString> VUPropertyConfigurator::appName() const
{
    std::lock_guard guard(mOverridesLock);
    return mAppName;
}

std::optional<QString> VUPropertyConfigurator::appLocale() const
{
    std::lock_guard guard(mOverridesLock);
    return mAppLocale;
}

std::optional<QString> VUPropertyConfigurator::userId() const
{
    std::lock_guard guard(mOverridesLock);
    return mUserId;
}

std::optional<QString> VUPropertyConfigurator::deviceId() const
{
    std::lock_guard guard(mOverridesLock);
    return mDeviceId;
}
