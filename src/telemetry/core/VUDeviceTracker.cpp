#include "telemetry/core/VUDeviceTracker.h"

#include "telemetry/core/VUUserDefaults.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUUtility.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>

#include <algorithm>

#include <sys/utsname.h>

namespace {

const QString kPastDevicesKey = QStringLiteral("pastDevicesKey");

// Process-wide state of the design: kept across resetSharedInstance.
std::recursive_mutex gStateLock;
std::shared_ptr<VUDeviceTracker> gSharedTracker;
std::shared_ptr<VUWrapperSdk> gWrapperSdk;
std::optional<QString> gCountryCode;
bool gRefreshPending = false;
std::function<QSize()> gScreenSizeProvider;

QString readFirstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readLine()).trimmed();
}

QString osReleaseValue(const QString &key)
{
    QFile file(QStringLiteral("/etc/os-release"));
    if (!file.open(QIODevice::ReadOnly)) {
        file.setFileName(QStringLiteral("/usr/lib/os-release"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
    }
    const QString prefix = key + QLatin1Char('=');
    while (!file.atEnd()) {
        QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.startsWith(prefix))
            continue;
        line = line.mid(prefix.size());
        if (line.size() >= 2 && (line.startsWith(QLatin1Char('"')) || line.startsWith(QLatin1Char('\''))))
            line = line.mid(1, line.size() - 2);
        return line;
    }
    return {};
}

utsname hostUname()
{
    utsname name{};
    uname(&name);
    return name;
}

bool earlier(const std::shared_ptr<VUDeviceHistoryInfo> &entry, const QDateTime &date)
{
    return entry->timestamp.value_or(QDateTime()) < date;
}

} // namespace

std::shared_ptr<VUDeviceTracker> VUDeviceTracker::sharedInstance()
{
    std::lock_guard guard(gStateLock);
    if (!gSharedTracker)
        gSharedTracker = std::make_shared<VUDeviceTracker>();
    return gSharedTracker;
}

void VUDeviceTracker::resetSharedInstance()
{
    std::lock_guard guard(gStateLock);
    gSharedTracker.reset();
}

void VUDeviceTracker::refreshDeviceNextTime()
{
    std::lock_guard guard(gStateLock);
    gRefreshPending = true;
}

void VUDeviceTracker::setScreenSizeProvider(std::function<QSize()> provider)
{
    std::lock_guard guard(gStateLock);
    gScreenSizeProvider = std::move(provider);
}

VUDeviceTracker::VUDeviceTracker()
{
    const QVariant stored = VUUserDefaults::shared()->objectForKey(kPastDevicesKey);
    if (stored.isValid()) {
        if (auto list = VUKeyedCoding::unarchiveList(stored.toByteArray())) {
            for (const auto &item : *list) {
                auto entry = std::dynamic_pointer_cast<VUDeviceHistoryInfo>(item);
                if (entry && entry->timestamp && entry->device)
                    mDeviceHistory.append(entry);
            }
        }
    }
    if (mDeviceHistory.isEmpty())
        device();
}

void VUDeviceTracker::setWrapperSdk(std::shared_ptr<VUWrapperSdk> wrapperSdk)
{
    std::lock_guard guard(gStateLock);
    gWrapperSdk = std::move(wrapperSdk);
    gRefreshPending = true;
}

void VUDeviceTracker::setCountryCode(const std::optional<QString> &countryCode)
{
    std::lock_guard guard(gStateLock);
    gCountryCode = countryCode;
    gRefreshPending = true;
}

std::shared_ptr<VUDevice> VUDeviceTracker::device()
{
    std::lock_guard state(gStateLock);
    std::lock_guard guard(mLock);
    if (!mDevice || gRefreshPending) {
        mDevice = updatedDevice();
        auto entry = std::make_shared<VUDeviceHistoryInfo>(QDateTime::currentDateTimeUtc(), mDevice);
        const auto position = std::upper_bound(mDeviceHistory.begin(), mDeviceHistory.end(), *entry->timestamp,
                                               [](const QDateTime &date, const auto &item) {
                                                   return date < item->timestamp.value_or(QDateTime());
                                               });
        mDeviceHistory.insert(position, entry);
        while (mDeviceHistory.size() > kMaxDevicesHistoryCount)
            mDeviceHistory.removeFirst();
        storeHistory();
    }
    return mDevice;
}

std::shared_ptr<VUDevice> VUDeviceTracker::updatedDevice()
{
    std::lock_guard state(gStateLock);
    std::lock_guard guard(mLock);
    auto device = std::make_shared<VUDevice>();
    device->sdkName = VUUtility::sdkName();
    device->sdkVersion = VUUtility::sdkVersion();
    device->model = deviceModel();
    device->oemName = oemName();
    device->osName = osName();
    device->osVersion = osVersion();
    device->osBuild = osBuild();
    device->locale = locale();
    device->timeZoneOffset = timeZoneOffset();
    device->screenSize = screenSize();
    device->appVersion = VUUtility::appVersion();
    device->carrierCountry = gCountryCode;
    device->appBuild = VUUtility::appBuild();
    device->appNamespace = VUUtility::mainBundleIdentifier();
    refreshWrapperSdk(*device);
    gRefreshPending = false;
    return device;
}

