#pragma once
// One app of the device whose container (or Documents folder) can be opened, made from the
// device's app-information dictionary. A value type: copies share nothing mutable.
//
// Icons: the device hands out PNG data (AppController::getAppPNGData); the icon cache keeps
// the 24 x 24 icon of each app in the user defaults under "<bundle id>-IconDataScaled24x24",
// so later runs show it at once and never fetch it again. Scaling needs an image library,
// which core does not link: the window installs the scaler with setIconScaler(); without
// one the fetched data is stored as it came. Any thread.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <functional>

class QNSharableApp
{
public:
    QNSharableApp() = default;
    explicit QNSharableApp(const QVariantMap &info);

    // One app per entry with a value, sorted by display name, case-insensitively.
    static QList<QNSharableApp> appInfosForInfoDict(const QVariantMap &infos);

    // "CFBundleDisplayName", else "CFBundleExecutable", else "No Name".
    QString displayName() const;
    QString appID() const;
    QString folderName() const { return mFolderName; }
    QVariantMap info() const { return mAppInfo; }
    bool hasIcon() const { return !iconData(mFolderName).isEmpty(); }

    static QString iconCacheKey(const QString &bundleId);
    // The cached icon, or empty.
    static QByteArray iconData(const QString &bundleId);
    static void storeIconData(const QString &bundleId, const QByteArray &pngData);
    static void setIconScaler(std::function<QByteArray(const QByteArray &png)> scaler);

private:
    QVariantMap mAppInfo;
    QString mFolderName;
};
