// The category requests of the connected device other than messages: calls, voicemail,
// contacts and Safari, with the session step they share and the contacts barrier. Each
// request extracts once per connection; while a cancel is pending it extracts but keeps no
// flag, so the next request tries again.

#include "device/AppController.h"

#include "backup/BackupSessionFlags.h"
#include "backup/WorkFolderNames.h"
#include "extract/AddressBookState.h"
#include "extract/BookmarkState.h"
#include "extract/CategoryState.h"
#include "interfaces/FRWindowHub.h"
#include "personal/FRCallInfo.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

RecordSnapshot<FRCallInfo> gCalls;
RecordSnapshot<FRCallInfo> gJustCalls;
RecordSnapshot<FRCallInfo> gJustWACalls;
RecordSnapshot<FRCallInfo> gVoicemails;

namespace {

const QString kHome = QStringLiteral("HomeDomain");
const QString kWhatsApp = QStringLiteral("AppDomain-net.whatsapp.WhatsApp");

void copyError(int *error, int code)
{
    if (error && code != 0)
        *error = code;
}

} // namespace

bool AppController::sessionFilesReady(int *error)
{
    bool ready = true;
    if (mHaveBackups.load()) {
        VarnekLog("already had backup");
    } else {
        VarnekLog("doesn't have back yet so get it");
        ready = getBackupData() != 0;
    }
    if (ready && !mCancelBackup.load())
        return true;
    copyError(error, gDeviceError.load());
    return false;
}

QString AppController::sessionFile(const QStringList &domains, const QString &relativePath) const
{
    const QString temp = getTempDir();
    if (temp.isEmpty())
        return {};
    QString name = sessionFileNames().nameFor(domains, relativePath);
    // Every wanted file but the chat stores has a name of its own, so the plain name is the
    // one to look for when the session did not name this file (it was not sent, or the
    // call history's older database beside which the newer one is searched for).
    if (name.isEmpty())
        name = WorkFolderNames::baseName(relativePath);
    return name.isEmpty() ? QString() : temp + name;
}

std::unique_lock<std::recursive_mutex> AppController::waitUntilAddressesFinishAndLock()
{
    return std::unique_lock<std::recursive_mutex>(addressLock);
}

void AppController::unlockAddresses(std::unique_lock<std::recursive_mutex> &barrier)
{
    if (barrier.owns_lock())
        barrier.unlock();
}

RecordSnapshot<FRCallInfo> AppController::doGetCalls(int *error)
{
    std::lock_guard calls(callLock);
    const int instance = deviceInstance();
    if (mHaveCalls.load())
        return gCalls;
    gCalls = makeSnapshot<FRCallInfo>({});
    gJustCalls.reset();
    gJustWACalls.reset();
    if (!sessionFilesReady(error))
        return nullptr;

    CallListController *controller = window() ? window()->callDataController() : nullptr;
    const QString device = connectedDeviceID();
    int localError = 0;
    QDateTime oldestWA;
    const auto history = processCallData(sessionFile({kHome}, QStringLiteral("Library/CallHistory/call_history.db")),
                                         controller, device, &localError, &oldestWA);
    QList<FRCallInfoPtr> all;
    if (history) {
        gJustCalls = makeSnapshot(*history);
        all += *history;
    }
    if (localError == 0) {
        int whatsAppError = 0; // a failed call log only leaves its calls out
        const auto whatsApp = processWACallData(sessionFile({kWhatsApp}, QStringLiteral("Documents/calls.log")),
                                                controller, device, &whatsAppError, oldestWA);
        if (whatsApp) {
            gJustWACalls = makeSnapshot(*whatsApp);
            all += *whatsApp;
        }
    }
    if (localError != 0) {
        copyError(error, localError);
        VarnekLog("calls process failed with %d", localError);
        return nullptr;
    }
    gCalls = makeSnapshot(std::move(all));
    if (!mCancelBackup.load())
        markDoneForGeneration(mHaveCalls, instance);
    if (!mHaveCalls.load()) {
        VarnekLog("calls process failed with %d", 0);
        return nullptr;
    }
    VarnekLog("success got %ld calls", long(gCalls->size()));
    return gCalls;
}

RecordSnapshot<FRCallInfo> AppController::doGetVoicemails(int *error)
{
    std::lock_guard voicemail(voicemailLock);
    const int instance = deviceInstance();
    if (mHaveVoicemail.load())
        return gVoicemails; // null when the device had none
    gVoicemails = makeSnapshot<FRCallInfo>({});
    if (!sessionFilesReady(error))
        return nullptr;

    CallListController *controller = window() ? window()->itunesDataController() : nullptr;
    int localError = 0;
    const auto voicemails = processVoicemailData(sessionFile({kHome}, QStringLiteral("Library/Voicemail/voicemail.db")),
                                                 controller, connectedDeviceID(), &localError);
    gVoicemails = voicemails ? makeSnapshot(*voicemails) : nullptr;
    if (localError != 0) {
        copyError(error, localError);
        return nullptr;
    }
    if (!mCancelBackup.load())
        markDoneForGeneration(mHaveVoicemail, instance);
    saveManifestIfCategoriesRead();
    return mHaveVoicemail.load() ? gVoicemails : nullptr;
}

RecordSnapshot<FRAddressInfo> AppController::doGetAddresses(int *error)
{
    // The contacts controller holds the lock around this call already; taking it here too
    // keeps any other caller from running the contacts extraction under the name lookups of
    // a messages, calls or voicemail load.
    std::lock_guard contacts(addressLock);
    const int instance = deviceInstance();
    const auto published = [] {
        std::lock_guard local(localLock);
        return makeSnapshot(gAddresses);
    };
    VarnekLog("Enter contacts");
    if (mHaveAddresses.load()) {
        VarnekLog("Had contacts already");
        return published();
    }
    {
        std::lock_guard local(localLock);
        gAddresses.clear();
    }
    if (!sessionFilesReady(error)) {
        VarnekLog("End of contacts");
        return nullptr;
    }
    VarnekLog("Processing contacts");
    const int rc = processAddressData(sessionFile({kHome}, QStringLiteral("Library/AddressBook/AddressBook.sqlitedb")),
                                      sessionFile({kHome}, QStringLiteral("Library/AddressBook/AddressBookImages.sqlitedb")),
                                      connectedDeviceID(), true);
    if (rc != 0) {
        copyError(error, rc);
        VarnekLog("End of contacts");
        return nullptr;
    }
    if (!mCancelBackup.load())
        markDoneForGeneration(mHaveAddresses, instance);
    if (!mHaveAddresses.load()) {
        VarnekLog("End of contacts");
        return nullptr;
    }
    VarnekLog("Finishing contacts");
    return published();
}

RecordSnapshot<FRBookmarkInfo> AppController::doGetBookmarks(int *error)
{
    std::lock_guard bookmarks(bookmarkLock);
    const int instance = deviceInstance();
    if (mHaveBookmarks.load())
        return makeSnapshot(gBookmarks);
    gBookmarks.clear();
    if (!sessionFilesReady(error))
        return nullptr;
    int localError = 0;
    const QString history = sessionFile({QStringLiteral("AppDomain-com.apple.mobilesafari"), kHome},
                                        QStringLiteral("Library/Safari/History.db"));
    const auto records = processSafariData(getTempDir(), &localError, history);
    if (!records) {
        copyError(error, localError);
        return nullptr;
    }
    if (!mCancelBackup.load())
        markDoneForGeneration(mHaveBookmarks, instance);
    return mHaveBookmarks.load() ? makeSnapshot(gBookmarks) : nullptr;
}
