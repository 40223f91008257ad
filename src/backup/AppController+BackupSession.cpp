// One backup session with the attached device: the connection to its backup service, the
// knocked-out backup folder that makes the device send only the wanted files, the exchange,
// the manifest that comes back, and the wanted files taken out of the backup folder
// (decrypted where the backup is encrypted) into the temporary folder under the work-folder
// naming rule.
//
// States (session thread, backupLock held throughout):
//   idle -> attempt (flags cleared, connection dictionary, manifest choice, knock-out)
//        -> exchange (performBackup, or the older protocol's stream)
//        -> taken out (files moved or decrypted, mBackupFinished cleared)
//        -> [retry: back to attempt] -> end (renames, saved-manifest copies) -> idle.
// mBackupFinished is set from the start of the attempt until the device says the backup is
// over; an attempt that ends with it still set did not finish.

#include "device/AppController.h"

#include "backup/BackupKeychain.h"
#include "backup/BackupKnockout.h"
#include "backup/BackupManifest.h"
#include "backup/BackupSessionFlags.h"
#include "backup/BackupSessionState.h"
#include "backup/Keybag.h"
#include "backup/ManifestChoice.h"
#include "backup/PiecePredicates.h"
#include "backup/SavedManifest.h"
#include "backup/WantedFiles.h"
#include "backup/WorkFolderNames.h"
#include "device/DeviceTimings.h"
#include "device/MobileDeviceFramework.h"
#include "interfaces/FRWindowHub.h"
#include "platform/PropertyList.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

QString fileIDFor(const QString &domain, const QString &path)
{
    return QString::fromLatin1(
        QCryptographicHash::hash((domain + QLatin1Char('-') + path).toUtf8(), QCryptographicHash::Sha1).toHex());
}

bool acceptableDomain(const QString &domain)
{
    if (!domain.startsWith(QLatin1String("AppDomain")))
        return true;
    static const QSet<QString> apps = {
        QStringLiteral("AppDomain-com.apple.mobilesafari"), QStringLiteral("AppDomain-net.whatsapp.WhatsApp"),
        QStringLiteral("AppDomainGroup-group.net.whatsapp.WhatsApp.shared"),
        QStringLiteral("AppDomainGroup-group.com.apple.notes")};
    return apps.contains(domain);
}

bool isDatabasePath(const QString &path)
{
    for (const char *suffix : {".db", ".sqlite", ".sqlitedb", ".storedata"}) {
        if (path.endsWith(QLatin1String(suffix)))
            return true;
    }
    return false;
}

bool isVoicemailAudio(const QString &path)
{
    return path.startsWith(QLatin1String("Library/Voicemail/")) && path.endsWith(QLatin1String(".amr"));
}

// Codes after which another attempt cannot succeed: the device's own refusals of this
// computer (invalid dictionary, passcode lock, cannot connect), a lost connection, and no
// space on this computer (104 and 105 alike).
bool neverRetried(int code)
{
    return code == 121212 || code == 121213 || code == 454545 || code == 120104 || code == 120105;
}

QByteArray readWholeFile(const QString &path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// The device listener's handle of the session's device (session thread).
DLDeviceRef gSessionDevice = nullptr;

} // namespace

QString AppController::pathToItem(const QString &fileID, const QString &folder)
{
    return folder + QLatin1Char('/') + fileID.left(2) + QLatin1Char('/') + fileID;
}

WorkFolderNames AppController::sessionFileNames() const
{
    std::lock_guard lock(backupLock);
    return mSessionNames ? *mSessionNames : WorkFolderNames();
}

