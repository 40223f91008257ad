#include "ExtractRig.h"
#include "TypedStreamBuilder.h"

#include "extract/MessageHTML.h"
#include "messages/FRSMSInfo.h"
#include "messages/SMSDataController.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <sys/stat.h>

#include <thread>

#include <gtest/gtest.h>

namespace {

const QString kGuidKey = QStringLiteral("__kIMFileTransferGUIDAttributeName");

QString version(int v)
{
    return QStringLiteral("CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
                          "INSERT INTO _SqliteDatabaseProperties VALUES('_ClientVersion','%1');")
        .arg(v);
}

QString html(const QString &body)
{
    return MessageHTML::head() + body + MessageHTML::tail();
}

QDateTime from2001(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds + 978307200, Qt::UTC);
}

// The oldest generation: address, date since 1970, text, flags.
QString generation5()
{
    return version(5)
        + "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER, text TEXT, "
          "flags INTEGER);"
          "INSERT INTO message VALUES(1,'+15551234567',1300000000,'Hello <b>there</b>',2);"
          "INSERT INTO message VALUES(2,'+15551234567',1300000100,'Back',3);"
          "INSERT INTO message VALUES(3,'+15551234567',1300000200,'',2);"    // no text: no record
          "INSERT INTO message VALUES(4,'+15551234567',1300000300,'x',130);"; // flag 0x80: no record
}

// Message parts and group members.
QString generation15()
{
    return version(15)
        + "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, address TEXT, date INTEGER, text TEXT, flags INTEGER, "
          "group_id INTEGER, subject TEXT);"
          "CREATE TABLE msg_pieces (ROWID INTEGER PRIMARY KEY, message_id INTEGER, data BLOB, part_id INTEGER, "
          "preview_part INTEGER, content_type TEXT, content_loc TEXT);"
          "CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY, group_id INTEGER, address TEXT);"
          "INSERT INTO message VALUES(1,'+1',1300000000,'',3,7,'Trip');"
          "INSERT INTO msg_pieces VALUES(1,1,CAST('Look' AS BLOB),1,-1,'text/plain','text_0.txt');"
          "INSERT INTO msg_pieces VALUES(2,1,X'FFD8FF00',2,-1,'image/jpeg','IMG_1.jpg');"
          "INSERT INTO msg_pieces VALUES(3,1,X'00',3,5,'image/jpeg','preview.jpg');"
          "INSERT INTO group_member VALUES(1,7,'+2');"
          "INSERT INTO group_member VALUES(2,7,'+1');"
          "INSERT INTO message VALUES(2,'+3',1300000100,'Plain',2,8,NULL);"
          "INSERT INTO group_member VALUES(3,8,'+3');"
          // An image part with neither a stored piece nor data: listed, not archived.
          "INSERT INTO message VALUES(3,'+3',1300000200,'',2,8,NULL);"
          "INSERT INTO msg_pieces VALUES(4,3,NULL,1,-1,'image/png','lost.png');";
}

QString generation25(const QByteArray &body, const QByteArray &participants)
{
    return version(25)
        + "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, address TEXT, date INTEGER, text TEXT, flags INTEGER, "
          "group_id INTEGER, subject TEXT, is_madrid INTEGER, madrid_handle TEXT, madrid_flags INTEGER, "
          "madrid_attributedBody BLOB, madrid_error INTEGER, madrid_roomname TEXT);"
          "CREATE TABLE madrid_chat (ROWID INTEGER PRIMARY KEY, room_name TEXT, participants BLOB);"
          "CREATE TABLE madrid_attachment (ROWID INTEGER PRIMARY KEY, attachment_guid TEXT, mime_type TEXT, "
          "filename TEXT);"
          "CREATE TABLE msg_pieces (ROWID INTEGER PRIMARY KEY, message_id INTEGER, data BLOB, part_id INTEGER, "
          "preview_part INTEGER, content_type TEXT, content_loc TEXT);"
          "CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY, group_id INTEGER, address TEXT);"
        + QStringLiteral("INSERT INTO message VALUES(1,'',300000000,'Hi',0,0,NULL,1,'a@b.com',4,%1,0,'room1');")
              .arg(blobLiteral(body))
        + QStringLiteral("INSERT INTO madrid_chat VALUES(1,'room1',%1);").arg(blobLiteral(participants))
        + "INSERT INTO madrid_attachment VALUES(1,'G1','image/jpeg','~/Library/SMS/Attachments/ab/G1/photo.jpg');"
          "INSERT INTO message VALUES(2,'+4',1300000000,'Yo',2,9,NULL,0,NULL,0,NULL,0,NULL);"
          "INSERT INTO group_member VALUES(1,9,'+4');";
}

