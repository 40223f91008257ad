#pragma once
// One device backup folder already on this computer (under Paths::backupFolder()): its
// Info, Status and Manifest property lists read once at creation, whether it is encrypted,
// its keybag, and the unlock with a remembered password. Class operations list every
// backup folder, sorted for the windows' lists.
//
// Ownership: shared (std::shared_ptr) between the backup list and the windows and load
// threads that use it. Threads: built and unlocked on the thread that creates it (the list
// thread or a load thread); afterwards its properties are read-only except keysNClasses,
// passToTry and remember, which belong to whichever single thread is processing the backup.
// hasUnlockedKeybag() may be read from any thread; the keybag is itself safe to share.

#include "backup/BackupManifest.h"
#include "backup/Keybag.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class DeviceBackup;
using DeviceBackupPtr = std::shared_ptr<DeviceBackup>;

// Set when the backup root could not be listed for lack of permission (never reset here).
extern std::atomic<bool> gBackupsBlocked;

class DeviceBackup
{
public:
    // Reads the folder; nullptr when it has no display name or no manifest database file.
    // With `unlock`, an encrypted backup is unlocked with remembered credentials at once
    // (which may derive keys for seconds); without, unlockWithRememberedCredentials() does it
    // later.
    static DeviceBackupPtr initWithPath(const QString &path, bool unlock = true);
    // The backup of device `deviceID` in the backup folder, or nullptr.
    static DeviceBackupPtr initWithDeviceID(const QString &deviceID);

    // Every backup folder, sorted with compareDisplayName(); `unlock` as for initWithPath.
    static QList<DeviceBackupPtr> allBackups(bool unlock = true);
    // Lists on a detached thread and hands the sorted list to `onMain` on the main thread at
    // once; then unlocks the encrypted ones with remembered credentials on that thread and,
    // when any unlocked, hands the same list over again. Never derives keys on the main
    // thread. A thread that cannot start is logged and nothing is delivered.
    static void loadBackupsOnThread(std::function<void(QList<DeviceBackupPtr>)> onMain);

    // The unlock with a password remembered in memory or in the keychain. Returns whether
    // the keybag is unlocked afterwards. The creating thread, or the listing thread.
    bool unlockWithRememberedCredentials();

    // Orderings: negative when this backup sorts before `other`.
    // By backupDate, newest first.
    int newestFirst(const DeviceBackup &other) const;
    // By createDate, newest first.
    int compareCreateDate(const DeviceBackup &other) const;
    // By device name (case-insensitive; locked backups this host cannot decrypt last),
    // equal or missing names by newest createDate.
    int compareDisplayName(const DeviceBackup &other) const;

    // Stores a per-file key (a wrapped key or, with class 99, a manifest file record) for a
    // file of the backup work folder.
    void addKey(const QByteArray &key, quint32 protectionClass, const QString &forFile);
    bool decryptFile(const QString &source, const QString &destination, const QByteArray &key,
                     quint32 protectionClass) const;

    // This backup's manifest (without record blobs), read with its keybag; nullopt when it
    // cannot be read.
    std::optional<Manifest> getAManifest() const;

    // Checks `password` (slow: full derivation). On success the keybag is unlocked, the
    // password and derived key are kept in memory for this run and, with `remember`, in
    // the keychain. Returns the keybag's status (0 unlocked).
    int unlockWithPassword(const QString &password, bool remember);

    bool canBeSelected() const;
    bool deviceMakesCalls() const;
    QString description() const { return mDisplayName; }

    QString deviceName() const { return mDeviceName; }
    QString displayName() const { return mDisplayName; }
    QString backupPath() const { return mBackupPath; }
    QString deviceType() const { return mDeviceType; }
    QString phoneNumber() const { return mPhoneNumber; }
    QString targetID() const { return mTargetID; }
    QString backupFileName() const { return mBackupFileName; }
    QDateTime backupDate() const { return mBackupDate; }
    QDateTime createDate() const { return mCreateDate; }
    bool encrypted() const { return mEncrypted; }
    std::shared_ptr<Keybag> keybag() const
    {
        std::lock_guard lock(mKeybagLock);
        return mKeybag;
    }
    // A keybag read afresh by a load thread for the same folder (the list's copy then shares
    // its unlock).
    void setKeybag(const std::shared_ptr<Keybag> &keybag);
    bool hasUnlockedKeybag() const { return mHasUnlockedKeybag.load(); }
    QVariantMap keysNClasses() const { return mKeysNClasses; }
    // The keychain account of this backup: "BACKUP" + folder name.
    QString keychainAccount() const;

    QString passToTry() const { return mPassToTry; }
    void setPassToTry(const QString &password) { mPassToTry = password; }
    bool remember() const { return mRemember; }
    void setRemember(bool remember) { mRemember = remember; }

    // Setters for the values read from the folder (list tests, and callers that build one
    // by hand).
    void setDeviceName(const QString &v) { mDeviceName = v; }
    void setDisplayName(const QString &v) { mDisplayName = v; }
    void setBackupDate(const QDateTime &v) { mBackupDate = v; }
    void setCreateDate(const QDateTime &v) { mCreateDate = v; }

private:
    DeviceBackup() = default;
    void getBackupInfo(bool unlock);

    QString mDeviceName;
    QString mDisplayName;
    QString mBackupPath;
    QString mDeviceType;
    QString mPhoneNumber;
    QString mTargetID;
    QString mBackupFileName;
    QDateTime mBackupDate;
    QDateTime mCreateDate;
    bool mEncrypted = false;
    mutable std::mutex mKeybagLock; // mKeybag, which the main thread may replace
    std::shared_ptr<Keybag> mKeybag;
    std::atomic<bool> mHasUnlockedKeybag{false};
    QVariantMap mKeysNClasses;
    QString mPassToTry;
    bool mRemember = false;
};
