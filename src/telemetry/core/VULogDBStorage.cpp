#include "telemetry/core/VULogDBStorage.h"

#include "telemetry/core/VUCommonSchemaLog.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUUtility.h"
#include "telemetry/core/VUWorkers.h"

#include <QUuid>

#include <sqlite3.h>

#include <limits>

namespace {

const QString kIdColumn = QStringLiteral("id");
const QString kGroupIdColumn = QStringLiteral("groupId");
const QString kLogColumn = QStringLiteral("log");
const QString kTargetTokenColumn = QStringLiteral("targetToken");
const QString kTargetKeyColumn = QStringLiteral("targetKey");
const QString kPriorityColumn = QStringLiteral("priority");

QString placeholders(qsizetype count)
{
    QStringList marks;
    marks.reserve(count);
    for (qsizetype i = 0; i < count; ++i)
        marks.append(QStringLiteral("?"));
    return marks.join(QStringLiteral(", "));
}

QString joinedValues(const QVariantList &values, const QString &separator)
{
    QStringList texts;
    for (const QVariant &value : values)
        texts.append(value.toString());
    return texts.join(separator);
}

QString deletionQuery(qsizetype count, const QString &columnName)
{
    return QStringLiteral("DELETE FROM \"%1\" WHERE \"%2\" IN (%3)")
        .arg(VULogDBStorage::kVULogTableName, columnName, placeholders(count));
}

int reportDeletion(const QVariantList &values, const QString &columnName, int code)
{
    if (code != SQLITE_OK || VULogger::currentLogLevel() <= VULogLevelVerbose) {
        const QString description = QStringLiteral("Deletion of log(s) by %1 with value(s) '%2'")
                                        .arg(columnName, joinedValues(values, QStringLiteral("','")));
        if (code == SQLITE_OK)
            VULogVerbose(VULogTag(), "%s %s", qUtf8Printable(description), "succeeded.");
        else
            VULogError(VULogTag(), "%s %s", qUtf8Printable(description), "failed.");
    }
    return code;
}

} // namespace

VUDatabaseSchema VULogDBStorage::schema()
{
    return {{kVULogTableName,
             {{kIdColumn, {QStringLiteral("INTEGER"), QStringLiteral("PRIMARY KEY"), QStringLiteral("AUTOINCREMENT")}},
              {kGroupIdColumn, {QStringLiteral("TEXT"), QStringLiteral("NOT NULL")}},
              {kLogColumn, {QStringLiteral("TEXT"), QStringLiteral("NOT NULL")}},
              {kTargetTokenColumn, {QStringLiteral("TEXT")}},
              {kTargetKeyColumn, {QStringLiteral("TEXT")}},
              {kPriorityColumn, {QStringLiteral("INTEGER")}}}}};
}

VULogDBStorage::VULogDBStorage() : VUDBStorage(schema(), kVULogDatabaseSchemaVersion, kVUDBFileName)
{
    initializeDatabase();
}

VULogDBStorage::~VULogDBStorage()
{
    commitPendingSaves();
}

void VULogDBStorage::customizeDatabase(sqlite3 *db)
{
    createPriorityIndex(db);
}

bool VULogDBStorage::migrateDatabase(sqlite3 *db, unsigned fromVersion)
{
    // Each step is skipped when an earlier, interrupted run already made it, so a step that
    // failed can simply run again at the next start.
    QStringList columns;
    for (const VUDatabaseRow &row : executeSelectionQuery(QStringLiteral("PRAGMA table_info(\"%1\")").arg(kVULogTableName), db))
        columns.append(row.value(1).toString());
    auto addColumn = [&](const QString &column, const QString &type) {
        if (columns.contains(column))
            return true;
        return executeNonSelectionQuery(
                   QStringLiteral("ALTER TABLE \"%1\" ADD COLUMN \"%2\" %3").arg(kVULogTableName, column, type), db)
               == SQLITE_OK;
    };
    if (fromVersion < 1 && !addColumn(kTargetTokenColumn, QStringLiteral("TEXT")))
        return false;
    if (fromVersion < 2 && !addColumn(kTargetKeyColumn, QStringLiteral("TEXT")))
        return false;
    // Every log of an older store becomes normal priority.
    if (fromVersion < 3
        && (!addColumn(kPriorityColumn, QStringLiteral("INTEGER DEFAULT 1")) || createPriorityIndex(db) != SQLITE_OK))
        return false;
    return true;
}

