#include "backup/BackupKnockout.h"

#include "backup/BackupManifest.h"
#include "backup/BackupSessionState.h"
#include "backup/Keybag.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sqlite3.h>

namespace BackupKnockout {

namespace {

const QString kFiles = QStringLiteral("Files");
const QString kKnockouts = QStringLiteral("knockouts");
const QString kMbdbHeader = QStringLiteral("__mbdbheader");
const QString kMbdxHeader = QStringLiteral("__mbdxheader");

bool writeWhole(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        VarnekLog("couldn't write %s", qUtf8Printable(path));
        return false;
    }
    return true;
}

// An empty file at `path` unless one is there already.
void placeholder(const QString &path)
{
    if (QFileInfo::exists(path))
        return;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        VarnekLog("couldn't create %s", qUtf8Printable(path));
}

void appendBE(QByteArray *out, quint32 value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out->append(char((value >> (8 * i)) & 0xff));
}

struct Database
{
    sqlite3 *db = nullptr;
    ~Database() { sqlite3_close(db); }
};

bool exec(sqlite3 *db, const char *sql, const char *step)
{
    char *message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        VarnekLog("sqlite3_exec: knockout %s Error %d %s", step, rc, message ? message : "");
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool knockOutOfDatabase(const QString &path, const QStringList &knockouts, const QString &folder)
{
    Database database;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &database.db, SQLITE_OPEN_READWRITE, nullptr)
        != SQLITE_OK) {
        VarnekLog("Error opening knockout database: %s", database.db ? sqlite3_errmsg(database.db) : "");
        return false;
    }
    // A work copy the next session writes afresh: nothing is gained by waiting for the disk.
    exec(database.db, "PRAGMA synchronous=OFF", "PRAGMA");
    if (!exec(database.db, "BEGIN", "BEGIN"))
        return false;
    sqlite3_stmt *remove = nullptr;
    int rc = sqlite3_prepare_v2(database.db, "delete from Files where fileID=?;", -1, &remove, nullptr);
    if (rc != SQLITE_OK) {
        VarnekLog("Error preparing knockout query: (%d) %s", rc, sqlite3_errmsg(database.db));
        exec(database.db, "ROLLBACK", "ROLLBACK");
        return false;
    }
    for (const QString &id : knockouts) {
        const QByteArray utf8 = id.toUtf8();
        sqlite3_bind_text(remove, 1, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        sqlite3_step(remove);
        sqlite3_reset(remove);
    }
    sqlite3_finalize(remove);
    if (!exec(database.db, "COMMIT", "COMMIT"))
        return false;
    VarnekLog("COMMIT for %lld items for v10", static_cast<long long>(knockouts.size()));

    sqlite3_stmt *query = nullptr;
    rc = sqlite3_prepare_v2(database.db, "select fileID from Files where flags = 1 AND file IS NOT NULL;", -1,
                            &query, nullptr);
    if (rc != SQLITE_OK) {
        VarnekLog("Error preparing for manifest query: (%d) %s", rc, sqlite3_errmsg(database.db));
        return false;
    }
    QSet<QString> madeFolders;
    while (sqlite3_step(query) == SQLITE_ROW) {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(query, 0));
        const QString id = text ? QString::fromUtf8(text, sqlite3_column_bytes(query, 0)) : QString();
        if (!BackupManifest::isValidFileID(id))
            continue;
        const QString sub = folder + QLatin1Char('/') + id.left(2);
        if (!madeFolders.contains(sub)) {
            QDir().mkpath(sub);
            madeFolders.insert(sub);
        }
        placeholder(sub + QLatin1Char('/') + id);
    }
    sqlite3_finalize(query);
    return true;
}

} // namespace

QVariantMap getManifestForFileData(const QVariantList &records, bool useAllFiles)
{
    const QVariantMap base = gManifestDict.value_or(QVariantMap());
    QVariantMap files = useAllFiles ? base.value(kFiles).toMap() : QVariantMap();
    for (auto it = files.begin(); it != files.end();) {
        if (it.value().toMap().value(QStringLiteral("domain")).toString().isEmpty()) {
            VarnekLog("removing invalid entry for %s", qUtf8Printable(it.key()));
            it = files.erase(it);
        } else {
            ++it;
        }
    }
    QStringList knockouts;
    for (const QVariant &record : records) {
        const QString path = record.toMap().value(QStringLiteral("Path")).toString();
        const QString id = gFileKeys.value(path).toString();
        if (id.isEmpty()) {
            VarnekLog("oops we don't know the code for %s", qUtf8Printable(path));
            continue;
        }
        if (files.remove(id) > 0)
            knockouts << id;
        else
            VarnekLog("oops %s was not in the files dict", qUtf8Printable(path));
    }
    QVariantMap result{{kFiles, files}, {kKnockouts, knockouts}};
    for (const QString &header : {kMbdbHeader, kMbdxHeader}) {
        if (base.contains(header))
            result.insert(header, base.value(header));
    }
    return result;
}

