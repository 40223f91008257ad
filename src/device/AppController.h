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

#include "archive/ArchiveHandleCache.h"
#include "device/ConnectedDeviceEntry.h"
#include "device/DeviceThreads.h"
#include "device/KnownDeviceRecord.h"
#include "device/QNSharableApp.h"
#include "extract/RecordSnapshot.h"
#include "interfaces/BackupPasswordPrompt.h"

#include <mobiledevice/MobileDevice.h>

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class BackupFolderWatch;
class FRWindowHub;
class MobileDeviceRunLoopSource;
class QObject;
class QTimer;
class QNArchive;
class DeviceBackup;
class FRSMSInfo;
class FRCallInfo;
class SMSDataController;
class CallListController;
class FRBookmarkInfo;
class FRAddressInfo;
struct sqlite3;
// As backup/DeviceBackup.h declares it; repeated so this header stays light.
using DeviceBackupPtr = std::shared_ptr<DeviceBackup>;
struct ManifestEntry;
struct WantedFile;
class WorkFolderNames;
class Keybag;

// The framework's opaque handles (mobiledevice/MobileDevice.h).
using DeviceRef = AMDeviceRef;
using ServiceConnectionRef = AMDServiceConnectionRef;

class AppController : public BackupPasswordReceiver
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
    ~AppController() override;
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
    // Moves saved manifests that older versions kept in the "mDatas20b" default into files
    // of the archive folder (src/backup).
    void moveMDatasToFiles();
    void bindDeviceFramework();
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
    // After a set-up that failed (passcode lock, refused pairing, ...): the strip shows the
    // attached device's name with its state, or "No Device Connected" once it has gone.
    void showStateAfterFailedSetup(AMDeviceRef device, int error);
    QString devicePhoneNumber() const;
    int status() const { return mStatus.load(); }

    // The known Wi-Fi devices (copies; gKnownDevicesLock guards the list).
    QList<KnownDeviceRecord> mKnownDevicesCopy() const;
    void setMKnownDevices(const QList<KnownDeviceRecord> &records);
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
    mutable std::recursive_mutex mConnectedDevicesLock;
    std::mutex mCurrentFileLock;

    // --- State (the device subsystems read and write these). ---------------------------
    std::atomic<DeviceRef> mDev{nullptr};
    AFCConnectionRef mConn = nullptr;   // media area; mLock
    AFCConnectionRef mConn2 = nullptr;  // whole filesystem, when started; mLock
    AFCConnectionRef mAppConn = nullptr; // app container; mLock
    // Raised at every opening of a file connection; each connection keeps the value it was
    // opened at (mLock). A handle picked before that value names an older connection that
    // the framework happened to give the same address.
    std::atomic<uint64_t> mConnectionGeneration{0};
    uint64_t mConnOpened = 0, mConn2Opened = 0, mAppConnOpened = 0; // mLock
    ServiceConnectionRef mAFCHandle = nullptr, mAFCHandle2 = nullptr, mAppAFCHandle = nullptr;
    QList<ConnectedDeviceEntry> mConnectedDevices; // mConnectedDevicesLock
    std::atomic<bool> mWaitingForConnections{false};
    std::atomic<int> mStatus{kStatusNone};
    std::atomic<int> mErrorCode{0};
    QDateTime mMissingDate; // main thread
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
    // Set while the connections are being torn down (a device switch or detach): the running
    // transfer ends after its current buffer, so the tear-down never waits out a whole file.
    std::atomic<int> mTransferAbort{0}; // tear-downs under way
    std::atomic<bool> mStopFindingSize{false};
    QVariantMap mPaths, mLoadedPaths, mLoadedPathAttributes; // listing caches; mLock
    std::atomic<uint64_t> mAFCFree{0}, mAFC2Free{0}, mLastFreeBytes{0}, mLastFreeBytesAfc2{0};
    QTimer *mStatusTimer = nullptr;
    std::atomic<bool> mShowMessage{true};
    std::atomic<bool> mDisplayedDataError{false};
    QString mCurrentAppID;
    QTimer *mAppTimer = nullptr;
    QVariantList apps;
    QList<std::shared_ptr<QNArchive>> devices; // main thread
    QList<std::shared_ptr<QNArchive>> mDevicesCopy; // mDevicesCopyLock; for other threads
    mutable std::mutex mDevicesCopyLock;
    QList<DeviceBackupPtr> backups; // main thread
    BackupFolderWatch *mEventStream = nullptr; // main thread; child of the main context
    // Backup, archive, notes and camera state, created empty here.
    ArchiveHandleCache mBackupDBs; // one open handle per archive key

    QString mBackupPassword;
    QByteArray mDerivedKey;
    bool mRememberThisPasswordOnKeychain = false;
    QSet<QString> mCreatedAMRDB, mCreatedNotesDB; // saveLock
    std::atomic<bool> mCancelWaitingThreads{false};
    std::atomic<bool> mWaitingForMediaApplication{false};

    // ======== Device life cycle: start-up, discovery, choice, connection, Wi-Fi ========
    // (AppController+Startup.cpp, +Discovery.cpp, +Connection.cpp, +WiFi.cpp)
    //
    // Threads: the framework's notification callback, the attach/detach handling, the device
    // choice and every status change run on the main thread; the attach check, the device
    // set-up and the endless wake-up and free-space threads run on workers that hand their
    // results to the main thread as queued calls and never wait for it.
    // Locks: gKnownDevicesLock, then mConnectedDevicesLock; mLock is never held while
    // mConnectedDevicesLock is taken, nor while waiting for the main thread.

    // Start-up (after setupiPhone): the archive read, then device handling.
    void doLoadDB();
    void finishSettingUp(const QList<std::shared_ptr<QNArchive>> &archives);

    // Discovery. handleDeviceNotification is device_callback's work (main thread).
    void handleDeviceNotification(AMDeviceRef device, uint32_t message);
    void checkConnectionOnThread(AMDeviceRef device);
    int checkConnection(AMDeviceRef device);
    void finishHandlingConnect(AMDeviceRef device);
    ConnectedDeviceEntry addDevice(AMDeviceRef device); // null entry: not listed
    void finishHandlingDisconnect(AMDeviceRef device);  // null: the current device
    bool devicesConnected() const;
    int interfaceForDev(AMDeviceRef device) const;
    void removeDevice(AMDeviceRef device);
    void removeWifiDevices();
    QList<ConnectedDeviceEntry> connectedDevices() const;
    void switchToDevice(const ConnectedDeviceEntry &entry); // null: the automatic choice
    void setDev(const ConnectedDeviceEntry &entry);

    // Connection.
    void deviceStatusChanged(int status);
    void setupDeviceOnThread();
    void doSetupDeviceOnThread();
    // Set-up or tear-down by the current status; returns this attempt's error (0: none).
    int setupDevice();
    int makeConnection();
    int StartSession(AMDeviceRef device);
    void tryAgain();
    void showOSWarning();
    float iTunesVersion() const;
    void aFewSecondsHaveGoneBySet();
    void aFewSecondsHaveGoneBySetOnMain();
    int errorCode() const { return mErrorCode.load(); }
    void setErrorCode(int code) { mErrorCode.store(code); }
    QString deviceClass() const;
    QString deviceFirmwareVersion() const;
    QString productVersion() const;
    QVariantMap wakeupToken() const;

    // Wi-Fi devices and known devices.
    int powerAssertionForDevice(AMDeviceRef device);
    void wakeupDeviceOnThread(); // one round of the endless wake-up thread
    bool connectToThis(const QString &uid);
    void saveKnownDevices();
    void setMKnownDevicesOnMain(const QList<KnownDeviceRecord> &records);
    void markCurrentEjected(bool ejected);
    void deviceStatusVacation(bool gone);
    bool wirelessDeviceOnVacation(const QString &uid) const;
    bool wirelessDeviceVacationWasLong() const;
    void disconnectFromWifi();
    void resubscribe();

    // Camera link (src/media): started after a set-up, ended by every tear-down.
    void connectPTP();
    void disconnectPTP();
    bool cameraLinked() const { return mCameraLinked.load(); }

    // Services of neighbouring subsystems that the device life cycle calls; each lives in
    // its subsystem's files (stopSizeThread: device/FSNodeInfo.cpp, never waits).
    void updateStatusMessage();
    void freeSpaceRound(); // one round of the endless free-space thread
    void loadAppList();
    void cancelBackup();
    void dropCachedBackupManifest();
    void clearBackupBadError();
    bool iTunesRunning() const;
    void stopSizeThread();

    // ======== Device files, device values, status line, free space, app containers ========
    // (AppController+FileAccess.cpp, +Listing.cpp, +Sidecars.cpp, +Transfers.cpp,
    // +Changes.cpp, +Values.cpp, +Polling.cpp, +Apps.cpp)
    //
    // Threads: file operations run on the window's transfer thread and the parsers' threads;
    // every framework call is made under mLock, which a transfer holds for one whole file.
    // Paths are device paths in UTF-8; "relative" ones lie below the start folder. Results:
    // 0, a framework code, or one of the codes below; nothing here shows a message itself.
    static constexpr int kFileNoConnection = -1;   // also: a data upload could not open its file
    static constexpr int kFileExists = -2;         // the target exists (local: not a folder)
    static constexpr int kFileLocalOpen = -4;      // the local file could not be opened
    static constexpr int kFileNotRegular = -6;     // _writeFile: not a regular file, skipped
    static constexpr int kFileNotFound = -17;      // the device file does not exist
    static constexpr int kFileStopped = -144;      // stopped by the user
    static constexpr int kFileLocalWrite = -222;   // a local write failed
    static constexpr int kFileListing = -3333;     // a folder could not be opened while listing
    static constexpr int kFileMissingArgument = -5555;
    static constexpr int kFileOutsideStart = 99;   // a folder outside the start folder stays
    static constexpr int kAppsUnavailable = -222;  // no device, or no app-container service
    static constexpr int kWiFiAway = -111;
    static constexpr int kVendRefused = 12345;
    static constexpr uint64_t kFreeSpaceReserve = 10485760;

    // Connections and folders.
    AFCConnectionRef getAfc();
    AFCConnectionRef getNormalAfc();
    // Whether `connection` is one of the open connections. A handle chosen before mLock was
    // taken may have been closed meanwhile (a switch, a detach, a Wi-Fi absence), and a new
    // connection may have been given its address: the handle this thread last picked with
    // getAfc or getNormalAfc is compared by generation as well. The framework must never see
    // a closed connection again. The caller holds mLock.
    bool connectionIsOpen(AFCConnectionRef connection) const;
    bool afc2Mode();
    QString getStartDir(AFCConnectionRef connection);
    QString getStartDir();
    static QString translatePath(const QString &path);
    bool pathIsInMediaFolder(const QString &path);
    static bool pathIsInUserArea(const QString &path);
    bool pathIsInFernlowArea(const QString &path);

    // Attributes and tests. A null QString is "no value".
    QString getFileAttribute(const char *key, const QString &path, AFCConnectionRef connection);
    QString getFileType(const QString &path, AFCConnectionRef connection);
    bool isDirectory(const QString &path);
    bool isDirectory(const QString &path, AFCConnectionRef connection);
    bool isSymLink(const QString &path);
    bool isSymLink(const QString &path, AFCConnectionRef connection);
    bool _fileExistsOniPhone(const QString &path, bool *isDirectory, AFCConnectionRef connection);
    bool _fileExistsOniPhone(const QString &path, bool *isDirectory = nullptr);
    bool fileExistsOniPhone(const QString &relativePath, bool *isDirectory = nullptr);
    uint64_t _getFileSize(const QString &path, AFCConnectionRef connection);
    uint64_t _getDirectorySize(const QString &path);
    uint64_t getFileSize(const QString &path, bool atRoot = false);
    uint64_t getFileSize(const QString &path, bool atRoot, AFCConnectionRef connection);
    void stopFindingFileSize() { mStopFindingSize.store(true); }
    QDateTime _getFileDate(const QString &path, AFCConnectionRef connection);
    QDateTime getFileDate(const QString &path, bool atRoot);
    QDateTime getFileDate(const QString &path, bool atRoot, AFCConnectionRef connection);

    // Listing for the file browser.
    int getDirectories(bool load);
    int doGetDirectories();
    int recurseDirectories(const QString &path, int depth);
    // The browser's kind of one item (0 file, 1 folder or a link to one, 3 other link), or -1
    // with `error` set. The caller holds mLock.
    int itemKind(const QString &path, AFCConnectionRef connection, AFCError &error);
    QStringList getPathsForDir(const QString &browserPath);
    QVariant getNode(const QString &relativePath);
    std::optional<QStringList> getPhotoDirectory(const QString &folder);
    void refreshDirectories(); // main thread
    // The error of the last listing that failed, until a refresh reports it.
    int lastListingError() const { return mListingError.load(); }

    // Attributes of the program's own files (the sidecars).
    QVariantMap getAttributesForFile(const QString &relativePath);
    QVariantMap doGetAttributesForFile(const QString &path);
    void _fetchAttributesForPath(const QString &folder);
    int _writeMetadataFileForPath(const QString &folder);
    void updateModificationDate(const QString &path);
    void setFreshAttributesOnPath(const QString &path);
    void copyAttributesFromPath(const QString &localPath, const QString &devicePath);
    void copyAttributesToPath(const QString &localPath, const QString &devicePath);
    int _setModTime(const QString &path, const QDateTime &date);

    // Transfers and their progress.
    void resetCopyOperation();
    void addBytesTransferred(uint64_t bytes) { mBytesTransferred.fetch_add(bytes); }
    uint64_t bytesTransferred() const { return mBytesTransferred.load(); }
    QString currentFile();
    void setCurrentFile(const QString &name);
    void cancelOperation();
    bool operationCancelled() const { return mStop.load(); }
    int downloadFile(const QString &path, const QString &localPath, bool createStub, bool atRoot);
    int _downloadFile(const QString &path, const QString &localPath, bool createStub);
    int _downloadFile(const QString &path, const QString &localPath, bool createStub, AFCConnectionRef connection);
    int downloadDirectory(const QString &path, const QString &localPath);
    int downloadDirectory(const QString &path, const QString &localPath, AFCConnectionRef connection);
    void checkForAndFixBundle(const QString &localPath);
    bool setBundleBit(const QString &localPath);
    int uploadFile(const QString &localPath, const QString &relativePath);
    int _uploadFile(const QString &localPath, const QString &path);
    int uploadDir(const QString &localPath, const QString &path);
    int _writeFile(const QString &localPath, const QString &path, AFCConnectionRef connection, bool isRsrc);
    int _writeData(const QByteArray &data, const QString &path, AFCConnectionRef connection);
    int _uploadData(const QByteArray &data, const QString &path);
    // The connection a write to `path` goes over; in whole-filesystem mode a media-area path
    // is translated and written over the media-area connection.
    AFCConnectionRef writeConnectionFor(QString &path);
    QByteArray getDataFromFile(const QString &path, uint64_t offset, uint64_t length, const QString &name);
    QByteArray getDataFromFile(const QString &path, uint64_t offset, uint64_t length, const QString &name,
                               AFCConnectionRef connection);
    // The most one ranged read hands out, whatever length is asked.
    static constexpr uint64_t kMaxRangedRead = 256ull * 1024 * 1024;
    // The most a resource-fork companion or a folder's sidecar is read into memory: their
    // sizes come from the device. (A resource fork never holds more.)
    static constexpr uint64_t kMaxCompanionRead = 16ull * 1024 * 1024;

    // Changes.
    int newFolder(const QString &relativeParent, const QString &name);
    int _newFolder(const QString &path);
    int rename(const QString &relativePath, const QString &relativeTarget);
    int moveFile(const QString &relativePath, const QString &relativeTarget);
    int _moveFile(const QString &path, const QString &target);
    int trashFile(const QString &relativePath);
    int trashFile(const QString &path, bool atRoot);
    int _trashFile(const QString &path);
    int trashFolder(const QString &path);
    // Saves data (or a string as UTF-8) into a local folder; returns the name used, or
    // empty without data or when the write failed. A '/' in the name becomes '_'.
    static QStringList saveDataFile(const QVariant &data, const QString &fileName, const QString &folder,
                                    bool makeUnique);
    // A name not yet present in `folder`: "-%d" inserted before the extension.
    static QString createUniqueNameForDownload(const QString &name, const QString &folder);

    // Device values and capabilities.
    QString deviceClassOrDefault() const;
    QString deviceClassNoConfusion() const;
    QString connectionTypeString() const;
    int deviceFirmwareMajorVersion() const;
    int deviceFirmwareMinorVersion() const;
    bool hasAllAppsCapability() const;
    bool is102() const;
    bool hasVoicemailCapability() const;
    bool hasiMessageCapability() const;
    bool hasAppsCapability() const { return true; }
    QString deviceNameForPrinting() const;

    // Status line and free space.
    void updateMessage(const QString &message); // any thread; null clears
    QString message() const;
    QString statusText(QString *colour); // main thread; null: nothing is drawn
    uint64_t doGetFreeDeviceBytes(bool wholeFilesystem);
    uint64_t getFreeDeviceBytes(bool wholeFilesystem) const;
    uint64_t getFreeBytes() const;
    QString getDeviceAttribute(const char *key);
    // The same reads over the connections already open: they never connect (the free-space
    // thread's way, so it never holds mLock through a reconnection).
    uint64_t readFreeDeviceBytes(bool wholeFilesystem);
    QString readDeviceAttribute(const char *key);
    static QString getSizeText(uint64_t bytes);
    // Whether the user defaults hold a non-empty saved sort order for a table's autosave name.
    static bool tableHasSavedSort(const QString &autosaveName);
    std::atomic<bool> mCancellingBackup{false}; // set by the backup session while it cancels

    // App list and app containers.
    QList<QNSharableApp> sharableApps() const; // main thread
    QVariantMap getSharableApps();
    void selectionChanged(const QList<int> &selectedRows);
    int connectToApp(const QString &bundleId);
    bool disconnectFromApp();
    QByteArray getAppPNGData(const QString &bundleId);
    QString currentAppID() const;
    // Fills the icon cache for every app of `list` that has none (the icon worker's body).
    void fetchAppIcons(const QList<QNSharableApp> &list);

    // ======== Backups on this computer (src/backup) ========
    //
    // The wanted files `get` of the backup `backup` (whose manifest is `withManifest` and whose
    // folder is `from`) brought into the work folder `andPutThemIn`: databases copied or
    // decrypted with their "-wal" journals, attachment pieces linked (encrypted: only their
    // keys recorded in the backup). Nothing is written into the backup folder. Returns the
    // names the files took (the work-folder naming rule), from which extraction learns which
    // file to open. Any thread; an encrypted backup must be unlocked first, else nothing.
    static WorkFolderNames grab(DeviceBackup &backup, const QHash<QString, ManifestEntry> &withManifest,
                                const QString &from, const QString &andPutThemIn, const QList<WantedFile> &get);
    // (src/device/AppController+BackupFolder.cpp) Main thread unless said otherwise.
    // Lists the backups on a worker; `backups` is set on the main thread (at once, and again
    // once remembered passwords unlocked some), then the window refreshes its backup lists.
    void loadBackupsOnThread();
    // The watch on the backup folder: started once (a second call does nothing), stopped.
    void startPollingBackupFolder();
    void stopPollingBackupFolder();
    // Observes "BackupFolderUpdated" (reloadOnDevicesOnMain) and "BackupUpdated"
    // (loadBackupFromMain with the finished backup's folder).
    void observeBackupFolder();
    void reloadOnDevicesOnMain();
    void refreshDevices();
    void loadBackupFromMain(const QString &backupPath);
    // The listed backup of the same folder takes `backup`'s (freshly read) keybag.
    void updateDeviceItem(const DeviceBackupPtr &backup);
    // Marks `path` as excluded from (or again included in) backups of this computer, on a
    // worker. The mark is the shared "user.xdg.robots.backup" attribute.
    void excludeFromBackupOnThread(const QString &path, bool exclude);
    static bool doExcludeFromBackupOnThread(const QString &path, bool exclude);
    // Any thread: shows the help on reading the backup folder when the listing was refused.
    void showBackupsMessage();

    // Writes the manifest a successful session left (gManifestDictSaving) as the device's
    // saved manifest, and forgets it. Takes saveLock. Any thread.
    void saveManifestToPrefs();

    std::atomic<int> mListingError{0};
    mutable std::mutex mMessageLock;
    QString mMessage; // mMessageLock
    QList<QNSharableApp> mSharableApps; // main thread

    // ======== Archive databases, attachment pieces and the piece cache ========
    // (src/archive/AppController+ArchiveDB.cpp, +PieceFolders.cpp, +PieceCache.cpp)
    //
    // One SQLite database per key in the archive folder ("<key>.db"): a device's archive
    // (the key is its UniqueDeviceID) or the cache of a backup browsed on disk ("thumbcache"
    // + the backup folder's name). An empty key means the connected device. Attachments
    // (pieces) are bytes (QByteArray) or the path of a file (QString) in the key's piece
    // folders "<key>.qnmdb" (cache) and "<key>.qnxmdb" (archive).
    // Threads: any but where noted. Every archive read or write holds localLock around its
    // whole statement sequence; getBackupDB takes only dbArrayLock and a key's open guard.
    // Lock order: localLock, then dbArrayLock; saveLock guards mCreatedAMRDB.

    // The database path of a key; empty when there is no key and no connected device, or
    // when the key could not be a file name.
    QString getBackupFilePath(const QString &key) const;
    bool hasBackupTable(const QString &key) const;
    // The shared open handle of the key, opening, creating and upgrading the file on first
    // use. Null on failure with *error set (ArchiveSchema's codes); an empty key with no
    // device connected gives null and leaves *error as it was. Holders keep the handle
    // alive: closeBackupDBs never closes it under them.
    ArchiveDBPtr getBackupDB(const QString &key, int *error);
    ArchiveDBPtr openBackupTable(const QString &key, int *error);
    // Forgets every cached handle (each closes when its last holder lets go); at quit and
    // whenever the archive list is rebuilt.
    void closeBackupDBs();
    // Closes the one key's handle before its files are moved. False when another holder
    // still keeps it open (the file must then stay where it is). Caller holds localLock.
    bool closeBackupDB(const QString &key);
    // Main thread: the archive list, sorted by display name.
    void setDevicesOnMain(const QList<std::shared_ptr<QNArchive>> &archives);
    // The archive list as last set, for any thread.
    QList<std::shared_ptr<QNArchive>> devicesCopy() const;
    bool currentDeviceArchiveExists() const;
    // The archive flag of the device's archive; false when it has none.
    bool shouldArchive(const QString &deviceId) const;
    bool createdAMRDB(const QString &key) const;
    void removeCreatedAMRDB(const QString &key);

    // Piece folders. The folder is created (and marked as a package) when missing.
    QString pieceFolderPathForDevice(const QString &deviceId, bool archive);
    // Sets or clears the package marker of a folder.
    bool setBundleBit(const QString &path, bool to);
    // Move into the temporary folder / delete, only an item that really lies directly in
    // a piece folder (links and ".." resolved); anything else is left alone.
    bool safeMoveToTemp(const QString &path);
    bool safeDelete(const QString &path);
    // Removes every file of the connected device's cache piece folder not named in `used`;
    // nothing without a connected device or with no list.
    void deleteUnusedQnmdbFiles(const std::optional<QStringList> &used);
    static uint64_t getPieceSize(const QVariant &piece);
    // One attachment file as a piece: bytes up to kPieceInMemoryLimit (decrypted when the
    // backup has a key for it), else a path; from the cache when not for a backup and the
    // file is missing. Invalid QVariant: none.
    QVariant getPieceFile(const QString &path, const QString &uuid, const QString &deviceId,
                          bool forBackup, const DeviceBackupPtr &backup);
    static constexpr uint64_t kPieceInMemoryLimit = 10000000;

    // The piece cache ("smspieces", "synctimes", "amrs" of a database).
    // 0 or the SQLite/open error; 1 when a staged piece file could not be moved into place.
    int addPieceToCache(const QVariant &piece, const QString &toDB, const QString &forKey,
                        int64_t synctime, bool update);
    int updateSyncTimeForDB(const ArchiveDBPtr &db, const QString &forKey, int64_t synctime);
    void removeStaleCacheItems(int64_t synctime, bool notes);
    // key -> bytes or full path; nullopt on failure.
    std::optional<QVariantMap> getPieces(const QString &tableName, const QString &fromDB);
    int savePiecesToDB(const QVariantMap &pieces, const QString &toDB, const QString &tableName,
                       const QString &srcPath);
    // The cached piece (bytes, or the full path of its file); invalid when absent.
    QVariant loadSMSPieceFromCache(const QString &uuid, bool thumbnail, const QString &fromDB);
    // Total size of the cached piece (0 = absent); *isPath tells whether it is a file.
    uint64_t existsSMSPieceFromCache(const QString &uuid, const QString &forDB, bool thumbnail,
                                     bool *isPath);

    // Archive writes (src/archive/AppController+ArchiveWrites.cpp). Callers hold localLock
    // and, for extraction, a transaction around many calls.
    static constexpr int kAddMessageFailed = -4207;
    static constexpr int kPrepareAddPieceFailed = -4208;
    static constexpr int kPrepareAddPiecePathFailed = -42088;
    static constexpr int kAddPieceFailed = -4209;
    static constexpr int kAddPiecePathFailed = -42099;
    static constexpr int kPieceFileFailed = -42100; // an attachment file could not be put in place
    // Whether the item is archived already: messages by (date, html), calls and voicemail by
    // (date, address). A message archived with an empty html is removed and reported absent,
    // so the caller stores it again with its content.
    bool checkForItem(const QString &item, int64_t date, const QVariant &otherValue, const QString &table,
                      const QString &device, int *error);
    // Stores a message and its attachments (each attachment file is in place before its row
    // is written). With preserveID the record's own row id is used (undo of a delete).
    bool addSMSToBackup(FRSMSInfo &sms, const QString &device, bool preserveID, int *error,
                        const DeviceBackupPtr &backup, bool processingCurrentDevice);
    bool addCallToBackup(const FRCallInfo &call, const QString &device, bool preserveID, int *error);
    bool addVoicemailToBackup(const FRCallInfo &voicemail, const QString &device, bool preserveID, int *error);
    // The archive view's delete: a tombstone (row id, date and flags kept for an undo), or a
    // real delete. A message's attachment files go to the temporary folder afterwards.
    bool deleteLocalItem(int rowid, const QString &table, const QString &device);
    bool deleteLocalItemForReal(int rowid, const QString &table, const QString &device);
    void sendBackupPieceFilesToTemp(int rowid, const QString &device);
    void loadSMSPiecesIntoMemoryForUndo(FRSMSInfo &sms, const QString &device);
    // Gives a database without props its device name; the archive list learns of it.
    void addProps(const ArchiveDBPtr &db, const QString &key, const QString &name);
    bool writeThumbnailToBackup(int rowid, const QString &device, const QString &uuid, const QByteArray &thumbnail);
    int addContactToCache(const QVariantMap &contact, const QString &forKey, const QString &toDB, bool update);

    // Archive reads (src/archive/AppController+ArchiveReads.cpp). The list readers hold
    // localLock for the whole read. nullopt on failure with *error set.
    static constexpr int kReadNoMessageDB = -8722;
    static constexpr int kReadMessagePrepare = -28722;
    static constexpr int kReadNoCallDB = -8775;
    std::optional<QList<std::shared_ptr<FRSMSInfo>>>
    getSMSFromBackupFile(const QString &unused, const QString &deviceNumber, SMSDataController *dataController,
                         int *error);
    std::optional<QList<std::shared_ptr<FRCallInfo>>>
    getCallsFromBackupFile(const QString &unused, const QString &deviceNumber, CallListController *dataController,
                           int *error);
    bool existsSMSPieceFromBackup(int rowid, const QString &device, const QString &uuid, bool thumbnail);
    // Bytes, the full path of the file, or invalid.
    QVariant loadSMSPieceFromBackup(int rowid, const QString &device, const QString &uuid, bool thumbnail);
    // Writes a message's inline attachments into "<temp>/<key>/<rowid>/".
    void getSMSPiecesFromBackup(int rowid, const QString &device);
    // The contact stored in the archive: "name", "entry", "image" (keys after a missing one
    // left out), or empty. Unless `forceDatabase`, the name caches answer first; what the
    // archive answers is put into them.
    QVariantMap loadContactFromCache(const QString &contactId, bool forceDatabase, const QString &fromDB);

    // ======== Live backup sessions with the attached device ========
    // (src/backup/AppController+DeviceLink.cpp the driver, +BackupSession.cpp the session,
    // +BackupCommand.cpp the current protocol's exchange, +OlderBackup.cpp the older
    // protocol, +WriteBack.cpp the restore of edited files)
    //
    // Threads: getBackupData and getFiles run on the load thread that asks (the session
    // thread), which holds backupLock for the whole session; the device-link callbacks run
    // on that thread while it waits for device-link messages. The flags below are atomics
    // that any thread may read; the held password is guarded by mPasswordLock. The password
    // sheet runs on the main thread while the session thread polls; no lock that the main
    // thread takes is held meanwhile.

    // 1: the wanted files of this connection are in the temporary folder; 0: not (reason in
    // gDeviceError, or a cancel).
    int getBackupData();
    // The next request makes a new session.
    void flushBackup();
    // The backup state and every kept category list belong to one device generation
    // (deviceInstance). setupDevice calls this whenever the generation moves (another device,
    // the same one attached again, a detach), so no caller has to remember it: the next
    // request of every category runs a new session and extracts again.
    void forgetDataOfEarlierGeneration(int instance);
    // Sets a category's (or the session's) flag for the generation a request began in; a
    // request that outlived its generation sets nothing, so its data is never kept for the
    // next device. Taken under mDataGenerationLock with the reset, so neither can overtake.
    void markDoneForGeneration(std::atomic<bool> &flag, int instance);
    // The saved manifest is written once every category that exists has been read.
    void saveManifestIfCategoriesRead();
    bool hasNotesDataAlready() const { return mHaveNotes.load(); }
    bool hasAddressDataAlready() const { return mHaveAddresses.load(); }
    bool hasVoicemailDataAlready() const { return mHaveVoicemail.load(); }
    bool hasSMSDataAlready() const { return mHaveSMS.load(); }
    bool hasCallDataAlready() const { return mHaveCalls.load(); }
    bool hasBookmarkDataAlready() const { return mHaveBookmarks.load(); }
    // The host's own sync processes; none exist on this system.
    bool mobileSyncRunning() const;
    bool mobileBackupRunning() const;
    // Waits (bounded) for the host's own sync to end; YES when none runs at the end.
    bool waitForMobileSyncProcess();
    void userInteractedWithBackupMode() { mUserInteractedWithBackupMode.store(true); }
    // Every waiting and running request gives up (a cancel epoch: requests that began
    // before it give up, later ones run).
    void cancelWaitingForThreads();
    void clearBackupCancel();
    bool cancellingBackup() const { return mCancelBackup.load() || mCancelWaitingThreads.load(); }
    // The sheet's answer (main thread), or the session's own change of the held password.
    void setBackupPassword(const QString &password, bool remember) override;
    void setBackupKey(const QByteArray &key);
    QString backupPassword() const;
    QByteArray backupKey() const;
    void clearItemCounts();
    // The sheet that asks for backup passwords (installed by the window; null: never asked).
    void setBackupPasswordPrompt(BackupPasswordPrompt *prompt) { mPasswordPrompt.store(prompt); }
    // The stored password / derived key of gTargetID (null / empty when none).
    QString getOurBackupPassword(bool interacted) const;
    QByteArray getOurBackupKey(bool interacted) const;

    // One session: the wanted files (and the pieces and voicemail audio that come with
    // them) land decrypted in the temporary folder under the work-folder naming rule. 1 done,
    // 0 failed (gDeviceError says why). A wrong or missing password is 0 too, with
    // *wrongPassword set, so no caller testing for 0 takes it for success.
    int getFiles(const QList<WantedFile> &files, bool *wrongPassword = nullptr);
    // The names the last successful session gave its files (the work-folder naming rule).
    WorkFolderNames sessionFileNames() const;
    // The connection dictionary for the attached device's backup service (sets is20Stuff),
    // or for the older service of a serialized `description`; empty when there is none.
    QVariantMap getConnectionDict(const QVariantMap &description = {});
    // The current protocol's exchange: YES when the device ended the backup cleanly.
    bool performBackup(const QVariantMap &connectionDict);
    int suckInNewBackupInfo();
    // Unlocks `keybag` with the held, stored or asked-for password; YES = give up.
    bool promptForPasswordIfNeededWithKeybag(const std::shared_ptr<Keybag> &keybag);
    void renamefiles();
    static QString pathToItem(const QString &fileID, const QString &folder);
    // Writes edited files back to a device of the older protocol: {"RemotePath", "Data"}
    // each. 1 when the device confirmed, 0 otherwise (gDeviceError set, 0 for a device of
    // the current protocol).
    int setFiles(const QVariantList &files, bool reboot);

    static constexpr int kWrongPassword = -12399;
    std::atomic<bool> mHaveBackups{false};
    std::atomic<bool> mHaveNotes{false}, mHaveSMS{false}, mHaveCalls{false}, mHaveAddresses{false},
        mHaveBookmarks{false}, mHaveVoicemail{false};
    std::atomic<bool> mCancelBackup{false};
    std::atomic<bool> mUserInteractedWithBackupMode{false};
    std::atomic<bool> mWaitingForiTunes{false};
    // Raised by every cancel; a request gives up when it changed since the request began.
    std::atomic<uint64_t> mCancelEpoch{0};
    mutable std::mutex mPasswordLock; // mBackupPassword, mDerivedKey, mRememberThisPasswordOnKeychain
    std::mutex mDataGenerationLock; // the flags above against forgetDataOfEarlierGeneration
    int mDataGeneration = 0;        // mDataGenerationLock; the generation the flags describe

    // ======== Extraction of device databases (src/extract) ========
    //
    // Each entry reads one copied device database (in the temporary folder for the connected
    // device, or in a backup's work folder) into records and, when the device is archived,
    // writes the rows its archive lacks in one transaction. They run on list controllers' load
    // threads and hold localLock for the whole run; nothing here waits for the main thread.
    // Results: the records, or nullopt with *error set: 0 when the file is not there (nothing
    // to read), kExtractionCancelled when the quit flag ended the run (nothing was kept, and
    // nothing downstream may treat the run as complete), or the failing step's code.
    static constexpr int kExtractionCancelled = -144;
    // The schema generation of a device database ("_ClientVersion"): 0 without the row,
    // 100000 (the newest) when the query fails.
    static int getClientVersion(sqlite3 *db);
    // The messages database ("sms.db"). `device` may carry the "thumbcache" prefix of a
    // backup work folder; `backup` is the backup on disk the file came from, or null.
    std::optional<QList<std::shared_ptr<FRSMSInfo>>>
    processSMSData(const QString &path, SMSDataController *controller, const QString &device, int *error,
                   int64_t synctime, const DeviceBackupPtr &backup);
    // The contacts database and its pictures database (`pixFile` may be empty). A connected
    // run publishes the contacts and groups (extract/AddressBookState.h); every run fills the
    // name caches of `deviceNumber` (a device id or a backup work folder's cache key).
    // 0 (also for a missing file) or the failing step's code.
    int processAddressData(const QString &addressFile, const QString &pixFile, const QString &deviceNumber,
                           bool forConnected);
    // Call history: "CallHistory.storedata" beside `path` when there, else `path` (the older
    // "call_history.db"). `device` may carry the "callbackup" prefix. `oldestWA` (may be
    // null) receives the date of the oldest WhatsApp call the history lists. Newest first;
    // an empty list when there is no call.
    std::optional<QList<std::shared_ptr<FRCallInfo>>>
    processCallData(const QString &path, CallListController *controller, const QString &device, int *error,
                    QDateTime *oldestWA);
    // WhatsApp's call log ("calls.log"); events from one second before `oldestWA` on are left
    // out (the history lists them). In the log's order.
    std::optional<QList<std::shared_ptr<FRCallInfo>>>
    processWACallData(const QString &path, CallListController *controller, const QString &device, int *error,
                      const QDateTime &oldestWA);
    // Voicemail ("voicemail.db" and "<row id>.amr" beside it); `device` may carry the
    // "voicemailbackup" prefix. Highest row id first. Voicemail without a recording is
    // listed, never archived.
    std::optional<QList<std::shared_ptr<FRCallInfo>>>
    processVoicemailData(const QString &path, CallListController *controller, const QString &device, int *error);
    // Stores a call or voicemail the archive does not hold yet (caller holds localLock and
    // the run's transaction). False with *error set on failure.
    bool archiveCall(const FRCallInfo &call, const QString &device, bool voicemail, int *error);
    // Copies the names (and pictures) of `contacts` (lookup key -> contact id) from the name
    // caches of `fromDB` to those of `toDB`, and into the archive's contacts table of `toDB`
    // when it is archived. Takes gGlobalCacheLock, releases it, then takes localLock.
    // 0 or the failing step's code.
    int addContacts(const QVariantMap &contacts, const QString &fromDB, const QString &toDB, bool update);
    // Safari's files in `folder` (the temporary or a work folder): open pages, history by
    // day, bookmarks with their folders and the reading list. The records (also kept in
    // gBookmarks, extract/BookmarkState.h), their group nodes hung under the shared root
    // only when the whole load succeeded.
    // `historyDb` is the history database the session brought (the folder's "History.db" when empty).
    std::optional<QList<std::shared_ptr<FRBookmarkInfo>>> processSafariData(const QString &folder, int *error,
                                                                            const QString &historyDb = {});
    // WhatsApp's chat storage ("ChatStorage.sqlite"): arguments and results as for
    // processSMSData; the controller's total grows by the WhatsApp messages when "SHOW_SMS"
    // is on. The partners' profile pictures are cached afterwards.
    std::optional<QList<std::shared_ptr<FRSMSInfo>>>
    processWhatsAppData(const QString &path, SMSDataController *controller, const QString &device, int *error,
                        int64_t synctime, const DeviceBackupPtr &backup);
    void cacheWAProfilePhotosAt(const QString &folder, const QString &forDevice, bool forBackup,
                                const DeviceBackupPtr &backup, int64_t synctime);
    void addPhotosForKeys(const QStringList &keys, const QString &dataLocation, const QString &forDevice,
                          bool forBackup, const DeviceBackupPtr &backup, int64_t synctime);
    // A contact card for a shared location, named "Dropped Pin", with its map address.
    static QByteArray mapVcardWithLong(double longitude, double latitude);
    // Adds a partner handle once; group handles (with "-") are left out.
    static void addKey(const QString &handle, QStringList &to);
    // A Messenger contact's picture from the picture service named by the environment
    // variable QUILLON_PICTURE_SERVICE (none without it); only an image answer counts.
    static QByteArray getJPGDataWithFacebookID(const QString &userId);
    static QByteArray getJPGDataGraphURL(const QString &address);
    // Cache piece names (last path components) seen in use by this run; localLock.
    QStringList usedQnmdbFiles;

    // ======== Category requests of the connected device ========
    // (src/extract/AppController+MessageRequests.cpp, +CategoryRequests.cpp)
    //
    // One entry per category, called on the list controllers' load threads. Each makes sure
    // this connection's backup session has brought the files (getBackupData, once for all
    // categories), runs the category's extraction once per connection and keeps its records
    // (extract/CategoryState.h); later requests get the kept list without touching the device.
    // The result is an immutable snapshot, or null on failure; *error is written only on
    // failure and only with a non-zero code, so a cancelled request leaves it as it was.
    // Each entry holds its category lock throughout (the contacts entry holds addressLock);
    // lock order and the absence of waits for the main thread are docs/architecture.md's.
    RecordSnapshot<FRSMSInfo> doGetSMS(int *error);
    RecordSnapshot<FRCallInfo> doGetCalls(int *error);
    RecordSnapshot<FRCallInfo> doGetVoicemails(int *error);
    RecordSnapshot<FRAddressInfo> doGetAddresses(int *error);
    RecordSnapshot<FRBookmarkInfo> doGetBookmarks(int *error);
    // The contacts barrier: blocks while a contacts load runs (it holds addressLock), then
    // holds the lock for the caller until the guard goes or unlockAddresses releases it.
    [[nodiscard]] std::unique_lock<std::recursive_mutex> waitUntilAddressesFinishAndLock();
    static void unlockAddresses(std::unique_lock<std::recursive_mutex> &barrier);
    // Whether this connection's files are in the temporary folder, running the session when
    // they are not; false when it failed or a cancel came (a non-zero gDeviceError copied).
    bool sessionFilesReady(int *error);
    // Where the session put a wanted file (the first of `domains` it came from), in the
    // temporary folder.
    QString sessionFile(const QStringList &domains, const QString &relativePath) const;

    // ======== Archive list and archive actions ========
    // (src/archive/AppController+ArchiveActions.cpp, +ArchiveList.cpp)
    //
    // What the user asks of archives (the archive manager's actions): each is confirmed in a
    // sheet (interfaces/ArchiveSheets.h), carried out by QNArchive's operations or the merge,
    // and announced with "QNArchiveEdited". Main thread. The merge, the export and the
    // duplicate removal run on a worker with progress; their result sheet comes back to the
    // main thread, which is the last thing each action does.

    // The modifier keys held while the remove action was chosen (the window maps its keys).
    struct RemoveModifiers
    {
        bool control; // duplicate removal
        bool command; // export
        bool option;  // detach (all false when value-initialised: `{}`)
    };
    void deleteArchive(const QList<std::shared_ptr<QNArchive>> &archives, RemoveModifiers modifiers = {});
    void detachArchive(const QList<std::shared_ptr<QNArchive>> &archives);
    void exportArchive(const QList<std::shared_ptr<QNArchive>> &archives);
    void removeDuplicates(const QList<std::shared_ptr<QNArchive>> &archives);
    // Asks, then merges `source` into `into` (a drop of one row of the manager onto another).
    void mergeArchive(const std::shared_ptr<QNArchive> &source, const std::shared_ptr<QNArchive> &into);
    void doMerge(const std::shared_ptr<QNArchive> &source, const std::shared_ptr<QNArchive> &target);

    // Observer of "QNArchiveEdited" (registered by the constructor; the notification may be
    // posted on any thread and is handled on the main thread): closes the cached handles,
    // sorts the list, has the archive windows refresh and clears the edited archive's
    // `updated` (`editedArchive` is the notification's object, compared by address).
    void updateArchives(const void *editedArchive);


