#include "BackupGenerator.h"
#include "TestHome.h"

#include "backup/BackupCredentials.h"
#include "backup/BackupKeychain.h"
#include "backup/DeviceBackup.h"
#include "platform/KeychainBackends.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "shell/SystemFlags.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <functional>

namespace {

class DeviceBackupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        HASDECRYPT = true;
        BackupCredentials::clear();
        mHome = std::make_unique<TestHome>();
        QDir().mkpath(Paths::backupFolder());
    }
    void TearDown() override { BackupCredentials::clear(); }

    BackupGen::Backup make(const QString &folder, BackupGen::Recipe recipe)
    {
        if (recipe.files.isEmpty())
            recipe.files = {{"HomeDomain", "Library/SMS/sms.db", "sqlite", 3}};
        return BackupGen::write(Paths::backupFolder() + "/" + folder, recipe);
    }

    static QStringList names(const QList<DeviceBackupPtr> &list)
    {
        QStringList out;
        for (const DeviceBackupPtr &b : list)
            out << b->backupFileName();
        return out;
    }

    std::unique_ptr<TestHome> mHome;
};

// The listing skips hidden entries, plain files and folders that are no backup, reads the
// property lists' values, and sorts by device name without regard to case.
TEST_F(DeviceBackupTest, ListsAndSortsBackups)
{
    BackupGen::Recipe zed;
    zed.deviceName = zed.displayName = "zed's iPad";
    zed.productType = "iPad8,1";
    make("c0ffee", zed);
    BackupGen::Recipe anna;
    anna.deviceName = "Anna's iPhone";
    anna.displayName = "Anna";
    anna.phoneNumber = "+44 20 7946 0000";
    anna.targetID = "00008101-000A1B2C3D4E5F60";
    anna.backupDate = QDateTime(QDate(2025, 12, 24), QTime(8, 30), Qt::UTC);
    make("00008101-000A1B2C3D4E5F60", anna);
    BackupGen::Recipe bob;
    bob.deviceName = bob.displayName = "bob";
    bob.encrypted = true;
    make("b0b", bob);
    BackupGen::Recipe noDb;
    noDb.writeManifestDb = false;
    make("nodb", noDb);
    BackupGen::Recipe noInfo;
    noInfo.writeInfo = false;
    make("noinfo", noInfo);
    make(".hidden", anna);
    mHome->writeFile(QDir(mHome->path()).relativeFilePath(Paths::backupFolder() + "/.DS_Store"), "x");
    mHome->writeFile(QDir(mHome->path()).relativeFilePath(Paths::backupFolder() + "/plainfile"), "x");

    const QList<DeviceBackupPtr> list = DeviceBackup::allBackups();
    ASSERT_EQ(names(list), (QStringList{"00008101-000A1B2C3D4E5F60", "b0b", "c0ffee"}));
    const DeviceBackup &a = *list[0];
    EXPECT_EQ(a.deviceName(), "Anna's iPhone");
    EXPECT_EQ(a.displayName(), "Anna");
    EXPECT_EQ(a.description(), "Anna");
    EXPECT_EQ(a.deviceType(), "iPhone10,3");
    EXPECT_EQ(a.phoneNumber(), "+44 20 7946 0000");
    EXPECT_EQ(a.targetID(), "00008101-000A1B2C3D4E5F60");
    EXPECT_EQ(a.backupDate(), anna.backupDate);
    EXPECT_TRUE(a.createDate().isValid());
    EXPECT_FALSE(a.encrypted());
    EXPECT_FALSE(a.keybag());
    EXPECT_EQ(a.backupPath(), Paths::backupFolder() + "/00008101-000A1B2C3D4E5F60");
    EXPECT_TRUE(list[1]->encrypted());
    EXPECT_TRUE(list[1]->keybag());
    EXPECT_TRUE(list[1]->canBeSelected());
    EXPECT_FALSE(list[1]->hasUnlockedKeybag());
    EXPECT_EQ(list[2]->deviceType(), "iPad8,1");

    EXPECT_TRUE(DeviceBackup::initWithDeviceID("c0ffee"));
    EXPECT_FALSE(DeviceBackup::initWithDeviceID("nodb"));
    EXPECT_FALSE(gBackupsBlocked.load());

    // The same list arrives on the main thread from the listing thread.
    QList<DeviceBackupPtr> delivered;
    QEventLoop loop;
    DeviceBackup::loadBackupsOnThread([&](QList<DeviceBackupPtr> backups) {
        delivered = backups;
        loop.quit();
    });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(names(delivered), names(list));
}

