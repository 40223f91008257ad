#include "ExtractRig.h"

#include "extract/AddressBookState.h"
#include "personal/FRAddressExtras.h"
#include "shell/DataLocks.h"

#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

// Two stores (local, iCloud), a group named Family in each, labels with one id missing, a
// company, a contact with only a number.
QString addressBook()
{
    return QStringLiteral(
        "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
        "INSERT INTO _SqliteDatabaseProperties VALUES('_ClientVersion','15');"
        "CREATE TABLE ABStore (ROWID INTEGER PRIMARY KEY, Name TEXT, AccountIdentifier TEXT, ExternalIdentifier TEXT);"
        "INSERT INTO ABStore VALUES(1,'Local',NULL,NULL);"
        "INSERT INTO ABStore VALUES(2,'Cloud',NULL,'https://p01-contacts.icloud.com/1/carddavhome/');"
        "CREATE TABLE ABGroup (ROWID INTEGER PRIMARY KEY, Name TEXT, StoreID INTEGER);"
        "INSERT INTO ABGroup VALUES(1,'Family',1);"
        "INSERT INTO ABGroup VALUES(2,'Family',2);"
        "INSERT INTO ABGroup VALUES(3,'Work',1);"
        "CREATE TABLE ABGroupMembers (ROWID INTEGER PRIMARY KEY, group_id INTEGER, member_type INTEGER, member_id INTEGER);"
        "INSERT INTO ABGroupMembers VALUES(1,1,0,1);"
        "INSERT INTO ABGroupMembers VALUES(2,2,0,2);"
        "INSERT INTO ABGroupMembers VALUES(3,3,0,1);"
        "CREATE TABLE ABMultiValueLabel (ROWID INTEGER PRIMARY KEY, value TEXT);"
        "INSERT INTO ABMultiValueLabel VALUES(1,'_$!<Mobile>!$_');"
        "INSERT INTO ABMultiValueLabel VALUES(2,'_$!<Home>!$_');"
        "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY, First TEXT, Last TEXT, Middle TEXT, NickName TEXT, "
        "Organization TEXT, Suffix TEXT, Prefix TEXT, JobTitle TEXT, Note TEXT, Department TEXT, Kind INTEGER, "
        "CreationDate REAL, ModificationDate REAL, Birthday REAL, FirstPhonetic TEXT, MiddlePhonetic TEXT, "
        "LastPhonetic TEXT, StoreID INTEGER);"
        "INSERT INTO ABPerson (ROWID, First, Last, Kind, Birthday, StoreID) VALUES(1,'Ann','Lee',0,300000000,1);"
        "INSERT INTO ABPerson (ROWID, First, Kind, StoreID) VALUES(2,'Bob',0,2);"
        "INSERT INTO ABPerson (ROWID, First, Last, Organization, Kind, StoreID) VALUES(3,'Zed','Zee','Acme',1,1);"
        "INSERT INTO ABPerson (ROWID, Kind, StoreID) VALUES(4,0,1);"
        "CREATE TABLE ABMultiValue (ROWID INTEGER PRIMARY KEY, record_id INTEGER, property INTEGER, identifier "
        "INTEGER, label INTEGER, value TEXT);"
        "INSERT INTO ABMultiValue VALUES(1,1,3,0,1,'+1 (555) 123-4567');"
        "INSERT INTO ABMultiValue VALUES(2,1,4,0,99,'ann@example.com');"
        "INSERT INTO ABMultiValue VALUES(3,2,3,0,2,'555-1234568');"
        "INSERT INTO ABMultiValue VALUES(4,3,3,0,1,'0800 111 222');"
        "INSERT INTO ABMultiValue VALUES(5,4,3,0,1,'+44 7700 900123');"
        "INSERT INTO ABMultiValue VALUES(6,2,4,0,1,'bob@localhost');");
}

