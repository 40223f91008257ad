#include "ExtractRig.h"
#include "LoopbackHttpServer.h"

#include "extract/MessageHTML.h"
#include "messages/FRSMSInfo.h"
#include "messages/SMSDataController.h"
#include "personal/FRAddressExtras.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

// A group chat with two members and a two-party chat; a photo, a contact card whose name
// tries to leave the folder, a location with a position and one without.
QString chatStorage()
{
    return QStringLiteral(
        "CREATE TABLE ZWACHATSESSION (Z_PK INTEGER PRIMARY KEY, ZPARTNERNAME TEXT);"
        "INSERT INTO ZWACHATSESSION VALUES(1,'Hikers');"
        "INSERT INTO ZWACHATSESSION VALUES(2,'Wendy');"
        "CREATE TABLE ZWAGROUPMEMBER (Z_PK INTEGER PRIMARY KEY, ZCHATSESSION INTEGER, ZMEMBERJID TEXT, ZCONTACTNAME TEXT);"
        "INSERT INTO ZWAGROUPMEMBER VALUES(1,1,'447700900123@s.whatsapp.net','Wendy W');"
        "INSERT INTO ZWAGROUPMEMBER VALUES(2,1,'15550001111@s.whatsapp.net',NULL);"
        "CREATE TABLE ZWAPROFILEPUSHNAME (Z_PK INTEGER PRIMARY KEY, ZJID TEXT, ZPUSHNAME TEXT);"
        "INSERT INTO ZWAPROFILEPUSHNAME VALUES(1,'447700900123@s.whatsapp.net','Wendy Push');"
        "CREATE TABLE ZWAMEDIAITEM (Z_PK INTEGER PRIMARY KEY, ZMESSAGE INTEGER, ZMEDIALOCALPATH TEXT, ZVCARDNAME TEXT, "
        "ZVCARDSTRING TEXT, ZLATITUDE REAL, ZLONGITUDE REAL, ZTITLE TEXT);"
        "CREATE TABLE ZWAMESSAGE (Z_PK INTEGER PRIMARY KEY, ZMESSAGEDATE REAL, ZFROMJID TEXT, ZTOJID TEXT, ZTEXT TEXT, "
        "ZISFROMME INTEGER, ZMESSAGESTATUS INTEGER, ZCHATSESSION INTEGER, ZGROUPMEMBER INTEGER, ZMESSAGETYPE INTEGER, "
        "ZGROUPEVENTTYPE INTEGER);"
        "INSERT INTO ZWAMESSAGE VALUES(1,600000000.5,'120363-1111@g.us',NULL,'Hi all',0,0,1,1,0,0);"
        "INSERT INTO ZWAMESSAGE VALUES(2,600000100,NULL,'447700900123@s.whatsapp.net','Hello',1,0,2,NULL,0,0);"
        "INSERT INTO ZWAMESSAGE VALUES(3,600000200,'447700900123@s.whatsapp.net',NULL,NULL,0,0,2,NULL,1,0);"
        "INSERT INTO ZWAMEDIAITEM VALUES(1,3,'Media/447700900123@s.whatsapp.net/a/b/photo1.jpg',NULL,NULL,0,0,'Sunset');"
        "INSERT INTO ZWAMESSAGE VALUES(4,600000300,'447700900123@s.whatsapp.net',NULL,NULL,0,0,2,NULL,4,0);"
        "INSERT INTO ZWAMEDIAITEM VALUES(2,4,NULL,'../../evil/name','BEGIN:VCARD\r\nFN:Evil\r\nEND:VCARD',0,0,NULL);"
        "INSERT INTO ZWAMESSAGE VALUES(5,600000400,'447700900123@s.whatsapp.net',NULL,NULL,0,0,2,NULL,5,0);"
        "INSERT INTO ZWAMEDIAITEM VALUES(3,5,NULL,NULL,NULL,51.5,-0.12,NULL);"
        "INSERT INTO ZWAMESSAGE VALUES(6,600000500,'447700900123@s.whatsapp.net',NULL,NULL,0,0,2,NULL,5,0);"
        "INSERT INTO ZWAMEDIAITEM VALUES(4,6,NULL,NULL,NULL,0.00005,0.00005,NULL);"
        // A group event: not a message.
        "INSERT INTO ZWAMESSAGE VALUES(7,600000600,'x@g.us',NULL,'joined',0,0,1,NULL,6,1);");
}

} // namespace