bool writeMbdbAndMbdx(const QVariantMap &files, const QByteArray &mbdbHeader, const QByteArray &mbdxHeader,
                      QByteArray *mbdb, QByteArray *mbdx)
{
    *mbdb = mbdbHeader;
    QByteArray index;
    quint32 count = 0;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const ManifestEntry entry = ManifestEntry::fromVariant(it.value().toMap());
        if (!BackupManifest::isValidFileID(it.key()) || entry.hash != it.key()) {
            VarnekLog("what? refusing a manifest entry with an invalid id");
            return false;
        }
        if (entry.blob.isEmpty())
            return false;
        const qint64 offset = qint64(mbdb->size()) - mbdbHeader.size();
        if (offset + entry.blob.size() > qint64(0xFFFFFFFE))
            return false;
        index += QByteArray::fromHex(entry.hash.toLatin1());
        appendBE(&index, quint32(offset), 4);
        if (entry.thingblob.size() == 2)
            index += entry.thingblob;
        else
            appendBE(&index, quint32(qMax(entry.mode, 0)), 2);
        *mbdb += entry.blob;
        ++count;
    }
    *mbdx = mbdxHeader.left(6);
    appendBE(mbdx, count, 4);
    *mbdx += index;
    return true;
}

bool prepareBackupDirectoryWithOldManifest(const QVariantMap &oldManifest, const QVariantMap &newData,
                                           const std::shared_ptr<Keybag> &keybag, const QString &folder)
{
    VarnekLog("prepareBackupDirectoryWithOldManifest starting");
    QElapsedTimer timer;
    timer.start();
    QDir().mkpath(folder);
    const QVariantMap files = newData.value(kFiles).toMap();
    // A knocked-out file must leave its place empty: an empty placeholder an earlier session
    // put there (a piece that was not wanted then) tells the device the host has the file.
    for (const QString &id : newData.value(kKnockouts).toStringList()) {
        if (!BackupManifest::isValidFileID(id))
            continue;
        QFile::remove(folder + QLatin1Char('/') + id.left(2) + QLatin1Char('/') + id);
        QFile::remove(folder + QLatin1Char('/') + id);
    }

    if (oldManifest.contains(QStringLiteral("manifestdb"))) {
        VarnekLog("prepareBackupDirectoryWithOldManifestf for v10");
        const QString manifestPath = folder + QStringLiteral("/Manifest.db");
        if (!writeWhole(manifestPath, oldManifest.value(QStringLiteral("manifestdb")).toByteArray()))
            return false;
        const bool encrypted = keybag && keybag->hasManKey();
        QString workPath = manifestPath;
        if (encrypted) {
            workPath = getTempDir() + QString::asprintf("%f.db", double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
            if (!keybag->decryptFile(manifestPath, workPath, {}, 0)) {
                VarnekLog("Error unblooping flirtelybob for sync");
                return false;
            }
        }
        const bool knocked = knockOutOfDatabase(workPath, newData.value(kKnockouts).toStringList(), folder);
        bool ok = knocked;
        if (encrypted) {
            if (knocked && !keybag->encryptFile(workPath, manifestPath, {}, 0)) {
                VarnekLog("Error reblooping flirtelybob for sync");
                ok = false;
            }
            QFile::remove(workPath);
        }
        if (!ok)
            return false;
    } else if (!newData.contains(kMbdbHeader)) {
        VarnekLog("starting from scratch");
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        return true;
    } else {
        QByteArray mbdb, mbdx;
        if (!writeMbdbAndMbdx(files, newData.value(kMbdbHeader).toByteArray(),
                              newData.value(kMbdxHeader).toByteArray(), &mbdb, &mbdx)
            || !writeWhole(folder + QStringLiteral("/Manifest.mbdb"), mbdb)
            || !writeWhole(folder + QStringLiteral("/Manifest.mbdx"), mbdx))
            return false;
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QVariantMap entry = it.value().toMap();
            const QString path = folder + QLatin1Char('/') + it.key();
            if (entry.contains(QStringLiteral("newFileData")))
                writeWhole(path, entry.value(QStringLiteral("newFileData")).toByteArray());
            else if ((entry.value(QStringLiteral("mode")).toInt() & 0xA000) == 0x8000)
                placeholder(path);
        }
    }

    for (const auto &[key, name] : {std::pair{QStringLiteral("manifestplist"), QStringLiteral("Manifest.plist")},
                                    std::pair{QStringLiteral("statusplist"), QStringLiteral("Status.plist")}}) {
        if (oldManifest.contains(key) && !writeWhole(folder + QLatin1Char('/') + name, oldManifest.value(key).toByteArray()))
            return false;
    }
    VarnekLog("prepareBackupDirectoryWithOldManifest done, took %f seconds for %lld files",
              double(timer.elapsed()) / 1000.0, static_cast<long long>(files.size()));
    return true;
}

} // namespace BackupKnockout
