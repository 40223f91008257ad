// The messages request over files a finished session left in the temporary folder: the
// piece cache and the cache's piece folder are cleaned only after both runs went through.

#include "ExtractRig.h"

#include "messages/FRSMSInfo.h"
#include "platform/UserDefaults.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

const QString kMessageRows = QStringLiteral(
    "INSERT INTO handle VALUES(1,'+15551234567');"
    "INSERT INTO chat_handle_join VALUES(1,1);"
    "INSERT INTO message VALUES(1,'Hello','SMS',1,600000000,0,NULL,0,1);"
    "INSERT INTO chat_message_join VALUES(1,1);");

const QString kWhatsApp = QStringLiteral(
    "CREATE TABLE ZWAMESSAGE (Z_PK INTEGER PRIMARY KEY, ZMESSAGEDATE REAL, ZFROMJID TEXT, ZTOJID TEXT, ZTEXT TEXT, "
    "ZISFROMME INTEGER, ZCHATSESSION INTEGER);"
    "INSERT INTO ZWAMESSAGE VALUES(1,600000300,'447700900123@s.whatsapp.net',NULL,'Hi from WA',0,1);");

} // namespace

TEST(MessageRequest, TheCacheIsPrunedOnlyAfterBothRunsWentThrough)
{
    enum class Chats { Good, Damaged, None };
    struct Case
    {
        const char *name;
        bool messages; // the messages database is there
        Chats chats;
        bool quit;     // the quit flag stops the messages run
        bool pruned;
        int error;
        int listed; // -1: no list
    };
    const Case cases[] = {
        {"both runs went through", true, Chats::Good, false, true, 0, 2},
        {"no WhatsApp on the device", true, Chats::None, false, true, 0, 1},
        {"WhatsApp's store is damaged", true, Chats::Damaged, false, false, 0, 1},
        {"the messages run was stopped", true, Chats::Good, true, false, AppController::kExtractionCancelled, -1},
        {"no messages database came", false, Chats::Good, false, false, 0, 1},
    };
    ExtractRig rig;
    rig.makeArchive();
    UserDefaults::standard().setBool(true, QStringLiteral("SHOW_SMS"));
    UserDefaults::standard().setBool(true, QStringLiteral("SHOW_WA"));
    AppController &app = rig.controller;
    app.mHaveBackups.store(true); // this connection's session is over
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        app.mHaveSMS.store(false);
        for (const char *name : {"sms.db", "ChatStorage.sqlite"})
            QFile::remove(rig.tempFile(name));
        rig.exec("uid-phone", "DELETE FROM smspieces WHERE uuid != 'NEW'");
        rig.exec("uid-phone", "DELETE FROM synctimes");
        if (test.messages)
            makeDatabase(rig.tempFile("sms.db"), fixtureText("devicedata/messages-40.sql") + kMessageRows);
        if (test.chats == Chats::Good)
            makeDatabase(rig.tempFile("ChatStorage.sqlite"), kWhatsApp);
        if (test.chats == Chats::Damaged)
            writeFile(rig.tempFile("ChatStorage.sqlite"), "SQLite format 3 but not really a database at all");
        // A piece no run marks any more, a profile picture, and a file of the cache's piece
        // folder that no run names.
        rig.exec("uid-phone", "INSERT INTO smspieces (uuid, data) VALUES ('stale-piece', X'01')");
        rig.exec("uid-phone", "INSERT INTO smspieces (uuid, data) VALUES ('WAPHOTO1234', X'02')");
        rig.exec("uid-phone", "INSERT INTO synctimes (uuid, synctime) VALUES ('stale-piece', 5)");
        const QString orphan = app.pieceFolderPathForDevice("uid-phone", false) + QStringLiteral("/orphan.jpg");
        writeFile(orphan, "unnamed");

        gBail.store(test.quit);
        int error = 0;
        const auto list = app.doGetSMS(&error);
        gBail.store(false);

        EXPECT_EQ(error, test.error);
        EXPECT_EQ(list ? int(list->size()) : -1, test.listed);
        EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM smspieces WHERE uuid='stale-piece'"), test.pruned ? 0 : 1);
        EXPECT_EQ(QFile::exists(orphan), !test.pruned);
        EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM smspieces WHERE uuid='WAPHOTO1234'"), 1);
        EXPECT_EQ(app.hasSMSDataAlready(), test.error == 0);
    }
}