QString pictures()
{
    return QStringLiteral("CREATE TABLE ABThumbnailImage (ROWID INTEGER PRIMARY KEY, record_id INTEGER, format INTEGER, "
                          "data BLOB);"
                          "INSERT INTO ABThumbnailImage VALUES(1,1,0,X'89504E47');");
}

QString nameOf(const QString &address, const QString &db)
{
    QString key;
    return FRAddressExtras::getAddressBookName(address, nullptr, nullptr, db, &key);
}

} // namespace

TEST(ContactsExtraction, AConnectedRunReadsContactsGroupsLabelsAndFillsTheNameCaches)
{
    ExtractRig rig;
    const QString contacts = rig.tempFile("AddressBook.sqlitedb");
    const QString thumbnails = rig.tempFile("AddressBookImages.sqlitedb");
    makeDatabase(contacts, addressBook());
    makeDatabase(thumbnails, pictures());
    ASSERT_EQ(rig.controller.processAddressData(contacts, thumbnails, "uid-phone", true), 0);

    std::lock_guard local(localLock);
    EXPECT_EQ(gNumAddresses.load(), 4);
    ASSERT_EQ(gAddresses.size(), 4);
    // In name order (last, then first name); a contact without names sorts by its number.
    EXPECT_EQ(gAddresses[0]->sortDescription(), "+44 7700 900123");
    EXPECT_EQ(gAddresses[1]->sortDescription(), "Bob");
    EXPECT_EQ(gAddresses[2]->sortDescription(), "Lee Ann");
    EXPECT_EQ(gAddresses[3]->sortDescription(), "Acme");
    EXPECT_EQ(gAddresses[3]->displayName(), "Acme");

    const FRAddressInfoPtr ann = gAddresses[2];
    EXPECT_EQ(ann->pictureData(), QByteArray::fromHex("89504E47"));
    const ABMultiValue mails = ann->person()->multiValue(kABEmailProperty);
    ASSERT_EQ(mails.items.size(), 1);
    EXPECT_EQ(mails.items[0].label, "Label") << "a label id the table lacks borrows no other label";
    EXPECT_EQ(ann->person()->multiValue(kABPhoneProperty).items[0].label, "_$!<Mobile>!$_");
    EXPECT_TRUE(ann->isInGroups({"Family"}));
    EXPECT_TRUE(ann->isInGroups({"Work"}));
    EXPECT_TRUE(gAddresses[1]->isInGroups({"Family (iCloud)"}));
    EXPECT_TRUE(gAddresses[1]->isInGroups({"All iCloud"}));
    EXPECT_TRUE(ann->isInGroups({"All from My Mac"}));
    EXPECT_TRUE(gHasStores);
    EXPECT_EQ(FRAddressInfo::makeFileName({ann, gAddresses[1], gAddresses[3]}), "Ann Lee and 2 Others.vcf");
    EXPECT_TRUE(ann->vcard().contains("FN:Ann Lee\r\n"));

    EXPECT_EQ(nameOf("+1 555 123 4567", "uid-phone"), "Ann Lee");
    EXPECT_EQ(nameOf("ann@example.com", "uid-phone"), "Ann Lee");
    EXPECT_EQ(nameOf("0800111222", "uid-phone"), "Acme");
    EXPECT_TRUE(nameOf("bob@localhost", "uid-phone").isEmpty()) << "an address without a dot is not cached";
    EXPECT_FALSE(QFileInfo::exists(contacts));
    EXPECT_FALSE(QFileInfo::exists(thumbnails));
}

