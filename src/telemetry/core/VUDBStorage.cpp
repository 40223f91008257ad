#include "telemetry/core/VUDBStorage.h"

#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUUtility.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QUrl>

#include <sqlite3.h>

#include <mutex>

#include <sys/stat.h>

namespace {

QString errorMessage(sqlite3 *db)
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString();
}

int bindAll(sqlite3_stmt *statement, const QVariantList &bindings)
{
    for (int i = 0; i < bindings.size(); ++i) {
        const QVariant &value = bindings.at(i);
        int result = SQLITE_OK;
        switch (value.metaType().id()) {
        case QMetaType::UnknownType:
        case QMetaType::Nullptr:
            result = sqlite3_bind_null(statement, i + 1);
            break;
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Bool:
            result = sqlite3_bind_int64(statement, i + 1, value.toLongLong());
            break;
        case QMetaType::Double:
        case QMetaType::Float:
            result = sqlite3_bind_double(statement, i + 1, value.toDouble());
            break;
        case QMetaType::QByteArray: {
            // UTF-8 text already (a log's base64 archive): bound as it is, without a round trip
            // through UTF-16 for every row.
            const QByteArray text = value.toByteArray();
            result = sqlite3_bind_text(statement, i + 1, text.constData(), int(text.size()), SQLITE_TRANSIENT);
            break;
        }
        default: {
            const QByteArray text = value.toString().toUtf8();
            result = sqlite3_bind_text(statement, i + 1, text.constData(), int(text.size()), SQLITE_TRANSIENT);
            break;
        }
        }
        if (result != SQLITE_OK)
            return result;
    }
    return SQLITE_OK;
}

struct Closer
{
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};

// Whether the open file is damaged beyond use: not a database at all, or failing SQLite's
// quick check (a truncated file, say). A file that is merely busy or unreadable is not.
bool isDamaged(sqlite3 *db)
{
    int code = SQLITE_OK;
    const auto rows = VUDBStorage::executeSelectionQuery(QStringLiteral("PRAGMA quick_check(1)"), db, {}, &code);
    if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT)
        return true;
    return code == SQLITE_OK && (rows.isEmpty() || rows.first().value(0).toString() != QLatin1String("ok"));
}

// Renames a damaged file (and its journals, which must not be replayed into the new file)
// to "<name>.damaged-<time>"; the new name, or an empty string when it could not move.
QString moveAside(const QString &path)
{
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(aside) && n < 1000; ++n)
        aside = path + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    if (!QFile::rename(path, aside))
        return {};
    for (const QString suffix : {QStringLiteral("-journal"), QStringLiteral("-wal")}) {
        if (QFileInfo::exists(path + suffix))
            QFile::rename(path + suffix, aside + suffix);
    }
    QFile::remove(path + QStringLiteral("-shm"));
    return aside;
}

} // namespace

VUDBStorage::VUDBStorage(const VUDatabaseSchema &schema, unsigned version, const QString &filename)
    : mSchema(schema), mVersion(version), mFilename(filename)
{
}

VUDBStorage::~VUDBStorage()
{
    std::lock_guard guard(mConnectionLock);
    closeConnection();
}

void VUDBStorage::closeConnection()
{
    finalizeStatements();
    if (mDb)
        sqlite3_close(mDb);
    mDb = nullptr;
    mAppliedMaxPageCount = -1;
}

sqlite3 *VUDBStorage::connection(int *result)
{
    const QByteArray path = QFile::encodeName(mDbFileURL);
    struct stat now {};
    const bool present = !path.isEmpty() && ::stat(path.constData(), &now) == 0;
    if (mDb && (!present || quint64(now.st_dev) != mDbDevice || quint64(now.st_ino) != mDbInode))
        closeConnection(); // removed or replaced since the last operation
    if (!mDb) {
        mDb = openDatabaseAtFileURL(mDbFileURL, result);
        if (!mDb)
            return nullptr;
        useWriteAheadLog(mDb);
        struct stat opened {};
        const bool known = ::stat(path.constData(), &opened) == 0;
        mDbDevice = known ? quint64(opened.st_dev) : 0;
        mDbInode = known ? quint64(opened.st_ino) : 0;
    }
    if (result)
        *result = SQLITE_OK;
    return mDb;
}

