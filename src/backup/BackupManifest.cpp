#include "backup/BackupManifest.h"

#include "backup/BackupCrypto.h"
#include "backup/Keybag.h"
#include "platform/RegularFile.h"
#include "device/DeviceTimings.h"
#include "platform/PropertyList.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace {

// A decrypted Manifest.db in the temporary folder: removed when the read is done, so no
// plain copy of the manifest outlives it.
struct WorkCopy
{
    QString path;
    ~WorkCopy()
    {
        if (!path.isEmpty())
            QFile::remove(path);
    }
};

QString newWorkCopyPath()
{
    const QString folder = getTempDir();
    if (folder.isEmpty())
        return {};
    double stamp = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    QString path;
    do {
        path = folder + QString::asprintf("%f.db", stamp);
        stamp += 0.000001;
    } while (QFileInfo::exists(path));
    return path;
}

struct Database
{
    sqlite3 *db = nullptr;
    ~Database() { sqlite3_close(db); }
};

struct Statement
{
    sqlite3_stmt *st = nullptr;
    ~Statement() { sqlite3_finalize(st); }
};

// Opened read-only and immutable: SQLite then writes nothing beside the file, not even a
// lock or a shared-memory file, which matters in a backup folder that is not ours.
bool openImmutable(const QString &path, Database *database)
{
    const QByteArray uri = QUrl::fromLocalFile(path).toEncoded() + "?immutable=1";
    const int rc = sqlite3_open_v2(uri.constData(), &database->db,
                                   SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        VarnekLog("Error opening manifest database: (%d) %s", rc,
                  database->db ? sqlite3_errmsg(database->db) : "out of memory");
        return false;
    }
    return true;
}

QString columnText(sqlite3_stmt *st, int column)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(st, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(st, column)) : QString();
}

QByteArray columnBlob(sqlite3_stmt *st, int column)
{
    const void *blob = sqlite3_column_blob(st, column);
    return blob ? QByteArray(static_cast<const char *>(blob), sqlite3_column_bytes(st, column)) : QByteArray();
}

std::optional<Manifest> readManifestDb(const QString &folder, const std::shared_ptr<Keybag> &keybag)
{
    QString dbPath = folder + QStringLiteral("/Manifest.db");
    WorkCopy workCopy;
    if (keybag && keybag->hasManKey()) {
        workCopy.path = newWorkCopyPath();
        if (workCopy.path.isEmpty() || !keybag->decryptFile(dbPath, workCopy.path, {}, 0)) {
            VarnekLog("Error unblooping flirtelybob");
            return std::nullopt;
        }
        dbPath = workCopy.path;
    }
    // SQLite would block opening a pipe, and read a device node without end.
    if (!QFileInfo(dbPath).isFile()) {
        VarnekLog("manifest database is no regular file");
        return std::nullopt;
    }
    Database database;
    if (!openImmutable(dbPath, &database))
        return std::nullopt;

    if (keybag) {
        Statement salt;
        if (sqlite3_prepare_v2(database.db, "SELECT value FROM Properties WHERE key = 'salt'", -1, &salt.st,
                               nullptr)
                == SQLITE_OK
            && sqlite3_step(salt.st) == SQLITE_ROW) {
            keybag->setSalt(columnBlob(salt.st, 0));
        }
    }

    Statement query;
    const int rc = sqlite3_prepare_v2(
        database.db, "select fileID, domain, relativePath, file from Files where flags = 1 AND file IS NOT NULL;",
        -1, &query.st, nullptr);
    if (rc != SQLITE_OK) {
        VarnekLog("Error preparing for manifest query: (%d) %s", rc, sqlite3_errmsg(database.db));
        return std::nullopt;
    }
    Manifest manifest;
    int skipped = 0;
    int step;
    while ((step = sqlite3_step(query.st)) == SQLITE_ROW) {
        ManifestEntry entry;
        entry.hash = columnText(query.st, 0);
        if (!BackupManifest::isValidFileID(entry.hash)) {
            ++skipped;
            continue;
        }
        entry.domain = columnText(query.st, 1);
        entry.paths = QStringList{columnText(query.st, 2)};
        entry.location = BackupManifest::locationForFileID(entry.hash);
        entry.perfilekey = columnBlob(query.st, 3);
        entry.protectionclass = Keybag::kRecordClass;
        entry.normalfile = true;
        const QString key = entry.hash;
        manifest.files.insert(key, std::move(entry));
    }
    if (step != SQLITE_DONE) {
        VarnekLog("Error reading manifest: (%d) %s", step, sqlite3_errmsg(database.db));
        return std::nullopt;
    }
    if (skipped)
        VarnekLog("skipped %d manifest rows with an invalid file id", skipped);
    return manifest;
}

quint32 be(const unsigned char *p, int bytes)
{
    quint32 value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | p[i];
    return value;
}

} // namespace