int VULogDBStorage::createPriorityIndex(sqlite3 *db)
{
    return executeNonSelectionQuery(QStringLiteral("CREATE INDEX IF NOT EXISTS \"ix_%1_%2\" ON \"%1\" (\"%2\")")
                                        .arg(kVULogTableName, kPriorityColumn),
                                    db);
}

QByteArray VULogDBStorage::archiveText(const VUAbstractLog &log)
{
    const QByteArray archived = VUKeyedCoding::archive(log);
    if (archived.isEmpty()) {
        // Stored as empty text it would be deleted as damaged at the next load.
        VULogError(VULogTag(), "The log could not be archived; it is not stored.");
        return {};
    }
    return archived.toBase64();
}

std::optional<VULogDBStorage::PreparedRow> VULogDBStorage::prepareRow(const std::shared_ptr<VUAbstractLog> &log,
                                                                     const QString &groupId, quint64 flags)
{
    return log ? prepareRow(log, archiveText(*log), groupId, flags) : std::nullopt;
}

std::optional<VULogDBStorage::PreparedRow> VULogDBStorage::prepareRow(const std::shared_ptr<VUAbstractLog> &log,
                                                                     const QByteArray &base64, const QString &groupId,
                                                                     quint64 flags)
{
    if (!log || base64.isEmpty())
        return std::nullopt;
    PreparedRow row;
    row.base64Length = base64.size();
    row.priority = qint64(flags & 0xFF);

    QVariant targetToken;
    QVariant targetKey;
    if (std::dynamic_pointer_cast<VUCommonSchemaLog>(log)) {
        const auto tokens = log->transmissionTargetTokens();
        if (tokens && !tokens->isEmpty()) {
            const QString token = *std::min_element(tokens->cbegin(), tokens->cend());
            const auto encrypted = mTargetTokenEncrypter.encryptString(token);
            if (!encrypted) {
                // Stored without its token the log could never reach its target.
                VULogError(VULogTag(), "Failed to encrypt the target token; the log is not stored.");
                return std::nullopt;
            }
            targetToken = *encrypted;
            if (const auto key = VUUtility::targetKeyFromTargetToken(token))
                targetKey = *key;
        }
    }
    row.values = QVariantList{groupId, base64, targetToken, targetKey, row.priority};
    return row;
}

qint64 VULogDBStorage::sizeLimit(sqlite3 *db)
{
    return getMaxPageCountInOpenedDatabase(db) * pageSize();
}

