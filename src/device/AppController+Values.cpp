// Device values and capabilities, the status line's text, and the size text shared by the
// list views.

#include "device/AppController.h"

#include "device/FileAccessSupport.h"
#include "platform/KeyedArchive.h"
#include "platform/UserDefaults.h"
#include "interfaces/FRWindowHub.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

using Mode = DeviceFilesWindow::Mode;

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("AppController", text);
}

QString plural(int count)
{
    return count == 1 ? QString() : QStringLiteral("s");
}

bool isDataMode(Mode mode)
{
    switch (mode) {
    case Mode::Notes:
    case Mode::Messages:
    case Mode::Calls:
    case Mode::Contacts:
    case Mode::Bookmarks:
    case Mode::Voicemail:
        return true;
    default:
        return false;
    }
}

// The first two version parts; false when the version has fewer than two or the first is
// not a number.
bool versionParts(const QString &version, int &major, int &minor)
{
    const QStringList parts = version.split(QLatin1Char('.'));
    if (version.isEmpty() || parts.size() < 2)
        return false;
    bool ok = false;
    major = parts.at(0).toInt(&ok);
    if (!ok)
        return false;
    minor = parts.at(1).toInt(&ok);
    return ok;
}

} // namespace

// --- Device values and capabilities --------------------------------------------------------

QString AppController::deviceClassOrDefault() const
{
    const QString value = deviceClass();
    return value.isEmpty() ? QStringLiteral("iPhone") : value;
}

QString AppController::deviceClassNoConfusion() const
{
    const QString value = deviceClassOrDefault();
    return value == QLatin1String("iPod") ? QStringLiteral("Device") : value;
}

QString AppController::connectionTypeString() const
{
    return interfaceType() == kInterfaceWiFi ? QStringLiteral("Wi-Fi") : QStringLiteral("USB");
}

int AppController::deviceFirmwareMajorVersion() const
{
    int major = 0;
    int minor = 0;
    return versionParts(productVersion(), major, minor) ? major : 0;
}

int AppController::deviceFirmwareMinorVersion() const
{
    int major = 0;
    int minor = 0;
    return versionParts(productVersion(), major, minor) ? minor : -1;
}

bool AppController::hasAllAppsCapability() const
{
    const int major = deviceFirmwareMajorVersion();
    return major < 8 || (major == 8 && deviceFirmwareMinorVersion() < 3);
}

bool AppController::is102() const
{
    const int major = deviceFirmwareMajorVersion();
    return major > 10 || (major == 10 && deviceFirmwareMinorVersion() > 1);
}

bool AppController::hasVoicemailCapability() const
{
    return deviceClassOrDefault() == QLatin1String("iPhone");
}

bool AppController::hasiMessageCapability() const
{
    return deviceFirmwareMajorVersion() > 4;
}

QString AppController::deviceNameForPrinting() const
{
    const QString name = deviceName();
    const QString number = devicePhoneNumber();
    if (!number.isEmpty())
        return QStringLiteral("%1 %2").arg(name, number);
    return name;
}

// --- Size text -----------------------------------------------------------------------------

QString AppController::getSizeText(uint64_t bytes)
{
    const uint64_t k = bytes / 1000;
    if (k == 0)
        return tr("%1 Bytes").arg(bytes);
    if (k < 1000)
        return tr("%1 KB").arg(k);
    const uint64_t m = k / 1000;
    if (m < 1000) {
        if (k % 1000 > 101)
            return QStringLiteral("%1.%2 %3").arg(m).arg((k % 1000) / 102).arg(tr("MB"));
        return QStringLiteral("%1 %2").arg(m).arg(tr("MB"));
    }
    if (m % 1000 > 101)
        return QStringLiteral("%1.%2 %3").arg(m / 1000).arg((m % 1000) / 102).arg(tr("GB"));
    return QStringLiteral("%1 %2").arg(m / 1000).arg(tr("GB"));
}

bool AppController::tableHasSavedSort(const QString &autosaveName)
{
    // A stored value that is not a list counts as no sort.
    auto nonEmptyList = [](const QVariant &value) {
        return value.typeId() == QMetaType::QVariantList && !value.toList().isEmpty();
    };
    const UserDefaults &defaults = UserDefaults::standard();
    if (nonEmptyList(defaults.objectForKey(QStringLiteral("NSTableView Sort Ordering %1").arg(autosaveName))))
        return true;
    const QByteArray archive =
        defaults.objectForKey(QStringLiteral("NSTableView Sort Ordering v2 %1").arg(autosaveName)).toByteArray();
    if (archive.isEmpty())
        return false;
    if (const auto list = KeyedArchive::decode(archive, nullptr, QStringLiteral("Array")))
        return nonEmptyList(*list);
    const auto root = KeyedArchive::decode(archive);
    if (!root)
        return false;
    if (root->canConvert<KeyedObject>() && root->typeId() == qMetaTypeId<KeyedObject>())
        return nonEmptyList(root->value<KeyedObject>().value(QStringLiteral("Array")));
    return nonEmptyList(root->toMap().value(QStringLiteral("Array")));
}

