#include "AppController.h"

#include "shell/FRWindowHub.h"
#include "shell/VarnekLogger.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>

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

// A stored known-device record is usable only as a dictionary with a uid string.
bool isKnownDeviceRecord(const QVariant &stored)
{
    if (stored.typeId() != QMetaType::QVariantMap)
        return false;
    const QVariant uid = stored.toMap().value(QStringLiteral("uid"));
    return uid.typeId() == QMetaType::QString && !uid.toString().isEmpty();
}

} // namespace

AppController::AppController()
{
    gSharedAppController.store(this);
    // Observing "QNArchiveEdited" (archive list refresh) joins with the archive subsystem.
}

AppController::~AppController()
{
    AppController *self = this;
    gSharedAppController.compare_exchange_strong(self, nullptr);
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

    const QVariant stored = UserDefaults::standard().objectForKey(QStringLiteral("KnownDevices"));
    QList<QVariantMap> records;
    if (stored.typeId() == QMetaType::QVariantList || stored.typeId() == QMetaType::QStringList) {
        const QVariantList list = stored.toList();
        for (const QVariant &entry : list) {
            if (isKnownDeviceRecord(entry))
                records.append(entry.toMap());
            else
                VarnekLog("KnownDevices: skipping a damaged entry of type %s", entry.typeName() ? entry.typeName() : "none");
        }
    } else if (stored.isValid()) {
        VarnekLog("KnownDevices: stored value of type %s is not a list; ignored", stored.typeName());
    }
    setMKnownDevices(records);
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
        mBackupDBs.clear();
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

void AppController::moveMDatasToFiles() {}
void AppController::bindDeviceFramework() {}
void AppController::loadBackupsOnThread() {}

void AppController::loadDBsOnThread()
{
    // The archive read runs here once archives exist; until then the window learns at once
    // that no worker runs and opens its (empty) archive windows.
    if (mWindow) {
        mWindow->setThreadRunning(false);
        mWindow->loadArchiveWindows();
    }
}

void AppController::closeConnections(bool quitting)
{
    Q_UNUSED(quitting);
    VarnekLog("closeConnections");
    std::lock_guard lock(mLock);
    for (AFCConnectionRef *connection : {&mConn, &mConn2}) {
        if (*connection) {
            // Closing goes through the bound framework once the device layer exists.
            *connection = nullptr;
        }
    }
    mInterfaceType.store(kInterfaceNone);
    if (mDev.load()) {
        VarnekLog("before AMDeviceDisconnect");
        mDev.store(nullptr);
        VarnekLog("after AMDeviceDisconnect");
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

QList<QVariantMap> AppController::mKnownDevicesCopy() const
{
    std::lock_guard lock(gKnownDevicesLock);
    return mKnownDevices;
}

void AppController::setMKnownDevices(const QList<QVariantMap> &records)
{
    std::lock_guard lock(gKnownDevicesLock);
    mKnownDevices = records;
}

QList<AppController::SortDescriptor> AppController::alphaSort() const
{
    return {SortDescriptor{QStringLiteral("displayname"), true, true}};
}