QString modernSchema(int v, bool balloon)
{
    return version(v)
        + "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT, subject TEXT, service TEXT, handle_id "
          "INTEGER, date INTEGER, is_from_me INTEGER, attributedBody BLOB, error INTEGER, is_read INTEGER"
        + (balloon ? ", balloon_bundle_id TEXT);" : ");")
        + "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY, id TEXT);"
          "CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER);"
          "CREATE TABLE chat_handle_join (chat_id INTEGER, handle_id INTEGER);"
          "INSERT INTO handle VALUES(1,'+1');"
          "INSERT INTO handle VALUES(2,'+2');"
          "INSERT INTO handle VALUES(3,'a@b.com');"
          "INSERT INTO handle VALUES(9,'+9');"
          "INSERT INTO chat_handle_join VALUES(1,2);"
          "INSERT INTO chat_handle_join VALUES(1,1);"
          "INSERT INTO chat_handle_join VALUES(2,3);";
}

QString generation40(const QByteArray &stickerBody)
{
    return modernSchema(40, false)
        + "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY, guid TEXT, mime_type TEXT, filename TEXT, "
          "created_date INTEGER);"
          // A date in nanoseconds, an SMS read by its owner.
          "INSERT INTO message VALUES(1,'ns date',NULL,'SMS',1,600000000000000000,0,NULL,0,1);"
          "INSERT INTO chat_message_join VALUES(1,1);"
          // The same instant in seconds, a failed iMessage.
          "INSERT INTO message VALUES(2,'seconds',NULL,'iMessage',3,600000000,1,NULL,1,0);"
          "INSERT INTO chat_message_join VALUES(2,2);"
          // No chat row at all: kept, with its handle as the counterpart.
          "INSERT INTO message VALUES(3,'orphan',NULL,'SMS',9,600000100,0,NULL,0,0);"
          // Nothing to show: no record.
          "INSERT INTO message VALUES(4,'',NULL,'SMS',1,600000200,0,NULL,0,0);"
          "INSERT INTO chat_message_join VALUES(1,4);"
        + QStringLiteral("INSERT INTO message VALUES(5,'',NULL,'iMessage',3,600000300,0,%1,0,1);")
              .arg(blobLiteral(stickerBody))
        + "INSERT INTO chat_message_join VALUES(2,5);"
          "INSERT INTO attachment VALUES(1,'S1','image/heic','/var/mobile/Library/SMS/StickerCache/s1/sticker.heic',0);";
}

struct Extraction
{
    std::optional<QList<FRSMSInfoPtr>> records;
    int error = 0;
};

Extraction extract(ExtractRig &rig, const QString &path, const QString &device, SMSDataController &controller,
            int64_t synctime = 77)
{
    Extraction run;
    run.records = rig.controller.processSMSData(path, &controller, device, &run.error, synctime, nullptr);
    return run;
}

QByteArray attachmentBody(const QString &text, const QString &guid)
{
    return TypedStreamBuilder()
        .attributedRoot(text + QChar(0xFFFC), {{int(text.size()), {}}, {1, {{kGuidKey, guid}}}})
        .data();
}

} // namespace

