// Opening archive databases: creation, the upgrade of every older layout, the one shared
// handle per key, and failures that must leave nothing behind.

#include "ArchiveRig.h"

#include "archive/ArchiveDB.h"
#include "archive/ArchiveSchema.h"
#include "archive/ArchiveThisSetting.h"
#include "archive/QNArchive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace {

const QStringList kMessageColumns = {"id", "date", "address", "text", "flags", "html", "sender",
                                     "grouptitle", "sendername", "recipientnames"};
const QStringList kCallColumns = {"id", "date", "address", "duration", "flags", "wa", "provider", "name"};

} // namespace

TEST(ArchiveDatabase, ANewArchiveOfTheConnectedDeviceGetsEveryTableAndJoinsTheList)
{
    ArchiveRig rig;
    int error = 0;
    const ArchiveDBPtr db = rig.controller.getBackupDB(QString(), &error);
    ASSERT_TRUE(db) << error;
    EXPECT_EQ(error, 0);
    EXPECT_EQ(db->key(), "uid-phone");
    EXPECT_TRUE(QFileInfo::exists(rig.dbPath("uid-phone")));

    EXPECT_EQ(rig.columns("uid-phone", "message"), kMessageColumns);
    EXPECT_EQ(rig.columns("uid-phone", "call"), kCallColumns);
    EXPECT_EQ(rig.columns("uid-phone", "voicemail"),
              (QStringList{"id", "date", "address", "duration", "flags", "amr"}));
    EXPECT_EQ(rig.columns("uid-phone", "smsbackuppieces"),
              (QStringList{"smsid", "uuid", "data", "thumbnail", "path"}));
    EXPECT_EQ(rig.columns("uid-phone", "smspieces"), (QStringList{"uuid", "data", "path", "synctime"}));
    EXPECT_EQ(rig.columns("uid-phone", "synctimes"), (QStringList{"uuid", "synctime"}));
    EXPECT_EQ(rig.columns("uid-phone", "contacts"), (QStringList{"id", "name", "screenname", "image"}));
    EXPECT_EQ(rig.text("uid-phone", "SELECT value FROM props WHERE key='phonename'"), "Phone");
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM amrs WHERE uuid='NEW'"), 1);
    EXPECT_TRUE(rig.controller.createdAMRDB("uid-phone"));

    ASSERT_TRUE(waitUntil([&] { return rig.controller.devices.size() == 1; }));
    EXPECT_EQ(rig.controller.devices[0]->displayname(), "Phone");
    EXPECT_TRUE(rig.controller.devices[0]->archiveThis());
    EXPECT_TRUE(rig.controller.currentDeviceArchiveExists());
    EXPECT_TRUE(rig.controller.shouldArchive("uid-phone"));
    EXPECT_FALSE(rig.controller.shouldArchive("uid-other"));
}

TEST(ArchiveDatabase, AnArchiveMadeWhileArchivingIsOffIsMarkedNotToArchive)
{
    ArchiveRig rig;
    gArchiveThisSetting.store(false);
    int error = 0;
    ASSERT_TRUE(rig.controller.getBackupDB(QString(), &error));
    gArchiveThisSetting.store(true);
    EXPECT_EQ(rig.text("uid-phone", "SELECT value FROM props WHERE key='archive'"), "NO");
    ASSERT_TRUE(waitUntil([&] { return rig.controller.devices.size() == 1; }));
    EXPECT_FALSE(rig.controller.shouldArchive("uid-phone"));
}

TEST(ArchiveDatabase, ACacheDatabaseHasNoPropsAndIsNeverListed)
{
    ArchiveRig rig;
    int error = 0;
    ASSERT_TRUE(rig.controller.getBackupDB("thumbcacheBackupX", &error));
    EXPECT_FALSE(rig.columns("thumbcacheBackupX", "smspieces").isEmpty());
    EXPECT_TRUE(rig.columns("thumbcacheBackupX", "props").isEmpty());
    // Wait for the device's own archive to be listed, which proves the queue ran.
    ASSERT_TRUE(rig.controller.getBackupDB(QString(), &error));
    ASSERT_TRUE(waitUntil([&] { return rig.controller.devices.size() == 1; }));
    EXPECT_EQ(rig.controller.devices[0]->uuid(), "uid-phone");
    EXPECT_EQ(QNArchive::getAllDevices().size(), 1);
}

struct UpgradeCase
{
    const char *fixture;
    bool seeded; // the cache tables are new or still hold their seed row
    qint64 messages;
};

