#include "archive/QNArchive.h"

#include "archive/ArchiveDB.h"
#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSql.h"
#include "device/AppController.h"
#include "platform/NotificationCenter.h"
#include "shell/DataLocks.h"

#include "platform/Paths.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <sqlite3.h>

#include <algorithm>
#include <optional>

namespace {

struct Database
{
    sqlite3 *handle = nullptr;
    ~Database() { sqlite3_close(handle); }
};

// The first column of the first row, or nothing.
std::optional<QString> singleText(sqlite3 *db, const char *sql, bool *prepared = nullptr)
{
    sqlite3_stmt *statement = nullptr;
    const bool ok = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK;
    if (prepared)
        *prepared = ok;
    std::optional<QString> result;
    if (ok && sqlite3_step(statement) == SQLITE_ROW) {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
        result = text ? QString::fromUtf8(text) : QString();
    }
    sqlite3_finalize(statement);
    return result;
}

QString tr(const char *text) { return QCoreApplication::translate("QNArchive", text); }

// The shared handle of an archive that exists; never creates a database (a key whose file
// went, say by a detach, must not come back as an empty archive).
ArchiveDBPtr existingHandle(const QString &key, int *error)
{
    AppController *controller = gSharedAppController.load();
    if (!controller || key.isEmpty() || !controller->hasBackupTable(key)) {
        *error = SQLITE_CANTOPEN;
        return nullptr;
    }
    return controller->getBackupDB(key, error);
}

} // namespace

QString QNArchive::uuid() const
{
    std::lock_guard lock(mFieldsLock);
    return mUuid;
}

void QNArchive::setUuid(const QString &uuid)
{
    std::lock_guard lock(mFieldsLock);
    mUuid = uuid;
}

QString QNArchive::displayname() const
{
    std::lock_guard lock(mFieldsLock);
    return mDisplayname;
}

void QNArchive::setDisplaynameField(const QString &name)
{
    std::lock_guard lock(mFieldsLock);
    mDisplayname = name;
}

bool QNArchive::setArchiveThis(bool archiveThis)
{
    std::lock_guard local(localLock);
    int error = 0;
    const ArchiveDBPtr db = existingHandle(uuid(), &error);
    if (!db) {
        VarnekLog("Error opening backup to get name: (%d) %s", error, "");
        return false;
    }
    sqlite3 *handle = db->handle();
    int rc = ArchiveSql::exec(handle, "DELETE FROM props WHERE key='archive';");
    if (rc != SQLITE_OK) {
        VarnekLog("Error removing archive prop to backup table: (%d) %s", rc, sqlite3_errmsg(handle));
        return false;
    }
    rc = ArchiveSql::exec(handle, archiveThis ? "INSERT INTO props (key, value) VALUES('archive', 'YES')"
                                              : "INSERT INTO props (key, value) VALUES('archive', 'NO')");
    if (rc != SQLITE_OK) {
        VarnekLog("Error adding archive prop to backup table: (%d) %s", rc, sqlite3_errmsg(handle));
        return false;
    }
    mArchiveThis.store(archiveThis);
    return true;
}

bool QNArchive::setDisplayname(const QString &name)
{
    if (name.isNull() || name.trimmed().isEmpty())
        return false;
    {
        std::lock_guard local(localLock);
        int error = 0;
        const ArchiveDBPtr db = existingHandle(uuid(), &error);
        if (!db) {
            VarnekLog("Error opening backup to get name: (%d) %s", error, "");
            return false;
        }
        SqlStatement update(db->handle(), "UPDATE props SET value=? WHERE key='phonename'");
        update.bind(1, name);
        const int rc = update.ok() ? update.step() : update.rc();
        if (rc != SQLITE_DONE) {
            VarnekLog("Error updating props in backup table: (%d) %s", rc, sqlite3_errmsg(db->handle()));
            return false;
        }
    }
    mUpdated.store(kUpdatedRenamed);
    setDisplaynameField(name);
    NotificationCenter::defaultCenter().postNotificationName(NotificationNames::QNArchiveEdited, this);
    return true;
}

void QNArchive::updateCounts()
{
    std::lock_guard local(localLock);
    int error = 0;
    const ArchiveDBPtr db = existingHandle(uuid(), &error);
    if (!db) {
        VarnekLog("Error opening backup to get counts: (%d) %s", error, "");
        return;
    }
    if (auto n = singleText(db->handle(), "SELECT COUNT(*) FROM message"))
        mNumMessages.store(n->toInt());
    if (auto n = singleText(db->handle(), "SELECT COUNT(*) FROM voicemail"))
        mNumVoicemails.store(n->toInt());
    if (auto n = singleText(db->handle(), "SELECT COUNT(*) FROM call"))
        mNumCalls.store(n->toInt());
}

QString QNArchive::archiveLocation()
{
    return archiveFolderPath();
}