int VULogDBStorage::insertRow(sqlite3 *db, const PreparedRow &row, bool evict, qint64 limit)
{
    static const QString insert =
        QStringLiteral("INSERT INTO \"%1\" (\"%2\", \"%3\", \"%4\", \"%5\", \"%6\") VALUES (?, ?, ?, ?, ?)")
            .arg(kVULogTableName, kGroupIdColumn, kLogColumn, kTargetTokenColumn, kTargetKeyColumn, kPriorityColumn);
    if (row.base64Length >= limit) {
        VULogError(VULogTag(),
                   "Log is too large (%lld bytes) to store in database. Current maximum database size is %lld bytes.",
                   static_cast<long long>(row.base64Length), static_cast<long long>(limit));
        return SQLITE_ERROR;
    }
    int code = SQLITE_OK;
    executeCachedQuery(insert, db, row.values, &code);
    if (code == SQLITE_FULL && evict) {
        const auto rows = executeSelectionQuery(
            QStringLiteral("SELECT \"%1\" FROM \"%2\" WHERE \"%3\" <= ? ORDER BY \"%3\" ASC, \"%1\" ASC")
                .arg(kIdColumn, kVULogTableName, kPriorityColumn),
            db, {row.priority});
        qsizetype next = 0;
        qint64 deleted = 0;
        while (code == SQLITE_FULL && next < rows.size()) {
            const QVariant id = rows.at(next++).value(0);
            const int deletion = deleteLogsFromDBWithColumnValues({id}, kIdColumn, db);
            if (deletion != SQLITE_OK) {
                code = deletion;
                break;
            }
            ++deleted;
            VULogDebug(VULogTag(), "Deleted a log with id %lld to store a new log.",
                       static_cast<long long>(id.toLongLong()));
            executeCachedQuery(insert, db, row.values, &code);
        }
        if (deleted > 0)
            VULogDebug(VULogTag(), "Log storage was over capacity, %lld oldest log(s) with equal or lower priority deleted.",
                       static_cast<long long>(deleted));
        if (code == SQLITE_FULL && next == rows.size())
            VULogError(VULogTag(), "Storage is full and no logs with equal or lower priority exist; discarding the log.");
    }
    if (code == SQLITE_OK)
        VULogVerbose(VULogTag(), "Log is stored with id: '%lld'", static_cast<long long>(sqlite3_last_insert_rowid(db)));
    return code;
}

bool VULogDBStorage::saveLog(const std::shared_ptr<VUAbstractLog> &log, const QString &groupId, quint64 flags)
{
    std::lock_guard guard(mLock);
    commitPendingSaves();
    const auto row = prepareRow(log, groupId, flags);
    return row && executeQueryUsingBlock([&](sqlite3 *db) { return insertRow(db, *row, true, sizeLimit(db)); }) == SQLITE_OK;
}

bool VULogDBStorage::saveLogLater(const std::shared_ptr<VUAbstractLog> &log, const QString &groupId, quint64 flags,
                                  std::function<void(bool)> done)
{
    std::lock_guard guard(mLock);
    const bool first = mPendingSaves.empty();
    PendingSave save;
    save.log = log;
    save.groupId = groupId;
    save.flags = flags;
    if (log) {
        // Archiving is most of the work of a save and each log's is its own: it runs on a
        // helper thread while the queue goes on, and is joined when the row is made.
        save.archive = std::make_shared<QByteArray>();
        save.archiving = VUWorkers::start([log, archive = save.archive] { *archive = archiveText(*log); });
    } else {
        save.outcome = false;
    }
    save.done = std::move(done);
    mPendingSaves.push_back(std::move(save));
    return first;
}

void VULogDBStorage::commitPendingSaves()
{
    std::lock_guard guard(mLock);
    QList<PendingSave *> waiting;
    for (PendingSave &save : mPendingSaves)
        if (!save.outcome)
            waiting.append(&save);
    if (waiting.isEmpty())
        return;
    // Archives no helper has begun yet are made here rather than waited for, as helpers
    // finish the ones they took.
    for (PendingSave *save : std::as_const(waiting))
        save->archiving->runIfUntaken();
    for (PendingSave *save : std::as_const(waiting)) {
        save->archiving->join();
        save->row = prepareRow(save->log, *save->archive, save->groupId, save->flags);
        save->log.reset();
        save->archiving.reset();
        save->archive.reset();
        if (!save->row)
            save->outcome = false;
    }
    waiting.removeIf([](const PendingSave *save) { return save->outcome.has_value(); });
    if (waiting.isEmpty())
        return;
    bool together = false;
    if (waiting.size() > 1) {
        // One commit for the lot. Should any insert fail (the store is full, say), nothing of
        // the lot is kept and each is stored alone, with eviction, as a single save would be.
        together = executeQueryUsingBlock([&](sqlite3 *db) {
                       if (executeNonSelectionQuery(QStringLiteral("BEGIN IMMEDIATE"), db) != SQLITE_OK)
                           return SQLITE_ERROR;
                       // The limit cannot change inside the transaction: asked once, not per row.
                       const qint64 limit = sizeLimit(db);
                       for (PendingSave *save : std::as_const(waiting)) {
                           // A failed insert may have ended the transaction itself.
                           if (insertRow(db, *save->row, false, limit) != SQLITE_OK || sqlite3_get_autocommit(db)) {
                               if (!sqlite3_get_autocommit(db))
                                   executeNonSelectionQuery(QStringLiteral("ROLLBACK"), db);
                               return SQLITE_ERROR;
                           }
                       }
                       const int code = executeNonSelectionQuery(QStringLiteral("COMMIT"), db);
                       if (code != SQLITE_OK && !sqlite3_get_autocommit(db))
                           executeNonSelectionQuery(QStringLiteral("ROLLBACK"), db);
                       return code;
                   })
                   == SQLITE_OK;
    }
    for (PendingSave *save : std::as_const(waiting))
        save->outcome =
            together
            || executeQueryUsingBlock([&](sqlite3 *db) { return insertRow(db, *save->row, true, sizeLimit(db)); })
                   == SQLITE_OK;
}

