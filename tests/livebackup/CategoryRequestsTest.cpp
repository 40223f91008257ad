// The category requests against a simulated device: one session for every category, one
// extraction per category and connection, the archive written, cached lists filtered by the
// service switches and handed out as snapshots, and the contacts barrier.

#include "LiveRig.h"

#include "BackupGenerator.h"
#include "archive/ArchiveFolder.h"
#include "backup/BackupSessionFlags.h"
#include "backup/BackupSessionState.h"
#include "messages/FRSMSInfo.h"
#include "messages/SMSDataController.h"
#include "personal/CallListController.h"
#include "personal/FRAddressInfo.h"
#include "personal/FRBookmarkInfo.h"
#include "personal/FRCallInfo.h"
#include "platform/UserDefaults.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <gtest/gtest.h>

namespace {

// Two messages, one WhatsApp message, one call, one voicemail with its
// recording, two contacts and one bookmark.
QMap<QString, QByteArray> phoneFiles()
{
    return {
        {QStringLiteral("HomeDomain/Library/SMS/sms.db"),
         database(fixtureText(QStringLiteral("devicedata/messages-40.sql"))
                  + QStringLiteral(
             "INSERT INTO handle VALUES(1,'+15551234567');"
             "INSERT INTO chat_handle_join VALUES(1,1);"
             "INSERT INTO message VALUES(1,'Hello Ann','SMS',1,600000000,0,NULL,0,1);"
             "INSERT INTO chat_message_join VALUES(1,1);"
             "INSERT INTO message VALUES(2,'See you','SMS',1,600000100,1,NULL,0,1);"
             "INSERT INTO chat_message_join VALUES(1,2);"))},
        {QStringLiteral("AppDomainGroup-group.net.whatsapp.WhatsApp.shared/ChatStorage.sqlite"),
         database(QStringLiteral(
             "CREATE TABLE ZWAMESSAGE (Z_PK INTEGER PRIMARY KEY, ZMESSAGEDATE REAL, ZFROMJID TEXT, ZTOJID TEXT, "
             "ZTEXT TEXT, ZISFROMME INTEGER, ZCHATSESSION INTEGER);"
             "INSERT INTO ZWAMESSAGE VALUES(1,600000300,'447700900123@s.whatsapp.net',NULL,'Hi from WA',0,1);"))},
        {QStringLiteral("HomeDomain/Library/CallHistoryDB/CallHistory.storedata"),
         database(QStringLiteral(
             "CREATE TABLE ZCALLRECORD (Z_PK INTEGER PRIMARY KEY, ZDATE REAL, ZADDRESS TEXT, ZDURATION REAL, "
             "ZORIGINATED INTEGER, ZCALLTYPE INTEGER, ZSERVICE_PROVIDER TEXT, ZNAME TEXT, ZCALL_CATEGORY INTEGER);"
             "INSERT INTO ZCALLRECORD VALUES(1,600000200,'+15551234567',61,1,1,'com.apple.Telephony',NULL,1);"))},
        {QStringLiteral("HomeDomain/Library/Voicemail/voicemail.db"),
         database(QStringLiteral("CREATE TABLE voicemail (ROWID INTEGER PRIMARY KEY, date INTEGER, sender TEXT, "
                                 "duration INTEGER, flags INTEGER);"
                                 "INSERT INTO voicemail VALUES(7,1578308000,'+447700900123',15,0);"))},
        {QStringLiteral("HomeDomain/Library/Voicemail/7.amr"), "#!AMR recording"},
        {QStringLiteral("HomeDomain/Library/AddressBook/AddressBook.sqlitedb"),
         database(QStringLiteral("CREATE TABLE ABStore (ROWID INTEGER PRIMARY KEY, Name TEXT, AccountIdentifier TEXT, "
                                 "ExternalIdentifier TEXT);"
                                 "CREATE TABLE ABGroup (ROWID INTEGER PRIMARY KEY, Name TEXT, StoreID INTEGER);"
                                 "CREATE TABLE ABGroupMembers (ROWID INTEGER PRIMARY KEY, group_id INTEGER, "
                                 "member_type INTEGER, member_id INTEGER);"
                                 "CREATE TABLE ABMultiValueLabel (ROWID INTEGER PRIMARY KEY, value TEXT);"
                                 "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY, First TEXT, Last TEXT);"
                                 "INSERT INTO ABPerson VALUES(1,'Ann','Lee');"
                                 "INSERT INTO ABPerson VALUES(2,'Wendy','Wu');"
                                 "CREATE TABLE ABMultiValue (ROWID INTEGER PRIMARY KEY, record_id INTEGER, "
                                 "property INTEGER, identifier INTEGER, label INTEGER, value TEXT);"
                                 "INSERT INTO ABMultiValue VALUES(1,1,3,0,1,'555 123 4567');"))},
        {QStringLiteral("HomeDomain/Library/Safari/Bookmarks.db"),
         database(QStringLiteral("CREATE TABLE bookmarks (id INTEGER PRIMARY KEY, parent INTEGER, type INTEGER, "
                                 "title TEXT, url TEXT, order_index INTEGER);"
                                 "INSERT INTO bookmarks VALUES(1,0,0,'Home','https://home.example/',0);"))},
    };
}

struct CallList : CallListController
{
    explicit CallList(QString table) : table(std::move(table)) {}
    QString archiveTableName() const override { return table; }
    QString cacheDBName() const override { return LiveRig::kUid; }
    void setNumTotalCalls(int total) override { count = total; }
    int numTotalCalls() const override { return count; }
    QString table;
    std::atomic<int> count{0};
};

// A connected simulated device whose archive exists (archive flag on) and whose window
// hands out recording list controllers.
struct CategoryRig
{
    explicit CategoryRig(const QMap<QString, QByteArray> &files = phoneFiles())
    {
        setArchiveLocation(live.rig.home.path() + QStringLiteral("/archive"));
        for (const char *key : {"SHOW_SMS", "SHOW_WA"})
            UserDefaults::standard().setBool(true, QString::fromLatin1(key));
        live.attach(files);
        int error = 0;
        EXPECT_TRUE(app().getBackupDB(QString(), &error)) << error;
        EXPECT_TRUE(waitUntil([this] { return app().shouldArchive(LiveRig::kUid); }));
        live.rig.window.smsController = &messages;
        live.rig.window.callController = &calls;
        live.rig.window.voicemailController = &voicemail;
    }
    // The temporary folder is the process's: the next case of this program starts empty.
    ~CategoryRig()
    {
        live.rig.window.smsController = nullptr;
        live.rig.window.callController = nullptr;
        live.rig.window.voicemailController = nullptr;
        for (const QString &name : QDir(getTempDir()).entryList(QDir::Files | QDir::Hidden))
            QFile::remove(getTempDir() + name);
    }
    AppController &app() { return *live.rig.controller; }
    template <class Request>
    auto onWorker(Request request)
    {
        return std::async(std::launch::async, [this, request] {
            int error = 0;
            auto result = (app().*request)(&error);
            return std::make_pair(result, error);
        });
    }
    template <class Result>
    Result wait(std::future<Result> &future)
    {
        EXPECT_TRUE(waitUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                              20000));
        return future.get();
    }
    qint64 archived(const char *table)
    {
        sqlite3 *db = nullptr;
        sqlite3_open(QFile::encodeName(app().getBackupFilePath(LiveRig::kUid)).constData(), &db);
        sqlite3_stmt *statement = nullptr;
        qint64 count = -1;
        const QByteArray sql = QByteArray("SELECT COUNT(*) FROM ") + table;
        if (sqlite3_prepare_v2(db, sql.constData(), -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW)
            count = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return count;
    }

    LiveRig live;
    SMSDataController messages;
    CallList calls{QStringLiteral("call")};
    CallList voicemail{QStringLiteral("voicemail")};
};

} // namespace