private:
    void resetState();
    // The session's steps (src/backup/AppController+BackupSession.cpp).
    int runSession(const QList<WantedFile> &files, bool *wrongPassword);
    bool askForPassword();
    int takeFilesOutOfBackup(const QString &folder, bool twoLevel);
    bool olderProtocolSession(const QVariantMap &connectionDict);
    std::atomic<BackupPasswordPrompt *> mPasswordPrompt{nullptr};
    std::shared_ptr<WorkFolderNames> mSessionNames; // backupLock
    void observeArchiveEdits();
    // Runs `work` on a worker of the controller (archive actions).
    void runArchiveWork(std::function<void()> work);
    bool addCallOrVoicemail(const FRCallInfo &call, const QString &device, bool preserveID, int *error,
                            bool voicemail);
    bool deleteLocal(int rowid, const QString &table, const QString &device, bool forReal);
    QStringList backupPieceFiles(int rowid, const QString &device);
    // Puts an archived attachment file at `destination` (already there, or from the
    // temporary folder, the cache folder or the device backup, decrypted when it must be).
    bool securePieceFile(const QString &path, const QString &name, const QString &device,
                         const QString &destination, const DeviceBackupPtr &backup);
    // setupDevice, also telling the caller which generation number this attempt raised.
    int setupDevice(int *raisedInstance);
    // AMDeviceConnect, tried up to `tries` times a retry interval apart (a device that was
    // just plugged in often refuses at first); stops early at quit. Caller holds mLock.
    int connectWithRetries(AMDeviceRef device, int tries);
    // Queued to the main thread; dropped when the controller is gone.
    void onMain(std::function<void()> work);
    void onMainAfter(int ms, std::function<void()> work);
    bool subscribeToDevices();
    // Closes every file connection and service connection of the current device through
    // the framework and forgets them. Takes mLock.
    void releaseConnections();
    void recordKnownDevice(const QString &uid, const QString &name, const QVariantMap &token);

    FRWindowHub *mWindow = nullptr;
    QList<KnownDeviceRecord> mKnownDevices; // gKnownDevicesLock

    // The framework subscription; ended when the controller goes, so no callback can reach
    // a controller that no longer exists.
    struct Subscription
    {
        AMDeviceNotificationRef ref = nullptr;
        ~Subscription();
        void end();
    };
    Subscription mSubscription; // main thread
    std::unique_ptr<MobileDeviceRunLoopSource> mRunLoopSource;
    bool mShownOSWarning = false; // main thread
    std::atomic<bool> mCameraLinked{false};
    // Context of every queued hand-over to the main thread.
    std::unique_ptr<QObject> mMainContext = makeMainContext();
    static std::unique_ptr<QObject> makeMainContext();
    // Declared last so it is destroyed first: its threads use the members above.
    DeviceThreads mDeviceThreads;
};