void VUDBStorage::initializeDatabase()
{
    mDbFileURL = VUUtility::createFileAtPathComponent(mFilename, {}, false, false).value_or(QString());
    mMaxSizeInBytes = kDefaultMaxSizeInBytes;
    static std::once_flag uriOnce;
    std::call_once(uriOnce, [] { sqlite3_config(SQLITE_CONFIG_URI, 1); });

    int result = SQLITE_OK;
    std::unique_ptr<sqlite3, Closer> db(openDatabaseAtFileURL(mDbFileURL, &result));
    if (!db)
        return;
    if (isDamaged(db.get())) {
        // Left in place it would refuse every log of this launch; it is kept for a look.
        db.reset();
        const QString aside = moveAside(mDbFileURL);
        if (aside.isEmpty()) {
            VULogError(VULogTag(), "\"%s\" is damaged and could not be moved aside.", qUtf8Printable(mFilename));
        } else {
            VULogError(VULogTag(), "\"%s\" is damaged; kept as \"%s\", and a new database is started.",
                       qUtf8Printable(mFilename), qUtf8Printable(QFileInfo(aside).fileName()));
        }
        db.reset(openDatabaseAtFileURL(mDbFileURL, &result));
        if (!db)
            return;
    }
    bool ok = false;
    const qint64 pageSize = getPageSizeInOpenedDatabase(db.get(), &ok);
    mPageSize = ok ? pageSize : 0;

    const unsigned created = createTablesWithSchema(mSchema, db.get());
    const unsigned storedVersion = versionInOpenedDatabase(db.get());
    bool tablesReady = true;
    if (created == unsigned(mSchema.size())) {
        VULogInfo(VULogTag(), "Created \"%s\" database with %lu version.", qUtf8Printable(mFilename),
                  static_cast<unsigned long>(mVersion));
        customizeDatabase(db.get());
    } else if (created == 0 && [&] {
                   for (const auto &table : mSchema)
                       if (!tableExists(table.name, db.get()))
                           return true;
                   return false;
               }()) {
        // Creating a table failed: claim no version for tables that are not there.
        tablesReady = false;
    } else if (storedVersion < mVersion) {
        VULogInfo(VULogTag(), "Migrate \"%s\" database from %lu to %lu version.", qUtf8Printable(mFilename),
                  static_cast<unsigned long>(storedVersion), static_cast<unsigned long>(mVersion));
        if (!migrateDatabase(db.get(), storedVersion)) {
            VULogError(VULogTag(), "Migration of \"%s\" failed; it is tried again at the next start.",
                       qUtf8Printable(mFilename));
            tablesReady = false;
        }
    }
    enableAutoVacuumInOpenedDatabase(db.get());
    // A newer version written by a later release is kept, so that release still knows
    // what the file holds when it runs again.
    if (tablesReady && storedVersion <= mVersion)
        setVersion(mVersion, db.get());
    useWriteAheadLog(db.get());
}

void VUDBStorage::useWriteAheadLog(sqlite3 *db)
{
    // A commit appends to the write-ahead log and returns without waiting for the disk: a
    // program that dies keeps every committed row (the log is replayed at the next open);
    // only a power loss can take the last commits. Waiting for the disk at every log cost
    // more than everything else the road does with it.
    // The log is rewound after each checkpoint and kept to 1 MiB beside the size limit.
    sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA journal_size_limit = 1048576",
                 nullptr, nullptr, nullptr);
}