QVariantMap AppController::getConnectionDict(const QVariantMap &description)
{
    if (!description.isEmpty()) {
        return {{QStringLiteral("DLInfoStreamTypeKey"), QStringLiteral("DLInfoStreamTypeTCP")},
                {QStringLiteral("DLInfoMobileDeviceKey"), description},
                {QStringLiteral("DLInfoPortKey"), 6599},
                {QStringLiteral("DLInfoServiceNameKey"), QStringLiteral("com.apple.mobilebackup")}};
    }
    if (!DLDeviceListenerCreate || !DLDeviceWaitForAttachedDevice || !DLDeviceCopyAMDValue)
        return {};
    static DLDeviceListenerRef listener = nullptr; // one for the process; never freed
    if (!listener && DLDeviceListenerCreate(&listener) != kAMDSuccess)
        return {};
    DLDeviceRef device = nullptr;
    const QByteArray target = gTargetID.toUtf8();
    if (DLDeviceWaitForAttachedDevice(listener, target.constData(), deviceTimings().deviceListenerMs.load() / 1000.0,
                                      &device)
            != kAMDSuccess
        || !device) {
        VarnekLog("missing DLInfoServiceNameKey");
        return {};
    }
    gSessionDevice = device;
    AMDError error = kAMDSuccess;
    plist_t version = DLDeviceCopyAMDValue(device, "com.apple.mobile.backup", "Version", &error);
    if (!version) {
        VarnekLog("DLDeviceCopyAMDValue failed: %d", error);
        return {};
    }
    char *text = nullptr;
    double number = 0;
    if (plist_get_node_type(version) == PLIST_STRING) {
        plist_get_string_val(version, &text);
        number = text ? std::atof(text) : 0;
        std::free(text);
    } else if (plist_get_node_type(version) == PLIST_REAL) {
        plist_get_real_val(version, &number);
    }
    plist_free(version);
    is20Stuff.store(false);
    gDontAllowRestoreOn40.store(false);
    if (number >= 2.0) {
        is20Stuff.store(true);
        gDontAllowRestoreOn40.store(true);
        gUsingOldStuff.store(false);
    }
    return {{QStringLiteral("DLInfoStreamTypeKey"), QStringLiteral("DLInfoStreamTypeTCP")},
            {QStringLiteral("DLInfoMobileDeviceRefKey"), qulonglong(reinterpret_cast<quintptr>(device))},
            {QStringLiteral("DLInfoServiceNameKey"),
             is20Stuff.load() ? QStringLiteral("com.apple.mobilebackup2") : QStringLiteral("com.apple.mobilebackup")},
            {QStringLiteral("DLInfoLockdownOptions"),
             QVariantMap{{QStringLiteral("UnlockEscrowBag"), true}, {QStringLiteral("TimeoutConnection"), false}}}};
}

void AppController::renamefiles()
{
    const QString temp = getTempDir();
    for (auto it = gFilesToBeRenamed.cbegin(); it != gFilesToBeRenamed.cend(); ++it) {
        const QString from = temp + it.key();
        if (QFileInfo::exists(from)) {
            QFile::remove(temp + it.value());
            QFile::rename(from, temp + it.value());
        }
    }
    gFilesToBeRenamed.clear();
}

int AppController::suckInNewBackupInfo()
{
    const QString folder = sessionBackupFolder(gTargetID);
    VarnekLog("backup dir: %s", qUtf8Printable(folder));
    QVariantMap manifest = gManifestDict.value_or(QVariantMap());
    const QByteArray manifestPlist = readWholeFile(folder + QStringLiteral("/Manifest.plist"));
    manifest.insert(QStringLiteral("manifestplist"), manifestPlist);
    manifest.insert(QStringLiteral("statusplist"), readWholeFile(folder + QStringLiteral("/Status.plist")));
    manifest.insert(QStringLiteral("manifestdb"), readWholeFile(folder + QStringLiteral("/Manifest.db")));
    const QVariantMap plist = PropertyList::fromData(manifestPlist).value_or(QVariant()).toMap();
    manifest.insert(QStringLiteral("Version"), plist.value(QStringLiteral("Version")));
    if (plist.contains(QStringLiteral("IsEncrypted")))
        manifest.insert(QStringLiteral("IsEncrypted"), plist.value(QStringLiteral("IsEncrypted")));
    else
        manifest.remove(QStringLiteral("IsEncrypted"));
    if (plist.value(QStringLiteral("IsEncrypted")).toBool()) {
        manifest.insert(QStringLiteral("BackupKeyBag"), plist.value(QStringLiteral("BackupKeyBag")));
        manifest.insert(QStringLiteral("ManifestKey"), plist.value(QStringLiteral("ManifestKey")));
    } else {
        manifest.remove(QStringLiteral("BackupKeyBag"));
        manifest.remove(QStringLiteral("ManifestKey"));
    }
    gManifestDict = manifest;
    return 0;
}