TEST(MessagesExtraction, TheOldestGenerationCountsFrom1970AndEscapesItsText)
{
    ExtractRig rig;
    rig.makeArchive();
    SMSDataController controller;
    const QString path = rig.workFile("sms.db");
    makeDatabase(path, generation5());
    const Extraction run = extract(rig, path, "thumbcacheuid-phone", controller);
    ASSERT_TRUE(run.records) << run.error;
    ASSERT_EQ(run.records->size(), 2);
    const FRSMSInfoPtr &newest = run.records->at(0);
    EXPECT_EQ(newest->SMSRawText(), "Back");
    EXPECT_EQ(newest->SMSNSDate(), QDateTime::fromSecsSinceEpoch(1300000100, Qt::UTC));
    EXPECT_EQ(newest->SMSFlagsInt(), 3);
    EXPECT_EQ(newest->SMSNumber(), "+15551234567");
    EXPECT_EQ(run.records->at(1)->SMSFullHTML(), html("Hello &lt;b&gt;there&lt;/b&gt;"));
    EXPECT_EQ(controller.numTotalSMS(), 2);
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message"), 2);
    EXPECT_FALSE(QFileInfo::exists(path)) << "the copy is removed once read";

    // A second run over the same database adds nothing.
    makeDatabase(path, generation5());
    ASSERT_TRUE(extract(rig, path, "thumbcacheuid-phone", controller).records);
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message"), 2);
}

TEST(MessagesExtraction, MessagePartsBecomeAttachmentsAndMissingOnesAreNotArchived)
{
    ExtractRig rig;
    rig.makeArchive();
    SMSDataController controller;
    const QString path = rig.workFile("sms.db");
    makeDatabase(path, generation15());
    const Extraction run = extract(rig, path, "thumbcacheuid-phone", controller);
    ASSERT_TRUE(run.records) << run.error;
    ASSERT_EQ(run.records->size(), 3);

    const FRSMSInfoPtr &lost = run.records->at(0);
    EXPECT_EQ(lost->SMSRawText(), "[MEDIA UNAVAILABLE]");
    EXPECT_EQ(lost->SMSFullHTML(), html("<div>[MEDIA UNAVAILABLE]</div>"));

    const FRSMSInfoPtr &plain = run.records->at(1);
    EXPECT_EQ(plain->SMSFullHTML(), html("Plain"));
    EXPECT_EQ(plain->SMSNumber(), "+3");
    EXPECT_EQ(plain->SMSNumberSpecific(), "+3");

    const FRSMSInfoPtr &mms = run.records->at(2);
    EXPECT_EQ(mms->SMSNumber(), "+1, +2");
    EXPECT_EQ(mms->SMSRawText(), "Trip\n\nLook\n[IMAGE]");
    EXPECT_EQ(mms->SMSFullHTML(),
              html("<div>Trip</div><div>Look</div>"
                   "<div><A HREF=\"1-2.jpg\"><IMG SRC=\"1-2.jpg\" WIDTH=100% BORDER=0/></A></div>"));
    EXPECT_EQ(mms->fileids(), QStringList{rig.workFile("1-2.jpg")});

    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message"), 2);
    EXPECT_EQ(rig.text("uid-phone", "SELECT hex(data) FROM smsbackuppieces WHERE uuid='1-2.jpg'"), "FFD8FF00");
}

TEST(MessagesExtraction, MadridMessagesReadTheirBodyParticipantsAndAttachments)
{
    ExtractRig rig;
    rig.makeArchive();
    SMSDataController controller;
    const QString path = rig.workFile("sms.db");
    const QByteArray participants = PropertyList::toData(QVariantList{"z@x.com", "a@b.com"}, PropertyList::Format::Binary);
    makeDatabase(path, generation25(attachmentBody("Hi", "G1"), participants));
    const Extraction run = extract(rig, path, "thumbcacheuid-phone", controller);
    ASSERT_TRUE(run.records) << run.error;
    ASSERT_EQ(run.records->size(), 2);

    const FRSMSInfoPtr &sms = run.records->at(0);
    EXPECT_EQ(sms->SMSFlagsInt(), 2);
    EXPECT_EQ(sms->SMSNSDate(), QDateTime::fromSecsSinceEpoch(1300000000, Qt::UTC));

    const FRSMSInfoPtr &iMessage = run.records->at(1);
    EXPECT_EQ(iMessage->SMSFlagsInt(), SMSFlag::IMessage | SMSFlag::Sent);
    EXPECT_EQ(iMessage->SMSNumber(), "a@b.com, z@x.com");
    EXPECT_EQ(iMessage->SMSNSDate(), from2001(300000000));
    EXPECT_EQ(iMessage->SMSRawText(), "Hi\n[IMAGE]");
    EXPECT_EQ(iMessage->SMSFullHTML(),
              "<div>" + MessageHTML::head() + "Hi</div>"
                  + "<div><A HREF=\"G1-iMessage-photo.jpg\"><IMG SRC=\"G1-iMessage-photo.jpg\" WIDTH=100% "
                    "BORDER=0/></A></div>"
                  + MessageHTML::tail());
    EXPECT_EQ(iMessage->fileids(), QStringList{rig.workFile("G1-iMessage-photo.jpg")});
}

