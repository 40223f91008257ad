#pragma once
// Test-only maker of device backup folders in the on-disk layout: Info.plist, Status.plist,
// Manifest.plist (with keybag and manifest key when encrypted), Manifest.db, and each file
// under the SHA-1 of "domain-relativePath" in a folder named by its first two hex digits.
// Encrypted backups use small iteration counts so tests stay fast; the benchmarks ask for
// the real ones. The cryptography here calls OpenSSL directly, not Quillon's own code, so
// the reader under test is checked against an independent writer.

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

namespace BackupGen {

QByteArray be32(quint32 value);
QByteArray le32(quint32 value);
QByteArray tlv(const char *tag, const QByteArray &value);
QByteArray randomBytes(int count);

struct KeybagRecipe
{
    QString password = QStringLiteral("secret");
    quint32 iterations = 10;          // "ITER" of the HMAC-SHA1 round
    bool twoRound = true;             // write "DPSL"/"DPIC" (HMAC-SHA256 round first)
    quint32 sha256Iterations = 10;    // "DPIC"
    QList<quint32> classes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    QList<quint32> unwrappedClasses;  // classes written without the password-wrap bit
};

struct Keybag
{
    QByteArray blob;
    QByteArray passwordKey;             // the 32-byte derived key
    QHash<quint32, QByteArray> classKeys;
};

// Derives the password key the way the reader must (SHA-256 round, then SHA-1 round).
QByteArray derivePasswordKey(const QString &password, const QByteArray &salt, quint32 iterations,
                             bool twoRound, const QByteArray &dpsl, quint32 dpic);
Keybag makeKeybag(const KeybagRecipe &recipe);

// RFC 3394 wrap with OpenSSL; AES-CBC with a zero or given IV and PKCS#7 padding.
QByteArray wrapKey(const QByteArray &key, const QByteArray &kek);
QByteArray aesCbcEncrypt(const QByteArray &key, const QByteArray &plain, const QByteArray &iv = {});

// The lowercase hex SHA-1 of "domain-relativePath".
QString fileID(const QString &domain, const QString &relativePath);
// A manifest file record: a keyed archive of class MBFile.
QByteArray mbFileRecord(quint32 protectionClass, const QByteArray &encryptionKeyWithClass,
                        const QString &relativePath, qint64 size);

struct File
{
    QString domain;
    QString relativePath;
    QByteArray contents;
    quint32 protectionClass = 3;
};

// The manifest form a backup is written with: the SQLite "Manifest.db" of newer backups, or
// the older record file "Manifest.mbdb" with (or, as later devices wrote it, without) its
// index "Manifest.mbdx". The older forms keep each file flat under its identifier.
enum class ManifestForm { Db, Mbdb, MbdbWithIndex };

struct Recipe
{
    QString deviceName = QStringLiteral("Test iPhone");
    QString displayName = QStringLiteral("Test iPhone");
    QString productType = QStringLiteral("iPhone10,3");
    QString targetID = QStringLiteral("00008030-001A2B3C4D5E6F70");
    QString phoneNumber = QStringLiteral("+1 555 0100");
    QDateTime backupDate = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
    bool writeInfo = true;
    bool writeManifestDb = true;
    bool encrypted = false;
    KeybagRecipe keybag;
    bool manifestKey = true;          // encrypt Manifest.db with a "ManifestKey"
    quint32 manifestKeyClass = 4;
    bool encryptedRecords = false;    // Base64 + AES-128 records with a 'salt' property
    ManifestForm manifestForm = ManifestForm::Db;
    QString manifestVersion = QStringLiteral("10.0");
    QList<File> files;
};

struct Backup
{
    QString path;
    Keybag keybag;
    QByteArray recordSalt;
    QByteArray manifestDbPlain;                  // the Manifest.db before encryption
    QHash<QString, QByteArray> wrappedKeys;      // fileID -> 40-byte wrapped file key
    QHash<QString, QByteArray> records;          // fileID -> Files.file blob as stored
    QString pathOf(const QString &fileID) const { return path + "/" + fileID.left(2) + "/" + fileID; }
};

// Whole-file helpers for tests (qFatal on an I/O error; readFile gives empty when missing).
QByteArray readFile(const QString &path);
void writeFileAt(const QString &path, const QByteArray &contents);

// Writes the backup into `folder` (made if missing). Aborts (qFatal) on an I/O error.
Backup write(const QString &folder, const Recipe &recipe);

// One record of a "Manifest.mbdb" (strings as given; an empty one is written as 0xFFFF).
QByteArray mbdbRecord(const QByteArray &domain, const QByteArray &path, const QByteArray &encryptionKey,
                      quint16 mode, quint8 protectionClass, qint64 size,
                      const QList<QPair<QByteArray, QByteArray>> &properties = {});
// The header of "Manifest.mbdb" and of "Manifest.mbdx" (with `count` records).
QByteArray mbdbHeader();
QByteArray mbdxHeader(quint32 count);
// One index record: the raw 20-byte identifier, the record's offset after the 6-byte
// header, and the mode.
QByteArray mbdxRecord(const QString &fileID, quint32 offset, quint16 mode);

// An older backup's ".mdinfo" file for a device file: a binary property list whose
// "Metadata" holds the file's own property list ("Path", "Domain", ...), padded so that the
// path lies where readers search for it.
QByteArray mdinfoFile(const QString &domain, const QString &relativePath);

// A database in WAL mode whose rows (made by `sql`) still sit in its "-wal" file: the main
// file and the WAL as a reader of the backup finds them.
struct WalDatabase
{
    QByteArray database;
    QByteArray wal;
};
WalDatabase walDatabase(const char *sql);

} // namespace BackupGen
