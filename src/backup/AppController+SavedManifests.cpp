// The device controller's part in saved manifests: moving manifests that older versions kept
// in the user defaults out into files, and writing the manifest a session left behind.

#include "device/AppController.h"

#include "backup/BackupSessionState.h"
#include "backup/SavedManifest.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

void AppController::moveMDatasToFiles()
{
    VarnekLog("Checking for mDatas");
    UserDefaults &defaults = UserDefaults::standard();
    const QVariant stored = defaults.objectForKey(QStringLiteral("mDatas20b"));
    if (!stored.isValid())
        return;
    const QVariantMap mDatas = stored.toMap();
    bool allMoved = true;
    for (auto it = mDatas.cbegin(); it != mDatas.cend(); ++it) {
        const QByteArray data = it.value().toByteArray();
        if (data.isEmpty())
            continue;
        VarnekLog("Moving manifest to file for %s", qUtf8Printable(it.key()));
        // A key that cannot name a file (or a write that fails) is logged and dropped with
        // the rest: it never leads out of the archive folder.
        if (!SavedManifest::saveMData(data, it.key()))
            allMoved = allMoved && !isUsableDeviceID(it.key());
    }
    // Kept when a good manifest could not be written, so the next start tries again.
    if (allMoved) {
        defaults.removeObject(QStringLiteral("mDatas20b"));
        defaults.synchronize();
    }
    VarnekLog("Done checking for mDatas");
}

void AppController::saveManifestToPrefs()
{
    std::lock_guard lock(saveLock);
    if (!gManifestDictSaving || gTargetIDSaving.isEmpty())
        return;
    VarnekLog("saving manifest for %s", qUtf8Printable(gTargetIDSaving));
    QString error;
    const QByteArray data = PropertyList::toData(*gManifestDictSaving, PropertyList::Format::Binary, &error);
    if (!data.isEmpty()) {
        VarnekLog("saved manifest serialised for %s", qUtf8Printable(gTargetIDSaving));
        SavedManifest::saveMData(data, gTargetIDSaving);
    } else {
        VarnekLog("couldn't serialise the manifest: %s", qUtf8Printable(error));
    }
    mCreatedAMRDB.remove(gTargetIDSaving);
    mCreatedNotesDB.remove(gTargetIDSaving);
    gManifestDictSaving.reset();
    gTargetIDSaving.clear();
}