TEST(MessagesExtraction, CurrentGenerationsReadChatsDatesFlagsAndStickers)
{
    ExtractRig rig;
    rig.makeArchive();
    SMSDataController controller;
    const QString path = rig.workFile("sms.db");
    makeDatabase(path, generation40(attachmentBody("", "S1")));
    const Extraction run = extract(rig, path, "thumbcacheuid-phone", controller);
    ASSERT_TRUE(run.records) << run.error;
    ASSERT_EQ(run.records->size(), 4);

    const FRSMSInfoPtr &sticker = run.records->at(0);
    EXPECT_EQ(sticker->SMSRawText(), "[IMAGE]");
    EXPECT_EQ(sticker->fileids(), QStringList{rig.workFile("s1-iMessage-sticker.heic")});

    const FRSMSInfoPtr &orphan = run.records->at(1);
    EXPECT_EQ(orphan->SMSRawText(), "orphan");
    EXPECT_EQ(orphan->SMSNumber(), "+9");

    const FRSMSInfoPtr &seconds = run.records->at(2);
    const FRSMSInfoPtr &nanoseconds = run.records->at(3);
    EXPECT_EQ(seconds->SMSNSDate(), nanoseconds->SMSNSDate());
    EXPECT_EQ(seconds->SMSNSDate(), from2001(600000000));
    EXPECT_EQ(seconds->SMSFlagsInt(), SMSFlag::IMessage | SMSFlag::Sent | SMSFlag::Failed);
    EXPECT_EQ(seconds->SMSNumber(), "a@b.com");
    EXPECT_EQ(nanoseconds->SMSFlagsInt(), 2);
    EXPECT_EQ(nanoseconds->SMSNumber(), "+1, +2");
    EXPECT_EQ(nanoseconds->SMSNumberSpecific(), "+1");
    EXPECT_EQ(nanoseconds->SMSFullHTML(), html("ns date"));
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message"), 4);
}

TEST(MessagesExtraction, TwinsReadInOneRunReachANewArchiveOnceAndTheDuplicateIndexIsMade)
{
    // On a thread of its own, as the program runs it: the archive's upkeep runs only there.
    const auto runIntoNewArchive = [](ExtractRig &rig, const QString &rows) {
        rig.makeArchive();
        SMSDataController controller;
        makeDatabase(rig.workFile("sms.db"), modernSchema(40, false) + rows);
        Extraction run;
        std::thread load([&] { run = extract(rig, rig.workFile("sms.db"), "thumbcacheuid-phone", controller); });
        load.join();
        return run;
    };
    const char *duplicateIndex = "SELECT COUNT(*) FROM sqlite_master WHERE name='yetanothernewsmsindex'";

    // Read newest first: the twins (same date, same HTML) come after others were written.
    ExtractRig rig;
    const Extraction run = runIntoNewArchive(rig, "INSERT INTO message VALUES(1,'twin',NULL,'SMS',1,600000000,0,NULL,0,0);"
                                                  "INSERT INTO message VALUES(2,'twin',NULL,'SMS',1,600000000,0,NULL,0,0);"
                                                  "INSERT INTO message VALUES(3,'twin',NULL,'SMS',1,600000001,0,NULL,0,0);"
                                                  "INSERT INTO message VALUES(4,'other',NULL,'SMS',1,600000000,0,NULL,0,0);"
                                                  "INSERT INTO message VALUES(5,'first',NULL,'SMS',1,600000002,0,NULL,0,0);");
    ASSERT_TRUE(run.records) << run.error;
    EXPECT_EQ(run.records->size(), 5);
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message"), 4);
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message WHERE text='twin'"), 2);
    EXPECT_EQ(rig.number("uid-phone", duplicateIndex), 1);

    // No twins at all: later runs still find the date and HTML index they look twins up by.
    ExtractRig distinct;
    ASSERT_TRUE(runIntoNewArchive(distinct, "INSERT INTO message VALUES(1,'one',NULL,'SMS',1,600000000,0,NULL,0,0);"
                                            "INSERT INTO message VALUES(2,'two',NULL,'SMS',1,600000001,0,NULL,0,0);")
                    .records);
    EXPECT_EQ(distinct.number("uid-phone", "SELECT COUNT(*) FROM message"), 2);
    EXPECT_EQ(distinct.number("uid-phone", duplicateIndex), 1);
}