// --- Status line ---------------------------------------------------------------------------

void AppController::updateMessage(const QString &message)
{
    {
        std::lock_guard lock(mMessageLock);
        if (mMessage.isNull() && message.isNull())
            return;
        if (mMessage == message && mMessage.isNull() == message.isNull())
            return;
        if (message.isNull())
            VarnekLog("Clearing status");
        else
            VarnekLog("Status update: %s", qUtf8Printable(message));
        mMessage = message;
    }
    onMain([this] { updateStatusMessage(); });
}

QString AppController::message() const
{
    std::lock_guard lock(mMessageLock);
    return mMessage;
}

QString AppController::statusText(QString *colour)
{
    if (!connectedStatus() || !dev() || mErrorCode.load())
        return {};
    QString name = deviceName();
    if (name.isEmpty()) {
        const QString deviceClassName = deviceClass();
        if (deviceClassName.isEmpty())
            return {};
        std::lock_guard lock(mDeviceValuesLock);
        mDeviceName = deviceClassName;
        name = deviceClassName;
    }
    DeviceFilesWindow *window = FileAccess::filesWindow(*this);
    if (mCancellingBackup.load() && window)
        window->clearItemCounts();
    if (colour)
        *colour = reachableStatus() ? QStringLiteral("green") : QStringLiteral("orange");

    const QString via = connectionTypeString();
    const QString plain = tr("%1 Connected via %2").arg(name, via);
    const Mode mode = window ? window->windowMode() : Mode::Other;
    if ((mWaitingForMediaApplication.load() || mWaitingForiTunes.load()) && isDataMode(mode))
        return tr("%1 Connected via %2 (Waiting for iTunes Sync to Finish...)").arg(name, via);
    const QString transient = message();
    if (!transient.isNull() && isDataMode(mode))
        return tr("%1 Connected via %2 (%3)").arg(name, via, transient);

    const char *noun = nullptr;
    switch (mode) {
    case Mode::Photos: noun = "%1 Connected via %2 (%3 Photo%4)"; break;
    case Mode::Notes: noun = "%1 Connected via %2 (%3 Note%4)"; break;
    case Mode::Messages: noun = "%1 Connected via %2 (%3 Message%4)"; break;
    case Mode::Calls: noun = "%1 Connected via %2 (%3 Call History Item%4)"; break;
    case Mode::Contacts: noun = "%1 Connected via %2 (%3 Contact%4)"; break;
    case Mode::Bookmarks: noun = "%1 Connected via %2 (%3 Item%4)"; break;
    case Mode::VoiceMemos: noun = "%1 Connected via %2 (%3 Voice Memo%4)"; break;
    default: break;
    }
    if (noun) {
        const int count = window->itemCount(mode);
        return count ? tr(noun).arg(name, via).arg(count).arg(plural(count)) : plain;
    }
    if (mode == Mode::Voicemail) {
        if (!hasVoicemailCapability())
            return plain;
        const int count = window->itemCount(mode);
        return tr("%1 Connected via %2 (%3 Voicemail%4)").arg(name, via).arg(count).arg(plural(count));
    }
    if (mode == Mode::Music) {
        const int count = window->itemCount(mode);
        if (!count)
            return plain;
        return tr("%1 Connected via %2 (%3 %4%5)").arg(name, via).arg(count).arg(window->subModeName(), plural(count));
    }

    const bool userArea = !window || window->selectionIsInUserArea();
    const uint64_t free = userArea ? mAFCFree.load() : mAFC2Free.load();
    if (!free || !reachableStatus())
        return plain;
    (userArea ? mLastFreeBytes : mLastFreeBytesAfc2).store(free);
    return tr("%1 Connected via %2 (%3 Available)").arg(name, via, getSizeText(free));
}

void AppController::updateStatusMessage()
{
    QObject *context = mMainContext.get();
    if (QThread::currentThread() != context->thread()) {
        onMain([this] { updateStatusMessage(); });
        return;
    }
    if (!mStatusTimer) {
        mStatusTimer = new QTimer(context);
        mStatusTimer->setInterval(5000);
        QObject::connect(mStatusTimer, &QTimer::timeout, context, [this] { updateStatusMessage(); });
        mStatusTimer->start();
    }
    QString colour;
    const QString text = statusText(&colour);
    if (text.isNull() || !mWindow)
        return;
    mWindow->setStatusMessage(text, colour, deviceName());
}