std::shared_ptr<QNArchive>
QNArchive::initWithUuid(const QString &uuid, const QList<std::shared_ptr<QNArchive>> &otherDevices,
                        const QString &folder)
{
    auto archive = std::make_shared<QNArchive>();
    archive->mUuid = uuid;
    archive->mArchiveThis.store(true);

    const QString file = QDir(folder).filePath(uuid + QStringLiteral(".db"));
    if (!QFileInfo(file).isFile()) {
        // A pipe or device node named like an archive would hold the open.
        VarnekLog("Error opening backup to get name: (%d) %s", SQLITE_CANTOPEN, "not a regular file");
        return nullptr;
    }
    Database db;
    const QByteArray path = QFile::encodeName(file);
    // Opened for writing where it may be: a hot journal left by a killed writer is rolled
    // back here, where a read-only connection could not read the archive at all. A file we
    // may not write is read as it is.
    int rc = sqlite3_open_v2(path.constData(), &db.handle, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db.handle);
        db.handle = nullptr;
        rc = sqlite3_open_v2(path.constData(), &db.handle, SQLITE_OPEN_READONLY, nullptr);
    }
    if (rc != SQLITE_OK) {
        VarnekLog("Error opening backup to get name: (%d) %s", rc,
                  db.handle ? sqlite3_errmsg(db.handle) : "");
        return nullptr;
    }
    // Another connection writing (an extraction, a merge) holds the file for a while; the
    // list waits as the writers wait for each other.
    sqlite3_busy_timeout(db.handle, kArchiveBusyTimeoutMs);
    bool prepared = false;
    const auto name = singleText(db.handle, "SELECT value FROM props WHERE key='phonename'", &prepared);
    if (!prepared)
        return nullptr;
    if (name) {
        const QString shown = name->isEmpty() ? tr("Untitled") : *name;
        archive->mDisplayname = createUniqueNameForPhone(shown, uuid, otherDevices, folder);
    }
    if (singleText(db.handle, "SELECT value FROM props WHERE key='archive'").value_or(QString())
        == QLatin1String("NO"))
        archive->mArchiveThis.store(false);

    if (auto n = singleText(db.handle, "SELECT COUNT(*) FROM message"))
        archive->mNumMessages.store(n->toInt());
    if (auto n = singleText(db.handle, "SELECT COUNT(*) FROM voicemail"))
        archive->mNumVoicemails.store(n->toInt());
    if (auto n = singleText(db.handle, "SELECT COUNT(*) FROM call"))
        archive->mNumCalls.store(n->toInt());
    VarnekLog("LOAD: initWithUuid for %s (%s) messages:%d calls:%d",
              qUtf8Printable(archive->mDisplayname), qUtf8Printable(uuid), archive->numMessages(),
              archive->numCalls());
    return archive;
}

QString QNArchive::createUniqueNameForPhone(const QString &name, const QString &uuid,
                                            const QList<std::shared_ptr<QNArchive>> &otherDevices,
                                            const QString &folder)
{
    QString suffix;
    QString number;
    QString candidate;
    for (int attempt = 0; attempt < 10000; ++attempt) {
        candidate = name + suffix + number;
        const bool clash = std::any_of(otherDevices.begin(), otherDevices.end(),
                                       [&](const auto &other) {
                                           return other && other->displayname() == candidate;
                                       });
        if (!clash)
            break;
        if (suffix.isEmpty()) {
            const QFileInfo info(QDir(folder).filePath(uuid + QStringLiteral(".db")));
            const QDateTime created = info.birthTime().isValid() ? info.birthTime()
                                                                 : info.lastModified();
            suffix = info.exists()
                ? tr(" (Created %1)").arg(QLocale().toString(created.date(), QLocale::ShortFormat))
                : QStringLiteral(" ");
        } else {
            number = QStringLiteral(" %1").arg(attempt + 2); // the next attempt's n + 1
        }
    }
    return candidate;
}

bool QNArchive::comparePhoneNames(const QNArchive &other) const
{
    return displayname().compare(other.displayname(), Qt::CaseInsensitive) < 0;
}

QList<std::shared_ptr<QNArchive>> QNArchive::getAllDevices()
{
    return getAllDevices(archiveLocation());
}

QList<std::shared_ptr<QNArchive>> QNArchive::getAllDevices(const QString &folder)
{
    QList<std::shared_ptr<QNArchive>> archives;
    const QDir dir(folder);
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString &name : names) {
        const QFileInfo info(name);
        if (info.suffix() != QLatin1String("db"))
            continue;
        if (auto archive = initWithUuid(info.completeBaseName(), archives, folder))
            archives.append(archive);
    }
    std::stable_sort(archives.begin(), archives.end(),
                     [](const auto &a, const auto &b) { return a->comparePhoneNames(*b); });
    return archives;
}
