#include "AppController.h"

#include "archive/QNArchive.h"
#include "device/FolderSizer.h"
#include "device/MobileDeviceFramework.h"
#include "device/MobileDeviceRunLoopSource.h"
#include "interfaces/FRWindowHub.h"
#include "shell/VarnekLogger.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QObject>

std::atomic<AppController *> gSharedAppController{nullptr};
std::mutex gCredentialsLock;
QVariantMap gCredentials;
std::mutex gExportLock;
std::mutex gKnownDevicesLock;
std::atomic<bool> gBail{false};

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("AppController", text);
}

} // namespace

AppController::AppController()
{
    gSharedAppController.store(this);
    observeArchiveEdits();
}

AppController::~AppController()
{
    AppController *self = this;
    gSharedAppController.compare_exchange_strong(self, nullptr);
    // The size worker may be walking this controller's device.
    FolderSizer::shutdown();
}

void AppController::awakeFromNib()
{
    altRowTitle = tr("Alternating Row Backgrounds");
    includeHeadersTitle = tr("Include Header and Footer");
    monochromeTitle = tr("Monochrome Message Bubbles");
    monochromeText = tr("Select this option for black and white printers.");
    optionsOkTitle = tr("OK");
    saveAsText = tr("Save Messages As:");
    saveAttachmentsTitle = tr("Save Media Items As Separate Files");

    // Entries that are not dictionaries with a uid are skipped: a damaged default never
    // stops start-up. No other thread exists yet.
    setMKnownDevices(KnownDeviceRecord::loadFromDefaults());
}

void AppController::setupiPhone()
{
    UserDefaults::standard().setBool(true, QStringLiteral("PRINT_SELECTION"));
    resetState();
    mBufferSize = kTransferBufferSize;
    mBuffer = std::make_unique<char[]>(mBufferSize);
    gSharedAppController.store(this);

    moveMDatasToFiles();
    bindDeviceFramework();
    loadBackupsOnThread();
    loadDBsOnThread();
}

void AppController::resetState()
{
    {
        std::lock_guard lock(mLock);
        mBackupDBs.takeAll();
        mConn = mConn2 = mAppConn = nullptr;
        mAFCHandle = mAFCHandle2 = mAppAFCHandle = nullptr;
        mPaths.clear();
        mLoadedPaths.clear();
        mLoadedPathAttributes.clear();
    }
    {
        std::lock_guard lock(mConnectedDevicesLock);
        mConnectedDevices.clear();
    }
    {
        std::lock_guard lock(gCredentialsLock);
        gCredentials.clear();
    }
    {
        std::lock_guard lock(mDeviceValuesLock);
        mDeviceName.clear();
        mDeviceClass.clear();
        mDeviceNumber.clear();
        mDevicePhoneNumber.clear();
        mDeviceFirmwareVersion.clear();
        mProductVersion.clear();
    }
    mAFCFree.store(0);
    mAFC2Free.store(0);
    mDev.store(nullptr);
    mInterfaceType.store(kInterfaceNone);
    mStatus.store(kStatusNone);
    mDeviceInstance.store(0);
    mErrorCode.store(0);
    mAfc2.store(false);
    mBackupPassword.clear();
    mDerivedKey.clear();
    mShowMessage.store(true);
    mWaitingForConnections.store(false);
    mWaitingForMediaApplication.store(false);
    mCreatedAMRDB.clear();
    mCreatedNotesDB.clear();
}

void AppController::bindDeviceFramework()
{
    if (!bindMobileDeviceFramework())
        VarnekLog("Device framework not available (%s)", qUtf8Printable(missingMobileDeviceEntryPoint()));
}

void AppController::closeConnections(bool quitting)
{
    Q_UNUSED(quitting);
    VarnekLog("closeConnections");
    // A transfer holds mLock for a whole file: it is asked to end after its current buffer.
    TransferAbort abort(mTransferAbort);
    std::lock_guard lock(mLock);
    for (AFCConnectionRef *connection : {&mConn, &mConn2}) {
        if (*connection) {
            VarnekLog("before AFCConnectionClose");
            const AFCError result = AFCConnectionClose ? AFCConnectionClose(*connection) : 0;
            VarnekLog("after AFCConnectionClose");
            if (result)
                VarnekLog("AFCConnectionClose: %d", result);
            *connection = nullptr;
        }
    }
    // The file connections took their service connections over and closed them too.
    if (!mConn)
        mAFCHandle = nullptr;
    if (!mConn2)
        mAFCHandle2 = nullptr;
    mInterfaceType.store(kInterfaceNone);
    if (AMDeviceRef device = mDev.load()) {
        VarnekLog("before AMDeviceDisconnect");
        const AMDError result = AMDeviceDisconnect ? AMDeviceDisconnect(device) : 0;
        VarnekLog("after AMDeviceDisconnect");
        if (result)
            VarnekLog("AMDeviceDisconnect: %d", result);
        mDev.store(nullptr);
    }
}

QString AppController::connectedDeviceID() const
{
    std::lock_guard lock(mDeviceValuesLock);
    return mDeviceNumber;
}

QString AppController::deviceName() const
{
    std::lock_guard lock(mDeviceValuesLock);
    return mDeviceName;
}

QString AppController::devicePhoneNumber() const
{
    std::lock_guard lock(mDeviceValuesLock);
    return mDevicePhoneNumber;
}

QList<KnownDeviceRecord> AppController::mKnownDevicesCopy() const
{
    std::lock_guard lock(gKnownDevicesLock);
    return mKnownDevices;
}

void AppController::setMKnownDevices(const QList<KnownDeviceRecord> &records)
{
    std::lock_guard lock(gKnownDevicesLock);
    mKnownDevices = records;
}

QList<AppController::SortDescriptor> AppController::alphaSort() const
{
    return {SortDescriptor{QStringLiteral("displayname"), true, true}};
}