TEST(CategoryRequests, EachCategoryIsRequestedOncePerConnectionAndArchived)
{
    CategoryRig c;
    // Every category asked at once, messages and calls twice: one session serves them all,
    // and the second request of a category waits for the first one's extraction.
    auto sms1 = c.onWorker(&AppController::doGetSMS);
    auto sms2 = c.onWorker(&AppController::doGetSMS);
    auto calls1 = c.onWorker(&AppController::doGetCalls);
    auto calls2 = c.onWorker(&AppController::doGetCalls);
    auto voicemail = c.onWorker(&AppController::doGetVoicemails);
    auto contacts = c.onWorker(&AppController::doGetAddresses);
    auto bookmarks = c.onWorker(&AppController::doGetBookmarks);

    for (auto *sms : {&sms1, &sms2}) {
        const auto [list, error] = c.wait(*sms);
        ASSERT_TRUE(list) << error;
        EXPECT_EQ(list->size(), 3); // two messages and one WhatsApp message
    }
    for (auto *calls : {&calls1, &calls2}) {
        const auto [list, error] = c.wait(*calls);
        ASSERT_TRUE(list) << error;
        EXPECT_EQ(list->size(), 1);
    }
    const auto [voicemails, voicemailError] = c.wait(voicemail);
    ASSERT_TRUE(voicemails) << voicemailError;
    ASSERT_EQ(voicemails->size(), 1);
    EXPECT_EQ(voicemails->at(0)->amr(), "#!AMR recording");
    const auto [people, contactsError] = c.wait(contacts);
    ASSERT_TRUE(people) << contactsError;
    EXPECT_EQ(people->size(), 2);
    const auto [marks, bookmarksError] = c.wait(bookmarks);
    ASSERT_TRUE(marks) << bookmarksError;
    EXPECT_EQ(marks->size(), 1);

    EXPECT_EQ(c.live.logCount(QStringLiteral("getFiles starting")), 1);
    EXPECT_EQ(c.live.logCount(QStringLiteral("processSMSData for")), 1);
    EXPECT_EQ(c.live.logCount(QStringLiteral("processWhatsAppData for")), 1);
    EXPECT_EQ(c.live.logCount(QStringLiteral("Processing contacts")), 1);
    EXPECT_EQ(c.archived("message"), 3);
    EXPECT_EQ(c.archived("call"), 1);
    EXPECT_EQ(c.archived("voicemail"), 1);
    EXPECT_TRUE(c.messages.hasMessages());
    EXPECT_TRUE(c.messages.hasWA());

    // The next connection sessions and extracts again; the archive gains no twins.
    c.app().flushBackup();
    auto again = c.onWorker(&AppController::doGetSMS);
    const auto [list, error] = c.wait(again);
    ASSERT_TRUE(list) << error;
    EXPECT_EQ(list->size(), 3);
    EXPECT_EQ(c.live.logCount(QStringLiteral("getFiles starting")), 2);
    EXPECT_EQ(c.live.logCount(QStringLiteral("processSMSData for")), 2);
    EXPECT_EQ(c.archived("message"), 3);
}

