// The app list and app containers: which apps the device lists, opening one app's
// container (or only its Documents folder) as the third file connection, and app icons
// through the springboard service. Every framework call is made under mLock.

#include "device/AppController.h"

#include "device/FileAccessSupport.h"
#include "device/FrameworkValues.h"
#include "device/MobileDeviceFramework.h"
#include "shell/Defaults.h"
#include "interfaces/FRWindowHub.h"
#include "shell/VarnekLogger.h"

#include <plist/plist.h>

std::atomic<bool> gNotSoAppsMode{false};

namespace {

// One icon worker at a time: a second app list's worker waits for the first.
std::mutex gIconWorkerLock;

const QStringList &listedAppleApps()
{
    static const QStringList ids{
        QStringLiteral("com.apple.Remote"), QStringLiteral("com.apple.Cards"),
        QStringLiteral("com.apple.movietrailers"), QStringLiteral("com.apple.mobileme.fmip1"),
        QStringLiteral("com.apple.mobileme.fmf1"), QStringLiteral("com.apple.store.Jolly"),
        QStringLiteral("com.apple.iwork.KeynoteRemote"), QStringLiteral("com.apple.itunesu")};
    return ids;
}

bool sharesFiles(const QVariantMap &attributes)
{
    return attributes.value(QStringLiteral("UIFileSharingEnabled")).toBool();
}

bool needsSession(AMDError error)
{
    return error == kAMDSessionInactiveError || error == kAMDNotConnectedError;
}

} // namespace

QList<QNSharableApp> AppController::sharableApps() const
{
    return mSharableApps;
}

QString AppController::currentAppID() const
{
    std::lock_guard lock(const_cast<std::recursive_mutex &>(mLock));
    return mCurrentAppID;
}

void AppController::loadAppList()
{
    gNotSoAppsMode.store(!hasAllAppsCapability() && !preferenceBool(QStringLiteral("DEV_ALL_APPS_MODE")));
    onMain([this] {
        mSharableApps.clear();
        if (DeviceFilesWindow *window = FileAccess::filesWindow(*this))
            window->appsChanged();
    });
    const QList<QNSharableApp> list = QNSharableApp::appInfosForInfoDict(getSharableApps());
    onMain([this, list] {
        mSharableApps = list;
        if (DeviceFilesWindow *window = FileAccess::filesWindow(*this))
            window->appsChanged();
    });
    mDeviceThreads.detach([this, list] { fetchAppIcons(list); });
}

QVariantMap AppController::getSharableApps()
{
    if (!AMDeviceLookupApplications)
        return {};
    QVariantMap all;
    {
        // The lookup stays under mLock like every other framework call.
        std::lock_guard lock(mLock);
        if (makeConnection())
            return {};
        const AMDeviceRef device = dev();
        if (!device || StartSession(device))
            return {};
        plist_t options = plist_new_dict();
        plist_dict_set_item(options, "ApplicationType", plist_new_string("Any"));
        plist_t attributes = plist_new_array();
        for (const char *key : {"CFBundleIdentifier", "CFBundleName", "CFBundleDisplayName", "UIFileSharingEnabled",
                                "CFBundleExecutable"})
            plist_array_append_item(attributes, plist_new_string(key));
        plist_dict_set_item(options, "ReturnAttributes", attributes);
        plist_t apps = nullptr;
        const AMDError error = AMDeviceLookupApplications(device, options, &apps);
        plist_free(options);
        if (error)
            VarnekLog("QNDevLA: %d", error);
        if (apps) {
            all = variantFromPlist(apps).toMap();
            plist_free(apps);
        }
    }

    const bool allApps = !gNotSoAppsMode.load() && preferenceBool(QStringLiteral("ALL_APPS_MODE"));
    QVariantMap kept;
    for (auto it = all.cbegin(); it != all.cend(); ++it) {
        const QVariantMap attributes = it.value().toMap();
        bool keep = sharesFiles(attributes);
        if (allApps && !keep)
            keep = !it.key().startsWith(QLatin1String("com.apple")) || listedAppleApps().contains(it.key());
        if (keep)
            kept.insert(it.key(), attributes);
    }
    return kept;
}

void AppController::selectionChanged(const QList<int> &selectedRows)
{
    if (!mSharableApps.isEmpty() && selectedRows.size() == 1 && selectedRows.first() >= 0
        && selectedRows.first() < mSharableApps.size()) {
        const QString id = mSharableApps.at(selectedRows.first()).appID();
        {
            std::lock_guard lock(mLock);
            mCurrentAppID = id;
        }
        const int error = connectToApp(id);
        // The user chose this app: a container that did not open is said, not left as an
        // empty list. (Away was already said by connectToApp.)
        if (error && error != kWiFiAway) {
            VarnekLog("connectToApp (%s): %d", qUtf8Printable(id), error);
            if (DeviceFilesWindow *window = FileAccess::filesWindow(*this))
                window->reportCantGetDirectoriesError(error);
        }
        return;
    }
    std::lock_guard lock(mLock);
    mCurrentAppID.clear();
}

