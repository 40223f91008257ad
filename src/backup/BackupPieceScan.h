#pragma once
// The scan of the host's own backup of the attached device for attachment pieces (message
// parts, notes attachments, voicemail audio), so a session can ask the device for pieces the
// archive has never stored. Result: relative path -> file identifier.
//
// Runs on the session thread. The older form reads ".mdinfo" files that other programs
// wrote: every read is bounded, and a file that is no regular file is skipped.

#include <QString>
#include <QVariantMap>

class FRWindowHub;

namespace BackupPieceScan {

// Bytes of an ".mdinfo" file searched for a piece's path, and where the search starts.
inline constexpr qint64 kMdinfoSearchOffset = 96;
inline constexpr qint64 kMdinfoSearchLength = 10000;
// An ".mdinfo" file larger than this is not one.
inline constexpr qint64 kMaxMdinfoBytes = 4 << 20;

// Current protocol: over the session manifest's "Files" (id -> entry dictionary), the
// voicemail audio (`amr`), notes attachments (`notes`) and message pieces (`sms`) asked for.
QVariantMap piecesInManifest(const QVariantMap &files, bool sms, bool notes, bool amr);

// Older protocol: every ".mdinfo" file of `hostBackupFolder` that names a voicemail audio
// file (not the greeting) or an SMS piece. The window's backup progress runs over the
// folder's files (maximum = their count) and is left indeterminate at the end.
QVariantMap piecesInMdinfoFiles(const QString &hostBackupFolder, FRWindowHub *window);

} // namespace BackupPieceScan
