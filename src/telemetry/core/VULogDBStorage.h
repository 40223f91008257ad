#pragma once
// The log database "Logs.sqlite": every telemetry log from the moment a channel unit accepts
// it until its batch has been answered, across launches.
//
// Each log is kept as the base64 text of its keyed archive, with its group id, its priority
// (the low 8 bits of the flags: 1 normal, 2 critical) and, for common-schema logs, one
// encrypted target token and that token's target key. When the size limit is reached, the
// oldest logs of the new log's priority or lower are evicted, lowest priority first; higher
// priorities are never evicted for a lower one.
//
// Life of a stored log:
//   handed over --saveLogLater--> waiting --next operation of the store--> stored
//   stored    --loadLogsWithGroupId-->      in flight (its id listed under its batch)
//   in flight --deleteLogsWithBatchId-->    gone (the batch entry goes once the rows are gone)
//   in flight --releaseLogsWithBatchId-->   stored
//   any       --deleteLogsWithGroupId / eviction / undecodable--> gone
// The batch table lives in memory only, so after a restart nothing is in flight and every
// stored log can be loaded again. A load never hands out a log that is in flight.
//
// Calling thread: the channel group's serial queue. Every public operation also holds the
// store's own lock, so calls from other threads are safe, if serialised.

#include "telemetry/core/VUAbstractLog.h"
#include "telemetry/core/VUDBStorage.h"
#include "telemetry/core/VUEncrypter.h"
#include "telemetry/core/VUWorkers.h"

#include <QMap>

#include <mutex>
#include <vector>

class VULogDBStorage : public VUDBStorage
{
public:
    static constexpr unsigned kVULogDatabaseSchemaVersion = 3;
    static inline const QString kVUDBFileName = QStringLiteral("Logs.sqlite");
    static inline const QString kVULogTableName = QStringLiteral("logs");

    struct LogRow
    {
        qint64 id = 0;
        QString groupId;
        std::shared_ptr<VUAbstractLog> log;
    };
    using LoadCompletion =
        std::function<void(const QList<std::shared_ptr<VUAbstractLog>> &logs, const std::optional<QString> &batchId)>;

    VULogDBStorage();
    // Logs still waiting to be saved together are committed, though no one hears of it.
    ~VULogDBStorage() override;

    static VUDatabaseSchema schema();

    bool saveLog(const std::shared_ptr<VUAbstractLog> &log, const QString &groupId, quint64 flags);
    // Saves together what is handed over back to back. The log is prepared now (its archive
    // is made on a helper thread meanwhile, so it must not change from now on) and waits;
    // the next operation of the store commits every waiting log in one transaction (each
    // alone, with eviction, should that fail). finishPendingSaves commits and then calls
    // each `done` with whether its log is stored, in the order handed over. Answers true
    // when nothing was waiting, so the caller schedules one finishPendingSaves per group.
    bool saveLogLater(const std::shared_ptr<VUAbstractLog> &log, const QString &groupId, quint64 flags,
                      std::function<void(bool)> done);
    void finishPendingSaves();
    // Answers whether more logs of the group remain beyond this batch. A limit of the
    // largest unsigned value means no limit. Logs whose target key is in
    // `excludedTargetKeys` stay stored; logs without a target key are always eligible.
    bool loadLogsWithGroupId(const QString &groupId, quint64 limit, const QStringList &excludedTargetKeys,
                             const LoadCompletion &completionHandler);
    void deleteLogsWithBatchId(const QString &batchId, const QString &groupId);
    // The batch's logs stay stored and may be loaded again (its answer never came).
    void releaseLogsWithBatchId(const QString &batchId, const QString &groupId);
    QList<std::shared_ptr<VUAbstractLog>> deleteLogsWithGroupId(const QString &groupId);
    quint64 countLogs();
    quint64 countLogsWithGroupId(const QString &groupId);

    // `condition` may use "?" placeholders filled from `bindings`.
    QList<LogRow> logsWithCondition(const QString &condition, const QVariantList &bindings = {});
    QList<std::shared_ptr<VUAbstractLog>> logsFromDBWithGroupId(const QString &groupId);
    int deleteLogFromDBWithId(qint64 id);
    int deleteLogsFromDBWithColumnValue(const QVariant &value, const QString &columnName);
    int deleteLogsFromDBWithColumnValues(const QVariantList &values, const QString &columnName);
    static int deleteLogsFromDBWithColumnValues(const QVariantList &values, const QString &columnName, sqlite3 *db);
    static int createPriorityIndex(sqlite3 *db);

    // Ids handed out in the group's unanswered batches.
    QList<qint64> inFlightIds(const QString &groupId) const;

protected:
    void customizeDatabase(sqlite3 *db) override;
    bool migrateDatabase(sqlite3 *db, unsigned fromVersion) override;

private:
    struct PreparedRow
    {
        QVariantList values; // group id, log text, target token, target key, priority
        qint64 priority = 1;
        qsizetype base64Length = 0;
    };
    struct PendingSave
    {
        std::shared_ptr<VUAbstractLog> log; // until its row is made
        // The archive text, made on a helper thread from the hand-over on.
        std::shared_ptr<VUWorkers::Job> archiving;
        std::shared_ptr<QByteArray> archive;
        QString groupId;
        quint64 flags = 0;
        std::optional<PreparedRow> row;
        std::function<void(bool)> done;
        std::optional<bool> outcome;
    };

    // Row values (id, group id, log text, target token) into logs; undecodable rows are deleted.
    QList<LogRow> decodeRows(const QList<VUDatabaseRow> &rows);
    // The base64 text of the log's archive; empty (with the error logged) when it has none.
    // Thread-safe: touches nothing of the store.
    static QByteArray archiveText(const VUAbstractLog &log);
    // The archive and the other column values; nothing when the log cannot be stored.
    std::optional<PreparedRow> prepareRow(const std::shared_ptr<VUAbstractLog> &log, const QString &groupId,
                                          quint64 flags);
    std::optional<PreparedRow> prepareRow(const std::shared_ptr<VUAbstractLog> &log, const QByteArray &base64,
                                          const QString &groupId, quint64 flags);
    // The largest the file may grow, in bytes.
    qint64 sizeLimit(sqlite3 *db);
    // Inserts one row (refused when larger than `limit`); when the store is full and `evict`
    // is set, older logs of its priority or lower make room first.
    int insertRow(sqlite3 *db, const PreparedRow &row, bool evict, qint64 limit);
    void commitPendingSaves();

    mutable std::recursive_mutex mLock;
    QMap<QPair<QString, QString>, QList<qint64>> mBatches; // (group id, batch id) -> row ids
    std::vector<PendingSave> mPendingSaves;
    VUEncrypter mTargetTokenEncrypter;
};