// The backup's date is Status.plist's, or else Info.plist's "Last Backup Date".
TEST_F(DeviceBackupTest, TheBackupDateFallsBackToInfoPlist)
{
    const QDateTime status(QDate(2026, 2, 1), QTime(9, 0), Qt::UTC);
    const QDateTime info(QDate(2026, 1, 15), QTime(18, 45), Qt::UTC);
    struct Case
    {
        const char *name;
        QVariant statusDate, infoDate;
        QDateTime expected;
    };
    const Case cases[] = {
        {"both", status, info, status},
        {"Info.plist's only", {}, info, info},
        {"a date that is no date", QString("yesterday"), info, info},
        {"neither", {}, {}, {}},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        const BackupGen::Backup made = make("dated", {});
        const auto rewrite = [](const QString &path, const char *key, const QVariant &value) {
            QVariantMap map = PropertyList::fromFile(path).value_or(QVariant()).toMap();
            if (value.isValid())
                map.insert(key, value);
            else
                map.remove(key);
            ASSERT_TRUE(PropertyList::toFile(map, path, PropertyList::Format::Xml));
        };
        rewrite(made.path + "/Status.plist", "Date", test.statusDate);
        rewrite(made.path + "/Info.plist", "Last Backup Date", test.infoDate);
        const DeviceBackupPtr backup = DeviceBackup::initWithPath(made.path, false);
        ASSERT_TRUE(backup);
        EXPECT_EQ(backup->backupDate(), test.expected);
        QDir(made.path).removeRecursively();
    }
}

// The small property lists are read only as the backup's own regular files of a sane size: a
// link may lead anywhere, and a huge list costs several times its size to parse.
TEST_F(DeviceBackupTest, ALinkedOrHugeInfoPlistIsNotRead)
{
    const BackupGen::Backup outside = make("outside", {});
    QByteArray huge = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                      "<key>Display Name</key><string>";
    huge += QByteArray(17 << 20, 'x');
    huge += "</string></dict></plist>";
    struct Case
    {
        const char *name;
        std::function<void(const QString &info)> plant;
    };
    const Case cases[] = {
        {"a link to another backup's", [&](const QString &info) { QFile::link(outside.path + "/Info.plist", info); }},
        {"17 MiB", [&](const QString &info) {
             QFile file(info);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
             file.write(huge);
         }},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.name);
        const BackupGen::Backup made = make("planted", {});
        ASSERT_TRUE(DeviceBackup::initWithPath(made.path, false));
        ASSERT_TRUE(QFile::remove(made.path + "/Info.plist"));
        test.plant(made.path + "/Info.plist");
        EXPECT_FALSE(DeviceBackup::initWithPath(made.path, false));
        QDir(made.path).removeRecursively();
    }
}

// On a host without decryption an encrypted backup keeps no keybag, says so in its name,
// cannot be chosen and sorts after every other backup.
TEST_F(DeviceBackupTest, EncryptedBackupWithoutDecryptionSortsLast)
{
    BackupGen::Recipe plain;
    plain.deviceName = plain.displayName = "zulu";
    make("z", plain);
    BackupGen::Recipe locked;
    locked.deviceName = locked.displayName = "Alpha";
    locked.encrypted = true;
    make("a", locked);

    HASDECRYPT = false;
    const QList<DeviceBackupPtr> list = DeviceBackup::allBackups();
    ASSERT_EQ(names(list), (QStringList{"z", "a"}));
    EXPECT_EQ(list[1]->displayName(), "Alpha (Encrypted)");
    EXPECT_FALSE(list[1]->canBeSelected());
    EXPECT_FALSE(list[1]->keybag());
    EXPECT_TRUE(list[0]->canBeSelected());
    HASDECRYPT = true;
}

