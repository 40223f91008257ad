// The archive databases: where each lies, the one shared handle per key, creation and
// upgrade on first open, closing, and the archive list that the window shows.

#include "device/AppController.h"

#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSchema.h"
#include "archive/ArchiveSql.h"
#include "archive/ArchiveThisSetting.h"
#include "archive/PieceNames.h"
#include "archive/QNArchive.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>

std::atomic<bool> gArchiveThisSetting{true};

namespace {

// A database file that an open created and that must not survive the failed open: an
// empty .db left behind would later be listed as an archive.
void removeCreatedFile(const QString &path)
{
    QFile::remove(path);
    QFile::remove(path + QStringLiteral("-journal"));
}

} // namespace

QString AppController::getBackupFilePath(const QString &key) const
{
    const QString resolved = key.isEmpty() ? connectedDeviceID() : key;
    // The key names a file in the archive folder; a device could report anything as its
    // identifier, so nothing that leads out of the folder is accepted.
    if (!PieceNames::isPlainName(resolved))
        return {};
    return QStringLiteral("%1/%2.db").arg(archiveFolderPath(), resolved);
}

bool AppController::hasBackupTable(const QString &key) const
{
    const QString path = getBackupFilePath(key);
    return !path.isEmpty() && QFileInfo::exists(path);
}

ArchiveDBPtr AppController::getBackupDB(const QString &key, int *error)
{
    const QString resolved = key.isEmpty() ? connectedDeviceID() : key;
    if (resolved.isEmpty())
        return nullptr;
    int ignored = 0;
    return mBackupDBs.get(
        resolved, [&](int *openError) { return openBackupTable(resolved, openError); },
        error ? error : &ignored);
}

ArchiveDBPtr AppController::openBackupTable(const QString &key, int *error)
{
    const QString path = getBackupFilePath(key);
    if (path.isEmpty()) {
        VarnekLog("Error creating backup db (no id %s)", qUtf8Printable(key));
        *error = ArchiveSchema::kNoKey;
        return nullptr;
    }
    const QFileInfo info(path);
    const bool existed = info.exists() || info.isSymLink();
    if (existed && !info.isFile()) {
        // A pipe, a device node or a folder in the archive's place: SQLite would wait on it
        // or fail half-way; nothing is opened.
        VarnekLog("Error processing backup db: (%d) %s", SQLITE_CANTOPEN, "not a regular file");
        *error = ArchiveSchema::kCannotOpen;
        return nullptr;
    }
    if (!existed)
        QDir().mkpath(archiveFolderPath());

    sqlite3 *handle = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &handle,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK || !handle) {
        VarnekLog("Error processing backup db: (%d) %s", rc, ArchiveSql::message(handle));
        sqlite3_close(handle);
        if (!existed)
            removeCreatedFile(path);
        *error = ArchiveSchema::kCannotOpen;
        return nullptr;
    }
    sqlite3_busy_timeout(handle, kArchiveBusyTimeoutMs);
    auto db = std::make_shared<ArchiveDB>(handle, key);

    const QString connected = connectedDeviceID();
    std::optional<QString> phoneName;
    if (!connected.isEmpty() && key == connected)
        phoneName = deviceName();
    ArchiveSchema::Outcome outcome;
    if (const int code = ArchiveSchema::createOrUpgrade(handle, phoneName, &outcome)) {
        db.reset(); // closes
        if (!existed)
            removeCreatedFile(path);
        *error = code;
        return nullptr;
    }
    if (outcome.seeded) {
        std::lock_guard lock(saveLock);
        mCreatedAMRDB.insert(key);
    }
    if (outcome.created) {
        if (!gArchiveThisSetting.load() && phoneName)
            ArchiveSql::exec(handle, "INSERT OR REPLACE INTO props (key, value) VALUES ('archive', 'NO');");
        // The archive list belongs to the main thread: it builds the new archive against its
        // own list. A cache database has no props and yields no archive.
        onMain([this, key] {
            const QString folder = archiveFolderPath();
            if (auto archive = QNArchive::initWithUuid(key, devices, folder)) {
                QList<std::shared_ptr<QNArchive>> list = devices;
                list.append(archive);
                setDevicesOnMain(list);
            }
        });
    }
    return db;
}

void AppController::closeBackupDBs()
{
    std::lock_guard local(localLock);
    // Each handle finalises its statements and closes once no thread holds it any more.
    mBackupDBs.takeAll();
}

bool AppController::closeBackupDB(const QString &key)
{
    std::lock_guard local(localLock);
    mBackupDBs.take(key);
    // Every archive user holds localLock while it works, so a handle left now is held by a
    // reader that does not (drawing) or was dropped from the cache while still in use; the
    // caller gives up rather than move a file under it.
    return ArchiveDB::openCount(key) == 0;
}

void AppController::setDevicesOnMain(const QList<std::shared_ptr<QNArchive>> &archives)
{
    QList<std::shared_ptr<QNArchive>> sorted = archives;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto &a, const auto &b) { return a->comparePhoneNames(*b); });
    devices = sorted;
    std::lock_guard lock(mDevicesCopyLock);
    mDevicesCopy = sorted;
}

QList<std::shared_ptr<QNArchive>> AppController::devicesCopy() const
{
    std::lock_guard lock(mDevicesCopyLock);
    return mDevicesCopy;
}

bool AppController::currentDeviceArchiveExists() const
{
    const QString uid = connectedDeviceID();
    if (uid.isEmpty())
        return false;
    const auto list = devicesCopy();
    return std::any_of(list.begin(), list.end(), [&](const auto &a) { return a->uuid() == uid; });
}

bool AppController::shouldArchive(const QString &deviceId) const
{
    for (const auto &archive : devicesCopy()) {
        if (archive->uuid() == deviceId)
            return archive->archiveThis();
    }
    return false;
}

bool AppController::createdAMRDB(const QString &key) const
{
    std::lock_guard lock(saveLock);
    return mCreatedAMRDB.contains(key);
}

void AppController::removeCreatedAMRDB(const QString &key)
{
    std::lock_guard lock(saveLock);
    mCreatedAMRDB.remove(key);
}