QVariantMap ManifestEntry::toVariant() const
{
    QVariantMap map{{QStringLiteral("hash"), hash},
                    {QStringLiteral("location"), location},
                    {QStringLiteral("paths"), paths},
                    {QStringLiteral("domain"), domain},
                    {QStringLiteral("protectionclass"), protectionclass},
                    {QStringLiteral("normalfile"), normalfile}};
    if (!perfilekey.isEmpty())
        map.insert(QStringLiteral("perfilekey"), perfilekey);
    if (mode >= 0)
        map.insert(QStringLiteral("mode"), mode);
    if (!blob.isEmpty())
        map.insert(QStringLiteral("blob"), blob);
    if (!thingblob.isEmpty())
        map.insert(QStringLiteral("thingblob"), thingblob);
    return map;
}

ManifestEntry ManifestEntry::fromVariant(const QVariantMap &map)
{
    ManifestEntry entry;
    entry.hash = map.value(QStringLiteral("hash")).toString();
    entry.location = map.value(QStringLiteral("location")).toString();
    entry.paths = map.value(QStringLiteral("paths")).toStringList();
    entry.domain = map.value(QStringLiteral("domain")).toString();
    entry.perfilekey = map.value(QStringLiteral("perfilekey")).toByteArray();
    entry.protectionclass = map.value(QStringLiteral("protectionclass")).toInt();
    entry.mode = map.contains(QStringLiteral("mode")) ? map.value(QStringLiteral("mode")).toInt() : -1;
    entry.normalfile = map.value(QStringLiteral("normalfile")).toBool();
    entry.blob = map.value(QStringLiteral("blob")).toByteArray();
    entry.thingblob = map.value(QStringLiteral("thingblob")).toByteArray();
    return entry;
}

