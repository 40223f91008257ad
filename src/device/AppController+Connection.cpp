// Connecting to the current device: status changes, the set-up and tear-down, the
// connection sequence (connect with retries, pairing, session, file services, identity
// values) and the warning for device software that is too old.

#include "device/AppController.h"

#include "device/DeviceTimings.h"
#include "device/FrameworkValues.h"
#include "device/MobileDeviceFramework.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "interfaces/FRWindowHub.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("AppController", text);
}

bool isPasscodeError(int code)
{
    return code == kAMDDeviceLockedError || code == kAMDPasswordProtectedError;
}

} // namespace

void AppController::deviceStatusChanged(int status)
{
    const int previousError = mErrorCode.load();
    VarnekLog("setupDevice: deviceStatusChanged: %d (mErrorCode: %d)", status, previousError);
    // The status always follows: an error belongs to the attempt that made it, and a new
    // attempt starts clean. (A stored error used to freeze the status, so one failed
    // listing made a later device switch end with no device.)
    if (status == kStatusConnected)
        mErrorCode.store(0);
    mStatus.store(status);

    if (status == kStatusConnected) {
        if (mWindow)
            mWindow->setStatusMessage(tr("Starting up..."), QStringLiteral("orange"), QString());
        setupDeviceOnThread();
        return;
    }
    setupDevice();
    if (previousError)
        mStatus.store(kStatusNone);
    if (mWindow)
        mWindow->setupDevice();
}

void AppController::setupDeviceOnThread()
{
    mDeviceThreads.detach([this] { doSetupDeviceOnThread(); });
}

void AppController::doSetupDeviceOnThread()
{
    const AMDeviceRef device = dev();
    int instance = 0;
    const int error = setupDevice(&instance);
    if (instance != deviceInstance()) {
        // A switch or a detach came in meanwhile; its own set-up or tear-down owns the state.
        VarnekLog("setupDevice: device changed during set-up (%d), dropping the result", instance);
        return;
    }
    if (!error) {
        onMain([this] {
            if (mWindow)
                mWindow->setupDevice();
        });
        return;
    }
    const bool wifi = interfaceType() == kInterfaceWiFi;
    // The status is cleared on the main thread, and only while no switch or detach has
    // started since: cleared here, it could land after the next device's status and leave
    // that device unconnected.
    onMain([this, device, instance, error] {
        if (instance != deviceInstance())
            return;
        mStatus.store(kStatusNone);
        finishHandlingDisconnect(device);
        showStateAfterFailedSetup(device, error);
    });
    if (isPasscodeError(error)) {
        onMain([this, error] {
            if (mWindow)
                mWindow->reportPassCodeError(error);
        });
    } else if (wifi) {
        onMain([this] {
            if (mWindow)
                mWindow->showErrorOnMain();
        });
    }
}

void AppController::showStateAfterFailedSetup(AMDeviceRef device, int error)
{
    // The window took the tear-down for a switch to another device ("Loading..."); no
    // choice follows a failed attempt, so the strip shows what the device now is.
    if (!mWindow || dev() || connectedStatus())
        return;
    QString name;
    for (const ConnectedDeviceEntry &entry : connectedDevices())
        if (entry.dev() == device)
            name = entry.name();
    if (name.isEmpty()) {
        mWindow->setStatusMessage(tr("No Device Connected"), QStringLiteral("red"), QString());
        return;
    }
    const bool untrusted = isPasscodeError(error) || error == int(kAMDUserDeniedPairingError)
                           || error == int(kAMDNotPairedError);
    mWindow->setStatusMessage(untrusted ? tr("%1 Not Trusted").arg(name) : tr("%1 Not Connected").arg(name),
                              QStringLiteral("red"), QString());
}

int AppController::setupDevice()
{
    return setupDevice(nullptr);
}

