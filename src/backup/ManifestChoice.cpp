#include "backup/ManifestChoice.h"

#include "device/AppController.h"

#include "archive/ArchiveDB.h"
#include "archive/ArchiveSql.h"
#include "backup/BackupManifest.h"
#include "backup/BackupPieceScan.h"
#include "backup/BackupSessionFlags.h"
#include "backup/BackupSessionState.h"
#include "backup/Keybag.h"
#include "platform/RegularFile.h"
#include "backup/SavedManifest.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/DataLocks.h"
#include "shell/SystemFlags.h"
#include "shell/VarnekLogger.h"

#include <QDir>

namespace {

// A host backup's property lists are small; its Manifest.db grows with the device.
constexpr qint64 kMaxPlistBytes = 64 << 20;
constexpr qint64 kMaxManifestDbBytes = qint64(2) << 30;

QVariantMap mapOf(const std::optional<QVariant> &value)
{
    if (!value || value->metaType() != QMetaType::fromType<QVariantMap>())
        return {};
    return value->toMap();
}

QVariantMap plistFileMap(const QString &path, QByteArray *raw = nullptr)
{
    const std::optional<QByteArray> bytes = RegularFile::readAll(path, kMaxPlistBytes);
    if (!bytes)
        return {};
    if (raw)
        *raw = *bytes;
    return mapOf(PropertyList::fromData(*bytes));
}

// The version a manifest dictionary of either protocol carries: the current protocol's at
// the top (a host manifest's in its metadata), the older protocol's inside "Data".
QString manifestVersion(const QVariantMap &manifest, bool current)
{
    if (current) {
        const QVariantMap metadata = manifest.value(QStringLiteral("__manifestMetadata")).toMap();
        if (metadata.contains(QStringLiteral("Version")))
            return metadata.value(QStringLiteral("Version")).toString();
        return manifest.value(QStringLiteral("Version")).toString();
    }
    return mapOf(PropertyList::fromData(manifest.value(QStringLiteral("Data")).toByteArray()))
        .value(QStringLiteral("Version"))
        .toString();
}

bool hasFiles(const QVariantMap &manifest)
{
    return !manifest.value(QStringLiteral("Files")).toMap().isEmpty();
}

bool archiveHasPiece(AppController &controller, const char *query)
{
    int error = 0;
    std::lock_guard local(localLock);
    const ArchiveDBPtr db = controller.getBackupDB(gTargetID, &error);
    return db && ArchiveSql::hasRow(db->handle(), query);
}

QVariantMap grabAmrHashesFromiTunes(AppController &controller, bool sms, bool notes, bool amr)
{
    if (is20Stuff.load())
        return BackupPieceScan::piecesInManifest(
            gManifestDict.value_or(QVariantMap()).value(QStringLiteral("Files")).toMap(), sms, notes, amr);
    if (controller.deviceClass() != QLatin1String("iPhone") || ManifestChoice::hostBackupFolder().isEmpty())
        return {};
    return BackupPieceScan::piecesInMdinfoFiles(ManifestChoice::hostBackupFolder(), controller.window());
}

} // namespace