bool AppController::promptForPasswordIfNeededWithKeybag(const std::shared_ptr<Keybag> &keybag)
{
    if (!keybag)
        return false;
    bool unlocked = keybag->isUnlocked();
    const QString held = backupPassword();
    const QByteArray heldKey = backupKey();
    if (!unlocked && (!held.isNull() || !heldKey.isEmpty())) {
        if (keybag->descriptionWithData(held, heldKey) == Keybag::kUnlocked)
            unlocked = true;
        else
            setBackupPassword(QString(), false);
    }
    if (!unlocked) {
        const bool interacted = mUserInteractedWithBackupMode.load();
        const QByteArray storedKey = getOurBackupKey(interacted);
        const QString stored = getOurBackupPassword(interacted);
        if (!stored.isNull()) {
            if (!storedKey.isEmpty() && keybag->descriptionWithData(stored, storedKey) == Keybag::kUnlocked) {
                unlocked = true;
                setBackupPassword(stored, true);
                setBackupKey(keybag->decoded());
            } else if (keybag->descriptionWithData(stored) == Keybag::kUnlocked) {
                unlocked = true;
                setBackupPassword(stored, true);
                setBackupKey(keybag->decoded());
            } else {
                VarnekLog("stored password failed, so removing keychain entry");
                BackupKeychain::deletePasswordForAccount(gTargetID);
            }
        }
    }
    gHasUnlockedKeybag = unlocked;
    if (!mUserInteractedWithBackupMode.load() || unlocked)
        return false;
    for (;;) {
        setBackupPassword(QString(), false);
        const bool answered = askForPassword();
        const QString password = backupPassword();
        if (!answered && (password == QLatin1String(kFailedToGetAPassword) || !mPasswordPrompt.load()
                          || mCancelBackup.load() || gBail.load())) {
            mHaveBackups.store(false);
            setBackupPassword(QString(), false);
            cancelWaitingForThreads();
            return true;
        }
        if (!password.isNull() && keybag->descriptionWithData(password) == Keybag::kUnlocked) {
            gHasUnlockedKeybag = true;
            bool remember = false;
            {
                std::lock_guard lock(mPasswordLock);
                remember = mRememberThisPasswordOnKeychain;
            }
            setBackupKey(keybag->decoded());
            if (remember)
                BackupKeychain::rememberPassword(password, keybag->decoded(), gTargetID);
            return false;
        }
        setBackupPassword(QString(), false);
        BackupKeychain::deletePasswordForAccount(gTargetID);
    }
}

int AppController::takeFilesOutOfBackup(const QString &folder, bool twoLevel)
{
    const bool encrypted = itsEncrypted.load();
    VarnekLog("Beginning %s for %lld file keys", encrypted ? "decrypting" : "moving",
              static_cast<long long>(gFilesExtracted.size()));
    auto names = std::make_shared<WorkFolderNames>();
    for (const QString &id : std::as_const(gFilesExtracted))
        names->add(gDomainForGuid.value(id), gFileForGuid.value(id));
    const QString temp = getTempDir();
    int failures = 0;
    for (const QString &id : std::as_const(gFilesExtracted)) {
        const QString path = gFileForGuid.value(id);
        const QString name = names->nameFor(gDomainForGuid.value(id), path);
        if (name.isEmpty())
            continue;
        const QString source = twoLevel ? pathToItem(id, folder) : folder + QLatin1Char('/') + id;
        const QString destination = temp + name;
        // Whatever an earlier session left under this name goes first: a failure below must
        // never leave an older file looking like this session's.
        QFile::remove(destination);
        if (encrypted) {
            if (!gKeybag || !gKeybag->decryptFile(source, destination, gKeyForGuid.value(id), quint32(gClassForGuid.value(id)))) {
                VarnekLog("Decryption failed for %s", qUtf8Printable(name));
                QFile::remove(destination);
                ++failures;
            }
            QFile::remove(source);
        } else if (!QFile::rename(source, destination)) {
            VarnekLog("could not move %s", qUtf8Printable(name));
            ++failures;
        }
        VarnekLog("File: %s (Size: %lldK)", qUtf8Printable(name), QFileInfo(destination).size() / 1000);
    }
    mSessionNames = names;
    return failures;
}

int AppController::getFiles(const QList<WantedFile> &files, bool *wrongPassword)
{
    if (wrongPassword)
        *wrongPassword = false;
    const int result = runSession(files, wrongPassword);
    if (result == kWrongPassword) {
        if (wrongPassword)
            *wrongPassword = true;
        return 0;
    }
    return result == 1 ? 1 : 0;
}

