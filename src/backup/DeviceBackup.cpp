#include "backup/DeviceBackup.h"

#include "backup/BackupCredentials.h"
#include "backup/BackupKeychain.h"
#include "backup/BackupManifest.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/QueuedCall.h"
#include "shell/SystemFlags.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <system_error>
#include <thread>

std::atomic<bool> gBackupsBlocked{false};

namespace {

// Newest first; a missing date sorts after any present one.
int compareNewestFirst(const QDateTime &mine, const QDateTime &other)
{
    if (!mine.isValid() || !other.isValid())
        return mine.isValid() ? -1 : (other.isValid() ? 1 : 0);
    if (mine == other)
        return 0;
    return mine > other ? -1 : 1;
}

QVariantMap readPlistMap(const QString &path, bool *readable)
{
    const std::optional<QVariant> root = BackupManifest::readSmallBackupPlist(path);
    *readable = root.has_value();
    if (!root || root->metaType() != QMetaType::fromType<QVariantMap>())
        return {};
    return root->toMap();
}

} // namespace

DeviceBackupPtr DeviceBackup::initWithPath(const QString &path, bool unlock)
{
    DeviceBackupPtr backup(new DeviceBackup);
    backup->mBackupPath = path;
    VarnekLog("BACKUP: initWithPath");
    backup->getBackupInfo(unlock);
    if (backup->mDisplayName.isEmpty()) {
        VarnekLog("We didn't get the display name.");
        return nullptr;
    }
    VarnekLog("Initialized %s", qUtf8Printable(backup->mDisplayName));
    if (!BackupManifest::checkManifestAtPath(path))
        return nullptr;
    return backup;
}

DeviceBackupPtr DeviceBackup::initWithDeviceID(const QString &deviceID)
{
    return initWithPath(Paths::backupFolder() + "/" + deviceID);
}

QString DeviceBackup::keychainAccount() const
{
    return BackupKeychain::kBackupAccountPrefix + mBackupFileName;
}

void DeviceBackup::getBackupInfo(bool unlock)
{
    bool readable = false;
    const QString infoPath = mBackupPath + "/Info.plist";
    const QVariantMap info = readPlistMap(infoPath, &readable);
    if (!readable)
        VarnekLog("couldn't read %s", qUtf8Printable(infoPath));
    if (!info.isEmpty()) {
        mDeviceName = info.value("Device Name").toString();
        mDisplayName = info.value("Display Name").toString();
        mDeviceType = info.value("Product Type").toString();
        mPhoneNumber = info.value("Phone Number").toString();
        mTargetID = info.value("Target Identifier").toString();
        mBackupFileName = QFileInfo(mBackupPath).fileName();
    }
    const QFileInfo infoFile(infoPath);
    if (infoFile.exists()) {
        // Not every file system records a birth time; the modification time stands in.
        mCreateDate = infoFile.birthTime().isValid() ? infoFile.birthTime() : infoFile.lastModified();
    }

    const QString statusPath = mBackupPath + "/Status.plist";
    const QVariantMap status = readPlistMap(statusPath, &readable);
    if (!readable)
        VarnekLog("couldn't read status %s", qUtf8Printable(statusPath));
    if (status.value("Date").metaType() == QMetaType::fromType<QDateTime>())
        mBackupDate = status.value("Date").toDateTime();
    // Some backups carry the date in Info.plist alone; without either the date stays blank.
    else if (info.value("Last Backup Date").metaType() == QMetaType::fromType<QDateTime>())
        mBackupDate = info.value("Last Backup Date").toDateTime();

    const std::optional<QVariant> manifestRoot = BackupManifest::readSmallBackupPlist(mBackupPath + "/Manifest.plist");
    if (!manifestRoot) {
        VarnekLog("couldn't read manifest");
        return;
    }
    if (manifestRoot->metaType() != QMetaType::fromType<QVariantMap>())
        return;
    const QVariantMap manifest = manifestRoot->toMap();
    VarnekLog("BACKUP: read manifest");
    mEncrypted = manifest.value("IsEncrypted").toBool();
    if (!mEncrypted)
        return;
    VarnekLog("it's encrypted");
    if (!HASDECRYPT) {
        mDisplayName += QCoreApplication::translate("DeviceBackup", " (Encrypted)");
        return;
    }
    mKeybag = Keybag::initWithData(manifest.value("BackupKeyBag").toByteArray(),
                                   manifest.value("ManifestKey").toByteArray());
    if (unlock)
        unlockWithRememberedCredentials();
}