int AppController::setupDevice(int *raisedInstance)
{
    const int instance = ++mDeviceInstance;
    if (raisedInstance)
        *raisedInstance = instance;
    VarnekLog("setupDevice: mDeviceInstance: %d", instance);
    forgetDataOfEarlierGeneration(instance);

    if (!connectedStatus()) {
        if (raisedInstance) {
            // A set-up thread started for a connection that has gone since: the detach or
            // switch that changed the status reset the state itself, and may already have
            // chosen the next device, which a late reset here would take away again.
            VarnekLog("setupDevice: the device went before its set-up began");
            return 0;
        }
        VarnekLog("setupDevice: not connected. resetting");
        mDisplayedDataError.store(false);
        releaseConnections();
        {
            std::lock_guard lock(mLock);
            mCurrentAppID.clear();
            mPaths.clear();
            mLoadedPaths.clear();
            mLoadedPathAttributes.clear();
        }
        mDev.store(nullptr);
        mErrorCode.store(0);
        // The free space was the gone device's: the next device must not be shown or
        // checked against it.
        for (std::atomic<uint64_t> *bytes : {&mAFCFree, &mAFC2Free, &mLastFreeBytes, &mLastFreeBytesAfc2})
            bytes->store(0);
        if (mAppTimer && QThread::currentThread() == mAppTimer->thread()) {
            mAppTimer->stop();
            mAppTimer->deleteLater();
            mAppTimer = nullptr;
        }
        {
            std::lock_guard lock(mDeviceValuesLock);
            mDeviceName.clear();
            mDeviceClass.clear();
            mDeviceNumber.clear();
            mDevicePhoneNumber.clear();
            mDeviceFirmwareVersion.clear();
            mProductVersion.clear();
            mWakeupToken.clear();
        }
        disconnectPTP();
        return 0;
    }

    clearBackupBadError();
    const int error = makeConnection();
    if (instance != deviceInstance())
        return error;
    if (error) {
        mErrorCode.store(error);
        return error;
    }
    connectPTP();
    loadAppList();

    QVariantMap token;
    {
        std::lock_guard lock(mLock);
        const AMDeviceRef device = dev();
        if (device && AMDeviceCreateWakeupToken) {
            plist_t raw = nullptr;
            if (AMDeviceCreateWakeupToken(device, nullptr, &raw) == 0 && raw)
                token = variantFromPlist(raw).toMap();
            if (raw)
                plist_free(raw);
        }
    }
    QString uid;
    QString name;
    {
        std::lock_guard lock(mDeviceValuesLock);
        mWakeupToken = token;
        uid = mDeviceNumber;
        name = mDeviceName;
    }
    if (!token.isEmpty() && !uid.isEmpty() && !name.isEmpty() && interfaceType() == kInterfaceWiFi)
        recordKnownDevice(uid, name, token);
    return 0;
}

void AppController::releaseConnections()
{
    // A transfer holds mLock for a whole file: it is asked to end after its current buffer.
    TransferAbort abort(mTransferAbort);
    std::lock_guard lock(mLock);
    struct Pair
    {
        AFCConnectionRef *connection;
        ServiceConnectionRef *service;
    };
    for (Pair pair : {Pair{&mConn, &mAFCHandle}, Pair{&mConn2, &mAFCHandle2}, Pair{&mAppConn, &mAppAFCHandle}}) {
        if (*pair.connection) {
            // Closing the file connection closes the service connection it took over.
            if (AFCConnectionClose) {
                VarnekLog("before AFCConnectionClose");
                const AFCError result = AFCConnectionClose(*pair.connection);
                VarnekLog("after AFCConnectionClose");
                if (result)
                    VarnekLog("AFCConnectionClose: %d", result);
            }
        } else if (*pair.service && AMDServiceConnectionInvalidate) {
            AMDServiceConnectionInvalidate(*pair.service);
        }
        *pair.connection = nullptr;
        *pair.service = nullptr;
    }
    mAfc2.store(false);
}

