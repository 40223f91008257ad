#include "device/QNSharableApp.h"

#include "platform/UserDefaults.h"

#include <QCoreApplication>

#include <algorithm>
#include <mutex>

namespace {

std::mutex gScalerLock;
std::function<QByteArray(const QByteArray &)> gScaler; // gScalerLock

} // namespace

QNSharableApp::QNSharableApp(const QVariantMap &info)
    : mAppInfo(info)
    , mFolderName(info.value(QStringLiteral("CFBundleIdentifier")).toString())
{
}

QList<QNSharableApp> QNSharableApp::appInfosForInfoDict(const QVariantMap &infos)
{
    QList<QNSharableApp> apps;
    for (auto it = infos.cbegin(); it != infos.cend(); ++it) {
        if (it.value().isNull() || !it.value().isValid())
            continue;
        QVariantMap info = it.value().toMap();
        if (!info.contains(QStringLiteral("CFBundleIdentifier")))
            info.insert(QStringLiteral("CFBundleIdentifier"), it.key());
        apps.append(QNSharableApp(info));
    }
    std::stable_sort(apps.begin(), apps.end(), [](const QNSharableApp &a, const QNSharableApp &b) {
        return a.displayName().compare(b.displayName(), Qt::CaseInsensitive) < 0;
    });
    return apps;
}

QString QNSharableApp::displayName() const
{
    for (const char *key : {"CFBundleDisplayName", "CFBundleExecutable"}) {
        const QString name = mAppInfo.value(QLatin1String(key)).toString();
        if (!name.isEmpty())
            return name;
    }
    return QCoreApplication::translate("QNSharableApp", "No Name");
}

QString QNSharableApp::appID() const
{
    return mAppInfo.value(QStringLiteral("CFBundleIdentifier")).toString();
}

QString QNSharableApp::iconCacheKey(const QString &bundleId)
{
    return QStringLiteral("%1-IconDataScaled24x24").arg(bundleId);
}

QByteArray QNSharableApp::iconData(const QString &bundleId)
{
    return UserDefaults::standard().objectForKey(iconCacheKey(bundleId)).toByteArray();
}

void QNSharableApp::storeIconData(const QString &bundleId, const QByteArray &pngData)
{
    std::function<QByteArray(const QByteArray &)> scaler;
    {
        std::lock_guard lock(gScalerLock);
        scaler = gScaler;
    }
    const QByteArray stored = scaler ? scaler(pngData) : pngData;
    if (!stored.isEmpty())
        UserDefaults::standard().setObject(stored, iconCacheKey(bundleId));
}

void QNSharableApp::setIconScaler(std::function<QByteArray(const QByteArray &)> scaler)
{
    std::lock_guard lock(gScalerLock);
    gScaler = std::move(scaler);
}