TEST(MessagesExtraction, ANewestDatabaseWithoutHandwritingOrSomeColumnsStillGivesItsMessages)
{
    ExtractRig rig;
    SMSDataController controller;
    const QString path = rig.workFile("sms.db");
    // No created_date (the handwriting look-ups cannot prepare) and no is_read column.
    makeDatabase(path, version(10005)
                           + "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT, service TEXT, handle_id "
                             "INTEGER, date INTEGER, is_from_me INTEGER, error INTEGER, balloon_bundle_id TEXT);"
                             "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY, id TEXT);"
                             "CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER);"
                             "CREATE TABLE chat_handle_join (chat_id INTEGER, handle_id INTEGER);"
                             "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY, guid TEXT, mime_type TEXT, filename TEXT);"
                             "INSERT INTO handle VALUES(1,'+1');"
                             "INSERT INTO message VALUES(1,'hello','SMS',1,600000000,0,0,NULL);"
                             "INSERT INTO message VALUES(2,'','iMessage',1,600000001,0,0,"
                             "'com.apple.Handwriting.HandwritingProvider');");
    const Extraction run = extract(rig, path, "thumbcacheuid-phone", controller);
    ASSERT_TRUE(run.records) << run.error;
    ASSERT_EQ(run.records->size(), 2);
    EXPECT_EQ(run.records->at(0)->SMSRawText(), "[HANDWRITING UNAVAILABLE]");
    EXPECT_EQ(run.records->at(1)->SMSRawText(), "hello");
}

TEST(MessagesExtraction, AnAttachmentGuidTakesItsFirstRowAndAnUnknownOneIsUnavailable)
{
    ExtractRig rig;
    SMSDataController controller;
    const QString path = rig.workFile("sms.db");
    // The guid is not indexed and repeats: the first row is the attachment.
    makeDatabase(path, modernSchema(40, false)
                           + "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY, guid TEXT, mime_type TEXT, "
                             "filename TEXT);"
                             "INSERT INTO attachment VALUES(1,'D1','image/jpeg','~/Library/SMS/Attachments/d1/first.jpg');"
                             "INSERT INTO attachment VALUES(2,'D1','video/mp4','~/Library/SMS/Attachments/d1/second.mp4');"
                             "INSERT INTO attachment VALUES(3,NULL,'image/jpeg','~/Library/SMS/Attachments/n/null.jpg');"
                           + QStringLiteral("INSERT INTO message VALUES(1,'',NULL,'iMessage',3,600000000,0,%1,0,0);")
                                 .arg(blobLiteral(attachmentBody("", "D1")))
                           + QStringLiteral("INSERT INTO message VALUES(2,'',NULL,'iMessage',3,600000001,0,%1,0,0);")
                                 .arg(blobLiteral(attachmentBody("", "")))
                           + "INSERT INTO chat_message_join VALUES(2,1);"
                             "INSERT INTO chat_message_join VALUES(2,2);");
    const Extraction run = extract(rig, path, "thumbcacheuid-phone", controller);
    ASSERT_TRUE(run.records) << run.error;
    ASSERT_EQ(run.records->size(), 2);
    EXPECT_EQ(run.records->at(0)->SMSRawText(), "[MEDIA UNAVAILABLE]");
    EXPECT_EQ(run.records->at(1)->SMSRawText(), "[IMAGE]");
    EXPECT_EQ(run.records->at(1)->fileids(), QStringList{rig.workFile("d1-iMessage-first.jpg")});
}