int AppController::makeConnection()
{
    if (!dev())
        return -1;
    if (const int error = mErrorCode.load())
        return error;
    if (mStatus.load() == kStatusAway) {
        if (mShowMessage.exchange(false)) {
            onMain([this] {
                if (mWindow)
                    mWindow->showErrorOnMain();
            });
        }
        return -1;
    }
    {
        std::lock_guard lock(mLock);
        if (mConn)
            return 0;
    }

    VarnekLog("start waiting for aFewSecondsHaveGoneBySet");
    gAFewSecondsHaveGoneBy.store(false);
    // Never wait for the main thread here: a file operation may call this holding mLock.
    if (iTunesRunning())
        aFewSecondsHaveGoneBySetOnMain();
    else
        aFewSecondsHaveGoneBySet();

    std::lock_guard lock(mLock);
    if (mConn)
        return 0; // another thread connected while this one waited for the lock
    const AMDeviceRef device = dev();
    if (!device)
        return -1;
    for (ServiceConnectionRef *service : {&mAFCHandle, &mAFCHandle2}) {
        if (*service && AMDServiceConnectionInvalidate)
            AMDServiceConnectionInvalidate(*service);
        *service = nullptr;
    }

    ServiceConnectionRef media = nullptr;
    ServiceConnectionRef whole = nullptr;
    AFCConnectionRef conn = nullptr;
    AFCConnectionRef conn2 = nullptr;
    auto fail = [&](int code) {
        if (conn)
            AFCConnectionClose(conn);
        else if (media && AMDServiceConnectionInvalidate)
            AMDServiceConnectionInvalidate(media);
        if (conn2)
            AFCConnectionClose(conn2);
        else if (whole && AMDServiceConnectionInvalidate)
            AMDServiceConnectionInvalidate(whole);
        mAfc2.store(false);
        AMDeviceDisconnect(device);
        mErrorCode.store(code);
        return code;
    };

    // 1. Connect, with retries: a device that was just plugged in often refuses at first.
    AMDError result = connectWithRetries(device, deviceTimings().connectTries.load());
    if (result) {
        VarnekLog("AMDeviceConnect: %d", result);
        mErrorCode.store(result);
        return result;
    }

    // 2. Pairing.
    plist_t options = nullptr;
    auto pairWithOptions = [&] {
        if (!options) {
            options = plist_new_dict();
            plist_dict_set_item(options, "ExtendedPairingErrors", plist_new_bool(1));
        }
        return AMDevicePairWithOptions(device, options);
    };
    const int paired = AMDeviceIsPaired(device);
    if (paired) {
        result = AMDeviceValidatePairing(device);
        if (result) {
            VarnekLog("QNDevValidatePairing: 0x%x", unsigned(result));
            if (AMDevicePairWithOptions)
                result = pairWithOptions();
            if (result)
                VarnekLog("PairWithOptions: 0x%x", unsigned(result));
        }
    } else {
        VarnekLog("QNDevIsPaired: 0x%x", unsigned(paired));
        if (AMDevicePairWithOptions) {
            result = pairWithOptions();
            if (result)
                VarnekLog("QNDevPairWithOptions: 0x%x", unsigned(result));
        } else {
            result = AMDevicePair(device);
            if (result)
                VarnekLog("QNDevPair: 0x%x", unsigned(result));
        }
    }
    if (options)
        plist_free(options);
    if (result)
        return fail(result);

    // 3. Session and interface.
    result = StartSession(device);
    if (result) {
        VarnekLog("AMDeviceStartSession: %d", result);
        return fail(result);
    }
    const int interface = deviceInterfaceType(device);
    mInterfaceType.store(interface);
    const bool secure = interface == kInterfaceWiFi && AMDeviceSecureStartService;
    auto startService = [&](const char *name, ServiceConnectionRef *service) {
        return secure ? AMDeviceSecureStartService(device, name, nullptr, service)
                      : AMDeviceStartService(device, name, service);
    };

    // 4. The media-area file service, and the whole filesystem where the device offers it.
    result = startService(kAMDFileService, &media);
    if (result) {
        VarnekLog("AMDeviceStartService: %d", result);
        return fail(result);
    }
    const bool afc2 = startService(kAMDWholeFileSystemService, &whole) == 0 && whole;
    mAfc2.store(afc2);

    // 5. Identity values.
    const QString number = copyDeviceString(device, "UniqueDeviceID");
    {
        std::lock_guard values(mDeviceValuesLock);
        mDeviceNumber = number;
        mDeviceName = copyDeviceString(device, "DeviceName");
        mDevicePhoneNumber = copyDeviceString(device, "PhoneNumber");
        mDeviceFirmwareVersion = copyDeviceString(device, "BuildVersion");
        mProductVersion = copyDeviceString(device, "ProductVersion");
        mDeviceClass = copyDeviceString(device, "DeviceClass");
        if (!number.isEmpty()) {
            UserDefaults::standard().setObject(number, QStringLiteral("LAST_CONNECTED_DEVICE"));
            VarnekLog("Device Number: %s", qUtf8Printable(number));
        }
        VarnekLog("Firmware Version: %s", qUtf8Printable(mDeviceFirmwareVersion));
        VarnekLog("Product Version: %s", qUtf8Printable(mProductVersion));
    }

    // 6. File connections; over Wi-Fi they need the secure channel's context.
    const bool secureContext = interface == kInterfaceWiFi && AFCConnectionSetSecureContext
        && AMDServiceConnectionGetSecureIOContext;
    result = AFCConnectionOpen(media, 0, &conn);
    if (result) {
        conn = nullptr;
        VarnekLog("AFCConnectionOpen: %d", result);
        return fail(result);
    }
    if (secureContext)
        AFCConnectionSetSecureContext(conn, AMDServiceConnectionGetSecureIOContext(media));
    if (afc2) {
        result = AFCConnectionOpen(whole, 0, &conn2);
        if (result) {
            conn2 = nullptr;
            VarnekLog("AFCConnectionOpen2: %d", result);
            return fail(result);
        }
        if (secureContext)
            AFCConnectionSetSecureContext(conn2, AMDServiceConnectionGetSecureIOContext(whole));
    }

    mAFCHandle = media;
    mAFCHandle2 = afc2 ? whole : nullptr;
    mConn = conn;
    mConn2 = conn2;
    mConnOpened = mConn2Opened = ++mConnectionGeneration;
    return 0;
}

