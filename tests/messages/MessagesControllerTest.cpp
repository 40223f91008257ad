// The messages list controller over real sources: an archive database, a backup on disk
// (generated), its models under the model tester, flush while a load runs, and a search
// that is cancelled mid-pass.

#include "BackupGenerator.h"
#include "ExtractRig.h"

#include "backup/DeviceBackup.h"
#include "messages/FRMMSInfo.h"
#include "messages/SMSDataController.h"
#include "platform/UserDefaults.h"
#include "shell/DataLocks.h"
#include "shell/RecordTableModel.h"
#include "shell/RecordTreeModel.h"

#include <QAbstractItemModelTester>
#include <QFile>

#include <gtest/gtest.h>

// Failures print the texts.
inline void PrintTo(const QStringList &list, std::ostream *os) { *os << '"' << qPrintable(list.join("\", \"")) << '"'; }

namespace {

const QString kUid = QStringLiteral("00008030-001A2B3C4D5E6F70");

// `count` archived messages in `threads` conversations, every other one sent.
void archiveMessages(ExtractRig &rig, int count, int threads)
{
    rig.exec(kUid, QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                                  "INSERT INTO message (id, date, address, text, flags, html, sender, grouptitle, "
                                  "sendername, recipientnames) SELECT i, 1400000000 + i, "
                                  "'+1555' || printf('%07d', i % %2), 'message ' || i, i % 2, '', '', '', '', '' "
                                  "FROM n")
                       .arg(count)
                       .arg(threads));
}

QStringList threadNames(const SMSDataController &controller)
{
    QStringList names;
    for (const QVariantMap &thread : controller.snapshot()->allThreads)
        names.append(thread.value("name").toString());
    return names;
}

struct ControllerRig
{
    ControllerRig() : rig(kUid)
    {
        rig.makeArchive(kUid);
        for (const char *key : {"SHOW_SMS", "SHOW_WA"})
            UserDefaults::standard().setBool(true, QString::fromLatin1(key));
    }
    bool loaded(SMSDataController &controller)
    {
        return waitUntil([&] { return !controller.isLoading() && !controller.isFinding(); }, 20000);
    }
    ExtractRig rig;
};

} // namespace