namespace BackupManifest {

bool isValidFileID(const QString &fileID)
{
    if (fileID.size() != 40)
        return false;
    for (const QChar c : fileID) {
        const char16_t u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f')))
            return false;
    }
    return true;
}

QString locationForFileID(const QString &fileID)
{
    return fileID.left(2) + QLatin1Char('/') + fileID;
}

bool checkManifestAtPath(const QString &folder)
{
    return QFileInfo::exists(folder + QStringLiteral("/Manifest.mbdb"))
           || QFileInfo::exists(folder + QStringLiteral("/Manifest.db"));
}

std::optional<QVariant> readSmallBackupPlist(const QString &path)
{
    constexpr qint64 kMaxSmallPlistBytes = 16 << 20;
    const std::optional<QByteArray> bytes = RegularFile::readAll(path, kMaxSmallPlistBytes);
    return bytes ? PropertyList::fromData(*bytes) : std::nullopt;
}

bool checkManifestIsEncrypted(const QString &folder)
{
    const std::optional<QVariant> root = readSmallBackupPlist(folder + QStringLiteral("/Manifest.plist"));
    if (!root || root->metaType() != QMetaType::fromType<QVariantMap>())
        return false;
    return root->toMap().value(QStringLiteral("IsEncrypted")).toBool();
}

std::optional<Manifest> parseMbdb(const QByteArray &mbdb, const QByteArray &mbdx, bool getBlobs, bool fatal)
{
    if (mbdb.size() <= 5) {
        VarnekLog("Range check fail");
        return std::nullopt;
    }
    const bool indexed = !mbdx.isEmpty();
    if (indexed && mbdx.size() < kMbdxHeaderLength) {
        VarnekLog("mbdxend range check fail");
        return std::nullopt;
    }
    Manifest manifest;
    manifest.mbdbHeader = mbdb.left(kMbdbHeaderLength);
    if (indexed)
        manifest.mbdxHeader = mbdx.left(kMbdxKeptHeaderLength);

    const auto *base = reinterpret_cast<const unsigned char *>(mbdb.constData());
    const unsigned char *end = base + mbdb.size();
    const unsigned char *record = base + std::min<qsizetype>(kMbdbHeaderLength, mbdb.size());
    const auto *index = reinterpret_cast<const unsigned char *>(mbdx.constData());
    const unsigned char *indexEnd = index + mbdx.size();
    const unsigned char *p = index + (indexed ? kMbdxHeaderLength : 0);

    // One string field: 2-byte length, then that many bytes; 0xFFFF is empty with no bytes.
    auto readString = [&](const unsigned char *&at, QByteArray *out, const char *what) {
        if (end - at < 2) {
            VarnekLog("record+2 > mddbend finished (%s)", what);
            return false;
        }
        const quint32 length = be(at, 2);
        at += 2;
        if (length == 0xFFFF) {
            out->clear();
            return true;
        }
        if (end - at < qint64(length)) {
            VarnekLog("record+lenOfDomain > mddbend finished (%s)", what);
            return false;
        }
        *out = QByteArray(reinterpret_cast<const char *>(at), qsizetype(length));
        at += length;
        return true;
    };

    int count = 0;
    bool damaged = false;
    while (record < end) {
        if (count >= kMaxRecords) {
            VarnekLog("finished manifest loop at %d", count);
            break;
        }
        const unsigned char *start = record;
        const unsigned char *at = record;
        if (end - at < 2 || be(at, 2) > 255) {
            VarnekLog("record+lenOfDomain > mddbend || lenOfDomain>255 finished");
            damaged = true;
            break;
        }
        QByteArray domain, path, target, dataHash, key;
        if (!readString(at, &domain, "domain") || !readString(at, &path, "path")
            || !readString(at, &target, "target") || !readString(at, &dataHash, "hash")
            || !readString(at, &key, "key")) {
            damaged = true;
            break;
        }
        // mode 2, inode 8, user 4, group 4, three times 4 each, size 8, class 1, count 1.
        if (end - at < 40) {
            VarnekLog("record+1 > mddbend finished");
            damaged = true;
            break;
        }
        const int mode = int(be(at, 2));
        const int protectionClass = at[38];
        const int properties = at[39];
        at += 40;
        bool complete = true;
        for (int i = 0; i < properties && complete; ++i) {
            QByteArray name, value;
            complete = readString(at, &name, "property") && readString(at, &value, "value");
        }
        if (!complete) {
            VarnekLog("recordstart+(record-recordstart) > mddbend finish");
            damaged = true;
            break;
        }
        record = at;

        QByteArray thing;
        if (indexed) {
            if (indexEnd - p < 20) {
                VarnekLog("p+20 > mbdxend fail");
                return std::nullopt;
            }
            if (indexEnd - p < 24) {
                VarnekLog("p+4 > mbdxend fail");
                return std::nullopt;
            }
            if (indexEnd - p < kMbdxRecordLength) {
                VarnekLog("(p+2 > mbdxend fail");
                return std::nullopt;
            }
            thing = QByteArray(reinterpret_cast<const char *>(p + 24), 2);
            p += kMbdxRecordLength;
        }
        ++count;

        ManifestEntry entry;
        entry.domain = QString::fromUtf8(domain);
        for (const QByteArray &s : {path, target}) {
            if (!s.isEmpty())
                entry.paths << QString::fromUtf8(s);
        }
        if (entry.paths.isEmpty() || path.isEmpty() || entry.domain.isEmpty()) {
            VarnekLog("NOT [paths count] && sdomain");
            continue;
        }
        entry.hash = SHA1String(domain + '-' + path);
        entry.location = entry.hash;
        if (key.size() > 4)
            entry.perfilekey = key.mid(4);
        entry.protectionclass = protectionClass;
        entry.mode = mode;
        entry.normalfile = (mode & 0xA000) == 0x8000;
        if (getBlobs) {
            entry.blob = QByteArray(reinterpret_cast<const char *>(start), qsizetype(record - start));
            entry.thingblob = thing;
        }
        const QString id = entry.hash;
        manifest.files.insert(id, std::move(entry));
    }
    if (!damaged && record >= end)
        VarnekLog("Finished reading manifest after reading all %d records", count);
    if (damaged && fatal)
        return std::nullopt;
    return manifest;
}

std::optional<Manifest> doReadManifestAtPath(const QString &folder, bool getBlobs, bool fatal,
                                             const std::shared_ptr<Keybag> &keybag)
{
    if (QFileInfo::exists(folder + QStringLiteral("/Manifest.db")))
        return readManifestDb(folder, keybag);

    const std::optional<QByteArray> mbdb =
        RegularFile::readAll(folder + QStringLiteral("/Manifest.mbdb"), kMaxManifestBytes);
    if (!mbdb) {
        VarnekLog("!mddb");
        return std::nullopt;
    }
    // Backups made after the index was dropped have only the record file.
    QByteArray mbdx;
    const QString indexPath = folder + QStringLiteral("/Manifest.mbdx");
    if (QFileInfo::exists(indexPath)) {
        const std::optional<QByteArray> index = RegularFile::readAll(indexPath, kMaxManifestBytes);
        if (!index || index->size() < kMbdxHeaderLength) {
            VarnekLog("mbdxend range check fail");
            return std::nullopt;
        }
        mbdx = *index;
    }
    return parseMbdb(*mbdb, mbdx, getBlobs, fatal);
}

std::optional<Manifest> readManifestAtPath(const QString &folder, bool getBlobs,
                                           const std::shared_ptr<Keybag> &keybag)
{
    if (!getBlobs)
        return doReadManifestAtPath(folder, false, false, keybag);
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(deviceTimings().manifestRetryMs.load()));
        std::optional<Manifest> manifest = doReadManifestAtPath(folder, true, attempt < 3, keybag);
        if (manifest)
            return manifest;
    }
    return std::nullopt;
}

int compareVersions(const QString &a, const QString &b)
{
    const QStringList left = a.split(QLatin1Char('.')), right = b.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < std::max(left.size(), right.size()); ++i) {
        const qulonglong x = left.value(i).trimmed().toULongLong();
        const qulonglong y = right.value(i).trimmed().toULongLong();
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

} // namespace BackupManifest