TEST_F(DeviceBackupTest, OrderingsPutNewestFirst)
{
    BackupGen::Recipe recipe;
    make("one", recipe);
    DeviceBackupPtr older = DeviceBackup::initWithPath(Paths::backupFolder() + "/one");
    DeviceBackupPtr newer = DeviceBackup::initWithPath(Paths::backupFolder() + "/one");
    ASSERT_TRUE(older && newer);
    const QDateTime t0(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    older->setBackupDate(t0);
    newer->setBackupDate(t0.addDays(1));
    older->setCreateDate(t0);
    newer->setCreateDate(t0.addSecs(1));

    EXPECT_LT(newer->newestFirst(*older), 0);
    EXPECT_GT(older->newestFirst(*newer), 0);
    EXPECT_EQ(older->newestFirst(*older), 0);
    // Same device name (in any case): the newer creation date first.
    newer->setDeviceName("TEST IPHONE");
    EXPECT_LT(newer->compareDisplayName(*older), 0);
    EXPECT_GT(older->compareDisplayName(*newer), 0);
    // A missing name also falls back to the creation date; a missing date sorts last.
    older->setDeviceName(QString());
    EXPECT_LT(newer->compareDisplayName(*older), 0);
    older->setCreateDate({});
    EXPECT_LT(newer->compareCreateDate(*older), 0);
}

TEST_F(DeviceBackupTest, DeviceMakesCalls)
{
    const struct
    {
        const char *type;
        bool calls;
    } cases[] = {{"iPhone14,2", true}, {"iPad13,1", true}, {"iPod9,1", true}, {"iPod1,1", false},
                 {"iPod2,1", false}, {"AppleTV5,3", false}, {nullptr, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.type ? c.type : "none");
        BackupGen::Recipe recipe;
        recipe.productType = c.type ? QString::fromLatin1(c.type) : QString();
        make("calls", recipe);
        DeviceBackupPtr backup = DeviceBackup::initWithPath(Paths::backupFolder() + "/calls");
        ASSERT_TRUE(backup);
        EXPECT_EQ(backup->deviceMakesCalls(), c.calls);
    }
}

// A password proved right is remembered in memory and, on request, in the keychain; later
// objects for the same folder unlock from either without asking. A remembered password
// that no longer unlocks is removed from both.
TEST_F(DeviceBackupTest, RemembersAndForgetsCredentials)
{
    BackupGen::Recipe recipe;
    recipe.encrypted = true;
    recipe.keybag.password = "hunter2";
    make("enc", recipe);
    const QString path = Paths::backupFolder() + "/enc";
    const QString account = "BACKUPenc";

    DeviceBackupPtr first = DeviceBackup::initWithPath(path);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->keychainAccount(), account);
    EXPECT_FALSE(first->hasUnlockedKeybag());
    EXPECT_EQ(first->unlockWithPassword("hunter3", true), Keybag::kWrongPassword);
    EXPECT_TRUE(BackupKeychain::getOurBackupPassword(false, account).isNull());
    ASSERT_EQ(first->unlockWithPassword("hunter2", true), Keybag::kUnlocked);
    EXPECT_EQ(BackupKeychain::getOurBackupPassword(false, account), "hunter2");
    QByteArray storedKey;
    ASSERT_EQ(Keychain::find(BackupKeychain::kKeyService, account, &storedKey), Keychain::Status::Success);
    EXPECT_EQ(storedKey, first->keybag()->decoded().toBase64());

    // From memory, then (memory cleared) from the keychain.
    EXPECT_TRUE(DeviceBackup::initWithPath(path)->hasUnlockedKeybag());
    BackupCredentials::clear();
    EXPECT_TRUE(DeviceBackup::initWithPath(path)->hasUnlockedKeybag());
    EXPECT_EQ(BackupCredentials::lookup("enc").password, "hunter2");

    // A stale cached password is dropped and the keychain tried next.
    BackupCredentials::store("enc", "stale", QByteArray(32, 'k'));
    EXPECT_TRUE(DeviceBackup::initWithPath(path)->hasUnlockedKeybag());
    EXPECT_EQ(BackupCredentials::lookup("enc").password, "hunter2");

    // A remembered key from an earlier keybag (the salt changed, the password did not) does
    // not make the right password stale: it unlocks, and the key is brought up to date.
    BackupCredentials::clear();
    BackupKeychain::rememberPassword("hunter2", QByteArray(32, 'o'), account);
    DeviceBackupPtr rederived = DeviceBackup::initWithPath(path);
    EXPECT_TRUE(rederived->hasUnlockedKeybag());
    EXPECT_EQ(BackupKeychain::getOurBackupPassword(false, account), "hunter2");
    EXPECT_EQ(BackupKeychain::getOurBackupKey(false, account), rederived->keybag()->decoded());

    // A wrong remembered password (and key) is removed from memory and keychain.
    BackupCredentials::clear();
    BackupKeychain::rememberPassword("wrong", QByteArray(32, 'x'), account);
    EXPECT_FALSE(DeviceBackup::initWithPath(path)->hasUnlockedKeybag());
    QByteArray secret;
    EXPECT_EQ(Keychain::find(BackupKeychain::kPasswordService, account, &secret), Keychain::Status::NotFound);
    EXPECT_EQ(Keychain::find(BackupKeychain::kKeyService, account, &secret), Keychain::Status::NotFound);

    // The same when only the password item is left: it is still removed.
    Keychain::store(BackupKeychain::kPasswordService, account, "wrong");
    EXPECT_FALSE(DeviceBackup::initWithPath(path)->hasUnlockedKeybag());
    EXPECT_EQ(Keychain::find(BackupKeychain::kPasswordService, account, &secret), Keychain::Status::NotFound);

    // Nothing stored: nothing to unlock with, nothing deleted (another account untouched).
    Keychain::store(BackupKeychain::kPasswordService, "BACKUPother", "keep");
    EXPECT_FALSE(DeviceBackup::initWithPath(path)->hasUnlockedKeybag());
    EXPECT_EQ(BackupKeychain::getOurBackupPassword(false, "BACKUPother"), "keep");
}

