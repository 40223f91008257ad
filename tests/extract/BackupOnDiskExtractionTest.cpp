// A generated backup on disk, brought into a work folder by the naming rule and extracted
// category by category into the device's archive, whose rows read back with names.

#include "BackupGenerator.h"
#include "ExtractRig.h"
#include "TypedStreamBuilder.h"

#include "backup/BackupManifest.h"
#include "backup/DeviceBackup.h"
#include "backup/WantedFiles.h"
#include "backup/WorkFolderNames.h"
#include "extract/BookmarkState.h"
#include "messages/FRSMSInfo.h"
#include "messages/SMSDataController.h"
#include "personal/CallListController.h"
#include "personal/FRAddressExtras.h"
#include "personal/FRCallInfo.h"
#include "platform/UserDefaults.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

const QString kHome = QStringLiteral("HomeDomain");
const QString kTarget = QStringLiteral("00008030-001A2B3C4D5E6F70");

QByteArray database(ExtractRig &rig, const QString &sql)
{
    const QString path = rig.home.path() + QStringLiteral("/scratch.db");
    makeDatabase(path, sql);
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    const QByteArray bytes = file.readAll();
    file.close();
    QFile::remove(path);
    return bytes;
}

struct Calls : CallListController
{
    Calls(QString table, QString cache) : table(std::move(table)), cache(std::move(cache)) {}
    QString archiveTableName() const override { return table; }
    QString cacheDBName() const override { return cache; }
    void setNumTotalCalls(int) override {}
    QString table, cache;
};

} // namespace

