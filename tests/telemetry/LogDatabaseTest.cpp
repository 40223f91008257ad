#include "TelemetryTestSupport.h"
#include "TestHome.h"

#include "telemetry/core/VULogDBStorage.h"
#include "telemetry/core/VUUtility.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <limits>

namespace {

QString dbPath()
{
    return *VUUtility::fullURLForPathComponent(QStringLiteral("Logs.sqlite"));
}

// Direct access to the file, as another program would see it.
class RawDatabase
{
public:
    RawDatabase() { sqlite3_open(QFile::encodeName(dbPath()).constData(), &mDb); }
    ~RawDatabase() { sqlite3_close(mDb); }
    void exec(const QString &sql) { ASSERT_EQ(sqlite3_exec(mDb, sql.toUtf8().constData(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(mDb); }
    QVariant value(const QString &sql)
    {
        const auto rows = VUDBStorage::executeSelectionQuery(sql, mDb);
        return rows.isEmpty() ? QVariant() : rows.first().value(0);
    }
    QStringList column(const QString &sql)
    {
        QStringList values;
        for (const auto &row : VUDBStorage::executeSelectionQuery(sql, mDb))
            values.append(row.value(0).toString());
        return values;
    }

private:
    sqlite3 *mDb = nullptr;
};

QString readFixture(const QString &name)
{
    QFile file(fixturePath("telemetry/" + name));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

std::shared_ptr<VUStartServiceLog> namedLog(const QString &name)
{
    auto log = makeStartServiceLog({name});
    log->sid = name;
    return log;
}

struct Batch
{
    QStringList names;
    std::optional<QString> batchId;
    bool more = false;
};

Batch load(VULogDBStorage &store, const QString &group, quint64 limit, const QStringList &excluded = {})
{
    Batch batch;
    batch.more = store.loadLogsWithGroupId(group, limit, excluded, [&](const auto &logs, const auto &batchId) {
        for (const auto &log : logs)
            batch.names.append(log->sid.value_or(QStringLiteral("?")));
        batch.batchId = batchId;
    });
    return batch;
}

} // namespace

TEST(VULogDBStorage, CreatesLogsSqliteWithItsSchemaAndVersion)
{
    TestHome home;
    RecordingLogHandler log(VULogLevelInfo);
    VULogDBStorage store;
    EXPECT_EQ(store.dbFileURL(), dbPath());
    EXPECT_TRUE(dbPath().endsWith("/Logs.sqlite"));
    EXPECT_EQ(store.maxSizeInBytes(), 10485760);
    EXPECT_GT(store.pageSize(), 0);
    EXPECT_TRUE(log.contains("Created \"Logs.sqlite\" database with 3 version."));

    RawDatabase raw;
    EXPECT_EQ(raw.value("SELECT sql FROM sqlite_master WHERE name='logs'").toString(),
              "CREATE TABLE \"logs\" (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, \"groupId\" TEXT NOT NULL, \"log\" "
              "TEXT NOT NULL, \"targetToken\" TEXT, \"targetKey\" TEXT, \"priority\" INTEGER)");
    EXPECT_EQ(raw.value("SELECT sql FROM sqlite_master WHERE name='ix_logs_priority'").toString(),
              "CREATE INDEX \"ix_logs_priority\" ON \"logs\" (\"priority\")");
    EXPECT_EQ(raw.value("PRAGMA user_version").toInt(), 3);
    EXPECT_EQ(raw.value("PRAGMA auto_vacuum").toInt(), 1);
}

TEST(VULogDBStorage, MigratesAnOldStoreAndKeepsANewerVersion)
{
    TestHome home;
    auto old = makeLogWithProperties();
    {
        QDir().mkpath(VUUtility::vovUdezirDirectoryURL());
        RawDatabase raw;
        raw.exec(readFixture("logs-v0.sql"));
        raw.exec(QStringLiteral("INSERT INTO logs (groupId, log) VALUES ('Analytics', '%1')")
                     .arg(QString::fromLatin1(VUKeyedCoding::archive(*old).toBase64())));
    }
    RecordingLogHandler log(VULogLevelVerbose);
    {
        VULogDBStorage store;
        EXPECT_TRUE(log.contains("Migrate \"Logs.sqlite\" database from 0 to 3 version."));
        RawDatabase raw;
        EXPECT_EQ(raw.column("SELECT name FROM pragma_table_info('logs')"),
                  (QStringList{"id", "groupId", "log", "targetToken", "targetKey", "priority"}));
        EXPECT_EQ(raw.column("SELECT priority FROM logs"), (QStringList{"1", "1"}));
        EXPECT_EQ(raw.value("PRAGMA user_version").toInt(), 3);
        EXPECT_EQ(raw.value("PRAGMA auto_vacuum").toInt(), 1);

        std::shared_ptr<VUAbstractLog> loaded;
        store.loadLogsWithGroupId("Analytics", 10, {}, [&](const auto &logs, const auto &) {
            ASSERT_EQ(logs.size(), 1) << "the unreadable row is dropped";
            loaded = logs.first();
        });
        ASSERT_TRUE(loaded);
        EXPECT_TRUE(loaded->isEqual(old.get()));
        EXPECT_TRUE(log.contains("Deserialization failed for log with Id 1"));
        EXPECT_EQ(store.countLogs(), 1u);

        // A later release stored a newer version: it is kept and no hook runs.
        raw.exec("PRAGMA user_version = 7");
    }
    VULogDBStorage again;
    RawDatabase raw;
    EXPECT_EQ(raw.value("PRAGMA user_version").toInt(), 7);
    EXPECT_EQ(again.countLogs(), 1u);
}

TEST(VULogDBStorage, StoresEveryLogClassAndReloadsItAfterARestart)
{
    TestHome home;
    const QList<std::shared_ptr<VUAbstractLog>> logs = {makeStartServiceLog(), makeCustomPropertiesLog(),
                                                        makeLogWithProperties(), makeCommonSchemaLog("key1-secret")};
    {
        VULogDBStorage store;
        for (const auto &log : logs)
            ASSERT_TRUE(store.saveLog(log, "Group", 1));
        EXPECT_FALSE(store.saveLog(nullptr, "Group", 1));
        EXPECT_EQ(store.countLogs(), 4u);
        Batch first = load(store, "Group", 10);
        EXPECT_EQ(first.names.size(), 4);
    }
    RawDatabase raw;
    EXPECT_EQ(raw.column("SELECT targetKey FROM logs WHERE targetKey IS NOT NULL"), QStringList{"key1"});
    const QString stored = raw.value("SELECT targetToken FROM logs WHERE targetKey IS NOT NULL").toString();
    EXPECT_FALSE(stored.isEmpty());
    EXPECT_FALSE(stored.contains("secret"));

    // The batch of the first run was never answered: everything loads again.
    VULogDBStorage restarted;
    QList<std::shared_ptr<VUAbstractLog>> reloaded;
    restarted.loadLogsWithGroupId("Group", 10, {}, [&](const auto &loaded, const auto &batchId) {
        reloaded = loaded;
        EXPECT_TRUE(batchId);
    });
    ASSERT_EQ(reloaded.size(), logs.size());
    for (int i = 0; i < logs.size(); ++i) {
        SCOPED_TRACE(logs.at(i)->className().toStdString());
        EXPECT_EQ(reloaded.at(i)->className(), logs.at(i)->className());
        EXPECT_TRUE(reloaded.at(i)->isEqual(logs.at(i).get()));
    }
    EXPECT_EQ(reloaded.last()->transmissionTargetTokens(), QSet<QString>{"key1-secret"});
    EXPECT_FALSE(reloaded.first()->transmissionTargetTokens());
}

TEST(VULogDBStorage, BatchesByPriorityWithoutLogsInFlight)
{
    TestHome home;
    VULogDBStorage store;
    ASSERT_TRUE(store.saveLog(namedLog("n1"), "Group", 1));
    ASSERT_TRUE(store.saveLog(namedLog("n2"), "Group", 0x101)); // only the low byte is the priority
    ASSERT_TRUE(store.saveLog(namedLog("c1"), "Group", 2));
    ASSERT_TRUE(store.saveLog(namedLog("n3"), "Group", 1));
    ASSERT_TRUE(store.saveLog(namedLog("other"), "Other", 2));

    const Batch first = load(store, "Group", 2);
    EXPECT_EQ(first.names, (QStringList{"c1", "n1"}));
    EXPECT_TRUE(first.more);
    ASSERT_TRUE(first.batchId);
    const Batch second = load(store, "Group", 2);
    EXPECT_EQ(second.names, (QStringList{"n2", "n3"}));
    EXPECT_FALSE(second.more);
    const Batch third = load(store, "Group", 2);
    EXPECT_TRUE(third.names.isEmpty());
    EXPECT_FALSE(third.batchId);

    store.deleteLogsWithBatchId(*first.batchId, "Group");
    EXPECT_EQ(store.countLogs(), 3u);
    store.deleteLogsWithBatchId(*first.batchId, "Group"); // already gone: nothing happens
    store.deleteLogsWithBatchId(*second.batchId, "Other"); // wrong group: nothing happens
    EXPECT_EQ(store.countLogs(), 3u);

    // Exactly the limit: no "more"; one over: "more"; no limit at all: everything.
    for (int i = 0; i < 50; ++i)
        store.saveLog(namedLog(QStringLiteral("m%1").arg(i)), "Many", 1);
    VULogDBStorage probe; // a second store has no batches in flight
    EXPECT_FALSE(load(probe, "Many", 50).more);
    store.saveLog(namedLog("m50"), "Many", 1);
    VULogDBStorage probe2;
    const Batch fifty = load(probe2, "Many", 50);
    EXPECT_EQ(fifty.names.size(), 50);
    EXPECT_TRUE(fifty.more);
    VULogDBStorage probe3;
    const Batch all = load(probe3, "Many", std::numeric_limits<quint64>::max());
    EXPECT_EQ(all.names.size(), 51);
    EXPECT_FALSE(all.more);
}

TEST(VULogDBStorage, GroupsAreMatchedExactly)
{
    TestHome home;
    VULogDBStorage store;
    for (const QString &group : {QStringLiteral("Crashes"), QStringLiteral("CrashesBuffer"), QStringLiteral("Crashes/one"),
                                QStringLiteral("O'Brien \"quoted\"")})
        ASSERT_TRUE(store.saveLog(namedLog(group), group, 1));
    for (const QString &group : {QStringLiteral("Crashes"), QStringLiteral("CrashesBuffer"), QStringLiteral("Crashes/one")})
        EXPECT_EQ(load(store, group, 10).names, QStringList{group});
    EXPECT_EQ(load(store, QStringLiteral("O'Brien \"quoted\""), 10).names, QStringList{"O'Brien \"quoted\""});

    const auto removed = store.deleteLogsWithGroupId("Crashes");
    ASSERT_EQ(removed.size(), 1);
    EXPECT_EQ(removed.first()->sid, "Crashes");
    EXPECT_EQ(store.countLogs(), 3u);
    // The other groups' batches are still in flight, so their logs are not sent twice.
    EXPECT_TRUE(load(store, "CrashesBuffer", 10).names.isEmpty());
    EXPECT_TRUE(load(store, "Crashes/one", 10).names.isEmpty());
    EXPECT_FALSE(store.inFlightIds("CrashesBuffer").isEmpty());
}

TEST(VULogDBStorage, APausedTargetHoldsBackOnlyItsOwnLogs)
{
    TestHome home;
    VULogDBStorage store;
    auto first = makeCommonSchemaLog("k1-aaa");
    first->sid = "k1";
    auto second = makeCommonSchemaLog("k2-bbb");
    second->sid = "k2";
    ASSERT_TRUE(store.saveLog(first, "Group/one", 1));
    ASSERT_TRUE(store.saveLog(second, "Group/one", 1));
    ASSERT_TRUE(store.saveLog(namedLog("plain"), "Group/one", 1));
    EXPECT_EQ(load(store, "Group/one", 10, {"k1"}).names, (QStringList{"k2", "plain"}));
    EXPECT_EQ(load(store, "Group/one", 10).names, QStringList{"k1"});
}

TEST(VULogDBStorage, ABatchStaysInFlightUntilItsRowsAreGone)
{
    TestHome home;
    VULogDBStorage store;
    store.saveLog(namedLog("a"), "Group", 1);
    store.saveLog(namedLog("b"), "Group", 1);
    const Batch batch = load(store, "Group", 10);
    ASSERT_TRUE(batch.batchId);
    {
        RawDatabase raw;
        raw.exec("CREATE TRIGGER keep BEFORE DELETE ON logs BEGIN SELECT RAISE(ABORT, 'kept'); END");
    }
    store.deleteLogsWithBatchId(*batch.batchId, "Group");
    EXPECT_EQ(store.countLogs(), 2u);
    EXPECT_TRUE(load(store, "Group", 10).names.isEmpty()) << "a failed deletion must not release the batch";
    {
        RawDatabase raw;
        raw.exec("DROP TRIGGER keep");
    }
    store.deleteLogsWithBatchId(*batch.batchId, "Group");
    EXPECT_EQ(store.countLogs(), 0u);
    EXPECT_TRUE(store.inFlightIds("Group").isEmpty());
}

TEST(VULogDBStorage, EvictsByPriorityAtASmallSizeLimit)
{
    TestHome home;
    RecordingLogHandler log(VULogLevelDebug);
    VULogDBStorage store;
    bool answered = false;
    store.setMaxStorageSize(65536, [&](bool success) { answered = success; });
    ASSERT_TRUE(answered);
    EXPECT_EQ(store.maxSizeInBytes(), 65536);

    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(store.saveLog(namedLog(QStringLiteral("n%1").arg(i, 2, 10, QLatin1Char('0'))), "Group", 1)) << i;
    const quint64 normalCount = store.countLogs();
    ASSERT_LT(normalCount, 40u) << "the limit must have forced evictions";
    EXPECT_TRUE(log.contains("oldest log(s) with equal or lower priority deleted."));
    VULogDBStorage reader;
    const Batch normals = load(reader, "Group", 100);
    EXPECT_EQ(normals.names.last(), "n39");
    EXPECT_EQ(normals.names.first(), QStringLiteral("n%1").arg(40 - int(normalCount)));

    // Critical logs push every normal one out before they evict each other.
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(store.saveLog(namedLog(QStringLiteral("c%1").arg(i, 2, 10, QLatin1Char('0'))), "Group", 2)) << i;
    VULogDBStorage reader2;
    const Batch criticals = load(reader2, "Group", 100);
    for (const QString &name : criticals.names)
        EXPECT_TRUE(name.startsWith('c')) << name.toStdString();
    EXPECT_EQ(criticals.names.last(), "c39");
    const quint64 criticalCount = store.countLogs();

    // Too big for whatever slack the full file has left, and no normal log to make room.
    auto late = namedLog("late");
    late->services = QStringList{QString(12000, 'x')};
    EXPECT_FALSE(store.saveLog(late, "Group", 1));
    EXPECT_TRUE(log.contains("Storage is full and no logs with equal or lower priority exist; discarding the log."));
    EXPECT_EQ(store.countLogs(), criticalCount);

    // A size below what is used is refused; the completion always hears back.
    bool shrunk = true;
    store.setMaxStorageSize(24576, [&](bool success) { shrunk = success; });
    EXPECT_FALSE(shrunk);
    EXPECT_EQ(store.maxSizeInBytes(), 65536);
    EXPECT_TRUE(log.contains("as it would cause a loss of data"));

    // A log larger than the whole limit is refused at once.
    auto huge = namedLog("huge");
    huge->services = QStringList{QString(70000, 'x')};
    EXPECT_FALSE(store.saveLog(huge, "Group", 2));
    EXPECT_TRUE(log.contains("to store in database. Current maximum database size is"));
}

TEST(VULogDBStorage, SizeChangesRoundUpToWholePages)
{
    TestHome home;
    RecordingLogHandler log(VULogLevelInfo);
    VULogDBStorage store;
    ASSERT_EQ(store.pageSize(), 4096);
    bool result = false;
    store.setMaxStorageSize(40000, [&](bool success) { result = success; });
    EXPECT_TRUE(result);
    EXPECT_EQ(store.maxSizeInBytes(), 40960);
    EXPECT_TRUE(log.contains("Changed maximum database size to 40960 bytes (next multiple of 4KiB)."));
    store.setMaxStorageSize(49152, [&](bool success) { result = success; });
    EXPECT_TRUE(log.contains("Changed maximum database size to 49152 bytes."));
}

TEST(VULogDBStorage, ADamagedFileIsKeptAsideAndANewOneStarted)
{
    const struct {
        const char *name;
        std::function<QByteArray(const QByteArray &sound)> damage;
    } cases[] = {
        {"garbage", [](const QByteArray &) { return QByteArray(8192, 'x'); }},
        {"truncated", [](const QByteArray &sound) { return sound.left(sound.size() / 2 + 100); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TestHome home;
        QByteArray sound;
        {
            VULogDBStorage first;
            for (int i = 0; i < 200; ++i)
                ASSERT_TRUE(first.saveLog(namedLog(QStringLiteral("log %1").arg(i)), "Group", 1));
        }
        {
            // Read once closed: until then the latest pages may still be in the write-ahead log.
            QFile file(dbPath());
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            sound = file.readAll();
        }
        const QByteArray damaged = c.damage(sound);
        VUUtility::createFileAtPathComponent(QStringLiteral("Logs.sqlite"), damaged, false, true);

        RecordingLogHandler log(VULogLevelError);
        VULogDBStorage store;
        EXPECT_TRUE(log.contains("\"Logs.sqlite\" is damaged; kept as \"Logs.sqlite.damaged-"))
            << qPrintable(log.lines().join("\n"));
        // The damaged file is kept as it was, beside the new one.
        const QStringList aside = QDir(QFileInfo(dbPath()).absolutePath()).entryList({"Logs.sqlite.damaged-*"});
        ASSERT_EQ(aside.size(), 1);
        QFile kept(QFileInfo(dbPath()).absolutePath() + "/" + aside.first());
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), damaged);
        // The new file takes logs for the rest of the launch.
        EXPECT_TRUE(store.saveLog(namedLog("a"), "Group", 1));
        EXPECT_EQ(store.countLogs(), 1u);
        EXPECT_EQ(load(store, "Group", 10).names, QStringList{"a"});
    }
}

TEST(VULogDBStorage, AnUnopenableFileFailsEachOperationSafely)
{
    TestHome home;
    // The file's place taken by a folder: it cannot even be opened, and still answers.
    QDir().mkpath(dbPath());
    VULogDBStorage unopenable;
    EXPECT_EQ(unopenable.pageSize(), 0);
    EXPECT_FALSE(unopenable.saveLog(namedLog("a"), "Group", 1));
    EXPECT_EQ(unopenable.countLogs(), 0u);
    EXPECT_TRUE(load(unopenable, "Group", 10).names.isEmpty());
    int calls = 0;
    unopenable.setMaxStorageSize(1 << 20, [&](bool success) {
        ++calls;
        EXPECT_FALSE(success);
    });
    EXPECT_EQ(calls, 1);

    // Once the folder is gone and a store has made the file, the first one learns the page
    // size it could not read at its start and works.
    QDir(dbPath()).removeRecursively();
    VULogDBStorage later;
    EXPECT_TRUE(unopenable.saveLog(namedLog("b"), "Group", 1));
    EXPECT_EQ(unopenable.pageSize(), later.pageSize());
    EXPECT_EQ(load(unopenable, "Group", 10).names, QStringList{"b"});
}

TEST(VULogDBStorage, ALogThatCannotBeArchivedIsRefusedAtSave)
{
    TestHome home;
    VULogDBStorage store;
    QVariant nested = QStringLiteral("deep");
    for (int i = 0; i < 600; ++i)
        nested = QVariantList{nested};
    const struct {
        const char *name;
        std::function<void(VULogWithProperties &)> spoil;
    } cases[] = {
        {"invalid timestamp", [](VULogWithProperties &log) { log.timestamp = QDateTime(); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RecordingLogHandler log(VULogLevelError);
        auto spoilt = makeLogWithProperties();
        c.spoil(*spoilt);
        EXPECT_FALSE(store.saveLog(spoilt, "Group", 1));
        EXPECT_TRUE(log.contains("The log could not be archived; it is not stored."));
    }
    const struct {
        const char *name;
        QVariant value;
    } values[] = {
        {"a web address", QVariant(QUrl(QStringLiteral("https://example.invalid/")))},
        {"nesting deeper than the archive's limit", nested},
    };
    for (const auto &c : values) {
        SCOPED_TRACE(c.name);
        RecordingLogHandler log(VULogLevelError);
        auto spoilt = makeCustomPropertiesLog();
        spoilt->properties->insert("odd", c.value);
        EXPECT_FALSE(store.saveLog(spoilt, "Group", 1));
        EXPECT_TRUE(log.contains("The log could not be archived; it is not stored."));
    }
    // Nothing was stored, so nothing is deleted as damaged later.
    EXPECT_EQ(store.countLogs(), 0u);
    EXPECT_TRUE(store.saveLog(makeCustomPropertiesLog(), "Group", 1));
    EXPECT_EQ(store.countLogs(), 1u);
}

TEST(VUDBStorage, ATableThatCannotBeMadeClaimsNoVersion)
{
    TestHome home;
    // A constraint SQLite cannot parse: CREATE TABLE fails.
    class BrokenSchemaStorage : public VUDBStorage
    {
    public:
        BrokenSchemaStorage()
            : VUDBStorage({{QStringLiteral("broken"), {{QStringLiteral("id"), {QStringLiteral("INTEGER"), QStringLiteral("CHECK(")}}}}},
                          5, QStringLiteral("Logs.sqlite"))
        {
            initializeDatabase();
        }
    };
    RecordingLogHandler log(VULogLevelError);
    BrokenSchemaStorage broken;
    EXPECT_TRUE(log.contains("CREATE TABLE")) << qPrintable(log.lines().join("\n"));
    RawDatabase raw;
    EXPECT_EQ(raw.value("PRAGMA user_version").toLongLong(), 0);
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM sqlite_master WHERE name = 'broken'").toLongLong(), 0);
    // So the real store, started later on the same file, makes its tables instead of taking
    // the file for a migrated one.
    VULogDBStorage store;
    EXPECT_TRUE(store.saveLog(namedLog("a"), "Group", 1));
    EXPECT_EQ(raw.value("PRAGMA user_version").toLongLong(), VULogDBStorage::kVULogDatabaseSchemaVersion);
}

TEST(VULogDBStorage, LogsHandedOverTogetherAreStoredTogetherAndEachAnswered)
{
    TestHome home;
    VULogDBStorage store;
    RawDatabase raw;
    raw.exec("CREATE TRIGGER refuse BEFORE INSERT ON logs WHEN NEW.groupId = 'Refused' "
             "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    QStringList answers;
    const auto answer = [&answers](const QString &name) {
        return [&answers, name](bool saved) { answers.append(name + (saved ? " stored" : " refused")); };
    };
    EXPECT_TRUE(store.saveLogLater(namedLog("a"), "Group", 1, answer("a")));
    EXPECT_FALSE(store.saveLogLater(namedLog("b"), "Refused", 1, answer("b")));
    EXPECT_FALSE(store.saveLogLater(namedLog("c"), "Group", 1, answer("c")));
    // The next operation sees them stored; one refused log costs the others nothing.
    EXPECT_EQ(load(store, "Group", 10).names, (QStringList{"a", "c"}));
    EXPECT_TRUE(answers.isEmpty());
    store.finishPendingSaves();
    EXPECT_EQ(answers, (QStringList{"a stored", "b refused", "c stored"}));
    EXPECT_TRUE(store.saveLogLater(namedLog("d"), "Group", 1, answer("d")));
}

TEST(VULogDBStorage, ABacklogKeepsItsOrderAndLeavesOutOnlyItsBadLogs)
{
    // Enough logs that their archives and decodes are shared among threads.
    TestHome home;
    VULogDBStorage store;
    RecordingLogHandler log(VULogLevelError);
    QStringList answers;
    QStringList expected;
    for (int i = 0; i < 40; ++i) {
        const QString name = QStringLiteral("log %1").arg(i);
        std::shared_ptr<VUAbstractLog> item = namedLog(name);
        const bool unarchivable = i == 7 || i == 31;
        if (unarchivable) {
            auto odd = makeCustomPropertiesLog();
            odd->sid = name;
            odd->properties->insert("odd", QUrl(QStringLiteral("https://example.invalid/")));
            item = odd;
        }
        store.saveLogLater(item, "Group", 1, [&answers, name](bool saved) { answers.append(name + (saved ? "" : " refused")); });
        expected.append(name + (unarchivable ? " refused" : ""));
    }
    store.finishPendingSaves();
    EXPECT_EQ(answers, expected);
    EXPECT_TRUE(log.contains("The log could not be archived; it is not stored."));
    ASSERT_EQ(store.countLogs(), 38u);

    RawDatabase raw;
    raw.exec("UPDATE logs SET log = 'bm90IGFuIGFyY2hpdmU=' WHERE id IN (3, 25)");
    const Batch batch = load(store, "Group", 100);
    QStringList sound;
    for (const QString &answer : std::as_const(expected))
        if (!answer.endsWith(" refused") && answer != "log 2" && answer != "log 25")
            sound.append(answer);
    // Row ids count only the stored logs: ids 3 and 25 hold logs 2 and 25.
    EXPECT_EQ(batch.names, sound);
    EXPECT_TRUE(log.contains("Deserialization failed for log with Id 3"));
    EXPECT_TRUE(log.contains("Deserialization failed for log with Id 25"));
    EXPECT_EQ(store.countLogs(), 36u);
}

TEST(VULogDBStorage, AProgramKilledAfterStoringLosesNoLog)
{
    TestHome home;
    const pid_t pid = fork();
    if (pid == 0) {
        VULogDBStorage store;
        for (int i = 0; i < 50; ++i)
            if (!store.saveLog(namedLog(QStringLiteral("alone %1").arg(i)), "Group", 1))
                _exit(2);
        int stored = 0;
        for (int i = 0; i < 50; ++i)
            store.saveLogLater(namedLog(QStringLiteral("together %1").arg(i)), "Group", 1,
                               [&stored](bool saved) { stored += saved ? 1 : 0; });
        store.finishPendingSaves();
        if (stored != 50)
            _exit(3);
        // Every log was answered as stored: now the program dies without closing anything.
        kill(getpid(), SIGKILL);
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    VULogDBStorage store;
    EXPECT_EQ(store.countLogs(), 100u);
}