TEST(WhatsAppExtraction, ChatsGroupsMediaAndCardsBecomeMessages)
{
    ExtractRig rig;
    rig.makeArchive();
    SMSDataController controller;
    const QString path = rig.workFile("ChatStorage.sqlite");
    makeDatabase(path, chatStorage());
    writeFile(rig.workFile("photo1.jpg"), "JPEG");
    int error = 0;
    const auto records = rig.controller.processWhatsAppData(path, &controller, "thumbcacheuid-phone", &error, 5, nullptr);
    ASSERT_TRUE(records) << error;
    ASSERT_EQ(records->size(), 5) << "no text and no medium: no record";

    const FRSMSInfoPtr pin = records->at(0);
    EXPECT_EQ(pin->SMSRawText(), "[Dropped Pin-1578307600.vcf]");
    EXPECT_TRUE(QFileInfo::exists(rig.workFile("Dropped Pin-1578307600.vcf")));
    const FRSMSInfoPtr card = records->at(1);
    EXPECT_EQ(card->SMSRawText(), "[_.._evil_name-1578307500.vcf]");
    EXPECT_EQ(QDir(rig.workFolder()).entryList({"*.vcf"}).size(), 2) << "the card stayed in the work folder";
    const FRSMSInfoPtr photo = records->at(2);
    EXPECT_EQ(photo->SMSRawText(), "[IMAGE] Sunset");
    EXPECT_EQ(photo->SMSFullHTML(), MessageHTML::head()
                                        + "<div><A HREF=\"photo1.jpg\"><IMG SRC=\"photo1.jpg\" WIDTH=100% BORDER=0/></A></div>"
                                        + MessageHTML::tail());
    EXPECT_EQ(photo->SMSFlagsInt(), SMSFlag::WhatsApp);
    const FRSMSInfoPtr sent = records->at(3);
    EXPECT_EQ(sent->SMSFlagsInt(), SMSFlag::WhatsApp | SMSFlag::Sent);
    EXPECT_EQ(sent->SMSNumber(), "447700900123");
    const FRSMSInfoPtr group = records->at(4);
    EXPECT_EQ(group->SMSNumber(), "15550001111, 447700900123");
    EXPECT_EQ(group->RecipientNames(), "Me, Wendy Push");
    EXPECT_EQ(group->SenderName(), "Wendy Push");
    EXPECT_EQ(group->GroupTitle(), "Hikers");
    EXPECT_EQ(rig.number("uid-phone", "SELECT COUNT(*) FROM message"), 5);
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST(WhatsAppExtraction, PartnerHandlesAndPictureFetches)
{
    QStringList partners;
    AppController::addKey("447700900123", partners);
    AppController::addKey("447700900123", partners);
    AppController::addKey("120363-1111", partners);
    EXPECT_EQ(partners, QStringList{"447700900123"});

    LoopbackHttpServer server;
    ASSERT_TRUE(server.start());
    const QString base = server.baseUrl();
    server.enqueueResponse({200, "JPEGBYTES", {{"Content-Type", "image/jpeg"}}});
    server.enqueueResponse({404, "<html>not found</html>", {{"Content-Type", "text/html"}}});
    server.enqueueResponse({200, "<html>login</html>", {{"Content-Type", "text/html"}}});
    EXPECT_EQ(AppController::getJPGDataGraphURL(base + "/1/picture"), "JPEGBYTES");
    EXPECT_TRUE(AppController::getJPGDataGraphURL(base + "/2/picture").isEmpty());
    EXPECT_TRUE(AppController::getJPGDataGraphURL(base + "/3/picture").isEmpty());
}
