#pragma once
// The knocked-out backup folder of a live session: the session's last manifest with the
// wanted files taken out, written into the session's backup folder, so that the device,
// seeing every other file present and the wanted ones missing, sends only those again.
//
// Runs on the session thread, which holds backupLock (getManifestForFileData reads
// gManifestDict and gFileKeys). Writes only into the session's own folder in the temporary
// folder, never into a backup of the user's.
//
// gManifestDict's "Files" maps file ids to ManifestEntry::toVariant() dictionaries; the kept
// headers of an older manifest sit beside it as "__mbdbheader" and "__mbdxheader".

#include <QByteArray>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <memory>

class Keybag;

namespace BackupKnockout {

// The new manifest data for the file-data records `records` ({"Path": relative path, ...}):
// {"Files": the remaining entries, "knockouts": the ids taken out, "__mbdbheader",
// "__mbdxheader"}. With `useAllFiles` the remaining entries start from gManifestDict's
// "Files"; otherwise from none. An entry is taken out by the file id gFileKeys gives for its
// path, so domain and path must both match; entries without a domain are dropped.
QVariantMap getManifestForFileData(const QVariantList &records, bool useAllFiles);

// Writes `folder` (made if missing) from the last manifest `oldManifest` and the new data:
// - with "manifestdb": that database, the knocked-out ids deleted (through a decrypted work
//   copy re-encrypted under the manifest key when `keybag` has one), and an empty
//   placeholder <xx>/<id> for every remaining file that has none yet;
// - else with an "__mbdbheader": Manifest.mbdb and Manifest.mbdx of the remaining entries,
//   with empty placeholders for regular files; entries with an invalid id are left out;
// - else the folder is emptied ("starting from scratch").
// Then Manifest.plist and Status.plist from "manifestplist" and "statusplist". False when a
// step failed (logged); the folder is left as far as it got.
bool prepareBackupDirectoryWithOldManifest(const QVariantMap &oldManifest, const QVariantMap &newData,
                                           const std::shared_ptr<Keybag> &keybag, const QString &folder);

// Manifest.mbdb and Manifest.mbdx of `files` (id -> entry dictionary, with "blob" and
// "thingblob"), in id order. The index keeps the first 6 bytes of `mbdxHeader` and then a
// 4-byte entry count, so no count ever wraps. False when an id is invalid, an entry has no
// record, or the record file would pass 4 GiB.
bool writeMbdbAndMbdx(const QVariantMap &files, const QByteArray &mbdbHeader, const QByteArray &mbdxHeader,
                      QByteArray *mbdb, QByteArray *mbdx);

} // namespace BackupKnockout