// Raises a tear-down count for its scope (declared before the lock guard it outlives).
struct TransferAbort
{
    explicit TransferAbort(std::atomic<int> &count) : mCount(count) { ++mCount; }
    ~TransferAbort() { --mCount; }
    TransferAbort(const TransferAbort &) = delete;
    TransferAbort &operator=(const TransferAbort &) = delete;
    std::atomic<int> &mCount;
};

// device_callback: the framework's notification callback (main thread, through the run-loop
// source); `context` is the AppController that subscribed.
void device_callback(const AMDeviceNotificationCallbackInfo *info, void *context);

// Cleared when a connection starts and set once the short wait after it has passed (at once,
// or 5 s later while the media application runs); the backup session waits for it.
extern std::atomic<bool> gAFewSecondsHaveGoneBy;

extern std::atomic<AppController *> gSharedAppController;

// Only the Documents folder of apps may be opened (set at every app-list load).
extern std::atomic<bool> gNotSoAppsMode;

// Made at program start, not by setupiPhone, so no early caller finds them missing.
extern std::mutex gCredentialsLock;  // gCredentials
extern QVariantMap gCredentials;     // backup passwords by device id, derived keys by id + "daKey"
extern std::mutex gExportLock;       // media conversions never overlap
extern std::mutex gKnownDevicesLock; // mKnownDevices and the "KnownDevices" default

// The quit flag that long loops watch; set once at quit.
extern std::atomic<bool> gBail;