TEST(MessagesExtraction, HostileNamesAndHtmlPartsReachTheHtmlEscapedAndSanitised)
{
    ExtractRig rig;
    SMSDataController controller;
    const QString path = rig.workFile("sms.db");
    makeDatabase(path, modernSchema(40, false)
                           + "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY, guid TEXT, mime_type TEXT, "
                             "filename TEXT);"
                             "INSERT INTO attachment VALUES(1,'F1','application/pdf',"
                             "'~/Library/SMS/Attachments/f1/a\"><script>x()</script>.pdf');"
                           + QStringLiteral("INSERT INTO message VALUES(1,'',NULL,'iMessage',3,600000000,0,%1,0,0);")
                                 .arg(blobLiteral(attachmentBody("", "F1")))
                           + "INSERT INTO chat_message_join VALUES(2,1);");
    const Extraction run = extract(rig, path, "thumbcacheuid-phone", controller);
    ASSERT_TRUE(run.records) << run.error;
    ASSERT_EQ(run.records->size(), 1);
    // The name splits at the slash inside it; what is left reaches the HTML escaped.
    EXPECT_EQ(run.records->at(0)->SMSFullHTML(),
              html("<div><A HREF=\"a&quot;&gt;&lt;script&gt;x()&lt;-iMessage-script&gt;.pdf\">script&gt;.pdf</A></div>"));
    EXPECT_EQ(run.records->at(0)->SMSRawText(), "[script>.pdf]");

    // A text/html message part with a script: the script goes, the markup stays.
    makeDatabase(path, generation15()
                           + "INSERT INTO message VALUES(10,'+5',1300001000,'',3,10,NULL);"
                             "INSERT INTO group_member VALUES(9,10,'+5');"
                             "INSERT INTO msg_pieces VALUES(10,10,CAST('<b>bold</b><script>x()</script>' AS BLOB),1,"
                             "-1,'text/html','part.html');");
    const Extraction parts = extract(rig, path, "thumbcacheuid-phone", controller);
    ASSERT_TRUE(parts.records) << parts.error;
    EXPECT_EQ(parts.records->at(0)->SMSFullHTML(), html("<div><b>bold</b></div>"));
    EXPECT_EQ(parts.records->at(0)->SMSRawText(), "bold");
}