void VULogDBStorage::finishPendingSaves()
{
    std::vector<PendingSave> finished;
    {
        std::lock_guard guard(mLock);
        commitPendingSaves();
        finished.swap(mPendingSaves);
    }
    // Outside the lock: the answers go on to store, load and delete.
    for (PendingSave &save : finished)
        if (save.done)
            save.done(*save.outcome);
}

QList<qint64> VULogDBStorage::inFlightIds(const QString &groupId) const
{
    std::lock_guard guard(mLock);
    QList<qint64> ids;
    for (auto it = mBatches.cbegin(); it != mBatches.cend(); ++it)
        if (it.key().first == groupId)
            ids += it.value();
    return ids;
}

bool VULogDBStorage::loadLogsWithGroupId(const QString &groupId, quint64 limit, const QStringList &excludedTargetKeys,
                                         const LoadCompletion &completionHandler)
{
    std::lock_guard guard(mLock);
    commitPendingSaves();
    QString condition = QStringLiteral("\"%1\" = ?").arg(kGroupIdColumn);
    QVariantList bindings{groupId};
    if (!excludedTargetKeys.isEmpty()) {
        // Logs without a target key belong to no paused target and stay eligible.
        condition += QStringLiteral(" AND (\"%1\" IS NULL OR \"%1\" NOT IN (%2))")
                         .arg(kTargetKeyColumn, placeholders(excludedTargetKeys.size()));
        for (const QString &key : excludedTargetKeys)
            bindings.append(key);
    }
    const QList<qint64> inFlight = inFlightIds(groupId);
    if (!inFlight.isEmpty()) {
        condition += QStringLiteral(" AND \"%1\" NOT IN (%2)").arg(kIdColumn, placeholders(inFlight.size()));
        for (qint64 id : inFlight)
            bindings.append(id);
    }
    // SQLite's LIMIT is signed: anything it cannot hold means no limit at all.
    const bool unlimited = limit >= quint64(std::numeric_limits<qint64>::max());
    const qint64 wanted = unlimited ? std::numeric_limits<qint64>::max() : qint64(limit + 1);

    // Critical logs first, oldest first within a priority. One query per priority walks the
    // priority index in row order and stops at the limit; a single query ordered by both
    // columns would sort every stored log of the group for each batch.
    QList<VUDatabaseRow> selected;
    executeQueryUsingBlock([&](sqlite3 *db) {
        const auto priorities = executeCachedQuery(
            QStringLiteral("SELECT DISTINCT \"%1\" FROM \"%2\" ORDER BY \"%1\" DESC").arg(kPriorityColumn, kVULogTableName),
            db);
        for (const VUDatabaseRow &priority : priorities) {
            if (qint64(selected.size()) >= wanted)
                break;
            QVariantList values = bindings;
            values.append(priority.value(0));
            values.append(unlimited ? qint64(-1) : wanted - qint64(selected.size()));
            // The log text is read as its bytes: it is base64, decoded from bytes, and turning
            // it into a string and back cost a copy and two conversions per log.
            selected += executeCachedQuery(
                QStringLiteral("SELECT \"%1\", \"%2\", CAST(\"%3\" AS BLOB), \"%4\" FROM \"%5\" WHERE %6 AND \"%7\" IS ? "
                               "ORDER BY \"%1\" ASC LIMIT ?")
                    .arg(kIdColumn, kGroupIdColumn, kLogColumn, kTargetTokenColumn, kVULogTableName, condition,
                         kPriorityColumn),
                db, values);
        }
        return SQLITE_OK;
    });

    QList<LogRow> rows = decodeRows(selected);
    bool moreLogsAvailable = false;
    if (!unlimited && quint64(rows.size()) > limit) {
        rows.removeLast();
        moreLogsAvailable = true;
    }
    QList<std::shared_ptr<VUAbstractLog>> logs;
    std::optional<QString> batchId;
    if (!rows.isEmpty()) {
        batchId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        QList<qint64> ids;
        QStringList idTexts;
        for (const LogRow &row : rows) {
            ids.append(row.id);
            idTexts.append(QString::number(row.id));
            logs.append(row.log);
        }
        mBatches.insert({groupId, *batchId}, ids);
        VULogVerbose(VULogTag(), "Load log(s) with id(s) '%s' as batch Id:%s", qUtf8Printable(idTexts.join(QStringLiteral("','"))),
                     qUtf8Printable(*batchId));
    }
    if (completionHandler)
        completionHandler(logs, batchId);
    return moreLogsAvailable;
}