int AppController::connectToApp(const QString &bundleId)
{
    const AMDeviceRef device = dev();
    if (!device || !AMDeviceStartHouseArrestService)
        return kAppsUnavailable;
    if (mStatus.load() == kStatusAway) {
        if (mShowMessage.exchange(false)) {
            onMain([this] {
                if (mWindow)
                    mWindow->showErrorOnMain();
            });
        }
        return kWiFiAway;
    }

    std::lock_guard lock(mLock);
    // The last app's container goes first: whatever fails below, the new selection's file
    // operations must never reach it.
    if (mAppConn) {
        AFCConnectionClose(mAppConn);
        mAppConn = nullptr;
        mAppAFCHandle = nullptr;
    }
    if (const int error = StartSession(device))
        return error;
    const QByteArray id = bundleId.toUtf8();
    ServiceConnectionRef service = nullptr;
    AMDError result = AMDeviceStartHouseArrestService(device, id.constData(), nullptr, &service);
    if (!service) {
        plist_t options = plist_new_dict();
        plist_dict_set_item(options, "Command",
                            plist_new_string(gNotSoAppsMode.load() ? "VendDocuments" : "VendContainer"));
        result = AMDeviceStartHouseArrestService(device, id.constData(), options, &service);
        plist_free(options);
        if (result || !service) {
            // The container was not opened: never a success.
            VarnekLog("QNDevStartHouseArrest: %d", result);
            if (service && AMDServiceConnectionInvalidate)
                AMDServiceConnectionInvalidate(service);
            return kVendRefused;
        }
    }
    AFCConnectionRef connection = nullptr;
    const AFCError opened = AFCConnectionOpen(service, 0, &connection);
    if (opened || !connection) {
        VarnekLog("AFCConnectionOpen (app): %d", opened);
        if (AMDServiceConnectionInvalidate)
            AMDServiceConnectionInvalidate(service);
        return opened ? opened : kAppsUnavailable;
    }
    if (AFCConnectionSetSecureContext && AMDServiceConnectionGetSecureIOContext) {
        if (AMDSecureIOContextRef context = AMDServiceConnectionGetSecureIOContext(service))
            AFCConnectionSetSecureContext(connection, context);
    }
    mAppConn = connection;
    mAppConnOpened = ++mConnectionGeneration;
    mAppAFCHandle = service;
    mCurrentAppID = bundleId;
    return 0;
}

bool AppController::disconnectFromApp()
{
    stopSizeThread();
    std::lock_guard lock(mLock);
    if (!mAppConn)
        return false;
    const AFCError result = AFCConnectionClose(mAppConn);
    if (result)
        VarnekLog("AFCConnectionClose (app): %d", result);
    mAppConn = nullptr;
    mAppAFCHandle = nullptr;
    mCurrentAppID.clear();
    return true;
}

QByteArray AppController::getAppPNGData(const QString &bundleId)
{
    std::lock_guard lock(mLock);
    const AMDeviceRef device = dev();
    if (!device)
        return {};
    const bool secure = AMDeviceSecureStartService != nullptr;
    auto start = [&](ServiceConnectionRef *service) {
        return secure ? AMDeviceSecureStartService(device, kAMDSpringBoardService, nullptr, service)
                      : AMDeviceStartService(device, kAMDSpringBoardService, service);
    };
    ServiceConnectionRef service = nullptr;
    AMDError error = start(&service);
    // The session the connection opened normally serves; it is restarted only when gone.
    if (needsSession(error)) {
        if ((error = StartSession(device)) == 0)
            error = start(&service);
    }
    if (error || !service) {
        // An icon is not the connection's business: its failure stays here.
        VarnekLog("QNDevStartService (spring): %d", error);
        return {};
    }

    plist_t request = plist_new_dict();
    plist_dict_set_item(request, "bundleId", plist_new_string(bundleId.toUtf8().constData()));
    plist_dict_set_item(request, "command", plist_new_string("getIconPNGData"));
    plist_t reply = nullptr;
    if (AMDeviceSendMessage && AMDeviceReceiveMessage) {
        error = AMDeviceSendMessage(service, request);
        if (!error)
            error = AMDeviceReceiveMessage(service, &reply);
    } else if (AMDServiceConnectionSendMessage && AMDServiceConnectionReceiveMessage) {
        error = AMDServiceConnectionSendMessage(service, request, kAMDPropertyListXML);
        if (!error)
            error = AMDServiceConnectionReceiveMessage(service, &reply, nullptr);
    } else {
        // A framework with neither message pair cannot ask for icons: no icon, no crash.
        error = kAMDUndefinedError;
    }
    plist_free(request);

    QByteArray png;
    const QVariant answer = reply ? variantFromPlist(reply) : QVariant();
    if (reply)
        plist_free(reply);
    if (answer.typeId() == QMetaType::QVariantMap)
        png = answer.toMap().value(QStringLiteral("pngData")).toByteArray();
    if (png.isEmpty())
        VarnekLog("getting pngs failed %d %s", error, qUtf8Printable(bundleId));
    if (AMDServiceConnectionInvalidate)
        AMDServiceConnectionInvalidate(service);
    return png;
}

void AppController::fetchAppIcons(const QList<QNSharableApp> &list)
{
    std::lock_guard worker(gIconWorkerLock);
    for (const QNSharableApp &app : list) {
        if (mDeviceThreads.stopping())
            return;
        if (app.hasIcon())
            continue;
        const QByteArray png = getAppPNGData(app.folderName());
        if (png.isEmpty()) {
            VarnekLog("failed to get icon for %s", qUtf8Printable(app.displayName()));
            continue;
        }
        VarnekLog("got icon for %s", qUtf8Printable(app.displayName()));
        QNSharableApp::storeIconData(app.folderName(), png);
        const QString id = app.folderName();
        onMain([this, id] {
            if (DeviceFilesWindow *window = FileAccess::filesWindow(*this))
                window->appIconFetched(id);
        });
    }
}