TEST(BackupOnDiskExtraction, EveryCategoryIsExtractedAndReadsBackWithNames)
{
    ExtractRig rig(kTarget);
    rig.makeArchive(kTarget);
    const QByteArray body = TypedStreamBuilder()
                                .attributedRoot(QStringLiteral("See this ") + QChar(0xFFFC),
                                                {{9, {}}, {1, {{"__kIMFileTransferGUIDAttributeName", "G1"}}}})
                                .data();
    BackupGen::Recipe recipe;
    recipe.targetID = kTarget;
    recipe.files = {
        {kHome, "Library/SMS/sms.db",
         database(rig, fixtureText("devicedata/messages-40.sql")
                       + "INSERT INTO handle VALUES(1,'+1 (555) 123-4567');"
                       "INSERT INTO chat_handle_join VALUES(1,1);"
                       "INSERT INTO attachment VALUES(1,'G1','image/jpeg','~/Library/SMS/Attachments/ab/G1/IMG_1.jpg');"
                       "INSERT INTO message VALUES(1,'Hello Ann','SMS',1,600000000,0,NULL,0,1);"
                       "INSERT INTO chat_message_join VALUES(1,1);"
                       "INSERT INTO message VALUES(2,'','iMessage',1,600000100,1,"
                       + blobLiteral(body) + ",0,1);"
                       "INSERT INTO chat_message_join VALUES(1,2);"),
         3},
        {"MediaDomain", "Library/SMS/Attachments/ab/G1/IMG_1.jpg", "JPEGDATA", 4},
        {kHome, "Library/AddressBook/AddressBook.sqlitedb",
         database(rig, "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY, First TEXT, Last TEXT);"
                       "INSERT INTO ABPerson VALUES(1,'Ann','Lee');"
                       "INSERT INTO ABPerson VALUES(2,'Wendy','Wu');"
                       "CREATE TABLE ABMultiValue (ROWID INTEGER PRIMARY KEY, record_id INTEGER, property INTEGER, "
                       "identifier INTEGER, label INTEGER, value TEXT);"
                       "INSERT INTO ABMultiValue VALUES(1,1,3,0,1,'555 123 4567');"
                       "INSERT INTO ABMultiValue VALUES(2,2,3,0,1,'+44 7700 900123');"),
         3},
        {kHome, "Library/CallHistoryDB/CallHistory.storedata",
         database(rig, "CREATE TABLE ZCALLRECORD (Z_PK INTEGER PRIMARY KEY, ZDATE REAL, ZADDRESS TEXT, ZDURATION REAL, "
                       "ZORIGINATED INTEGER, ZCALLTYPE INTEGER, ZSERVICE_PROVIDER TEXT, ZNAME TEXT, ZCALL_CATEGORY "
                       "INTEGER);"
                       "INSERT INTO ZCALLRECORD VALUES(1,600000200,'+15551234567',61,1,1,'com.apple.Telephony',NULL,1);"),
         3},
        {kHome, "Library/Voicemail/voicemail.db",
         database(rig, "CREATE TABLE voicemail (ROWID INTEGER PRIMARY KEY, date INTEGER, sender TEXT, duration INTEGER, "
                       "flags INTEGER);"
                       "INSERT INTO voicemail VALUES(7,1578308000,'+447700900123',15,0);"),
         3},
        {kHome, "Library/Voicemail/7.amr", "#!AMR recording", 3},
        {kHome, "Library/Safari/Bookmarks.db",
         database(rig, "CREATE TABLE bookmarks (id INTEGER PRIMARY KEY, parent INTEGER, type INTEGER, title TEXT, "
                       "url TEXT, order_index INTEGER);"
                       "INSERT INTO bookmarks VALUES(1,0,0,'Home','https://home.example/',0);"),
         3},
        {"AppDomainGroup-group.net.whatsapp.WhatsApp.shared", "ChatStorage.sqlite",
         database(rig, "CREATE TABLE ZWAMESSAGE (Z_PK INTEGER PRIMARY KEY, ZMESSAGEDATE REAL, ZFROMJID TEXT, "
                       "ZTOJID TEXT, ZTEXT TEXT, ZISFROMME INTEGER, ZCHATSESSION INTEGER);"
                       "INSERT INTO ZWAMESSAGE VALUES(1,600000300,'447700900123@s.whatsapp.net',NULL,'Hi from WA',0,1);"),
         3},
    };
    const QString folder = rig.home.path() + QStringLiteral("/Backup/") + kTarget;
    BackupGen::write(folder, recipe);
    const DeviceBackupPtr backup = DeviceBackup::initWithPath(folder);
    ASSERT_TRUE(backup);
    const auto manifest = backup->getAManifest();
    ASSERT_TRUE(manifest);
    const QString work = rig.workFolder();
    const WorkFolderNames names = AppController::grab(*backup, manifest->files, folder, work, wantedFileList());
    auto file = [&](const QString &domain, const QString &path) { return work + '/' + names.nameFor(domain, path); };

    AppController &app = rig.controller;
    const QString messagesKey = QStringLiteral("thumbcache") + kTarget;
    const QString callsKey = QStringLiteral("callbackup") + kTarget;
    const QString voicemailKey = QStringLiteral("voicemailbackup") + kTarget;
    for (const QString &key : {messagesKey, callsKey, voicemailKey})
        ASSERT_EQ(app.processAddressData(file(kHome, "Library/AddressBook/AddressBook.sqlitedb"), QString(), key, false), 0);

    int error = 0;
    SMSDataController messages;
    const auto sms = app.processSMSData(file(kHome, "Library/SMS/sms.db"), &messages, messagesKey, &error, 1, backup);
    ASSERT_TRUE(sms) << error;
    ASSERT_EQ(sms->size(), 2);
    const auto whatsApp = app.processWhatsAppData(
        file("AppDomainGroup-group.net.whatsapp.WhatsApp.shared", "ChatStorage.sqlite"), &messages, messagesKey, &error,
        1, backup);
    ASSERT_TRUE(whatsApp) << error;
    Calls calls("call", callsKey);
    const auto history = app.processCallData(work + "/call_history.db", &calls, callsKey, &error, nullptr);
    ASSERT_TRUE(history) << error;
    Calls voicemail("voicemail", voicemailKey);
    const auto voicemails = app.processVoicemailData(file(kHome, "Library/Voicemail/voicemail.db"), &voicemail,
                                                     voicemailKey, &error);
    ASSERT_TRUE(voicemails) << error;
    const auto bookmarks = app.processSafariData(work, &error);
    ASSERT_TRUE(bookmarks) << error;
    EXPECT_EQ(bookmarks->size(), 1);

    // Everything is in the device's archive, the attachment with its bytes.
    EXPECT_EQ(rig.number(kTarget, "SELECT COUNT(*) FROM message"), 3);
    UserDefaults::standard().setBool(true, QStringLiteral("SHOW_SMS"));
    UserDefaults::standard().setBool(true, QStringLiteral("SHOW_WA"));
    const auto archived = app.getSMSFromBackupFile(QString(), kTarget, nullptr, &error);
    ASSERT_TRUE(archived) << error;
    EXPECT_EQ(archived->size(), 3);
    EXPECT_EQ(rig.text(kTarget, "SELECT data FROM smsbackuppieces WHERE uuid='G1-iMessage-IMG_1.jpg'"), "JPEGDATA");
    QString key;
    for (const FRSMSInfoPtr &message : *archived) {
        if (message->SMSWhatsApp())
            continue;
        EXPECT_EQ(FRAddressExtras::getAddressBookName(message->SMSNumber(), nullptr, nullptr, messagesKey, &key),
                  "Ann Lee");
    }
    const auto archivedCalls = app.getCallsFromBackupFile(QString(), kTarget, &calls, &error);
    ASSERT_TRUE(archivedCalls) << error;
    ASSERT_EQ(archivedCalls->size(), 1);
    EXPECT_EQ(archivedCalls->at(0)->CallName(), "Ann Lee");
    EXPECT_EQ(rig.number(kTarget, "SELECT COUNT(*) FROM voicemail"), 1);
    ASSERT_EQ(voicemails->size(), 1);
    EXPECT_EQ(voicemails->at(0)->CallName(), "Wendy Wu");
    EXPECT_EQ(voicemails->at(0)->amr(), "#!AMR recording");
}
