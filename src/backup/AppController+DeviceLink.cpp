// The backup session driver: the gate every personal-data list passes before it opens a
// file. Once per connection one session brings the wanted files into the temporary folder;
// requests queue on backupLock, a stale or cancelled request gives up, and a wrong password
// is tried again first with the keychain and then with the password sheet.

#include "device/AppController.h"

#include "backup/BackupKeychain.h"
#include "backup/BackupSessionFlags.h"
#include "backup/BackupSessionState.h"
#include "backup/Keybag.h"
#include "backup/WantedFiles.h"
#include "device/DeviceTimings.h"
#include "extract/AddressBookState.h"
#include "extract/BookmarkState.h"
#include "interfaces/FRWindowHub.h"
#include "platform/ProcessLookup.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <optional>
#include <thread>
#include <unistd.h>

namespace {

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool processRunning(const char *name)
{
    std::vector<pid_t> pids;
    int error = 0;
    ProcessLookup::findProcesses(QByteArray(name), ::getuid(), 1, &pids, &error);
    return !pids.empty();
}

// Either of the host's own sync processes, from one read of the process table: every read
// walks all the processes of the machine, and the wait runs before every session.
bool hostSyncRunning()
{
    std::vector<ProcessLookup::Process> table;
    int error = 0;
    if (ProcessLookup::readTable(&table, &error) != ProcessLookup::Status::Ok)
        return false;
    const uid_t uid = ::getuid();
    for (const ProcessLookup::Process &process : table) {
        if (process.effectiveUid == uid
            && (ProcessLookup::commandMatches(process.command, QByteArrayLiteral("AppleMobileSync"))
                || ProcessLookup::commandMatches(process.command, QByteArrayLiteral("AppleMobileBackup"))))
            return true;
    }
    return false;
}

} // namespace

bool AppController::mobileSyncRunning() const
{
    return processRunning("AppleMobileSync");
}

bool AppController::mobileBackupRunning() const
{
    return processRunning("AppleMobileBackup");
}

bool AppController::iTunesRunning() const
{
    return processRunning("iTunes");
}

bool AppController::waitForMobileSyncProcess()
{
    const int rounds = deviceTimings().hostSyncRounds.load();
    std::optional<bool> running; // as last looked up
    for (int round = 0; round < rounds; ++round) {
        const bool delayOver = gAFewSecondsHaveGoneBy.load();
        if (delayOver) {
            running = hostSyncRunning();
            if (!*running)
                break;
        }
        if (gBail.load() || mCancelBackup.load())
            break;
        if (delayOver && !mWaitingForiTunes.exchange(true))
            onMain([this] { updateStatusMessage(); });
        sleepMs(deviceTimings().hostSyncPollMs.load());
        VarnekLog(delayOver ? "waiting for sync to finish" : "waiting for delay timer");
    }
    if (mWaitingForiTunes.exchange(false))
        onMain([this] { updateStatusMessage(); });
    return !(running ? *running : hostSyncRunning());
}

void AppController::cancelBackup()
{
    VarnekLog("backup cancel");
    mCancelBackup.store(true);
    mCancelWaitingThreads.store(true);
    ++mCancelEpoch;
}

void AppController::cancelWaitingForThreads()
{
    VarnekLog("cancelWaitingForThreads");
    mCancelWaitingThreads.store(true);
    ++mCancelEpoch;
}

void AppController::clearBackupCancel()
{
    VarnekLog("clearing backup cancel");
    mCancelBackup.store(false);
    mCancelWaitingThreads.store(false);
}

void AppController::dropCachedBackupManifest()
{
    // A new device or connection: the next session chooses its manifest again. Taken under
    // backupLock, so a running session keeps its own until it ends.
    std::lock_guard lock(backupLock);
    gManifestDict.reset();
}

void AppController::clearBackupBadError()
{
    mHadBadError.store(false);
    gDeviceError.store(0);
}

void AppController::flushBackup()
{
    setDisplayedDataError(false);
    mHaveBackups.store(false);
    for (auto *flag : {&mHaveNotes, &mHaveSMS, &mHaveCalls, &mHaveAddresses, &mHaveBookmarks, &mHaveVoicemail})
        flag->store(false);
}

void AppController::forgetDataOfEarlierGeneration(int instance)
{
    // Only flags change here: every kept list is handed out behind its flag, so a cleared
    // flag is enough for the next request to replace the list, and no category lock (held
    // through a whole extraction) is waited for on the set-up thread.
    std::lock_guard lock(mDataGenerationLock);
    mDataGeneration = instance;
    flushBackup();
}

void AppController::markDoneForGeneration(std::atomic<bool> &flag, int instance)
{
    std::lock_guard lock(mDataGenerationLock);
    if (instance == mDataGeneration)
        flag.store(true);
    else
        VarnekLog("request of device generation %d ended in generation %d: nothing kept", instance, mDataGeneration);
}

void AppController::saveManifestIfCategoriesRead()
{
    // The manifest names the pieces and recordings the categories stored; saved before all
    // of them were read, the next session would leave out files a category still needs.
    // Notes join this set once their list is read here.
    if (mHaveSMS.load() && mHaveVoicemail.load())
        saveManifestToPrefs();
}

