#pragma once
// The process-wide device controller: one instance, published in gSharedAppController. It
// holds the attached devices, the current device and its connections, the known Wi-Fi
// devices, the device status and generation number, the transfer buffer and the cached
// results of every data category; every subsystem reaches the device and the main window
// through it. The device work itself (framework binding, discovery, connection, file
// access, backups) lives in further source files of this class, added by the subsystems
// that build it; this file holds the state, the locks and the start-up and tear-down.
//
// Life cycle: constructed by the main interface (gSharedAppController set) -> awakeFromNib
// (known devices read) -> setupiPhone (one-time set-up, main thread) -> ... ->
// closeConnections at quit. The object lives until the process ends.
//
// Threads: the accessors may be called from any thread; fields shared with workers are
// atomics or guarded by the lock named beside them. Lock order: gKnownDevicesLock before
// mConnectedDevicesLock; mLock is released before mConnectedDevicesLock is taken.

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class FRWindowHub;
class QTimer;
class QNArchive;
class DeviceBackup;

// The framework's opaque handles, as the device layer binds them.
using DeviceRef = void *;
using AFCConnectionRef = void *;
using ServiceConnectionRef = void *;

class AppController
{
public:
    // Device status values.
    static constexpr int kStatusNone = -1;
    static constexpr int kStatusConnected = 1;
    static constexpr int kStatusDisconnected = 2;
    static constexpr int kStatusAway = 4;
    // Interface types.
    static constexpr int kInterfaceNone = -1;
    static constexpr int kInterfaceUSB = 1;
    static constexpr int kInterfaceWiFi = 2;
    static constexpr uint64_t kTransferBufferSize = 1048576;

    // Publishes the instance in gSharedAppController.
    AppController();
    ~AppController();
    AppController(const AppController &) = delete;
    AppController &operator=(const AppController &) = delete;

    // Print-option titles, then the known Wi-Fi devices from "KnownDevices" (entries that
    // are not dictionaries with a uid are skipped: a damaged default never stops start-up).
    void awakeFromNib();
    // The one-time set-up, sent by the main window as the last step of its launch.
    void setupiPhone();
    // Closes the media-area and whole-filesystem connections and disconnects the device,
    // under mLock. Used at quit and at every device switch.
    void closeConnections(bool quitting);

    // Seams filled by the device-link, backup and archive subsystems. Until they land they
    // do nothing; setupiPhone calls them in the design's order.
    void moveMDatasToFiles();
    void bindDeviceFramework();
    void loadBackupsOnThread();
    void loadDBsOnThread();

    // Shared reads.
    DeviceRef dev() const { return mDev.load(); }
    int interfaceType() const { return mInterfaceType.load(); }
    FRWindowHub *window() const { return mWindow; }
    void setWindow(FRWindowHub *window) { mWindow = window; }
    bool waitingForConnections() const { return mWaitingForConnections.load(); }
    int deviceInstance() const { return mDeviceInstance.load(); }
    QString connectedDeviceID() const;
    bool connectedStatus() const { const int s = mStatus.load(); return s == kStatusConnected || s == kStatusAway; }
    bool reachableStatus() const { return mStatus.load() == kStatusConnected; }
    bool deviceConnected() const { return dev() && connectedStatus(); }
    bool deviceReachable() const { return dev() && reachableStatus(); }
    bool wirelessDeviceConnected() const { return deviceConnected() && interfaceType() == kInterfaceWiFi; }
    bool afc2Available() const { return mAfc2.load(); }
    bool displayedDataError() const { return mDisplayedDataError.load(); }
    void setDisplayedDataError(bool shown) { mDisplayedDataError.store(shown); }
    void showMessage(bool show) { mShowMessage.store(show); }
    QString deviceName() const;
    QString devicePhoneNumber() const;
    int status() const { return mStatus.load(); }

    // The known Wi-Fi devices (copies; gKnownDevicesLock guards the list).
    QList<QVariantMap> mKnownDevicesCopy() const;
    void setMKnownDevices(const QList<QVariantMap> &records);
    // One sort key for the known-devices table: "displayname", ascending, case-insensitive.
    // The setter exists for the table's binding, but the order is always this one.
    struct SortDescriptor
    {
        QString key;
        bool ascending;
        bool caseInsensitive;
    };
    QList<SortDescriptor> alphaSort() const;
    void setAlphaSort(const QList<SortDescriptor> &) {}

