// The messages request of the connected device: the messages database, then WhatsApp's chat
// store, once per connection, the list filtered by the service switches at every request;
// and the piece cache's clean-up after a run.
//
// The clean-up trusts the marks of this run alone: the messages run drops every earlier mark
// and both runs mark again each piece they use. Only when both runs went through to the end
// are the marks complete; after a failed, cancelled or missing run the cache and the piece
// folder are left as they are, since an unmarked piece there may still be in use.

#include "device/AppController.h"

#include "extract/CategoryState.h"
#include "interfaces/FRWindowHub.h"
#include "messages/FRSMSInfo.h"
#include "messages/SMSDataController.h"
#include "platform/UserDefaults.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QDateTime>
#include <QFileInfo>

RecordSnapshot<FRSMSInfo> gSMSs;
RecordSnapshot<FRSMSInfo> gJustSMSs;
RecordSnapshot<FRSMSInfo> gJustWA;

namespace {

// A switch that was never set counts as off.
bool showing(const char *key)
{
    return UserDefaults::standard().boolForKey(QString::fromLatin1(key));
}

int sizeOf(const RecordSnapshot<FRSMSInfo> &list)
{
    return list ? int(list->size()) : 0;
}

// The kept lists as the service switches show them. A connected device has no Messenger
// messages, so its switch adds nothing.
RecordSnapshot<FRSMSInfo> filteredMessages()
{
    QList<FRSMSInfoPtr> shown;
    if (gJustSMSs && showing("SHOW_SMS"))
        shown += *gJustSMSs;
    if (gJustWA && showing("SHOW_WA"))
        shown += *gJustWA;
    return makeSnapshot(std::move(shown));
}

} // namespace

RecordSnapshot<FRSMSInfo> AppController::doGetSMS(int *error)
{
    VarnekLog("sms lock");
    std::lock_guard sms(smsLock);
    {
        std::lock_guard local(localLock);
        usedQnmdbFiles.clear();
    }
    VarnekLog("in sms lock");
    const int instance = deviceInstance();
    SMSDataController *controller = window() ? window()->smsDataController() : nullptr;

    if (mHaveSMS.load()) {
        VarnekLog("had %ld so return", long(sizeOf(gSMSs)));
        gSMSs = filteredMessages();
        if (controller)
            controller->setNumTotalSMS(sizeOf(gJustSMSs));
        return gSMSs;
    }
    gSMSs = makeSnapshot<FRSMSInfo>({});
    gJustSMSs.reset();
    gJustWA.reset();

    const auto fail = [this](bool extracted, int code) -> RecordSnapshot<FRSMSInfo> {
        if (extracted)
            VarnekLog("process failed with %d", code);
        updateMessage(QString());
        VarnekLog("sms unlock");
        return nullptr;
    };
    if (!sessionFilesReady(error))
        return fail(false, 0);

    const int64_t synctime = QDateTime::currentSecsSinceEpoch();
    const QString device = connectedDeviceID();
    int localError = 0;
    const auto messages = processSMSData(sessionFile({QStringLiteral("HomeDomain")}, QStringLiteral("Library/SMS/sms.db")),
                                         controller, device, &localError, synctime, nullptr);
    if (messages)
        gJustSMSs = makeSnapshot(*messages);
    if (controller)
        controller->setHasMessages(sizeOf(gJustSMSs) > 0);

    if (localError == 0) {
        int whatsAppError = 0; // a failed WhatsApp run only leaves its messages out
        // Current WhatsApp keeps its chats in the shared group container; the app's own
        // Documents copy is from older versions.
        QString chats = sessionFile({QStringLiteral("AppDomainGroup-group.net.whatsapp.WhatsApp.shared")},
                                    QStringLiteral("ChatStorage.sqlite"));
        if (!QFileInfo::exists(chats))
            chats = sessionFile({QStringLiteral("AppDomain-net.whatsapp.WhatsApp")},
                                QStringLiteral("Documents/ChatStorage.sqlite"));
        const auto whatsApp = processWhatsAppData(chats, controller, device, &whatsAppError, synctime, nullptr);
        if (whatsApp)
            gJustWA = makeSnapshot(*whatsApp);
        if (messages && whatsAppError == 0) {
            removeStaleCacheItems(synctime, false);
            std::lock_guard local(localLock);
            deleteUnusedQnmdbFiles(usedQnmdbFiles);
        } else {
            VarnekLog("cache left as it was: messages %s, WhatsApp error %d", messages ? "read" : "not read",
                      whatsAppError);
        }
    }
    gSMSs = filteredMessages();
    if (controller) {
        controller->setHasWA(sizeOf(gJustWA) > 0);
        controller->setHasFB(false);
    }

    if (localError != 0) {
        if (error)
            *error = localError;
        return fail(true, localError);
    }
    if (!mCancelBackup.load())
        markDoneForGeneration(mHaveSMS, instance);
    saveManifestIfCategoriesRead();
    updateMessage(QString());
    if (!mHaveSMS.load())
        return fail(true, 0);
    VarnekLog("success got %ld", long(sizeOf(gSMSs)));
    if (controller)
        controller->setNumTotalSMS(sizeOf(gSMSs));
    return gSMSs;
}