TEST(MessagesController, AnArchiveLoadsIntoBothModels)
{
    ControllerRig r;
    archiveMessages(r.rig, 12, 3);
    SMSDataController controller(&r.rig.controller);
    QAbstractItemModelTester tableTester(controller.tableModel(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModelTester treeTester(controller.threadModel(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    controller.loadBackup(kUid);
    ASSERT_TRUE(r.loaded(controller));
    ASSERT_TRUE(controller.snapshot());
    EXPECT_EQ(controller.snapshot()->messages.size(), 12);
    EXPECT_EQ(threadNames(controller), QStringList({"All", "+15550000000", "+15550000002", "+15550000001"}));
    EXPECT_EQ(controller.tableModel()->rowCount(), 12);
    EXPECT_EQ(controller.threadModel()->rowCount(), 4);
    EXPECT_EQ(controller.cacheDBName(), kUid);
    for (const FRSMSInfoPtr &message : controller.snapshot()->messages)
        EXPECT_EQ(message->device(), kUid);

    // One conversation: its rows only, the single-conversation headers, and the search
    // narrows it further.
    const QModelIndex second = controller.threadModel()->index(2, 0); // messages 2, 5, 8 and 11
    controller.setCurrentThreads({controller.threadModel()->values(second)});
    ASSERT_TRUE(r.loaded(controller));
    EXPECT_EQ(controller.tableModel()->rowCount(), 4);
    EXPECT_TRUE(controller.individualThread());
    controller.beginSearch("message 11");
    ASSERT_TRUE(r.loaded(controller));
    ASSERT_EQ(controller.displayedRows().size(), 1);
    EXPECT_EQ(controller.displayedRows().first()->SMSFullText(), "message 11");
    EXPECT_EQ(controller.objectsForPrinting().size(), 1);
    controller.beginSearch("");
    ASSERT_TRUE(r.loaded(controller));
    EXPECT_EQ(controller.objectsForPrinting().size(), 4);

    // Flushed: both models empty.
    controller.flush();
    EXPECT_EQ(controller.tableModel()->rowCount(), 0);
    EXPECT_EQ(controller.threadModel()->rowCount(), 0);
    EXPECT_FALSE(controller.hasData());
}

TEST(MessagesController, FlushDuringALoadReturnsAndTheLoadIsDropped)
{
    ControllerRig r;
    archiveMessages(r.rig, 5, 1);
    SMSDataController controller(&r.rig.controller);
    {
        // The load's archive read waits for the archive lock this thread holds.
        std::unique_lock hold(localLock);
        controller.loadBackup(kUid);
        controller.flush();
    }
    ASSERT_TRUE(r.loaded(controller));
    EXPECT_FALSE(controller.snapshot());
    EXPECT_EQ(controller.tableModel()->rowCount(), 0);
}

TEST(MessagesController, ACancelledSearchStopsMidPass)
{
    ControllerRig r;
    archiveMessages(r.rig, 40000, 50);
    SMSDataController controller(&r.rig.controller);
    controller.loadBackup(kUid);
    ASSERT_TRUE(r.loaded(controller));
    const int64_t before = controller.rowsExamined();
    // A search no row matches looks at every row unless it is stopped.
    controller.beginSearch(QString::fromUtf8("\xE2\x98\x83 nowhere"));
    ASSERT_TRUE(waitUntil([&] { return controller.rowsExamined() > before; }, 20000));
    controller.cancelFindString();
    EXPECT_FALSE(controller.isFinding());
    ASSERT_TRUE(waitUntil([&] { return controller.passesRunning() == 0; }, 20000));
    EXPECT_LT(controller.rowsExamined() - before, 40000);
    // A new search after the cancel runs to its end and owns the table.
    controller.beginSearch("message 39999");
    ASSERT_TRUE(r.loaded(controller));
    EXPECT_EQ(controller.tableModel()->rowCount(), 1);
}

TEST(MessagesController, ABackupOnDiskLoadsAndALockedOneIsEmptyWithoutError)
{
    ControllerRig r;
    BackupGen::Recipe recipe;
    recipe.targetID = kUid;
    const QString script = fixtureText("devicedata/messages-40.sql")
                           + "INSERT INTO handle VALUES(1,'+15551234567');"
                             "INSERT INTO chat_handle_join VALUES(1,1);"
                             "INSERT INTO message VALUES(1,'Hello from the backup','SMS',1,600000000,0,NULL,0,1);"
                             "INSERT INTO chat_message_join VALUES(1,1);";
    const QString scratch = r.rig.home.path() + "/scratch.db";
    makeDatabase(scratch, script);
    recipe.files = {{"HomeDomain", "Library/SMS/sms.db", readFile(scratch), 3}};
    const QString folder = r.rig.home.path() + "/Backup/" + kUid;
    BackupGen::write(folder, recipe);
    const DeviceBackupPtr backup = DeviceBackup::initWithPath(folder);
    ASSERT_TRUE(backup);
    SMSDataController controller(&r.rig.controller);
    controller.loadBackup(backup);
    ASSERT_TRUE(r.loaded(controller));
    ASSERT_TRUE(controller.snapshot());
    ASSERT_EQ(controller.snapshot()->messages.size(), 1);
    EXPECT_EQ(controller.snapshot()->messages.first()->SMSFullText(), "Hello from the backup");
    EXPECT_EQ(controller.snapshot()->messages.first()->device(), "backup" + kUid);
    EXPECT_EQ(controller.cacheDBName(), "thumbcache" + kUid);
    EXPECT_EQ(controller.loadError(), 0);

    BackupGen::Recipe locked = recipe;
    locked.encrypted = true;
    const QString lockedFolder = r.rig.home.path() + "/Backup2/" + kUid;
    BackupGen::write(lockedFolder, locked);
    const DeviceBackupPtr lockedBackup = DeviceBackup::initWithPath(lockedFolder, false);
    ASSERT_TRUE(lockedBackup);
    SMSDataController lockedController(&r.rig.controller);
    lockedController.loadBackup(lockedBackup);
    ASSERT_TRUE(r.loaded(lockedController));
    ASSERT_TRUE(lockedController.snapshot());
    EXPECT_TRUE(lockedController.snapshot()->messages.isEmpty());
    EXPECT_EQ(lockedController.loadError(), 0);
}
