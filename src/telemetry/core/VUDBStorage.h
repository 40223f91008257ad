#pragma once
// The base of the telemetry component's SQLite stores. It names the database file (under
// the component's data folder), creates the tables from a schema description, keeps the
// schema version in PRAGMA user_version (calling migrateDatabase when the stored version is
// older, and never lowering a newer one), keeps the file in full auto-vacuum mode and
// enforces a size limit through PRAGMA max_page_count.
//
// Operations share one connection, opened at the first and kept between them (opening the
// file for every log cost more than storing it), with the statements it prepared. The file
// keeps a write-ahead log ("-wal", "-shm" beside it) and commits without waiting for the
// disk: a killed program loses nothing committed, a power loss at most the last commits. Before each operation the file is looked at
// again: when it was removed or replaced meanwhile, a new connection opens the file now at
// that path, so the file may still be examined, removed or replaced between operations. No
// transaction or lock outlives an operation. Values go into statements as bound parameters,
// never as text.
//
// Calling thread: the channel group's serial queue (construction on the thread that makes
// the channel group). Subclasses may add their own lock; the base keeps its few fields
// atomic so that a size change and a query never race.

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <functional>
#include <mutex>

struct sqlite3;
struct sqlite3_stmt;

// One table: its name and its columns in order, each with its type and constraint words.
struct VUTableSchema
{
    QString name;
    QList<QPair<QString, QStringList>> columns;
};
using VUDatabaseSchema = QList<VUTableSchema>;
// A selected row: TEXT as QString, INTEGER as qint64, anything else as an invalid QVariant.
using VUDatabaseRow = QVariantList;

class VUDBStorage
{
public:
    static constexpr qint64 kDefaultMaxSizeInBytes = 10 * 1024 * 1024;

    VUDBStorage(const VUDatabaseSchema &schema, unsigned version, const QString &filename);
    virtual ~VUDBStorage();
    VUDBStorage(const VUDBStorage &) = delete;
    VUDBStorage &operator=(const VUDBStorage &) = delete;

    QString dbFileURL() const { return mDbFileURL; }
    qint64 maxSizeInBytes() const { return mMaxSizeInBytes.load(); }
    qint64 pageSize() const { return mPageSize.load(); }

    // Opens the file, applies the size limit, runs `block`, closes; answers the block's code
    // or the open error.
    int executeQueryUsingBlock(const std::function<int(sqlite3 *)> &block);
    int executeNonSelectionQuery(const QString &query, const QVariantList &bindings = {});
    QList<VUDatabaseRow> executeSelectionQuery(const QString &query, const QVariantList &bindings = {});
    quint64 countEntriesForTable(const QString &table, const QString &condition = {},
                                 const QVariantList &bindings = {});
    // The completion is always called, with true when the new limit is in force.
    void setMaxStorageSize(qint64 sizeInBytes, const std::function<void(bool)> &completionHandler);

    // Operations on an open handle.
    static sqlite3 *openDatabaseAtFileURL(const QString &path, int *result);
    // Tables actually created; 0 when creating them failed.
    static unsigned createTablesWithSchema(const VUDatabaseSchema &schema, sqlite3 *db);
    static QMap<QString, QMap<QString, int>> columnsIndexes(const VUDatabaseSchema &schema);
    static bool tableExists(const QString &table, sqlite3 *db);
    static unsigned versionInOpenedDatabase(sqlite3 *db);
    static void setVersion(unsigned version, sqlite3 *db);
    static void enableAutoVacuumInOpenedDatabase(sqlite3 *db);
    static int executeNonSelectionQuery(const QString &query, sqlite3 *db, const QVariantList &bindings = {});
    static QList<VUDatabaseRow> executeSelectionQuery(const QString &query, sqlite3 *db,
                                                      const QVariantList &bindings = {}, int *result = nullptr);
    static qint64 querySingleValue(const QString &query, sqlite3 *db, bool *ok = nullptr,
                                   const QVariantList &bindings = {});
    static qint64 getPageSizeInOpenedDatabase(sqlite3 *db, bool *ok = nullptr);
    static qint64 getPageCountInOpenedDatabase(sqlite3 *db);
    static qint64 getMaxPageCountInOpenedDatabase(sqlite3 *db);
    static int setMaxPageCount(qint64 pageCount, sqlite3 *db);

protected:
    // As executeSelectionQuery on the shared connection (inside executeQueryUsingBlock),
    // keeping the prepared statement for the next call with the same text.
    QList<VUDatabaseRow> executeCachedQuery(const QString &query, sqlite3 *db, const QVariantList &bindings = {},
                                            int *result = nullptr);
    // Called once when this construction created every table.
    virtual void customizeDatabase(sqlite3 *db) {}
    // Called when the tables existed and the stored version is older than the code's. A
    // false answer keeps the stored version, so the failed step runs again next time.
    virtual bool migrateDatabase(sqlite3 *db, unsigned fromVersion) { return true; }
    // Runs construction; subclasses call it from their constructor so their hooks apply.
    void initializeDatabase();

private:
    // The shared connection for the file now at mDbFileURL; null with *result set when it
    // cannot be opened. mConnectionLock held.
    sqlite3 *connection(int *result);
    void closeConnection();
    void finalizeStatements();
    static void useWriteAheadLog(sqlite3 *db);
    // Binds, steps and collects the rows of a prepared statement; `code` is the prepare's.
    static QList<VUDatabaseRow> runStatement(sqlite3_stmt *statement, int code, const QString &query, sqlite3 *db,
                                             const QVariantList &bindings, int *result);

    static constexpr qsizetype kMaxCachedStatements = 32;

    VUDatabaseSchema mSchema;
    unsigned mVersion;
    QString mFilename;
    QString mDbFileURL;
    std::atomic<qint64> mMaxSizeInBytes{kDefaultMaxSizeInBytes};
    std::atomic<qint64> mPageSize{0};
    // Guards the shared connection and what was applied to it; held through each operation.
    std::recursive_mutex mConnectionLock;
    sqlite3 *mDb = nullptr;
    quint64 mDbDevice = 0;
    quint64 mDbInode = 0;
    qint64 mAppliedMaxPageCount = -1;
    QHash<QString, sqlite3_stmt *> mStatements;
};