TEST(MessagesExtraction, AConnectedDeviceCachesPiecesAndAQuitMidRunKeepsEverything)
{
    ExtractRig rig;
    rig.makeArchive();
    SMSDataController controller;
    const QString path = rig.tempFile("sms.db");
    const QString attachment = rig.tempFile("G1-iMessage-photo.jpg");
    auto prepare = [&] {
        makeDatabase(path, modernSchema(40, false)
                               + "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY, guid TEXT, mime_type TEXT, "
                                 "filename TEXT);"
                                 "INSERT INTO attachment VALUES(1,'G1','image/jpeg','~/Library/SMS/Attachments/ab/G1/photo.jpg');"
                               + QStringLiteral("INSERT INTO message VALUES(1,'',NULL,'iMessage',3,600000000,0,%1,0,0);")
                                     .arg(blobLiteral(attachmentBody("Look", "G1")))
                               + "INSERT INTO chat_message_join VALUES(2,1);"
                                 "INSERT INTO message VALUES(2,'later',NULL,'SMS',1,600000100,0,NULL,0,0);"
                                 "INSERT INTO chat_message_join VALUES(1,2);");
        writeFile(attachment, "JPEG");
    };
    rig.exec("uid-phone", "INSERT INTO synctimes (uuid, synctime) VALUES ('old-piece', 5)");

    // The quit flag ends the run after its first row: nothing of the run is kept, the cache's
    // sync marks included, and the result says the run did not complete.
    prepare();
    gBail.store(true);
    const Extraction stopped = extract(rig, path, "uid-phone", controller);
    gBail.store(false);
    EXPECT_FALSE(stopped.records);
    EXPECT_EQ(stopped.error, AppController::kExtractionCancelled);
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message"), 0);
    EXPECT_EQ(rig.number("uid-phone", "SELECT synctime FROM synctimes WHERE uuid='old-piece'"), 5);

    prepare();
    const Extraction run = extract(rig, path, "uid-phone", controller, 99);
    ASSERT_TRUE(run.records) << run.error;
    ASSERT_EQ(run.records->size(), 2);
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message"), 2);
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM synctimes WHERE uuid='old-piece'"), 0);
    EXPECT_EQ(rig.number("uid-phone", "SELECT synctime FROM synctimes WHERE uuid='G1-iMessage-photo.jpg'"), 99);
    EXPECT_EQ(rig.text("uid-phone", "SELECT data FROM smspieces WHERE uuid='G1-iMessage-photo.jpg'"), "JPEG");
    EXPECT_EQ(rig.text("uid-phone", "SELECT hex(data) FROM smsbackuppieces WHERE uuid='G1-iMessage-photo.jpg'"),
              QByteArray("JPEG").toHex().toUpper());

    // Again, with the attachment gone from the temporary folder: found in the cache.
    prepare();
    QFile::remove(attachment);
    const Extraction again = extract(rig, path, "uid-phone", controller, 100);
    ASSERT_TRUE(again.records) << again.error;
    EXPECT_EQ(again.records->at(1)->SMSRawText(), "Look\n[IMAGE]");
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message"), 2);
}

TEST(MessagesExtraction, UnreadableDatabasesGiveErrorsNeverCrashes)
{
    ExtractRig rig;
    SMSDataController controller;
    const QString path = rig.workFile("sms.db");

    Extraction missing = extract(rig, path, "thumbcacheuid-phone", controller);
    EXPECT_FALSE(missing.records);
    EXPECT_EQ(missing.error, 0);

    writeFile(path, QByteArray(4096, 'x'));
    EXPECT_EQ(extract(rig, path, "thumbcacheuid-phone", controller).error, -8817);

    QFile::remove(path);
    ASSERT_EQ(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    EXPECT_EQ(extract(rig, path, "thumbcacheuid-phone", controller).error, -8817);
    QFile::remove(path);

    // A database cut short: the header is sound, the pages are not.
    makeDatabase(path, generation40(attachmentBody("", "S1")) + "CREATE TABLE filler (x);"
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<2000) "
                       "INSERT INTO message (text, service, handle_id, date) SELECT 'row ' || i, 'SMS', 1, i FROM n;");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.resize(file.size() / 2);
    file.close();
    const Extraction truncated = extract(rig, path, "thumbcacheuid-phone", controller);
    EXPECT_FALSE(truncated.records);
    EXPECT_NE(truncated.error, 0);

    // No message table at all.
    makeDatabase(path, version(40) + "CREATE TABLE other (x);");
    EXPECT_EQ(extract(rig, path, "thumbcacheuid-phone", controller).error, -8818);
}

TEST(MessagesExtraction, AWalDatabaseIsReadWithItsJournal)
{
    ExtractRig rig;
    SMSDataController controller;
    const QString source = rig.home.path() + "/device/sms.db";
    QDir().mkpath(QFileInfo(source).absolutePath());
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(source).constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, generation5().toUtf8().constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    // Copied while the rows are still only in the journal, as a backup holds them.
    const QString path = rig.workFile("sms.db");
    ASSERT_TRUE(QFile::copy(source, path));
    ASSERT_TRUE(QFile::copy(source + "-wal", path + "-wal"));
    sqlite3_close(db);
    const Extraction run = extract(rig, path, "thumbcacheuid-phone", controller);
    ASSERT_TRUE(run.records) << run.error;
    EXPECT_EQ(run.records->size(), 2);
    EXPECT_FALSE(QFileInfo::exists(path + "-wal"));
}