sqlite3 *VUDBStorage::openDatabaseAtFileURL(const QString &path, int *result)
{
    sqlite3 *db = nullptr;
    if (path.isEmpty()) {
        // An empty name would open a private temporary database and lose every log.
        if (result)
            *result = SQLITE_CANTOPEN;
        VULogError(VULogTag(), "Failed to open database with result: %d.", SQLITE_CANTOPEN);
        return nullptr;
    }
    const QByteArray uri = QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded).toUtf8();
    const int code = sqlite3_open_v2(uri.constData(), &db,
                                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
    if (result)
        *result = code;
    if (code != SQLITE_OK) {
        VULogError(VULogTag(), "Failed to open database with result: %d.", code);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

int VUDBStorage::executeQueryUsingBlock(const std::function<int(sqlite3 *)> &block)
{
    std::lock_guard guard(mConnectionLock);
    int result = SQLITE_OK;
    sqlite3 *db = connection(&result);
    if (!db)
        return result;
    qint64 pageSize = mPageSize.load();
    if (pageSize <= 0) {
        // The file could not be read at construction: learn the page size now.
        bool ok = false;
        pageSize = getPageSizeInOpenedDatabase(db, &ok);
        if (!ok || pageSize <= 0) {
            VULogError(VULogTag(), "Failed to open database with specified maximum size constraint.");
            return SQLITE_ERROR;
        }
        mPageSize = pageSize;
    }
    // The limit belongs to the connection: applied when it opens and when the size changes.
    const qint64 maxPageCount = mMaxSizeInBytes.load() / pageSize;
    if (maxPageCount != mAppliedMaxPageCount) {
        if (setMaxPageCount(maxPageCount, db) == SQLITE_OK)
            mAppliedMaxPageCount = maxPageCount;
        else
            VULogError(VULogTag(), "Failed to open database with specified maximum size constraint.");
    }
    const int code = block(db);
    // The connection stays; a transaction must not, or it would lock the file for others.
    if (!sqlite3_get_autocommit(db)) {
        VULogError(VULogTag(), "An operation left a transaction open; rolling it back.");
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return code;
}

int VUDBStorage::executeNonSelectionQuery(const QString &query, const QVariantList &bindings)
{
    return executeQueryUsingBlock([&](sqlite3 *db) { return executeNonSelectionQuery(query, db, bindings); });
}

QList<VUDatabaseRow> VUDBStorage::executeSelectionQuery(const QString &query, const QVariantList &bindings)
{
    QList<VUDatabaseRow> rows;
    executeQueryUsingBlock([&](sqlite3 *db) {
        rows = executeSelectionQuery(query, db, bindings);
        return SQLITE_OK;
    });
    return rows;
}

quint64 VUDBStorage::countEntriesForTable(const QString &table, const QString &condition,
                                          const QVariantList &bindings)
{
    QString query = QStringLiteral("SELECT COUNT(*) FROM \"%1\" ").arg(table);
    if (!condition.isEmpty())
        query += QStringLiteral("WHERE %1").arg(condition);
    const auto rows = executeSelectionQuery(query, bindings);
    if (rows.isEmpty() || rows.first().isEmpty())
        return 0;
    return rows.first().first().toULongLong();
}

void VUDBStorage::setMaxStorageSize(qint64 sizeInBytes, const std::function<void(bool)> &completionHandler)
{
    bool success = false;
    int openResult = SQLITE_OK;
    std::unique_ptr<sqlite3, Closer> db(openDatabaseAtFileURL(mDbFileURL, &openResult));
    qint64 pageSize = mPageSize.load();
    if (db && pageSize <= 0) {
        bool ok = false;
        pageSize = getPageSizeInOpenedDatabase(db.get(), &ok);
        if (ok && pageSize > 0)
            mPageSize = pageSize;
    }
    if (db && pageSize > 0) {
        const qint64 pageCount = getPageCountInOpenedDatabase(db.get());
        VULogDebug(VULogTag(), "Found %lld pages in the database.", static_cast<long long>(pageCount));
        const qint64 requestedPages = sizeInBytes / pageSize + (sizeInBytes % pageSize ? 1 : 0);
        if (requestedPages < pageCount) {
            VULogWarning(VULogTag(),
                         "Cannot change database size to %lld bytes as it would cause a loss of data. Maximum "
                         "database size will not be changed.",
                         static_cast<long long>(sizeInBytes));
        } else if (const int code = setMaxPageCount(requestedPages, db.get()); code != SQLITE_OK) {
            VULogError(VULogTag(), "Could not change maximum database size to %lld bytes. SQLite error code: %i",
                       static_cast<long long>(sizeInBytes), code);
        } else {
            const qint64 maxPages = getMaxPageCountInOpenedDatabase(db.get());
            const qint64 sizeInForce = maxPages * pageSize;
            if (maxPages == requestedPages) {
                if (sizeInForce == sizeInBytes)
                    VULogInfo(VULogTag(), "Changed maximum database size to %lld bytes.",
                              static_cast<long long>(sizeInBytes));
                else
                    VULogInfo(VULogTag(), "Changed maximum database size to %lld bytes (next multiple of 4KiB).",
                              static_cast<long long>(sizeInForce));
                mMaxSizeInBytes = sizeInForce;
                success = true;
            } else {
                VULogError(VULogTag(),
                           "Could not change maximum database size to %lld bytes, current maximum size is %lld "
                           "bytes.",
                           static_cast<long long>(sizeInBytes), static_cast<long long>(sizeInForce));
            }
        }
    }
    db.reset();
    // The caller waits for an answer even when the file could not be opened.
    if (completionHandler)
        completionHandler(success);
}

unsigned VUDBStorage::createTablesWithSchema(const VUDatabaseSchema &schema, sqlite3 *db)
{
    QStringList statements;
    for (const auto &table : schema) {
        if (tableExists(table.name, db))
            continue;
        QStringList columns;
        for (const auto &[column, words] : table.columns)
            columns.append(QStringLiteral("\"%1\" %2").arg(column, words.join(QLatin1Char(' '))));
        statements.append(QStringLiteral("CREATE TABLE \"%1\" (%2);").arg(table.name, columns.join(QStringLiteral(", "))));
    }
    if (statements.isEmpty())
        return 0;
    const QString query = statements.join(QStringLiteral("; "));
    // All or none, so a half-made schema is never mistaken for an old one.
    if (executeNonSelectionQuery(QStringLiteral("BEGIN"), db) != SQLITE_OK)
        return 0;
    if (executeNonSelectionQuery(query, db) != SQLITE_OK) {
        executeNonSelectionQuery(QStringLiteral("ROLLBACK"), db);
        return 0;
    }
    if (executeNonSelectionQuery(QStringLiteral("COMMIT"), db) != SQLITE_OK) {
        executeNonSelectionQuery(QStringLiteral("ROLLBACK"), db);
        return 0;
    }
    return unsigned(statements.size());
}

QMap<QString, QMap<QString, int>> VUDBStorage::columnsIndexes(const VUDatabaseSchema &schema)
{
    QMap<QString, QMap<QString, int>> indexes;
    for (const auto &table : schema)
        for (int i = 0; i < table.columns.size(); ++i)
            indexes[table.name].insert(table.columns.at(i).first, i);
    return indexes;
}

bool VUDBStorage::tableExists(const QString &table, sqlite3 *db)
{
    return querySingleValue(QStringLiteral("SELECT COUNT(*) FROM \"sqlite_master\" WHERE \"type\"='table' AND \"name\"=?;"),
                            db, nullptr, {table}) != 0;
}

unsigned VUDBStorage::versionInOpenedDatabase(sqlite3 *db)
{
    return unsigned(querySingleValue(QStringLiteral("PRAGMA user_version"), db));
}

void VUDBStorage::setVersion(unsigned version, sqlite3 *db)
{
    executeNonSelectionQuery(QStringLiteral("PRAGMA user_version = %1").arg(version), db);
}

void VUDBStorage::enableAutoVacuumInOpenedDatabase(sqlite3 *db)
{
    if (querySingleValue(QStringLiteral("PRAGMA auto_vacuum"), db) == 1)
        return;
    VULogDebug(VULogTag(), "Vacuuming database and enabling auto_vacuum");
    executeNonSelectionQuery(QStringLiteral("PRAGMA auto_vacuum = FULL; VACUUM"), db);
}

int VUDBStorage::executeNonSelectionQuery(const QString &query, sqlite3 *db, const QVariantList &bindings)
{
    int result = SQLITE_OK;
    if (bindings.isEmpty()) {
        char *message = nullptr;
        result = sqlite3_exec(db, query.toUtf8().constData(), nullptr, nullptr, &message);
        const QString text = message ? QString::fromUtf8(message) : errorMessage(db);
        sqlite3_free(message);
        if (result == SQLITE_FULL)
            VULogDebug(VULogTag(), "Query failed with error: %d - %s", result, qUtf8Printable(text));
        else if (result != SQLITE_OK)
            VULogError(VULogTag(), "Query \"%s\" failed with error: %d - %s", qUtf8Printable(query), result,
                       qUtf8Printable(text));
        return result;
    }
    executeSelectionQuery(query, db, bindings, &result);
    return result;
}

QList<VUDatabaseRow> VUDBStorage::executeSelectionQuery(const QString &query, sqlite3 *db,
                                                        const QVariantList &bindings, int *result)
{
    sqlite3_stmt *statement = nullptr;
    const int code = sqlite3_prepare_v2(db, query.toUtf8().constData(), -1, &statement, nullptr);
    QList<VUDatabaseRow> rows = runStatement(statement, code, query, db, bindings, result);
    sqlite3_finalize(statement);
    return rows;
}

QList<VUDatabaseRow> VUDBStorage::executeCachedQuery(const QString &query, sqlite3 *db, const QVariantList &bindings,
                                                     int *result)
{
    std::lock_guard guard(mConnectionLock);
    if (db != mDb)
        return executeSelectionQuery(query, db, bindings, result);
    sqlite3_stmt *statement = mStatements.value(query);
    int code = SQLITE_OK;
    if (!statement) {
        // Statements differ mostly in how many ids they list; a bounded cache keeps the
        // common ones without growing with every batch shape.
        if (mStatements.size() >= kMaxCachedStatements)
            finalizeStatements();
        code = sqlite3_prepare_v3(db, query.toUtf8().constData(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
        if (code == SQLITE_OK)
            mStatements.insert(query, statement);
    }
    QList<VUDatabaseRow> rows = runStatement(statement, code, query, db, bindings, result);
    if (statement) {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
    return rows;
}

void VUDBStorage::finalizeStatements()
{
    for (sqlite3_stmt *statement : std::as_const(mStatements))
        sqlite3_finalize(statement);
    mStatements.clear();
}

QList<VUDatabaseRow> VUDBStorage::runStatement(sqlite3_stmt *statement, int code, const QString &query, sqlite3 *db,
                                               const QVariantList &bindings, int *result)
{
    QList<VUDatabaseRow> rows;
    if (code == SQLITE_OK)
        code = bindAll(statement, bindings);
    if (code == SQLITE_OK) {
        while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
            const int count = sqlite3_column_count(statement);
            if (count == 0)
                continue;
            VUDatabaseRow row;
            row.reserve(count);
            for (int i = 0; i < count; ++i) {
                switch (sqlite3_column_type(statement, i)) {
                case SQLITE_TEXT:
                    row.append(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, i)),
                                                 sqlite3_column_bytes(statement, i)));
                    break;
                case SQLITE_BLOB:
                    row.append(QByteArray(reinterpret_cast<const char *>(sqlite3_column_blob(statement, i)),
                                          sqlite3_column_bytes(statement, i)));
                    break;
                case SQLITE_INTEGER:
                    // Read whole: row ids and counts past 2^31 stay right.
                    row.append(qint64(sqlite3_column_int64(statement, i)));
                    break;
                default:
                    row.append(QVariant());
                    break;
                }
            }
            rows.append(row);
        }
        if (code == SQLITE_DONE)
            code = SQLITE_OK;
    }
    if (code == SQLITE_FULL)
        VULogDebug(VULogTag(), "Query failed with error: %d - %s", code, qUtf8Printable(errorMessage(db)));
    else if (code != SQLITE_OK)
        VULogError(VULogTag(), "Query \"%s\" failed with error: %d - %s", qUtf8Printable(query), code,
                   qUtf8Printable(errorMessage(db)));
    if (result)
        *result = code;
    if (code != SQLITE_OK)
        rows.clear();
    return rows;
}

qint64 VUDBStorage::querySingleValue(const QString &query, sqlite3 *db, bool *ok, const QVariantList &bindings)
{
    int code = SQLITE_OK;
    const auto rows = executeSelectionQuery(query, db, bindings, &code);
    const bool found = code == SQLITE_OK && !rows.isEmpty() && !rows.first().isEmpty() && rows.first().first().isValid();
    if (ok)
        *ok = found;
    return found ? rows.first().first().toLongLong() : 0;
}

qint64 VUDBStorage::getPageSizeInOpenedDatabase(sqlite3 *db, bool *ok)
{
    return querySingleValue(QStringLiteral("PRAGMA page_size;"), db, ok);
}

qint64 VUDBStorage::getPageCountInOpenedDatabase(sqlite3 *db)
{
    return querySingleValue(QStringLiteral("PRAGMA page_count;"), db);
}

qint64 VUDBStorage::getMaxPageCountInOpenedDatabase(sqlite3 *db)
{
    return querySingleValue(QStringLiteral("PRAGMA max_page_count;"), db);
}

int VUDBStorage::setMaxPageCount(qint64 pageCount, sqlite3 *db)
{
    return executeNonSelectionQuery(QStringLiteral("PRAGMA max_page_count = %1;").arg(pageCount), db);
}