TEST(ArchiveDatabase, EveryOlderLayoutIsUpgradedKeepingItsRows)
{
    const UpgradeCase cases[] = {
        {"archive/schema-1.sql", true, 2},
        {"archive/schema-2.sql", true, 1},
        {"archive/schema-3.sql", false, 1},
        {"archive/half-upgraded.sql", true, 0},
        {"controller/archive.sql", true, 2},
    };
    for (const UpgradeCase &c : cases) {
        SCOPED_TRACE(c.fixture);
        ArchiveRig rig;
        rig.loadFixture("uid-old", c.fixture);
        int error = 0;
        ASSERT_TRUE(rig.controller.getBackupDB("uid-old", &error)) << error;
        for (const QString &column : kMessageColumns)
            EXPECT_TRUE(rig.columns("uid-old", "message").contains(column)) << qPrintable(column);
        for (const QString &column : kCallColumns)
            EXPECT_TRUE(rig.columns("uid-old", "call").contains(column)) << qPrintable(column);
        EXPECT_TRUE(rig.columns("uid-old", "smsbackuppieces").contains("path"));
        EXPECT_TRUE(rig.columns("uid-old", "smsbackuppieces").contains("thumbnail"));
        EXPECT_TRUE(rig.columns("uid-old", "smspieces").contains("path"));
        EXPECT_FALSE(rig.columns("uid-old", "voicemail").isEmpty());
        EXPECT_FALSE(rig.columns("uid-old", "contacts").isEmpty());
        EXPECT_FALSE(rig.columns("uid-old", "synctimes").isEmpty());
        EXPECT_EQ(rig.number("uid-old", "SELECT COUNT(*) FROM message"), c.messages);
        EXPECT_EQ(rig.controller.createdAMRDB("uid-old"), c.seeded);
    }
}

TEST(ArchiveDatabase, AnUpgradedDatabaseKeepsItsNameAndFlag)
{
    ArchiveRig rig;
    rig.loadFixture("uid-old", "archive/schema-3.sql");
    int error = 0;
    ASSERT_TRUE(rig.controller.getBackupDB("uid-old", &error));
    EXPECT_EQ(rig.text("uid-old", "SELECT name FROM call"), "Ann");
    EXPECT_EQ(rig.text("uid-old", "SELECT sender FROM message"), "+15550100");
    EXPECT_EQ(rig.text("uid-old", "SELECT value FROM props WHERE key='archive'"), "NO");
    EXPECT_EQ(rig.number("uid-old", "SELECT length(amr) FROM voicemail"), 6);
}

TEST(ArchiveDatabase, TheSameKeyGivesTheSameHandleUntilTheCacheIsClosed)
{
    ArchiveRig rig;
    int error = 0;
    const ArchiveDBPtr first = rig.controller.getBackupDB("uid-phone", &error);
    const ArchiveDBPtr again = rig.controller.getBackupDB(QString(), &error);
    EXPECT_EQ(first, again);
    rig.controller.closeBackupDBs();
    const ArchiveDBPtr reopened = rig.controller.getBackupDB("uid-phone", &error);
    ASSERT_TRUE(reopened);
    EXPECT_NE(reopened, first);
    EXPECT_EQ(rig.controller.mBackupDBs.size(), 1u);
}

TEST(ArchiveDatabase, ClosingReallyClosesAHandleWithKeptStatements)
{
    ArchiveRig rig;
    int error = 0;
    ArchiveDBPtr db = rig.controller.getBackupDB(QString(), &error);
    ASSERT_TRUE(db);
    // A writer's kept statement and a forgotten probe are both still prepared.
    ASSERT_EQ(sqlite3_prepare_v2(db->handle(), "SELECT text, date FROM message WHERE date=? and html=? LIMIT 1",
                                 -1, &db->kept(ArchiveDB::CheckMessage), nullptr),
              SQLITE_OK);
    sqlite3_stmt *forgotten = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db->handle(), "SELECT * FROM call", -1, &forgotten, nullptr), SQLITE_OK);
    ASSERT_TRUE(ArchiveRig::processHasOpen(rig.dbPath("uid-phone")));

    rig.controller.closeBackupDBs();
    // A thread that still holds the handle keeps using it.
    EXPECT_EQ(sqlite3_step(db->kept(ArchiveDB::CheckMessage)), SQLITE_DONE);
    EXPECT_TRUE(ArchiveRig::processHasOpen(rig.dbPath("uid-phone")));
    db.reset();
    EXPECT_FALSE(ArchiveRig::processHasOpen(rig.dbPath("uid-phone")));
}

TEST(ArchiveDatabase, ThreadsOpeningTheSameKeyAtOnceShareOneHandle)
{
    ArchiveRig rig;
    constexpr int kThreads = 8;
    std::vector<ArchiveDBPtr> results(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            int error = 0;
            results[i] = rig.controller.getBackupDB("uid-phone", &error);
        });
    }
    for (auto &thread : threads)
        thread.join();
    for (const auto &result : results) {
        ASSERT_TRUE(result);
        EXPECT_EQ(result, results[0]);
    }
    EXPECT_EQ(rig.controller.mBackupDBs.size(), 1u);
    ASSERT_TRUE(waitUntil([&] { return rig.controller.devices.size() == 1; }));
    waitUntil([] { return false; }, 100); // a second listing would arrive meanwhile
    EXPECT_EQ(rig.controller.devices.size(), 1);
}