// The messages database of a phone with `texts` (one message each, oldest first).
QByteArray messagesOf(const QStringList &texts)
{
    QString sql = fixtureText(QStringLiteral("devicedata/messages-40.sql"))
                  + QStringLiteral("INSERT INTO handle VALUES(1,'+15559876543');"
                                   "INSERT INTO chat_handle_join VALUES(1,1);");
    for (qsizetype i = 0; i < texts.size(); ++i)
        sql += QStringLiteral("INSERT INTO message VALUES(%1,'%2','SMS',1,%3,0,NULL,0,1);"
                              "INSERT INTO chat_message_join VALUES(1,%1);")
                   .arg(i + 1)
                   .arg(texts.at(i))
                   .arg(610000000 + i * 100);
    return database(sql);
}

QStringList textsOf(const RecordSnapshot<FRSMSInfo> &list)
{
    QStringList texts;
    for (const FRSMSInfoPtr &message : *list)
        texts << message->SMSText();
    texts.sort();
    return texts;
}

TEST(CategoryRequests, AnotherPhoneAndTheSamePhoneAttachedAgainAreReadAfresh)
{
    CategoryRig c;
    auto first = c.onWorker(&AppController::doGetSMS);
    const auto [phoneA, errorA] = c.wait(first);
    ASSERT_TRUE(phoneA) << errorA;
    ASSERT_EQ(phoneA->size(), 3);
    auto callsA = c.onWorker(&AppController::doGetCalls);
    ASSERT_EQ(c.wait(callsA).first->size(), 1);

    // Phone A goes and phone B, which has one message and no call history, comes.
    const QString uidB = QStringLiteral("00008030-00BB22CC33DD44EE");
    c.live.rig.sim.detach(QStringLiteral("phone"));
    c.live.attachAnother(QStringLiteral("phoneB"), uidB,
                         {{QStringLiteral("HomeDomain/Library/SMS/sms.db"), messagesOf({QStringLiteral("Only on B")})}});
    auto second = c.onWorker(&AppController::doGetSMS);
    const auto [phoneB, errorB] = c.wait(second);
    ASSERT_TRUE(phoneB) << errorB;
    EXPECT_EQ(textsOf(phoneB), QStringList{QStringLiteral("Only on B")});
    auto callsB = c.onWorker(&AppController::doGetCalls);
    const auto [callListB, callErrorB] = c.wait(callsB);
    ASSERT_TRUE(callListB) << callErrorB;
    EXPECT_TRUE(callListB->isEmpty());
    EXPECT_EQ(c.live.logCount(QStringLiteral("getFiles starting")), 2);

    // Phone A comes back with a message it did not have before.
    c.live.rig.sim.detach(QStringLiteral("phoneB"));
    c.live.attachAnother(QStringLiteral("phone"), LiveRig::kUid,
                         {{QStringLiteral("HomeDomain/Library/SMS/sms.db"),
                           messagesOf({QStringLiteral("Hello again"), QStringLiteral("Sent while away")})}});
    auto third = c.onWorker(&AppController::doGetSMS);
    const auto [again, errorAgain] = c.wait(third);
    ASSERT_TRUE(again) << errorAgain;
    EXPECT_EQ(textsOf(again), (QStringList{QStringLiteral("Hello again"), QStringLiteral("Sent while away")}));
    EXPECT_EQ(c.live.logCount(QStringLiteral("getFiles starting")), 3);
}

