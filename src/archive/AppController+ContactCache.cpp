// Contact names copied from one database's name caches to another's, and into the archive's
// contacts table, so an archive keeps the names its calls and messages were shown with.

#include "device/AppController.h"

#include "archive/ArchiveSql.h"
#include "personal/FRAddressExtras.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QFileInfo>

namespace {

constexpr int kBeginFailed = -1234;
constexpr int kCommitFailed = -4321;

struct Contact
{
    QString id;
    QString name;
    QByteArray image;
};

} // namespace

int AppController::addContacts(const QVariantMap &contacts, const QString &fromDB, const QString &toDB, bool update)
{
    QList<Contact> recorded;
    {
        std::lock_guard cache(gGlobalCacheLock);
        for (auto it = contacts.begin(); it != contacts.end(); ++it) {
            const QString &key = it.key();
            const int status = gTempImages.value(fromDB).value(key, 0);
            const QString name = gPhones.value(fromDB).value(key);
            if (name.isEmpty() || status == 0)
                continue;
            if (!update && !gPhones.value(toDB).value(key).isEmpty() && gTempImages.value(toDB).value(key, 0) > 0)
                continue;
            const QByteArray image = status >= 2 ? gImages.value(fromDB).value(key) : QByteArray();
            recorded.append({it.value().toString(), name, image});
            const auto entries = gEntries.value(fromDB);
            const auto images = gImages.value(fromDB);
            FRAddressExtras::addName(name, entries.contains(key) ? std::optional<QString>(entries.value(key)) : std::nullopt,
                                     images.contains(key) ? std::optional<QByteArray>(images.value(key)) : std::nullopt,
                                     status, key, toDB);
        }
    }
    if (recorded.isEmpty() || !QFileInfo::exists(getBackupFilePath(toDB)) || !shouldArchive(toDB))
        return 0;

    std::lock_guard local(localLock);
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(toDB, &error);
    if (!db)
        return error;
    sqlite3 *handle = db->handle();
    SqlStatement check(handle, "SELECT id FROM contacts WHERE id=? LIMIT 1");
    SqlStatement withImage(handle, "UPDATE contacts SET name=?, image=? where id=?");
    SqlStatement nameOnly(handle, "UPDATE contacts SET name=? where id=?");
    SqlStatement insert(handle, "INSERT INTO contacts (id, name, image) VALUES (?, ?, ?)");
    const std::pair<SqlStatement *, const char *> statements[] = {
        {&check, "sqlite3_exec: 2 Prepare check in contact cache Error %d %s"},
        {&withImage, "sqlite3_exec: 2 Prepare update contact cache Error %d %s"},
        {&nameOnly, "sqlite3_exec: 5 Prepare update contact cache Error %d %s"},
        {&insert, "sqlite3_exec: 2 Prepare Add to cache Error %d %s"}};
    for (const auto &[statement, failure] : statements) {
        if (!statement->ok()) {
            VarnekLog(failure, statement->rc(), sqlite3_errmsg(handle));
            return statement->rc();
        }
    }
    if (const int rc = ArchiveSql::exec(handle, "BEGIN"); rc != SQLITE_OK) {
        VarnekLog("sqlite3_exec: cache contacts BEGIN Error %d %s", rc, sqlite3_errmsg(handle));
        return kBeginFailed;
    }
    for (const Contact &contact : recorded) {
        check.reset();
        check.bind(1, contact.id);
        const bool present = check.step() == SQLITE_ROW;
        check.reset();
        SqlStatement *write = nullptr;
        const char *failure = nullptr;
        if (present && update) {
            if (!contact.image.isEmpty()) {
                write = &withImage;
                withImage.reset();
                withImage.bind(1, contact.name);
                withImage.bind(2, contact.image);
                withImage.bind(3, contact.id);
                failure = "sqlite3_step: 2 update contact cache Error %d %s";
            } else {
                write = &nameOnly;
                nameOnly.reset();
                nameOnly.bind(1, contact.name);
                nameOnly.bind(2, contact.id);
                failure = "sqlite3_step: 4 update contact cache Error %d %s";
            }
        } else if (!present) {
            write = &insert;
            insert.reset();
            insert.bind(1, contact.id);
            insert.bind(2, contact.name);
            insert.bind(3, contact.image);
            failure = "sqlite3_step: 2 Add item to contact cache Error %d %s";
        }
        if (!write)
            continue;
        const int rc = write->step();
        write->reset();
        if (rc != SQLITE_DONE) {
            VarnekLog(failure, rc, sqlite3_errmsg(handle));
            if (const int rollback = ArchiveSql::exec(handle, "ROLLBACK"); rollback != SQLITE_OK)
                VarnekLog("rollback in contact cache %d %s", rollback, sqlite3_errmsg(handle));
            return rc;
        }
    }
    if (const int rc = ArchiveSql::exec(handle, "COMMIT"); rc != SQLITE_OK) {
        VarnekLog("sqlite3_exec: contact cache COMMIT Error %d %s", rc, sqlite3_errmsg(handle));
        ArchiveSql::exec(handle, "ROLLBACK");
        return kCommitFailed;
    }
    return 0;
}
