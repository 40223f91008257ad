#pragma once
// Which manifest a live session knocks out, and which attachment pieces it asks for again.
//
// The device sends every file whose place in the session's backup folder is empty, so the
// manifest the folder is prepared from decides how much comes over the wire: the saved
// manifest of this device's last session, or the host's own backup of the device when that
// is newer (a first session on this computer then brings only the wanted files rather than
// the whole device). Pieces (message and notes attachments, voicemail audio) are asked for
// again only while the device's archive holds none of their kind, so pieces already
// archived stay on the device.
//
// Session thread, with backupLock held (gManifestDict, gFileKeys, gTargetID); the archive
// checks take localLock inside it, which is the documented order.

#include <QString>
#include <QVariantMap>

#include <optional>

class AppController;

namespace ManifestChoice {

// <backup folder>/<gTargetID>: the host's own backup of the device (empty when the id
// cannot name a folder).
QString hostBackupFolder();

// The host backup's manifest dictionary: for the current protocol "__manifestMetadata",
// "Version" and "IsEncrypted", and unless `metadataOnly` its file entries ("Files") with the
// raw "manifestplist", "statusplist" and "manifestdb"; an encrypted one is unlocked through
// the controller's password rounds first (locked: no entries). The older protocol's
// Manifest.plist as read. nullopt when there is no host backup or its password was given up;
// an empty map when it lists no file.
std::optional<QVariantMap> grabiTunesManifest(AppController &controller, bool metadataOnly);

// An older host backup of an iPhone says it is encrypted (its first ".mdinfo").
bool backupIsEncrypted(const AppController &controller);

// Sets gManifestDict to the saved or the host manifest, whichever is newer (nothing usable:
// left unset); the saved one is passed over from the third attempt on. *tookHost when the
// host's won. False when a password sheet was cancelled meanwhile (the session gives up).
bool chooseManifest(AppController &controller, int attempt, bool olderEncrypted, bool *tookHost);

// The pieces to ask for again (relative path -> file id): every kind after the host's
// manifest was taken; otherwise the kinds the archive has none of (all kinds for an archive
// just made or with "FORCE_SCAN" set, which is then cleared), none for an encrypted older
// host backup.
QVariantMap extraPieces(AppController &controller, bool tookHost, bool olderEncrypted);

// Whether the device's archive holds a notes attachment, a message piece, voicemail audio.
bool checkForNoteAttachments(AppController &controller);
bool checkForSMSPieces(AppController &controller);
bool checkForAMRPieces(AppController &controller);

} // namespace ManifestChoice
