#pragma once
// The state a backup session with the attached device carries between its steps and across
// sessions of one connection. The design keeps it in process-wide variables because the
// device-link callbacks are plain functions without an object.
//
// Who writes what:
// - gManifestDict, gFileKeys and gTargetID: the session thread, under backupLock (which it
//   holds for the whole session). Readers outside a session take backupLock too.
// - gManifestDictSaving and gTargetIDSaving: under saveLock; a successful session leaves
//   copies there, and saveManifestToPrefs writes them out as the device's saved manifest.
//
// Manifest dictionary keys: "__manifestMetadata", "Version", "IsEncrypted", "BackupKeyBag",
// "ManifestKey", "Files" (file id -> ManifestEntry::toVariant()), "manifestplist",
// "statusplist", "manifestdb", and "Data" for the older protocol. No value (nullopt) means
// "no manifest held" (the next session chooses one); an empty map is a held, empty one.

#include <QString>
#include <QVariantMap>

#include <optional>

// The session's manifest dictionary.
extern std::optional<QVariantMap> gManifestDict;
// Relative path -> file identifier, for the wanted files and the extra pieces.
extern QVariantMap gFileKeys;
// The attached device's "UniqueDeviceID": the session's target, the name of its folder in the
// temporary folder, and the key of its archive and saved manifest.
extern QString gTargetID;

// Left by a successful session for saveManifestToPrefs.
extern std::optional<QVariantMap> gManifestDictSaving;
extern QString gTargetIDSaving;

// Whether `deviceID` may name a file of ours: not empty, no "/", not "." or "..", no NUL.
bool isUsableDeviceID(const QString &deviceID);

// <temporary folder>/<deviceID>: where a session's backup folder lies (empty when the id is
// not usable or there is no temporary folder).
QString sessionBackupFolder(const QString &deviceID);
