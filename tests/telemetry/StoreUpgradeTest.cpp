// The parts of the log store the sending road relies on: a failed upgrade is tried again,
// a unit counts only its own group, and an unanswered batch goes back to the store.
#include "TelemetryTestSupport.h"
#include "TestHome.h"

#include "telemetry/core/VULogDBStorage.h"
#include "telemetry/core/VUUtility.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

class RawStore
{
public:
    RawStore()
    {
        QDir().mkpath(VUUtility::vovUdezirDirectoryURL());
        sqlite3_open(QFile::encodeName(*VUUtility::fullURLForPathComponent(QStringLiteral("Logs.sqlite"))).constData(), &mDb);
    }
    ~RawStore() { sqlite3_close(mDb); }
    void exec(const char *sql) { ASSERT_EQ(sqlite3_exec(mDb, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(mDb); }
    qint64 value(const QString &sql) { return VUDBStorage::querySingleValue(sql, mDb); }

private:
    sqlite3 *mDb = nullptr;
};

TEST(VULogDBStorageUpgrade, AFailedStepKeepsTheOldVersionAndRunsAgain)
{
    TestHome home;
    {
        RawStore raw;
        raw.exec("CREATE TABLE logs (id INTEGER PRIMARY KEY AUTOINCREMENT, groupId TEXT NOT NULL, log TEXT NOT NULL, "
                 "targetToken TEXT, targetKey TEXT); PRAGMA user_version = 2;");
        // Something already holds the name of the new index, so that step fails.
        raw.exec("CREATE TABLE ix_logs_priority (x)");
    }
    {
        VULogDBStorage store;
        RawStore raw;
        EXPECT_EQ(raw.value("PRAGMA user_version"), 2);
        raw.exec("DROP TABLE ix_logs_priority");
    }
    VULogDBStorage store;
    RawStore raw;
    EXPECT_EQ(raw.value("PRAGMA user_version"), 3);
    EXPECT_EQ(raw.value("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name = 'ix_logs_priority'"), 1);
    EXPECT_TRUE(store.saveLog(makeStartServiceLog(), "Analytics", 2));
    EXPECT_EQ(raw.value("SELECT priority FROM logs"), 2);
}

TEST(VULogDBStorageUpgrade, GroupsCountAloneAndAReleasedBatchCanBeLoadedAgain)
{
    TestHome home;
    VULogDBStorage store;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(store.saveLog(makeStartServiceLog(), "Mine", 1));
    ASSERT_TRUE(store.saveLog(makeStartServiceLog(), "Other", 1));
    EXPECT_EQ(store.countLogsWithGroupId("Mine"), 3u);
    EXPECT_EQ(store.countLogsWithGroupId("Other"), 1u);
    EXPECT_EQ(store.countLogs(), 4u);

    QString batchId;
    store.loadLogsWithGroupId("Mine", 10, {}, [&](const auto &, const auto &id) { batchId = id.value_or(QString()); });
    ASSERT_FALSE(batchId.isEmpty());
    int loaded = -1;
    store.loadLogsWithGroupId("Mine", 10, {}, [&](const auto &logs, const auto &) { loaded = int(logs.size()); });
    EXPECT_EQ(loaded, 0);
    store.releaseLogsWithBatchId(batchId, "Mine");
    store.loadLogsWithGroupId("Mine", 10, {}, [&](const auto &logs, const auto &) { loaded = int(logs.size()); });
    EXPECT_EQ(loaded, 3);
    EXPECT_EQ(store.countLogsWithGroupId("Mine"), 3u);
}

} // namespace