namespace {

// A session that did not end well leaves no manifest behind: one read only in part (its
// database without its file entries) would make the next knock-out keep stale files.
struct DropManifestUnlessDone
{
    int result = 0;
    ~DropManifestUnlessDone()
    {
        if (result != 1)
            gManifestDict.reset();
    }
};

} // namespace

int AppController::runSession(const QList<WantedFile> &files, bool *)
{
    QStringList paths;
    for (const WantedFile &file : files)
        paths << file.relativePath;
    VarnekLog("getFiles beginning for: %s", qUtf8Printable(paths.join(QLatin1String(", "))));
    itsEncrypted.store(false);
    const int instance = deviceInstance();
    const uint64_t epoch = mCancelEpoch.load();
    std::lock_guard lock(backupLock);
    DropManifestUnlessDone dropManifest;
    gFallbackMode = false;
    mHadError.store(false);
    mHadBadError.store(false);
    if (deviceInstance() != instance)
        return 0;
    if (gDeviceError.load() != 0)
        sleepMs(deviceTimings().backupRetryMs.load());
    gDeviceError.store(0);
    gHasPassCode.store(false);

    if (!DLCreateDeviceLinkConnectionForComputer || !DLConnect || !DLProcessMessage || !DLWaitForMessage
        || !DLDisconnect || !DLDeleteDeviceLinkConnection || !DLSetRootDirectory) {
        gDeviceError.store(-5101);
        return 0;
    }
    if (!dev()) {
        gDeviceError.store(-5102);
        return 0;
    }
    mBackupFinished.store(true);
    const QString target = connectedDeviceID();
    if (!isUsableDeviceID(target) || deviceInstance() != instance) {
        mHadError.store(true);
        mBackupFinished.store(false);
        cancelWaitingForThreads();
        gDeviceError.store(-5103);
        return 0;
    }
    if (gTargetID != target)
        gManifestDict.reset(); // another device's manifest is of no use
    gTargetID = target;
    const QString folder = sessionBackupFolder(gTargetID);
    const QString temp = getTempDir();

    for (int attempt = 0;; ++attempt) {
        gDeviceError.store(0);
        mHadError.store(false);
        mHadBadError.store(false);
        mBackupFinished.store(true);
        QVariantMap connectionDict;
        for (int tries = 0; tries < deviceTimings().connectionDictTries.load() && connectionDict.isEmpty(); ++tries) {
            if (tries)
                sleepMs(deviceTimings().connectionDictRetryMs.load());
            connectionDict = getConnectionDict();
        }
        if (connectionDict.isEmpty()) {
            mHadError.store(true);
            mBackupFinished.store(false);
            cancelWaitingForThreads();
            gDeviceError.store(-51033);
            return 0;
        }
        VarnekLog("got connection dict for %s", qUtf8Printable(connectionDict.value(QStringLiteral("DLInfoServiceNameKey")).toString()));

        const bool olderEncrypted = !is20Stuff.load() && ManifestChoice::backupIsEncrypted(*this);
        bool tookHost = false;
        if (!gManifestDict) {
            VarnekLog("Need a manifest");
            if (!ManifestChoice::chooseManifest(*this, attempt, olderEncrypted, &tookHost)) {
                mBackupFinished.store(false);
                updateMessage(QString());
                return 0;
            }
        } else {
            VarnekLog("didn't need a manifest");
        }
        const QVariantMap pieces = ManifestChoice::extraPieces(*this, tookHost, olderEncrypted);

        QStringList wanted = paths;
        gFileKeys.clear();
        for (const WantedFile &file : files)
            gFileKeys.insert(file.relativePath, fileIDFor(file.domain, file.relativePath));
        // A database's journal is knocked out with it: a journal kept from an earlier session
        // beside a newer database would read as a damaged database.
        for (const WantedFile &file : files) {
            const QString journal = file.relativePath + QStringLiteral("-wal");
            if (isDatabasePath(file.relativePath) && !gFileKeys.contains(journal)) {
                gFileKeys.insert(journal, fileIDFor(file.domain, journal));
                wanted << journal;
            }
        }
        for (auto it = pieces.cbegin(); it != pieces.cend(); ++it) {
            if (gFileKeys.contains(it.key()))
                continue;
            gFileKeys.insert(it.key(), it.value());
            wanted << it.key();
        }
        gFilesToGet = wanted;
        clearSessionTables();

        bool exchanged = false;
        if (is20Stuff.load()) {
            QVariantList records;
            for (const QString &path : std::as_const(wanted)) {
                records << QVariantMap{{QStringLiteral("Data"), QByteArray()}, {QStringLiteral("Path"), path}};
                const QString previous = WorkFolderNames::baseName(path);
                if (!previous.isEmpty())
                    QFile::remove(temp + previous);
            }
            const QVariantMap newData = BackupKnockout::getManifestForFileData(records, true);
            const QVariantMap oldManifest = gManifestDict.value_or(QVariantMap());
            std::shared_ptr<Keybag> oldKeybag;
            if (oldManifest.value(QStringLiteral("IsEncrypted")).toBool()) {
                oldKeybag = Keybag::initWithData(oldManifest.value(QStringLiteral("BackupKeyBag")).toByteArray(),
                                                 oldManifest.value(QStringLiteral("ManifestKey")).toByteArray());
                if (oldKeybag && oldKeybag->hasManKey() && promptForPasswordIfNeededWithKeybag(oldKeybag)) {
                    mBackupFinished.store(false);
                    updateMessage(QString());
                    return 0;
                }
                if (oldKeybag && !oldKeybag->isUnlocked()) {
                    // Without the old keys the old manifest cannot be knocked out: start over.
                    gManifestDict.reset();
                }
            }
            if (!BackupKnockout::prepareBackupDirectoryWithOldManifest(gManifestDict.value_or(QVariantMap()), newData,
                                                                        oldKeybag, folder))
                VarnekLog("prepareBackupDirectoryWithOldManifest failed");
            itsEncrypted.store(oldManifest.value(QStringLiteral("IsEncrypted")).toBool());

            VarnekLog("performBackup starting");
            gSpace.store(0);
            QElapsedTimer took;
            took.start();
            exchanged = performBackup(connectionDict);
            VarnekLog("performBackup done, took %f seconds", took.elapsed() / 1000.0);
            if (exchanged) {
                const bool encrypted = BackupManifest::checkManifestIsEncrypted(folder);
                itsEncrypted.store(encrypted);
                updateMessage(encrypted ? QCoreApplication::translate("AppController", "Decrypting and processing data")
                                        : QCoreApplication::translate("AppController", "Processing data"));
                gSalt.clear();
                suckInNewBackupInfo();
                gKeybag.reset();
                gHasUnlockedKeybag = false;
                if (encrypted) {
                    gKeybag = Keybag::initWithData(gManifestDict->value(QStringLiteral("BackupKeyBag")).toByteArray(),
                                                   gManifestDict->value(QStringLiteral("ManifestKey")).toByteArray());
                    if (!gKeybag)
                        VarnekLog("Error, no keybag");
                    if (promptForPasswordIfNeededWithKeybag(gKeybag)) {
                        mBackupFinished.store(false);
                        updateMessage(QString());
                        return 0;
                    }
                    if (!gKeybag || !gKeybag->isUnlocked()) {
                        VarnekLog("backup was encrypted but we don't have a password. bail now");
                        mBackupFinished.store(false);
                        gManifestDict.reset();
                        updateMessage(QString());
                        return kWrongPassword;
                    }
                }
                const bool twoLevel = BackupManifest::compareVersions(gManifestDict->value(QStringLiteral("Version")).toString(),
                                                                      QStringLiteral("9.99999"))
                                      >= 0;
                const std::optional<Manifest> manifest = BackupManifest::readManifestAtPath(folder, true, gKeybag);
                if (!manifest) {
                    VarnekLog("readManifestAtPath came back nil");
                    gDeviceError.store(0);
                    mBackupFinished.store(false);
                    gManifestDict.reset();
                    updateMessage(QString());
                    return 0;
                }
                QVariantMap filesDict;
                for (auto it = manifest->files.cbegin(); it != manifest->files.cend(); ++it)
                    filesDict.insert(it.key(), it.value().toVariant());
                gManifestDict->insert(QStringLiteral("Files"), filesDict);

                VarnekLog("transcode starting");
                const QSet<QString> wanted(gFilesToGet.cbegin(), gFilesToGet.cend());
                for (const ManifestEntry &entry : manifest->files) {
                    if (!entry.normalfile || !BackupManifest::isValidFileID(entry.hash))
                        continue;
                    const QString path = entry.path();
                    const QString &domain = entry.domain;
                    const QString source = twoLevel ? pathToItem(entry.hash, folder) : folder + QLatin1Char('/') + entry.hash;
                    const qint64 size = QFileInfo(source).isFile() ? QFileInfo(source).size() : 0;
                    const bool want = wanted.contains(path)
                                      || (path.endsWith(QLatin1String("-wal")) && wanted.contains(path.chopped(4)))
                                      || isVoicemailAudio(path) || isSomePiece(path, domain);
                    if (!want || !acceptableDomain(domain))
                        continue;
                    if (path.startsWith(QLatin1String("Library/SMS")) && !domain.startsWith(QLatin1String("Home"))
                        && !domain.startsWith(QLatin1String("Media"))) {
                        VarnekLog("   skipping bogus: %s in %s", qUtf8Printable(path), qUtf8Printable(domain));
                        continue;
                    }
                    if (size < 1)
                        continue;
                    VarnekLog("phone sent %s: %s (%s) %lldK", qUtf8Printable(domain), qUtf8Printable(path),
                              qUtf8Printable(entry.hash), size / 1000);
                    gFileToExtract.insert(path, domain);
                    gFileForGuid.insert(entry.hash, path);
                    gDomainForGuid.insert(entry.hash, domain);
                    gKeyForGuid.insert(entry.hash, entry.perfilekey);
                    gClassForGuid.insert(entry.hash, entry.protectionclass);
                    gFilesExtracted << entry.hash;
                }
                VarnekLog("transcode done");
                if (takeFilesOutOfBackup(folder, twoLevel) > 0) {
                    // A file that could not be decrypted or moved is no file of this session.
                    mHadError.store(true);
                    mHadBadError.store(true);
                    gDeviceError.store(-5109);
                } else {
                    mBackupFinished.store(false);
                }
            } else {
                updateMessage(QString());
                mHadError.store(true);
                VarnekLog("performBackup failed, gDeviceError: %d", gDeviceError.load());
                if (mHadBadError.load())
                    VarnekLog("Had an error that could leave state invaild.");
            }
        } else {
            gUsingOldStuff.store(true);
            exchanged = olderProtocolSession(connectionDict);
            if (!exchanged)
                mHadError.store(true);
        }

        const int code = gDeviceError.load();
        if (neverRetried(code) || mHadBadError.load()) {
            VarnekLog("Well, don't try THAT again: %d", code);
            break;
        }
        const bool retry = attempt < 3 && mHadError.load() && mBackupFinished.load() && deviceInstance() == instance
                           && !mCancelBackup.load() && mCancelEpoch.load() == epoch && mStatus.load() == kStatusConnected
                           && !gBail.load();
        if (!retry)
            break;
        sleepMs(deviceTimings().backupRetryMs.load());
        sleepMs(deviceTimings().backupErrorRetryMs.load());
        if (attempt < 2) {
            VarnekLog("retry with regenerated");
            gManifestDict.reset();
        } else {
            VarnekLog("retry with blank");
            gManifestDict = QVariantMap();
        }
        VarnekLog("getFiles Retrying %d, originalInstance: %d mDeviceInstance: %d", attempt + 1, instance, deviceInstance());
    }

    renamefiles();
    if (mBackupFinished.load() || mHadError.load()) {
        mBackupFinished.store(false);
        gManifestDict.reset();
        if (gDeviceError.load() == 0 && deviceInstance() == instance && !mCancelBackup.load()
            && mCancelEpoch.load() == epoch)
            gDeviceError.store(mHadError.load() ? -5108 : -5107);
        return 0;
    }
    {
        std::lock_guard saving(saveLock);
        gManifestDictSaving = gManifestDict;
        gTargetIDSaving = gTargetID;
    }
    if (is20Stuff.load()) {
        const bool twoLevel = gManifestDict && BackupManifest::compareVersions(gManifestDict->value(QStringLiteral("Version")).toString(),
                                                                               QStringLiteral("9.99999"))
                                                   >= 0;
        for (const QString &id : std::as_const(gFilesExtracted))
            QFile::remove(twoLevel ? pathToItem(id, folder) : folder + QLatin1Char('/') + id);
        gFilesExtracted.clear();
    }
    dropManifest.result = 1;
    return 1;
}