void VULogDBStorage::deleteLogsWithBatchId(const QString &batchId, const QString &groupId)
{
    std::lock_guard guard(mLock);
    commitPendingSaves();
    const auto key = qMakePair(groupId, batchId);
    const auto it = mBatches.constFind(key);
    if (it == mBatches.cend() || it->isEmpty())
        return;
    QVariantList ids;
    for (qint64 id : *it)
        ids.append(id);
    // The entry keeps its logs out of later batches; it goes only once they are gone.
    if (deleteLogsFromDBWithColumnValues(ids, kIdColumn) == SQLITE_OK)
        mBatches.remove(key);
}

QList<std::shared_ptr<VUAbstractLog>> VULogDBStorage::deleteLogsWithGroupId(const QString &groupId)
{
    std::lock_guard guard(mLock);
    commitPendingSaves();
    const auto logs = logsFromDBWithGroupId(groupId);
    if (deleteLogsFromDBWithColumnValue(groupId, kGroupIdColumn) == SQLITE_OK) {
        for (auto it = mBatches.begin(); it != mBatches.end();) {
            if (it.key().first == groupId)
                it = mBatches.erase(it);
            else
                ++it;
        }
    }
    return logs;
}

quint64 VULogDBStorage::countLogs()
{
    std::lock_guard guard(mLock);
    commitPendingSaves();
    return countEntriesForTable(kVULogTableName);
}

quint64 VULogDBStorage::countLogsWithGroupId(const QString &groupId)
{
    std::lock_guard guard(mLock);
    commitPendingSaves();
    return countEntriesForTable(kVULogTableName, QStringLiteral("\"%1\" = ?").arg(kGroupIdColumn), {groupId});
}

void VULogDBStorage::releaseLogsWithBatchId(const QString &batchId, const QString &groupId)
{
    std::lock_guard guard(mLock);
    mBatches.remove({groupId, batchId});
}

QList<VULogDBStorage::LogRow> VULogDBStorage::logsWithCondition(const QString &condition, const QVariantList &bindings)
{
    std::lock_guard guard(mLock);
    commitPendingSaves();
    QString query = QStringLiteral("SELECT \"%1\", \"%2\", \"%3\", \"%4\" FROM \"%5\"")
                        .arg(kIdColumn, kGroupIdColumn, kLogColumn, kTargetTokenColumn, kVULogTableName);
    if (!condition.isEmpty())
        query += QStringLiteral(" WHERE ") + condition;
    return decodeRows(executeSelectionQuery(query, bindings));
}

