// The messages list controller against a simulated device: one load per device generation
// however often the window asks, conversations and bubble rows from the device, and a device
// that goes away mid-load leaves the list untouched.

#include "LiveRig.h"

#include "archive/ArchiveFolder.h"
#include "messages/SMSDataController.h"
#include "platform/UserDefaults.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"
#include "shell/RecordTableModel.h"
#include "shell/RecordTreeModel.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

QByteArray messagesDatabase()
{
    return database(fixtureText(QStringLiteral("devicedata/messages-40.sql"))
                    + QStringLiteral("INSERT INTO handle VALUES(1,'+15551234567');"
                                     "INSERT INTO handle VALUES(2,'+15557654321');"
                                     "INSERT INTO chat_handle_join VALUES(1,1);"
                                     "INSERT INTO chat_handle_join VALUES(2,2);"
                                     "INSERT INTO message VALUES(1,'Hello Ann','SMS',1,600000000,0,NULL,0,1);"
                                     "INSERT INTO chat_message_join VALUES(1,1);"
                                     "INSERT INTO message VALUES(2,'See you','SMS',1,600000100,1,NULL,0,1);"
                                     "INSERT INTO chat_message_join VALUES(1,2);"
                                     "INSERT INTO message VALUES(3,'Hi Bob','iMessage',2,600000200,0,NULL,0,1);"
                                     "INSERT INTO chat_message_join VALUES(2,3);"));
}

struct ListRig
{
    ListRig()
    {
        setArchiveLocation(live.rig.home.path() + QStringLiteral("/archive"));
        for (const char *key : {"SHOW_SMS", "SHOW_WA"})
            UserDefaults::standard().setBool(true, QString::fromLatin1(key));
        live.attach({{QStringLiteral("HomeDomain/Library/SMS/sms.db"), messagesDatabase()}});
        int error = 0;
        EXPECT_TRUE(app().getBackupDB(QString(), &error)) << error;
        EXPECT_TRUE(waitUntil([this] { return app().shouldArchive(LiveRig::kUid); }));
    }
    ~ListRig()
    {
        for (const QString &name : QDir(getTempDir()).entryList(QDir::Files | QDir::Hidden))
            QFile::remove(getTempDir() + name);
    }
    AppController &app() { return *live.rig.controller; }
    LiveRig live;
};

} // namespace

TEST(MessagesList, OneLoadPerDeviceGenerationFillsBothModels)
{
    ListRig rig;
    SMSDataController list(&rig.app());
    rig.app().clearBackupCancel(); // as the window does before it asks for a mode's data
    list.refreshSMS(true);
    list.refreshSMS(true); // the window asks again while the first load runs
    EXPECT_EQ(list.loadsRunning(), 1);
    ASSERT_TRUE(waitUntil([&] { return !list.isLoading() && !list.isFinding(); }, 30000));
    ASSERT_TRUE(list.snapshot()) << list.loadError();
    EXPECT_EQ(list.snapshot()->messages.size(), 3);
    EXPECT_EQ(list.tableModel()->rowCount(), 3);
    EXPECT_EQ(list.threadModel()->rowCount(), 3); // "All" and two conversations
    EXPECT_EQ(list.cacheDBName(), LiveRig::kUid);
    EXPECT_TRUE(list.hasData());
}

TEST(MessagesList, ADeviceThatGoesAwayMidLoadUpdatesNothing)
{
    ListRig rig;
    SMSDataController list(&rig.app());
    {
        // The load waits for the contacts; meanwhile the device goes.
        std::unique_lock contacts(addressLock);
        rig.app().clearBackupCancel();
        list.refreshSMS(true);
        ASSERT_TRUE(list.isLoading());
        rig.live.rig.sim.detach(QStringLiteral("phone"));
        ASSERT_TRUE(waitUntil([&] { return !rig.app().deviceConnected(); }, 10000));
    }
    ASSERT_TRUE(waitUntil([&] { return !list.isLoading(); }, 30000));
    EXPECT_FALSE(list.snapshot());
    EXPECT_EQ(list.tableModel()->rowCount(), 0);
    EXPECT_EQ(list.threadModel()->rowCount(), 0);
}