void VUDeviceTracker::refreshWrapperSdk(VUDevice &device) const
{
    std::lock_guard guard(gStateLock);
    if (!gWrapperSdk)
        return;
    device.wrapperSdkVersion = gWrapperSdk->wrapperSdkVersion;
    device.wrapperSdkName = gWrapperSdk->wrapperSdkName;
    device.wrapperRuntimeVersion = gWrapperSdk->wrapperRuntimeVersion;
    device.liveUpdateReleaseLabel = gWrapperSdk->liveUpdateReleaseLabel;
    device.liveUpdateDeploymentKey = gWrapperSdk->liveUpdateDeploymentKey;
    device.liveUpdatePackageHash = gWrapperSdk->liveUpdatePackageHash;
}

std::shared_ptr<VUDevice> VUDeviceTracker::deviceForTimestamp(const std::optional<QDateTime> &timestamp)
{
    std::unique_lock guard(mLock);
    if (!timestamp || mDeviceHistory.isEmpty()) {
        guard.unlock();
        return device();
    }
    const auto position = std::lower_bound(mDeviceHistory.cbegin(), mDeviceHistory.cend(), *timestamp, earlier);
    const qsizetype index = position - mDeviceHistory.cbegin();
    if (index == 0)
        return mDeviceHistory.first()->device;
    if (index == mDeviceHistory.size())
        return mDeviceHistory.last()->device;
    return mDeviceHistory.at(index - 1)->device;
}

void VUDeviceTracker::clearDevices()
{
    std::lock_guard guard(mLock);
    VUUserDefaults::shared()->removeObjectForKey(kPastDevicesKey);
    mDevice.reset();
    mDeviceHistory.clear();
}

QList<std::shared_ptr<VUDeviceHistoryInfo>> VUDeviceTracker::deviceHistory() const
{
    std::lock_guard guard(mLock);
    return mDeviceHistory;
}

void VUDeviceTracker::storeHistory()
{
    QList<std::shared_ptr<VUModel>> entries(mDeviceHistory.cbegin(), mDeviceHistory.cend());
    VUUserDefaults::shared()->setObject(VUKeyedCoding::archiveList(entries), kPastDevicesKey);
}

QString VUDeviceTracker::deviceModel()
{
    const QString product = readFirstLine(QStringLiteral("/sys/class/dmi/id/product_name"));
    if (!product.isEmpty())
        return product;
    return QString::fromUtf8(hostUname().machine);
}

QString VUDeviceTracker::oemName()
{
    const QString vendor = readFirstLine(QStringLiteral("/sys/class/dmi/id/sys_vendor"));
    return vendor.isEmpty() ? QStringLiteral("unknown") : vendor;
}

QString VUDeviceTracker::osName()
{
    const QString name = osReleaseValue(QStringLiteral("NAME"));
    return name.isEmpty() ? QString::fromUtf8(hostUname().sysname) : name;
}

std::optional<QString> VUDeviceTracker::osVersion()
{
    QString version = osReleaseValue(QStringLiteral("VERSION_ID"));
    if (version.isEmpty())
        version = readFirstLine(QStringLiteral("/etc/debian_version"));
    static const QRegularExpression numbers(QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const auto match = numbers.match(version);
    if (!match.hasMatch())
        return std::nullopt;
    return QStringLiteral("%1.%2.%3")
        .arg(match.captured(1).toLongLong())
        .arg(match.captured(2).toLongLong())
        .arg(match.captured(3).toLongLong());
}

QString VUDeviceTracker::osBuild()
{
    return QString::fromUtf8(hostUname().release);
}

QString VUDeviceTracker::localeIdentifier(const QString &preferredLanguage, const QString &currentCountry)
{
    const QStringList parts = QString(preferredLanguage).replace(QLatin1Char('_'), QLatin1Char('-')).split(QLatin1Char('-'));
    const QString language = parts.value(0);
    QString script;
    QString country;
    for (int i = 1; i < parts.size(); ++i) {
        const QString &part = parts.at(i);
        if (part.size() == 4 && script.isEmpty() && country.isEmpty())
            script = part.left(1).toUpper() + part.mid(1).toLower();
        else if ((part.size() == 2 || (part.size() == 3 && part.at(0).isDigit())) && country.isEmpty())
            country = part.toUpper();
    }
    if (country.isEmpty())
        country = currentCountry;
    return language + (script.isEmpty() ? QString() : QLatin1Char('-') + script) + QLatin1Char('_') + country;
}

QString VUDeviceTracker::locale()
{
    const QLocale system = QLocale::system();
    const QStringList languages = system.uiLanguages();
    QString preferred = languages.isEmpty() ? system.name() : languages.first();
    QString country = system.territory() == QLocale::AnyTerritory ? QString()
                                                                   : QLocale::territoryToCode(system.territory());
    // The C locale names no language or country; describe it as the English it speaks.
    if (preferred.isEmpty() || preferred == QLatin1String("C") || preferred == QLatin1String("POSIX"))
        preferred = QStringLiteral("en");
    if (country.isEmpty())
        country = QStringLiteral("US");
    return localeIdentifier(preferred, country);
}

qint64 VUDeviceTracker::timeZoneOffset()
{
    return QDateTime::currentDateTime().offsetFromUtc() / 60;
}

QString VUDeviceTracker::screenSize()
{
    std::function<QSize()> provider;
    {
        std::lock_guard guard(gStateLock);
        provider = gScreenSizeProvider;
    }
    const QSize size = provider ? provider() : QSize(0, 0);
    return QStringLiteral("%1x%2").arg(size.height()).arg(size.width());
}