QList<VULogDBStorage::LogRow> VULogDBStorage::decodeRows(const QList<VUDatabaseRow> &rows)
{
    // Unarchiving is most of the work of a load and each row's is its own: a batch is
    // decoded on several cores, then checked and completed in row order.
    struct Decoded
    {
        std::shared_ptr<VUAbstractLog> log;
        QString error;
    };
    QList<Decoded> decoded(rows.size());
    Decoded *const slot = decoded.data(); // each item writes only its own slot
    VUWorkers::forEach(rows.size(), [&](qsizetype i) {
        // Characters outside the base64 alphabet are skipped, as the decoder of old rows did.
        const QVariant text = rows.at(i).value(2);
        const QByteArray archive = QByteArray::fromBase64(
            text.typeId() == QMetaType::QByteArray ? text.toByteArray() : text.toString().toLatin1());
        slot[i].log = VUKeyedCoding::unarchiveAs<VUAbstractLog>(archive, &slot[i].error);
    });
    QList<LogRow> result;
    result.reserve(rows.size());
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const VUDatabaseRow &row = rows.at(i);
        LogRow entry;
        entry.id = row.value(0).toLongLong();
        entry.groupId = row.value(1).toString();
        entry.log = std::move(decoded[i].log);
        if (!entry.log) {
            const QString &error = decoded.at(i).error;
            VULogError(VULogTag(), "Deserialization failed for log with Id %lld: %s", static_cast<long long>(entry.id),
                       error.isEmpty() ? "The log deserialized to NULL." : qUtf8Printable(error));
            deleteLogFromDBWithId(entry.id);
            continue;
        }
        const QVariant token = row.value(3);
        if (token.metaType().id() == QMetaType::QString) {
            const QString text = token.toString();
            if (text.isEmpty()) {
                VULogError(VULogTag(), "Unexpected empty target token for log with Id %lld.",
                           static_cast<long long>(entry.id));
            } else if (const auto plain = mTargetTokenEncrypter.decryptString(text)) {
                entry.log->addTransmissionTargetToken(*plain);
            } else {
                VULogError(VULogTag(), "Failed to decrypt the target token for log with Id %lld.",
                           static_cast<long long>(entry.id));
            }
        }
        result.append(entry);
    }
    return result;
}

QList<std::shared_ptr<VUAbstractLog>> VULogDBStorage::logsFromDBWithGroupId(const QString &groupId)
{
    QList<std::shared_ptr<VUAbstractLog>> logs;
    for (const LogRow &row : logsWithCondition(QStringLiteral("\"%1\" = ?").arg(kGroupIdColumn), {groupId}))
        logs.append(row.log);
    return logs;
}

int VULogDBStorage::deleteLogFromDBWithId(qint64 id)
{
    return deleteLogsFromDBWithColumnValue(id, kIdColumn);
}

int VULogDBStorage::deleteLogsFromDBWithColumnValue(const QVariant &value, const QString &columnName)
{
    return deleteLogsFromDBWithColumnValues({value}, columnName);
}

int VULogDBStorage::deleteLogsFromDBWithColumnValues(const QVariantList &values, const QString &columnName)
{
    std::lock_guard guard(mLock);
    commitPendingSaves();
    if (values.isEmpty())
        return SQLITE_OK;
    // Every answered batch deletes the same number of ids: its statement is kept.
    return executeQueryUsingBlock([&](sqlite3 *db) {
        int code = SQLITE_OK;
        executeCachedQuery(deletionQuery(values.size(), columnName), db, values, &code);
        return reportDeletion(values, columnName, code);
    });
}

int VULogDBStorage::deleteLogsFromDBWithColumnValues(const QVariantList &values, const QString &columnName, sqlite3 *db)
{
    if (values.isEmpty())
        return SQLITE_OK;
    return reportDeletion(values, columnName,
                          executeNonSelectionQuery(deletionQuery(values.size(), columnName), db, values));
}