bool DeviceBackup::unlockWithRememberedCredentials()
{
    const std::shared_ptr<Keybag> bag = keybag();
    if (!bag || mBackupFileName.isEmpty())
        return false;
    if (mHasUnlockedKeybag)
        return true;
    const BackupCredentials::Entry cached = BackupCredentials::lookup(mBackupFileName);
    if (!cached.password.isNull()) {
        if (bag->descriptionWithData(cached.password, cached.key) == Keybag::kUnlocked) {
            mHasUnlockedKeybag = true;
            return true;
        }
        BackupCredentials::forget(mBackupFileName);
    }

    const QString account = keychainAccount();
    Keychain::Status passwordStatus = Keychain::Status::NotFound;
    const QByteArray key = BackupKeychain::getOurBackupKey(false, account);
    const QString password = BackupKeychain::getOurBackupPassword(false, account, &passwordStatus);
    // Only a password that was really read and then failed is stale; a locked or
    // unavailable keychain says nothing about the stored items.
    if (passwordStatus != Keychain::Status::Success || password.isNull())
        return false;
    int status = bag->descriptionWithData(password, key);
    // The remembered key belongs to the keybag it was derived from: a later backup of the
    // device may carry a new salt under the same password, so the password itself decides.
    if (status == Keybag::kWrongPassword && !key.isEmpty())
        status = bag->descriptionWithData(password);
    if (status != Keybag::kUnlocked) {
        // Only a password the keybag refused is stale; a keybag that cannot derive at all
        // (damaged parameters) says nothing about it.
        if (status == Keybag::kWrongPassword)
            BackupKeychain::deletePasswordForAccount(account);
        return false;
    }
    const QByteArray derived = bag->decoded();
    BackupCredentials::store(mBackupFileName, password, derived);
    mHasUnlockedKeybag = true;
    BackupKeychain::rememberPassword(password, derived, account);
    return true;
}

int DeviceBackup::unlockWithPassword(const QString &password, bool remember)
{
    const std::shared_ptr<Keybag> bag = keybag();
    if (!bag)
        return Keybag::kNoCredentials;
    const int status = bag->descriptionWithData(password);
    if (status != Keybag::kUnlocked)
        return status;
    const QByteArray derived = bag->decoded();
    BackupCredentials::store(mBackupFileName, password, derived);
    mHasUnlockedKeybag = true;
    if (remember)
        BackupKeychain::rememberPassword(password, derived, keychainAccount());
    return status;
}

void DeviceBackup::addKey(const QByteArray &key, quint32 protectionClass, const QString &forFile)
{
    mKeysNClasses.insert(forFile, QVariantMap{{"key", key}, {"class", protectionClass}});
}

bool DeviceBackup::decryptFile(const QString &source, const QString &destination,
                               const QByteArray &key, quint32 protectionClass) const
{
    const std::shared_ptr<Keybag> bag = keybag();
    return bag && bag->decryptFile(source, destination, key, protectionClass);
}

std::optional<Manifest> DeviceBackup::getAManifest() const
{
    return BackupManifest::readManifestAtPath(mBackupPath, false, keybag());
}

void DeviceBackup::setKeybag(const std::shared_ptr<Keybag> &keybag)
{
    {
        std::lock_guard lock(mKeybagLock);
        mKeybag = keybag;
    }
    if (keybag && keybag->isUnlocked())
        mHasUnlockedKeybag = true;
}