// A keychain that cannot be read (here: the password item is damaged, so the store answers
// neither the password nor "not found") says nothing about the stored items: they are kept,
// and the backup simply stays locked.
TEST_F(DeviceBackupTest, UnreadableKeychainKeepsCredentials)
{
    BackupGen::Recipe recipe;
    recipe.encrypted = true;
    make("kept", recipe);
    const QString path = Paths::backupFolder() + "/kept";
    const QString account = "BACKUPkept";
    BackupKeychain::rememberPassword(recipe.keybag.password, QByteArray(32, 'k'), account);

    // Damage only the password item's secret.
    const QString store = KeychainBackends::FileKeychainStore::filePath();
    QFile file(store);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray json = file.readAll();
    file.close();
    const QByteArray goodSecret = QByteArray(recipe.keybag.password.toUtf8()).toBase64();
    ASSERT_TRUE(json.contains(goodSecret));
    json.replace(goodSecret, "!!not base64!!");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(json);
    file.close();
    Keychain::Status status = Keychain::Status::Success;
    ASSERT_TRUE(BackupKeychain::getOurBackupPassword(false, account, &status).isNull());
    ASSERT_EQ(status, Keychain::Status::Unavailable);

    EXPECT_FALSE(DeviceBackup::initWithPath(path)->hasUnlockedKeybag());
    QByteArray secret;
    EXPECT_EQ(Keychain::find(BackupKeychain::kKeyService, account, &secret), Keychain::Status::Success);
    EXPECT_EQ(Keychain::find(BackupKeychain::kPasswordService, account, &secret), Keychain::Status::Unavailable);
}

TEST_F(DeviceBackupTest, KeychainItems)
{
    const QString account = "00008030-001A2B3C4D5E6F70";
    EXPECT_FALSE(BackupKeychain::changePasswordForService(BackupKeychain::kPasswordService, account, "a"));
    BackupKeychain::rememberPassword("first", QByteArray(32, '\x01'), account);
    BackupKeychain::rememberPassword("second", QByteArray(32, '\x02'), account);
    EXPECT_EQ(BackupKeychain::getOurBackupPassword(true, account), "second");
    EXPECT_EQ(BackupKeychain::getOurBackupKey(true, account), QByteArray(32, '\x02'));
    EXPECT_TRUE(BackupKeychain::changePasswordForService(BackupKeychain::kPasswordService, account, "third"));
    EXPECT_EQ(BackupKeychain::getOurBackupPassword(false, account), "third");
    // Without a key only the password is written.
    BackupKeychain::rememberPassword("fourth", {}, account);
    EXPECT_EQ(BackupKeychain::getOurBackupKey(false, account), QByteArray(32, '\x02'));

    // The two items go independently: a missing key item keeps nothing alive.
    ASSERT_EQ(Keychain::remove(BackupKeychain::kKeyService, account), Keychain::Status::Success);
    EXPECT_TRUE(BackupKeychain::deletePasswordForAccount(account));
    Keychain::Status status = Keychain::Status::Success;
    EXPECT_TRUE(BackupKeychain::getOurBackupPassword(false, account, &status).isNull());
    EXPECT_EQ(status, Keychain::Status::NotFound);
    EXPECT_FALSE(BackupKeychain::deletePasswordForAccount(account));

    // The host backup application's item is only read.
    EXPECT_TRUE(BackupKeychain::getiTunesBackupPasswordForDevice("00008030").isNull());
    Keychain::store(BackupKeychain::kHostBackupService, "00008030", "from the host");
    EXPECT_EQ(BackupKeychain::getiTunesBackupPasswordForDevice("00008030"), "from the host");
}

} // namespace