TEST(ContactsExtraction, ABackupRunFillsOnlyItsOwnCachesAndLeavesTheDevicesContacts)
{
    ExtractRig rig;
    const QString contacts = rig.tempFile("AddressBook.sqlitedb");
    makeDatabase(contacts, addressBook());
    ASSERT_EQ(rig.controller.processAddressData(contacts, QString(), "uid-phone", true), 0);

    const QString backupFile = rig.workFile("AddressBook.sqlitedb");
    makeDatabase(backupFile, QStringLiteral("CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY, First TEXT, Last TEXT);"
                                            "INSERT INTO ABPerson VALUES(1,'Cy','Dee');"
                                            "CREATE TABLE ABMultiValue (ROWID INTEGER PRIMARY KEY, record_id INTEGER, "
                                            "property INTEGER, identifier INTEGER, label INTEGER, value TEXT);"
                                            "INSERT INTO ABMultiValue VALUES(1,1,3,0,1,'+49 30 1234 5678');"));
    ASSERT_EQ(rig.controller.processAddressData(backupFile, QString(), "thumbcacheB1", false), 0);
    {
        std::lock_guard local(localLock);
        EXPECT_EQ(gNumAddresses.load(), 4);
        EXPECT_EQ(gAddresses.size(), 4);
        EXPECT_TRUE(gGroups.contains("1"));
    }
    EXPECT_EQ(nameOf("030 12345678", "thumbcacheB1"), "Cy Dee");
    EXPECT_TRUE(nameOf("030 12345678", "uid-phone").isEmpty());
    EXPECT_TRUE(QFileInfo::exists(backupFile)) << "the work folder's files stay";
}

TEST(ContactsExtraction, UnreadableContactsGiveErrors)
{
    ExtractRig rig;
    EXPECT_EQ(rig.controller.processAddressData(rig.workFile("none.sqlitedb"), QString(), "k", false), 0);
    const QString path = rig.workFile("AddressBook.sqlitedb");
    writeFile(path, QByteArray(2048, '\0'));
    EXPECT_EQ(rig.controller.processAddressData(path, QString(), "k", false), -8706);
    makeDatabase(path, "CREATE TABLE other (x);");
    EXPECT_EQ(rig.controller.processAddressData(path, QString(), "k", false), -8710);
    makeDatabase(path, "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY, First TEXT);");
    EXPECT_EQ(rig.controller.processAddressData(path, QString(), "k", true), -8708) << "no group table";
}

TEST(ContactNameLookup, KeysFollowTheLookupRule)
{
    struct Case
    {
        const char *address, *key;
    };
    const Case cases[] = {
        {"+1 (555) 123-4567", "51234567"}, {"555-1234567", "51234567"},     {"WA447700900123", "WA00900123"},
        {"Facebook ID 200004567", "00004567"}, {"12345678", "12345678"},     {"123456789", "23456789"},
        {"WA.x@y.com", "WA.x@y.com"},         {"+++", "+++"},                {"", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(FRAddressExtras::lookupKey(c.address), c.key);
    }
}

TEST(ContactNameLookup, AMissIsRememberedAndAFoundNameIsCachedWithItsStatus)
{
    ExtractRig rig;
    rig.makeArchive();
    rig.exec("uid-phone", "INSERT INTO contacts (id, name, image) VALUES ('+1 555 000 1111', 'Archived Name', NULL)");
    QString key;
    EXPECT_EQ(FRAddressExtras::getAddressBookName("+1 555 000 1111", nullptr, nullptr, "uid-phone", &key), "Archived Name");
    EXPECT_EQ(key, "50001111");
    {
        std::lock_guard lock(gGlobalCacheLock);
        EXPECT_EQ(gTempImages["uid-phone"].value("50001111"), 3);
    }
    EXPECT_TRUE(FRAddressExtras::getAddressBookName("+1 555 999 0000", nullptr, nullptr, "uid-phone", &key).isEmpty());
    // The miss is kept: a contact added to the archive afterwards is not looked up again.
    rig.exec("uid-phone", "INSERT INTO contacts (id, name, image) VALUES ('+1 555 999 0000', 'Late', NULL)");
    EXPECT_TRUE(FRAddressExtras::getAddressBookName("+1 555 999 0000", nullptr, nullptr, "uid-phone", &key).isEmpty());
}