TEST(CategoryRequests, OnceTheCategoriesAreReadARestartedRunHasTheDeviceSendOnlyTheWantedFiles)
{
    QMap<QString, QByteArray> files = phoneFiles();
    QStringList unwanted;
    for (int i = 0; i < 5; ++i) {
        unwanted << QStringLiteral("Library/Preferences/com.example.%1.plist").arg(i);
        files.insert(QStringLiteral("HomeDomain/") + unwanted.last(), "preferences " + QByteArray::number(i));
    }
    // What the device wrote into the session's backup folder; a knocked-out file stays an
    // empty placeholder.
    const auto unwantedSent = [&unwanted] {
        int sent = 0;
        for (const QString &path : unwanted) {
            const QString id = BackupGen::fileID(QStringLiteral("HomeDomain"), path);
            sent += QFileInfo(sessionBackupFolder(LiveRig::kUid) + QLatin1Char('/') + id.left(2) + QLatin1Char('/') + id)
                        .size()
                    > 0;
        }
        return sent;
    };
    CategoryRig c(files);
    auto messages = c.onWorker(&AppController::doGetSMS);
    ASSERT_TRUE(c.wait(messages).first);
    auto voicemails = c.onWorker(&AppController::doGetVoicemails);
    ASSERT_TRUE(c.wait(voicemails).first);
    ASSERT_EQ(unwantedSent(), 5); // the first session has nothing to knock out with

    // Quillon quits and starts again: a new process has a new temporary folder and holds no
    // manifest of its own.
    c.live.rig.stop();
    deleteTempDir();
    {
        std::lock_guard lock(backupLock);
        gManifestDict.reset();
    }
    c.live.rig.start();
    ASSERT_TRUE(waitUntil([&] { return c.app().connectedDevices().size() == 1; }));
    c.app().switchToDevice({});
    ASSERT_TRUE(c.live.rig.waitForConnection(LiveRig::kUid, 10000));
    auto again = c.onWorker(&AppController::doGetSMS);
    const auto [list, error] = c.wait(again);
    ASSERT_TRUE(list) << error;
    EXPECT_EQ(list->size(), 3);
    EXPECT_TRUE(c.live.log().contains(QStringLiteral("going with the stored version because it's all we have")));
    EXPECT_EQ(unwantedSent(), 0);
}

