#include "telemetry/core/VUAbstractLog.h"

#include "telemetry/core/VUCommonSchemaLog.h"
#include "telemetry/core/VUDevice.h"
#include "telemetry/core/VUUserIdContext.h"
#include "telemetry/core/VUUtility.h"

#include <cstdlib>

namespace {

std::optional<QString> nonEmpty(const std::optional<QString> &text)
{
    if (!text || text->isEmpty())
        return std::nullopt;
    return text;
}

// Quillon ships one localisation, English.
QString preferredLocalization()
{
    return QStringLiteral("en");
}

} // namespace

QList<std::shared_ptr<VUCommonSchemaLog>> VUAbstractLog::toCommonSchemaLogsWithFlags(quint64 flags) const
{
    QList<std::shared_ptr<VUCommonSchemaLog>> logs;
    const auto tokens = transmissionTargetTokens();
    if (!tokens)
        return logs;
    QStringList ordered(tokens->cbegin(), tokens->cend());
    ordered.sort();
    for (const QString &token : ordered)
        if (auto log = toCommonSchemaLogForTargetToken(token, flags))
            logs.append(log);
    return logs;
}

std::shared_ptr<VUCommonSchemaLog> VUAbstractLog::toCommonSchemaLogForTargetToken(const QString &token,
                                                                                  quint64 flags) const
{
    auto log = std::make_shared<VUCommonSchemaLog>();
    log->setTransmissionTargetTokens(QSet<QString>{token});
    log->ver = QStringLiteral("3.0");
    log->timestamp = timestamp;
    log->iKey = VUUtility::iKeyFromTargetToken(token);
    log->flags = static_cast<qint64>(flags);

    auto ext = std::make_shared<VUCSExtensions>();
    const VUDevice empty;
    const VUDevice &source = device ? *device : empty;

    ext->protocolExt = std::make_shared<VUProtocolExtension>();
    ext->protocolExt->devMake = source.oemName;
    ext->protocolExt->devModel = source.model;

    ext->userExt = std::make_shared<VUUserExtension>();
    ext->userExt->localId = VUUserIdContext::prefixedUserIdFromUserId(userId);
    if (source.locale)
        ext->userExt->locale = QString(*source.locale).replace(QLatin1Char('_'), QLatin1Char('-'));

    ext->osExt = std::make_shared<VUOSExtension>();
    ext->osExt->name = source.osName;
    ext->osExt->ver = combineOsVersion(source.osVersion, source.osBuild);

    ext->appExt = std::make_shared<VUAppExtension>();
    if (source.appNamespace)
        ext->appExt->appId = QStringLiteral("I:") + *source.appNamespace;
    ext->appExt->ver = source.appVersion;
    ext->appExt->locale = preferredLocalization();

    ext->netExt = std::make_shared<VUNetExtension>();
    ext->netExt->provider = source.carrierName;

    ext->sdkExt = std::make_shared<VUSDKExtension>();
    ext->sdkExt->libVer = combineSDKLibVer(source.sdkName, source.sdkVersion);

    ext->locExt = std::make_shared<VULocExtension>();
    ext->locExt->tz = convertTimeZoneOffsetToISO8601(source.timeZoneOffset.value_or(0));

    ext->deviceExt = std::make_shared<VUDeviceExtension>();
    log->ext = ext;
    return log;
}

std::optional<QString> VUAbstractLog::combineOsVersion(const std::optional<QString> &version,
                                                       const std::optional<QString> &build)
{
    const auto v = nonEmpty(version);
    const auto b = nonEmpty(build);
    if (v && b)
        return QStringLiteral("Version %1 (Build %2)").arg(*v, *b);
    if (v)
        return QStringLiteral("Version %1").arg(*v);
    // No version to put before the build: the build alone, never a placeholder text.
    if (b)
        return QStringLiteral("Build %1").arg(*b);
    return std::nullopt;
}

std::optional<QString> VUAbstractLog::combineSDKLibVer(const std::optional<QString> &name,
                                                       const std::optional<QString> &version)
{
    const auto n = nonEmpty(name);
    const auto v = nonEmpty(version);
    if (!n || !v)
        return std::nullopt;
    return QStringLiteral("%1-%2").arg(*n, *v);
}

QString VUAbstractLog::convertTimeZoneOffsetToISO8601(qint64 minutes)
{
    // The sign is taken apart from the hours, so -30 stays "-00:30".
    // The offset may come from a stored log: negate in unsigned arithmetic so that even the
    // smallest 64-bit value has a magnitude.
    const char sign = minutes < 0 ? '-' : '+';
    const quint64 magnitude = minutes < 0 ? 0 - quint64(minutes) : quint64(minutes);
    return QString::asprintf("%c%02llu:%02llu", sign, static_cast<unsigned long long>(magnitude / 60),
                             static_cast<unsigned long long>(magnitude % 60));
}