    // The transfer buffer, allocated once by setupiPhone.
    char *transferBuffer() const { return mBuffer.get(); }
    uint64_t transferBufferSize() const { return mBufferSize; }

    // Print-option titles (localised).
    QString altRowTitle, includeHeadersTitle, monochromeTitle, monochromeText, optionsOkTitle,
        saveAsText, saveAttachmentsTitle;

    // Recursive: file operations nest (a download asks sizes and types again). Guards every
    // call into the device framework and the file service.
    std::recursive_mutex mLock;
    std::recursive_mutex mConnectedDevicesLock;
    std::mutex mCurrentFileLock;

    // --- State (the device subsystems read and write these). ---------------------------
    std::atomic<DeviceRef> mDev{nullptr};
    AFCConnectionRef mConn = nullptr;   // media area; mLock
    AFCConnectionRef mConn2 = nullptr;  // whole filesystem, when started; mLock
    AFCConnectionRef mAppConn = nullptr; // app container; mLock
    ServiceConnectionRef mAFCHandle = nullptr, mAFCHandle2 = nullptr, mAppAFCHandle = nullptr;
    QVariantList mConnectedDevices; // ConnectedDeviceEntry values; mConnectedDevicesLock
    std::atomic<bool> mWaitingForConnections{false};
    std::atomic<int> mStatus{kStatusNone};
    std::atomic<int> mErrorCode{0};
    QDateTime mMissingDate;
    std::atomic<int> mInterfaceType{kInterfaceNone};
    std::atomic<int> mDeviceInstance{0};
    QString mDeviceName, mDeviceClass, mDeviceNumber, mDevicePhoneNumber, mDeviceFirmwareVersion,
        mProductVersion; // written by the set-up thread; guarded by mDeviceValuesLock
    mutable std::mutex mDeviceValuesLock;
    QVariantMap mWakeupToken;
    std::atomic<bool> mAfc2{false};
    std::unique_ptr<char[]> mBuffer;
    uint64_t mBufferSize = 0;
    std::atomic<uint64_t> mBytesTransferred{0};
    QString mCurrentFile; // mCurrentFileLock
    std::atomic<bool> mStop{false};
    std::atomic<bool> mStopFindingSize{false};
    QVariantMap mPaths, mLoadedPaths, mLoadedPathAttributes; // listing caches; mLock
    std::atomic<uint64_t> mAFCFree{0}, mAFC2Free{0}, mLastFreeBytes{0}, mLastFreeBytesAfc2{0};
    QTimer *mStatusTimer = nullptr;
    std::atomic<bool> mShowMessage{true};
    std::atomic<bool> mDisplayedDataError{false};
    QString mCurrentAppID;
    QTimer *mAppTimer = nullptr;
    QVariantList apps;
    QList<QNArchive *> devices;
    QList<DeviceBackup *> backups;
    // Backup, archive, notes and camera state, created empty here.
    QVariantMap mBackupDBs;
    QString mBackupPassword;
    QByteArray mDerivedKey;
    bool mRememberThisPasswordOnKeychain = false;
    QSet<QString> mCreatedAMRDB, mCreatedNotesDB;
    std::atomic<bool> mCancelWaitingThreads{false};
    std::atomic<bool> mWaitingForMediaApplication{false};

private:
    void resetState();

    FRWindowHub *mWindow = nullptr;
    QList<QVariantMap> mKnownDevices; // gKnownDevicesLock
};

extern std::atomic<AppController *> gSharedAppController;

// Made at program start, not by setupiPhone, so no early caller finds them missing.
extern std::mutex gCredentialsLock;  // gCredentials
extern QVariantMap gCredentials;     // backup passwords by device id, derived keys by id + "daKey"
extern std::mutex gExportLock;       // media conversions never overlap
extern std::mutex gKnownDevicesLock; // mKnownDevices and the "KnownDevices" default

// The quit flag that long loops watch; set once at quit.
extern std::atomic<bool> gBail;