int DeviceBackup::newestFirst(const DeviceBackup &other) const
{
    return compareNewestFirst(mBackupDate, other.mBackupDate);
}

int DeviceBackup::compareCreateDate(const DeviceBackup &other) const
{
    return compareNewestFirst(mCreateDate, other.mCreateDate);
}

bool DeviceBackup::canBeSelected() const
{
    return HASDECRYPT || !mEncrypted;
}

int DeviceBackup::compareDisplayName(const DeviceBackup &other) const
{
    auto sortKey = [](const DeviceBackup &b) {
        if (b.mDeviceName.isNull())
            return QString();
        return (b.mEncrypted && !HASDECRYPT) ? QStringLiteral("zzzz") + b.mDeviceName : b.mDeviceName;
    };
    const QString mine = sortKey(*this), theirs = sortKey(other);
    if (!mine.isNull() && !theirs.isNull()) {
        const int order = mine.compare(theirs, Qt::CaseInsensitive);
        if (order != 0)
            return order < 0 ? -1 : 1;
    }
    return compareCreateDate(other);
}

bool DeviceBackup::deviceMakesCalls() const
{
    if (mDeviceType.isNull())
        return true;
    if (mDeviceType.startsWith("iPhone") || mDeviceType.startsWith("iPad"))
        return true;
    return mDeviceType.startsWith("iPod") && !mDeviceType.startsWith("iPod1")
           && !mDeviceType.startsWith("iPod2");
}

QList<DeviceBackupPtr> DeviceBackup::allBackups(bool unlock)
{
    QList<DeviceBackupPtr> backups;
    const QString root = Paths::backupFolder();
    const QFileInfo rootInfo(root);
    if (rootInfo.isDir() && !rootInfo.isReadable()) {
        gBackupsBlocked = true;
        return backups;
    }
    const QStringList names =
        QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    int index = 0;
    for (const QString &name : names) {
        VarnekLog("Analyzing backup %d: %s", index++, qUtf8Printable(name));
        if (name.startsWith('.'))
            continue;
        const QString path = root + "/" + name;
        if (!QFileInfo(path).isDir())
            continue;
        VarnekLog("Going to add DeviceBackup for %s", qUtf8Printable(path));
        if (DeviceBackupPtr backup = initWithPath(path, unlock)) {
            VarnekLog("We added it.");
            backups.append(backup);
        } else {
            VarnekLog("We didn't add it :-(");
        }
    }
    std::stable_sort(backups.begin(), backups.end(), [](const DeviceBackupPtr &a, const DeviceBackupPtr &b) {
        return a->compareDisplayName(*b) < 0;
    });
    return backups;
}

void DeviceBackup::loadBackupsOnThread(std::function<void(QList<DeviceBackupPtr>)> onMain)
{
    auto deliver = [](const std::function<void(QList<DeviceBackupPtr>)> &onMain, const QList<DeviceBackupPtr> &list) {
        QCoreApplication *app = QCoreApplication::instance();
        if (!app)
            return;
        QMetaObject::invokeMethod(app, QueuedCall([onMain, list]() { onMain(list); }), Qt::QueuedConnection);
    };
    try {
        std::thread([onMain = std::move(onMain), deliver]() {
            // No failure here may end the program: the list is then simply not refreshed.
            try {
                const QList<DeviceBackupPtr> backups = allBackups(false);
                deliver(onMain, backups);
                // Unlocking may derive keys for seconds per backup: here, after the list is shown.
                bool unlocked = false;
                for (const DeviceBackupPtr &backup : backups) {
                    if (backup->encrypted() && backup->keybag())
                        unlocked = backup->unlockWithRememberedCredentials() || unlocked;
                }
                if (unlocked)
                    deliver(onMain, backups);
            } catch (const std::exception &error) {
                VarnekLog("the backup listing failed: %s", error.what());
            }
        }).detach();
    } catch (const std::system_error &error) {
        VarnekLog("couldn't start the backup listing: %s", error.what());
    }
}