TEST(ArchiveDatabase, NoKeyAndNoDeviceOpensNothingAndLeavesTheErrorAlone)
{
    ArchiveRig rig{QString()};
    int error = 12345;
    EXPECT_FALSE(rig.controller.getBackupDB(QString(), &error));
    EXPECT_EQ(error, 12345);
    EXPECT_TRUE(rig.controller.getBackupFilePath(QString()).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(rig.folder()) && !QDir(rig.folder()).isEmpty());
}

TEST(ArchiveDatabase, KeysThatLeadOutOfTheArchiveFolderAreRefused)
{
    ArchiveRig rig;
    for (const char *key : {"../outside", "a/b", "..", "."}) {
        SCOPED_TRACE(key);
        int error = 0;
        EXPECT_FALSE(rig.controller.getBackupDB(key, &error));
        EXPECT_EQ(error, ArchiveSchema::kNoKey);
    }
    EXPECT_FALSE(QFileInfo::exists(rig.home.path() + "/outside.db"));
}

TEST(ArchiveDatabase, AFailedCreationLeavesNoEmptyArchiveBehind)
{
    ArchiveRig rig;
    // The journal's place is taken, so the creation transaction cannot start.
    ASSERT_TRUE(QDir().mkpath(rig.dbPath("uid-phone") + "-journal"));
    int error = 0;
    EXPECT_FALSE(rig.controller.getBackupDB(QString(), &error));
    EXPECT_EQ(error, ArchiveSchema::kCreateBase);
    EXPECT_FALSE(QFileInfo::exists(rig.dbPath("uid-phone")));
    EXPECT_TRUE(QNArchive::getAllDevices().isEmpty());
}

TEST(ArchiveDatabase, APipeInTheArchivesPlaceIsRefusedAtOnce)
{
    ArchiveRig rig;
    ASSERT_TRUE(QDir().mkpath(rig.folder()));
    ASSERT_EQ(mkfifo(QFile::encodeName(rig.dbPath("uid-phone")).constData(), 0600), 0);
    int error = 0;
    EXPECT_FALSE(rig.controller.getBackupDB(QString(), &error));
    EXPECT_EQ(error, ArchiveSchema::kCannotOpen);
    EXPECT_TRUE(QFileInfo(rig.dbPath("uid-phone")).exists());
    // The start-up list passes it by rather than wait for a writer that never comes.
    EXPECT_TRUE(QNArchive::getAllDevices().isEmpty());
}

TEST(ArchiveDatabase, TheStartUpListKeepsAnArchiveWithAHotJournalOrAWriterAtWork)
{
    ArchiveRig rig;
    // A writer killed mid-transaction: the database with pages it already wrote and the
    // journal that undoes them, and no process holding either.
    rig.loadFixture("uid-source", "controller/archive.sql");
    rig.exec("uid-source", "CREATE TABLE filler (x BLOB);"
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 64)"
                           " INSERT INTO filler SELECT randomblob(4000) FROM n;");
    sqlite3 *writer = rig.openRaw("uid-source");
    ASSERT_EQ(sqlite3_exec(writer, "PRAGMA cache_size=1; BEGIN; UPDATE filler SET x = randomblob(4000);"
                                   "UPDATE props SET value = 'Half written' WHERE key = 'phonename';",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    ASSERT_TRUE(QFile::copy(rig.dbPath("uid-source"), rig.dbPath("uid-hot")));
    ASSERT_TRUE(QFile::copy(rig.dbPath("uid-source") + "-journal", rig.dbPath("uid-hot") + "-journal"));
    sqlite3_close(writer);
    ASSERT_TRUE(QFile::remove(rig.dbPath("uid-source")));

    // Another connection in the middle of a write when the list is built.
    rig.loadFixture("uid-busy", "controller/archive.sql");
    sqlite3 *busy = rig.openRaw("uid-busy");
    ASSERT_EQ(sqlite3_exec(busy, "BEGIN EXCLUSIVE; INSERT INTO message (text) VALUES ('three');", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    auto listing = std::async(std::launch::async, [] { return QNArchive::getAllDevices(); });
    const auto done = [&] { return listing.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    // The writer commits once the list has the file open too.
    waitUntil([&] { return done() || ArchiveRig::descriptorsOn(rig.dbPath("uid-busy")) > 1; }, 10000);
    ASSERT_EQ(sqlite3_exec(busy, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(busy);
    ASSERT_TRUE(waitUntil(done, 20000));

    QStringList listed;
    for (const auto &archive : listing.get())
        listed << archive->uuid() + ": " + QString::number(archive->numMessages());
    listed.sort();
    EXPECT_EQ(listed, (QStringList{"uid-busy: 3", "uid-hot: 2"}));
}
