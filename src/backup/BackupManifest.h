#pragma once
// The manifest of a device backup: which file identifier holds which file of the device. Two
// on-disk forms are read into one in-memory form: the SQLite "Manifest.db" of newer backups
// (encrypted under the keybag's manifest key when the backup is) and the binary
// "Manifest.mbdb" with its index "Manifest.mbdx" of older ones.
//
// A file identifier is the lowercase hex SHA-1 of "<domain>-<relative path>"; identifiers
// read from a manifest become file names in a backup folder, so every reader accepts only
// 40 lowercase hex digits (isValidFileID) and skips other rows with a log line.
//
// Readers are free functions callable from any thread; they never write into the backup
// folder (a decrypted Manifest.db goes to a work copy in the temporary folder, removed once
// read). Every failure gives nullopt and a log line.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <optional>

class Keybag;

// One file of a manifest (the design's manifest file entry).
struct ManifestEntry
{
    QString hash;          // the file identifier
    QString location;      // where the file lies inside the backup folder
    QStringList paths;     // the relative path first (Manifest.mbdb: also the link target)
    QString domain;
    // Manifest.db: the archived file record (protectionclass 99); Manifest.mbdb: the wrapped
    // file key without its 4-byte class prefix. Empty when there is none.
    QByteArray perfilekey;
    int protectionclass = 0;
    int mode = -1;         // Manifest.mbdb only; -1 when absent
    bool normalfile = true;
    QByteArray blob;       // Manifest.mbdb record bytes, when asked for
    QByteArray thingblob;  // the 2 index bytes after the offset, when asked for

    QString path() const { return paths.value(0); }
    // The dictionary form ("hash", "location", "paths", ...), as sessions keep it.
    QVariantMap toVariant() const;
    static ManifestEntry fromVariant(const QVariantMap &map);
};

using ManifestFiles = QHash<QString, ManifestEntry>;

struct Manifest
{
    ManifestFiles files;
    // The kept headers of an older manifest ("__mbdbheader", "__mbdxheader"); empty otherwise.
    QByteArray mbdbHeader;
    QByteArray mbdxHeader;
};

namespace BackupManifest {

// Bounds of the older manifest: records walked, and the largest files read.
inline constexpr int kMaxRecords = 1'000'000;
inline constexpr qint64 kMaxManifestBytes = qint64(1) << 30;
// Length of the kept headers and of one index record.
inline constexpr int kMbdbHeaderLength = 6;
inline constexpr int kMbdxHeaderLength = 10;
inline constexpr int kMbdxKeptHeaderLength = 8;
inline constexpr int kMbdxRecordLength = 26;

// Exactly 40 lowercase hex digits.
bool isValidFileID(const QString &fileID);
// <first two digits>/<fileID>: where a Manifest.db backup keeps the file.
QString locationForFileID(const QString &fileID);

// YES when "Manifest.mbdb" or "Manifest.db" exists in `folder`.
bool checkManifestAtPath(const QString &folder);
// "IsEncrypted" of the folder's Manifest.plist (NO when unreadable).
bool checkManifestIsEncrypted(const QString &folder);
// A backup's small property list (Info, Status, Manifest.plist): kilobytes on real devices, a
// few MiB at most, so a larger one (or a link, or no regular file) is refused before it is
// parsed, since parsing costs several times its size.
std::optional<QVariant> readSmallBackupPlist(const QString &path);

// The manifest of the backup in `folder`. With `getBlobs` a failed read is tried again up to
// three more times, a short pause apart, the last try keeping what a damaged record file
// yielded; without, one try that keeps it.
std::optional<Manifest> readManifestAtPath(const QString &folder, bool getBlobs,
                                           const std::shared_ptr<Keybag> &keybag);
// One try. `fatal`: a damaged record file gives nullopt instead of the entries read so far.
std::optional<Manifest> doReadManifestAtPath(const QString &folder, bool getBlobs, bool fatal,
                                             const std::shared_ptr<Keybag> &keybag);
// The older form from its bytes (an empty `mbdx` means none: the records alone are walked).
std::optional<Manifest> parseMbdb(const QByteArray &mbdb, const QByteArray &mbdx, bool getBlobs,
                                  bool fatal);

// Manifest versions ("9.1", "10.0", "10.10") compared component by component as numbers:
// negative, 0 or positive. A missing or non-numeric component counts as 0.
int compareVersions(const QString &a, const QString &b);

} // namespace BackupManifest