void AppController::setBackupPassword(const QString &password, bool remember)
{
    std::lock_guard lock(mPasswordLock);
    mBackupPassword = password;
    mRememberThisPasswordOnKeychain = remember;
    if (password.isNull())
        mDerivedKey.clear();
}

void AppController::setBackupKey(const QByteArray &key)
{
    std::lock_guard lock(mPasswordLock);
    mDerivedKey = key;
}

QString AppController::backupPassword() const
{
    std::lock_guard lock(mPasswordLock);
    return mBackupPassword;
}

QByteArray AppController::backupKey() const
{
    std::lock_guard lock(mPasswordLock);
    return mDerivedKey;
}

void AppController::clearItemCounts()
{
    gNumNotes.store(0);
    gNumAddresses.store(0);
    gNumBookmarks.store(0);
}

QString AppController::getOurBackupPassword(bool interacted) const
{
    return gTargetID.isEmpty() ? QString() : BackupKeychain::getOurBackupPassword(interacted, gTargetID);
}

QByteArray AppController::getOurBackupKey(bool interacted) const
{
    return gTargetID.isEmpty() ? QByteArray() : BackupKeychain::getOurBackupKey(interacted, gTargetID);
}

bool AppController::askForPassword()
{
    BackupPasswordPrompt *prompt = mPasswordPrompt.load();
    if (!prompt || !mUserInteractedWithBackupMode.load())
        return false;
    const uint64_t epoch = mCancelEpoch.load();
    prompt->requestBackupPassword(gTargetID);
    // The sheet runs on the main thread; this thread holds no lock the main thread takes.
    while (backupPassword().isNull() && prompt->promptingForPassword()) {
        if (gBail.load() || mCancelEpoch.load() != epoch)
            break;
        sleepMs(deviceTimings().passwordPollMs.load());
    }
    const QString password = backupPassword();
    return !password.isNull() && password != QLatin1String(kFailedToGetAPassword);
}

int AppController::getBackupData()
{
    // The request gives up on any cancel made after it began; an earlier cancel (a sheet
    // the user closed before this refresh) does not hold it back.
    const uint64_t epoch = mCancelEpoch.load();
    if (mStatus.load() == kStatusAway) {
        gDeviceError.store(454546);
        return 0;
    }
    const int instance = deviceInstance();
    std::unique_lock lock(backupLock, std::try_to_lock);
    if (!lock.owns_lock()) {
        VarnekLog("getBackupData waiting for the running session");
        lock.lock();
    }
    if (mCancelEpoch.load() != epoch) {
        VarnekLog("mCancelWaitingThreads in getBackupData");
        updateMessage(QString());
        return 0;
    }
    if (deviceInstance() != instance) {
        updateMessage(QString());
        return 0;
    }
    mCancelBackup.store(false);
    if (mHaveBackups.load())
        return 1;
    if (!waitForMobileSyncProcess()) {
        gDeviceError.store(-22090);
        return 0;
    }

    bool firstRound = true;
    bool usedStoredCredentials = false;
    for (;;) {
        VarnekLog("getFiles starting");
        updateMessage(QCoreApplication::translate("AppController", "Preparing to download from %1").arg(deviceClass()));
        QElapsedTimer took;
        took.start();
        bool wrongPassword = false;
        const int result = getFiles(wantedFileList(), &wrongPassword);
        VarnekLog("getFiles done, took %f seconds", took.elapsed() / 1000.0);
        if (result == 1) {
            // Files of a connection that ended meanwhile are not this connection's.
            if (deviceInstance() != instance || mCancelEpoch.load() != epoch) {
                updateMessage(QString());
                return 0;
            }
            QString password;
            bool remember = false;
            {
                std::lock_guard passwordLock(mPasswordLock);
                password = mBackupPassword;
                remember = mRememberThisPasswordOnKeychain;
            }
            if (!password.isNull() && remember && gKeybag)
                BackupKeychain::rememberPassword(password, gKeybag->decoded(), gTargetID);
            markDoneForGeneration(mHaveBackups, instance);
            return 1;
        }
        if (!wrongPassword)
            return 0;
        if (usedStoredCredentials) {
            VarnekLog("stored password failed, so removing keychain entry");
            BackupKeychain::deletePasswordForAccount(gTargetID);
            usedStoredCredentials = false;
        }
        setBackupPassword(QString(), false);
        if (firstRound) {
            const QString stored = getOurBackupPassword(mUserInteractedWithBackupMode.load());
            const QByteArray storedKey = getOurBackupKey(mUserInteractedWithBackupMode.load());
            if (!stored.isNull()) {
                setBackupPassword(stored, true);
                usedStoredCredentials = true;
            }
            if (!storedKey.isEmpty()) {
                setBackupKey(storedKey);
                usedStoredCredentials = true;
            }
        }
        if (backupPassword().isNull())
            askForPassword();
        const QString password = backupPassword();
        if ((password.isNull() && backupKey().isEmpty()) || password == QLatin1String(kFailedToGetAPassword)
            || mCancelEpoch.load() != epoch) {
            mHaveBackups.store(false);
            setBackupPassword(QString(), false);
            cancelWaitingForThreads();
            updateMessage(QString());
            return 0;
        }
        firstRound = false;
    }
}