TEST(CategoryRequests, SafariHistoryIsReadFromTheAppsDomainOrElseFromTheHomeDomain)
{
    const auto history = [](const char *url) {
        return database(QStringLiteral("CREATE TABLE history_items (id INTEGER PRIMARY KEY, url TEXT);"
                                       "CREATE TABLE history_visits (id INTEGER PRIMARY KEY, history_item INTEGER, "
                                       "visit_time REAL, title TEXT);"
                                       "INSERT INTO history_items VALUES(1,'%1');"
                                       "INSERT INTO history_visits VALUES(1,1,600000000,'Visited');")
                            .arg(QLatin1String(url)));
    };
    const QString app = QStringLiteral("AppDomain-com.apple.mobilesafari/Library/Safari/History.db");
    const QString home = QStringLiteral("HomeDomain/Library/Safari/History.db");
    struct Case
    {
        const char *name;
        QMap<QString, QByteArray> files;
        QStringList visited;
    };
    const Case cases[] = {
        {"the home domain's only", {{home, history("https://home.example/")}}, {"https://home.example/"}},
        {"both", {{home, history("https://home.example/")}, {app, history("https://app.example/")}},
         {"https://app.example/"}},
        {"the app's only", {{app, history("https://app.example/")}}, {"https://app.example/"}},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        CategoryRig c(test.files);
        auto request = c.onWorker(&AppController::doGetBookmarks);
        const auto [records, error] = c.wait(request);
        ASSERT_TRUE(records) << error;
        QStringList visited;
        for (const FRBookmarkInfoPtr &record : *records)
            visited << record->url();
        EXPECT_EQ(visited, test.visited);
    }
}

TEST(CategoryRequests, ACachedRequestIsFilteredByTheServiceSwitchesIntoANewSnapshot)
{
    CategoryRig c;
    auto first = c.onWorker(&AppController::doGetSMS);
    const auto [all, error] = c.wait(first);
    ASSERT_TRUE(all) << error;
    ASSERT_EQ(all->size(), 3);

    struct Case
    {
        const char *name;
        bool sms, whatsApp;
        int shown;
    };
    const Case cases[] = {
        {"WhatsApp only", false, true, 1},
        {"messages only", true, false, 2},
        {"neither", false, false, 0},
        {"both", true, true, 3},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        UserDefaults::standard().setBool(test.sms, QStringLiteral("SHOW_SMS"));
        UserDefaults::standard().setBool(test.whatsApp, QStringLiteral("SHOW_WA"));
        auto cached = c.onWorker(&AppController::doGetSMS);
        const auto [shown, cachedError] = c.wait(cached);
        ASSERT_TRUE(shown) << cachedError;
        EXPECT_EQ(shown->size(), test.shown);
        if (test.sms != test.whatsApp) {
            for (const FRSMSInfoPtr &message : *shown)
                EXPECT_EQ(message->SMSWhatsApp(), test.whatsApp);
        }
        // The total of a cached request counts the messages database's records only.
        EXPECT_EQ(c.messages.numTotalSMS(), 2);
    }
    // A list handed out earlier never changes under the controller that shows it.
    EXPECT_EQ(all->size(), 3);
    EXPECT_EQ(c.live.logCount(QStringLiteral("processSMSData for")), 1);
}

TEST(CategoryRequests, ContactsWaitForTheBarrierAndGiveUpOnACancel)
{
    CategoryRig c;
    auto session = c.live.request();
    ASSERT_EQ(c.live.wait(session), 1) << gDeviceError.load();

    // A cancel after the session: the request gives up without extracting or keeping a flag.
    c.app().cancelBackup();
    int error = 7;
    EXPECT_FALSE(c.app().doGetAddresses(&error));
    EXPECT_EQ(error, 7); // a cancel is no error of the caller's
    EXPECT_FALSE(c.app().hasAddressDataAlready());
    EXPECT_EQ(c.live.logCount(QStringLiteral("Processing contacts")), 0);
    c.app().clearBackupCancel();

    // A messages load holding the barrier keeps a contacts load waiting until it lets go.
    auto barrier = c.app().waitUntilAddressesFinishAndLock();
    auto contacts = c.onWorker(&AppController::doGetAddresses);
    EXPECT_FALSE(waitUntil([&] { return contacts.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                           300));
    AppController::unlockAddresses(barrier);
    const auto [people, contactsError] = c.wait(contacts);
    ASSERT_TRUE(people) << contactsError;
    EXPECT_EQ(people->size(), 2);
}