int AppController::connectWithRetries(AMDeviceRef device, int tries)
{
    AMDError result = 0;
    for (int attempt = 1; attempt <= std::max(1, tries); ++attempt) {
        result = AMDeviceConnect(device);
        if (result == 0)
            break;
        // At quit no more tries: the main thread waits for mLock to close the connections.
        if (gBail.load() || !mDeviceThreads.sleepFor(deviceTimings().connectRetryMs.load()))
            break;
    }
    return result;
}

int AppController::StartSession(AMDeviceRef device)
{
    std::lock_guard lock(mLock);
    AMDeviceStopSession(device);
    AMDeviceDisconnect(device);
    AMDError result = connectWithRetries(device, deviceTimings().reconnectTries.load());
    if (result) {
        VarnekLog("AMDeviceConnect for reconnect: %d", result);
        return result;
    }
    result = AMDeviceStartSession(device);
    if (result)
        VarnekLog("QNDevStartSession failed: %d", result);
    return result;
}

void AppController::tryAgain()
{
    mErrorCode.store(0);
    // A pause on a timer rather than a sleep: the window stays responsive.
    onMainAfter(deviceTimings().tryAgainMs.load(), [this] { deviceStatusChanged(kStatusConnected); });
}

float AppController::iTunesVersion() const
{
    const auto info = PropertyList::fromFile(QStringLiteral("/Applications/iTunes.app/Contents/Info.plist"));
    if (!info)
        return 0;
    const QString version = info->toMap().value(QStringLiteral("CFBundleVersion")).toString();
    const QStringList parts = version.split(QLatin1Char('.'));
    const QString number = parts.size() >= 3 ? QStringLiteral("%1.%2").arg(parts[0], parts[1]) : version;
    return number.toFloat();
}

void AppController::showOSWarning()
{
    const float version = iTunesVersion();
    if (version >= 12.39f) {
        VarnekLog("showOSWarning but iTunes %f", double(version));
        return;
    }
    VarnekLog("showOSWarning and iTunes %f", double(version));
    if (mShownOSWarning)
        return;
    mShownOSWarning = true;
    if (mWindow)
        mWindow->showInformationPanel(
            tr("Unable to Connect"),
            tr("Quillon is not able to connect to a device. If this device is running iOS 10 or newer, quit Quillon and update to the latest iTunes."));
}

void AppController::aFewSecondsHaveGoneBySet()
{
    VarnekLog("aFewSecondsHaveGoneBySet");
    gAFewSecondsHaveGoneBy.store(true);
}

void AppController::aFewSecondsHaveGoneBySetOnMain()
{
    onMainAfter(deviceTimings().mediaAppSettleMs.load(), [this] { aFewSecondsHaveGoneBySet(); });
}

QString AppController::deviceClass() const
{
    std::lock_guard lock(mDeviceValuesLock);
    return mDeviceClass;
}

QString AppController::deviceFirmwareVersion() const
{
    std::lock_guard lock(mDeviceValuesLock);
    return mDeviceFirmwareVersion;
}

QString AppController::productVersion() const
{
    std::lock_guard lock(mDeviceValuesLock);
    return mProductVersion;
}

QVariantMap AppController::wakeupToken() const
{
    std::lock_guard lock(mDeviceValuesLock);
    return mWakeupToken;
}