namespace ManifestChoice {

QString hostBackupFolder()
{
    if (!isUsableDeviceID(gTargetID))
        return {};
    return Paths::backupFolder() + QLatin1Char('/') + gTargetID;
}

std::optional<QVariantMap> grabiTunesManifest(AppController &controller, bool metadataOnly)
{
    VarnekLog("grabbing iTunes Manifest");
    const QString folder = hostBackupFolder();
    if (folder.isEmpty()) {
        VarnekLog("returning empty");
        return QVariantMap();
    }
    QByteArray manifestPlist;
    const QVariantMap plist = plistFileMap(folder + QStringLiteral("/Manifest.plist"), &manifestPlist);
    if (plist.isEmpty())
        return std::nullopt;
    if (!is20Stuff.load()) {
        VarnekLog("grabiTunesManifest: reading manifest from iTunes backup: %s", qUtf8Printable(folder));
        return plist;
    }
    QVariantMap dict{{QStringLiteral("__manifestMetadata"), plist},
                     {QStringLiteral("Version"), plist.value(QStringLiteral("Version"))},
                     {QStringLiteral("IsEncrypted"), plist.value(QStringLiteral("IsEncrypted")).toBool()}};
    if (metadataOnly)
        return dict;
    std::shared_ptr<Keybag> keybag;
    const QByteArray manifestKey = plist.value(QStringLiteral("ManifestKey")).toByteArray();
    if (plist.value(QStringLiteral("IsEncrypted")).toBool() && HASDECRYPT.load() && !manifestKey.isEmpty()) {
        const QByteArray bag = plist.value(QStringLiteral("BackupKeyBag")).toByteArray();
        dict.insert(QStringLiteral("BackupKeyBag"), bag);
        dict.insert(QStringLiteral("ManifestKey"), manifestKey);
        keybag = Keybag::initWithData(bag, manifestKey);
        if (!keybag || controller.promptForPasswordIfNeededWithKeybag(keybag))
            return std::nullopt;
        if (!keybag->isUnlocked())
            return dict;
    }
    const std::optional<Manifest> manifest = BackupManifest::readManifestAtPath(folder, true, keybag);
    if (!manifest || manifest->files.isEmpty())
        return QVariantMap();
    QVariantMap files;
    for (auto it = manifest->files.cbegin(); it != manifest->files.cend(); ++it)
        files.insert(it.key(), it.value().toVariant());
    dict.insert(QStringLiteral("Files"), files);
    QByteArray statusPlist;
    plistFileMap(folder + QStringLiteral("/Status.plist"), &statusPlist);
    dict.insert(QStringLiteral("manifestplist"), manifestPlist);
    dict.insert(QStringLiteral("statusplist"), statusPlist);
    dict.insert(QStringLiteral("manifestdb"),
                RegularFile::readAll(folder + QStringLiteral("/Manifest.db"), kMaxManifestDbBytes).value_or(QByteArray()));
    return dict;
}

bool backupIsEncrypted(const AppController &controller)
{
    if (controller.deviceClass() != QLatin1String("iPhone"))
        return false;
    const QString folder = hostBackupFolder();
    if (folder.isEmpty())
        return false;
    const QStringList names = QDir(folder).entryList({QStringLiteral("*.mdinfo")}, QDir::Files, QDir::Name);
    if (names.isEmpty())
        return false;
    return plistFileMap(folder + QLatin1Char('/') + names.first()).value(QStringLiteral("IsEncrypted")).toBool();
}

bool chooseManifest(AppController &controller, int attempt, bool olderEncrypted, bool *tookHost)
{
    *tookHost = false;
    const bool current = is20Stuff.load();
    std::optional<QVariantMap> saved;
    if (const std::optional<QByteArray> data = SavedManifest::getMDataFor(gTargetID))
        saved = mapOf(PropertyList::fromData(*data));
    if (!saved || saved->isEmpty()) {
        saved.reset();
        controller.showBackupsMessage();
    }
    const uint64_t epoch = controller.mCancelEpoch.load();
    const std::optional<QVariantMap> host = grabiTunesManifest(controller, false);
    // The host backup's password sheet was cancelled: the session ends as any cancelled
    // password does, rather than asking again for the device's own backup.
    if (controller.mCancelEpoch.load() != epoch)
        return false;
    const QVariantMap hostManifest = host.value_or(QVariantMap());
    // A host manifest without file entries (locked, or unreadable) would knock nothing out
    // and make the device send everything: it counts only with its entries.
    const QString hostVersion = hasFiles(hostManifest) ? manifestVersion(hostManifest, current) : QString();
    if (!hostVersion.isEmpty())
        VarnekLog("iTunes manifest is version: %s", qUtf8Printable(hostVersion));
    if (attempt >= 2)
        saved.reset(); // a third attempt starts over from what the host has
    const QString savedVersion = saved ? manifestVersion(*saved, current) : QString();
    if (saved)
        VarnekLog("our stored manifest is version: %s", qUtf8Printable(savedVersion));

    if (!hostVersion.isEmpty() && !savedVersion.isEmpty()) {
        if (BackupManifest::compareVersions(savedVersion, hostVersion) < 0) {
            VarnekLog("going with the iTunesManifest because its version is higher");
            gManifestDict = hostManifest;
            *tookHost = true;
        } else {
            VarnekLog("going with the stored because its version is higher");
            gManifestDict = *saved;
        }
    } else if (saved && saved->contains(QStringLiteral("Files"))) {
        VarnekLog("going with the stored version because it's all we have");
        gManifestDict = *saved;
    } else if (!hostVersion.isEmpty() && !olderEncrypted) {
        VarnekLog("going with the iTunes version because it's all we have");
        gManifestDict = hostManifest;
        *tookHost = true;
    } else {
        VarnekLog("no manifest at all to use");
    }
    return true;
}

bool checkForNoteAttachments(AppController &controller)
{
    return archiveHasPiece(controller, "SELECT uuid FROM smspieces WHERE uuid like \"%NoteAttach%\" LIMIT 1");
}

bool checkForSMSPieces(AppController &controller)
{
    return archiveHasPiece(controller, "SELECT uuid FROM smspieces WHERE uuid not like \"%NoteAttach%\" AND uuid != \"NEW\" LIMIT 1");
}

bool checkForAMRPieces(AppController &controller)
{
    return archiveHasPiece(controller, "SELECT uuid FROM amrs WHERE uuid != \"NEW\" LIMIT 1");
}

QVariantMap extraPieces(AppController &controller, bool tookHost, bool olderEncrypted)
{
    if (tookHost)
        return grabAmrHashesFromiTunes(controller, true, true, true);
    int error = 0;
    {
        std::lock_guard local(localLock);
        controller.getBackupDB(gTargetID, &error); // made now when missing, so a new archive counts as created
    }
    const bool created = controller.createdAMRDB(gTargetID);
    UserDefaults &defaults = UserDefaults::standard();
    const bool force = defaults.boolForKey(QStringLiteral("FORCE_SCAN"));
    bool noNotes = true, noSMS = true, noAMR = true;
    if (!created && !force) {
        noNotes = !checkForNoteAttachments(controller);
        noSMS = !checkForSMSPieces(controller);
        noAMR = !checkForAMRPieces(controller);
    }
    if (olderEncrypted || !(noNotes || noSMS || noAMR))
        return {};
    if (force) {
        VarnekLog("FORCE_MDINFOSCAN is true");
        defaults.setBool(false, QStringLiteral("FORCE_SCAN"));
    }
    if (created)
        VarnekLog("mCreatedAMRDB is true for %s", qUtf8Printable(gTargetID));
    return grabAmrHashesFromiTunes(controller, noSMS, noNotes, noAMR);
}

} // namespace ManifestChoice
