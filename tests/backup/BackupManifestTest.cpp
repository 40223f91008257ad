#include "BackupGenerator.h"
#include "TestHome.h"

#include "backup/BackupCredentials.h"
#include "backup/BackupCrypto.h"
#include "backup/BackupManifest.h"
#include "backup/DeviceBackup.h"
#include "backup/PiecePredicates.h"
#include "platform/RegularFile.h"
#include "device/DeviceTimings.h"
#include "platform/Paths.h"
#include "shell/Defaults.h"
#include "shell/SystemFlags.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

using BackupGen::ManifestForm;

QList<BackupGen::File> sampleFiles()
{
    return {
        {"HomeDomain", "Library/SMS/sms.db", BackupGen::randomBytes(5000), 3},
        {"MediaDomain", "Library/SMS/Attachments/ab/03/IMG_1.jpg", BackupGen::randomBytes(777), 4},
        {"AppDomainGroup-group.net.whatsapp.WhatsApp.shared", "ChatStorage.sqlite", BackupGen::randomBytes(900), 3},
    };
}

class BackupManifestTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        HASDECRYPT = true;
        BackupCredentials::clear();
        deviceTimings().manifestRetryMs = 1;
    }
    void TearDown() override { deviceTimings().reset(); }
    QTemporaryDir mDir;
};

// Every generation of manifest, plain and encrypted, reads into the same entries; each
// entry's key and class decrypt its file back to what was written.
TEST_F(BackupManifestTest, ReadsEveryManifestForm)
{
    const struct
    {
        const char *name;
        ManifestForm form;
        bool encrypted;
        bool encryptedRecords;
    } cases[] = {
        {"db", ManifestForm::Db, false, false},
        {"db encrypted", ManifestForm::Db, true, false},
        {"db encrypted records", ManifestForm::Db, true, true},
        {"mbdb", ManifestForm::Mbdb, false, false},
        {"mbdb with index", ManifestForm::MbdbWithIndex, false, false},
        {"mbdb encrypted", ManifestForm::MbdbWithIndex, true, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        BackupGen::Recipe recipe;
        recipe.manifestForm = c.form;
        recipe.encrypted = c.encrypted;
        recipe.encryptedRecords = c.encryptedRecords;
        recipe.files = sampleFiles();
        const QString folder = mDir.filePath(c.name);
        const BackupGen::Backup generated = BackupGen::write(folder, recipe);
        DeviceBackupPtr backup = DeviceBackup::initWithPath(folder);
        ASSERT_TRUE(backup);
        if (c.encrypted) {
            ASSERT_EQ(backup->unlockWithPassword(recipe.keybag.password, false), Keybag::kUnlocked);
        }

        const std::optional<Manifest> manifest = backup->getAManifest();
        ASSERT_TRUE(manifest);
        ASSERT_EQ(manifest->files.size(), recipe.files.size());
        for (const BackupGen::File &f : recipe.files) {
            const QString id = BackupGen::fileID(f.domain, f.relativePath);
            ASSERT_TRUE(manifest->files.contains(id)) << qPrintable(f.relativePath);
            const ManifestEntry &entry = manifest->files.value(id);
            EXPECT_EQ(entry.hash, id);
            EXPECT_EQ(entry.domain, f.domain);
            EXPECT_EQ(entry.path(), f.relativePath);
            EXPECT_TRUE(entry.normalfile);
            const bool flat = c.form != ManifestForm::Db;
            EXPECT_EQ(entry.location, flat ? id : id.left(2) + "/" + id);
            EXPECT_EQ(entry.protectionclass, flat ? int(f.protectionClass) : 99);
            const QString source = folder + "/" + entry.location;
            if (!c.encrypted) {
                EXPECT_EQ(BackupGen::readFile(source), f.contents);
                continue;
            }
            const std::optional<QByteArray> plain =
                backup->keybag()->decryptFileToData(source, entry.perfilekey, quint32(entry.protectionclass));
            ASSERT_TRUE(plain);
            EXPECT_EQ(*plain, f.contents);
        }
        EXPECT_EQ(manifest->mbdbHeader.size(), c.form == ManifestForm::Db ? 0 : 6);
        EXPECT_EQ(manifest->mbdxHeader.size(), c.form == ManifestForm::MbdbWithIndex ? 8 : 0);
    }
    // The decrypted work copies of the encrypted Manifest.db files are gone.
    EXPECT_TRUE(QDir(getTempDir()).entryList({"*.db"}, QDir::Files).isEmpty());
}

// A locked encrypted backup has no manifest to give; nothing is left in the temporary folder.
TEST_F(BackupManifestTest, LockedEncryptedManifestIsRefused)
{
    BackupGen::Recipe recipe;
    recipe.encrypted = true;
    recipe.files = sampleFiles();
    BackupGen::write(mDir.filePath("locked"), recipe);
    DeviceBackupPtr backup = DeviceBackup::initWithPath(mDir.filePath("locked"));
    ASSERT_TRUE(backup);
    EXPECT_FALSE(backup->getAManifest());
    EXPECT_TRUE(QDir(getTempDir()).entryList({"*.db"}, QDir::Files).isEmpty());
}

// File ids become path components: only 40 lowercase hex digits are taken.
TEST_F(BackupManifestTest, RefusesInvalidFileIDsInManifestDb)
{
    BackupGen::Recipe recipe;
    recipe.files = sampleFiles();
    const QString folder = mDir.filePath("ids");
    BackupGen::write(folder, recipe);
    const QString good = BackupGen::fileID("HomeDomain", "Library/SMS/sms.db");
    const QStringList bad = {"../../../../etc/passwd", good.toUpper(), good.left(39), good + "0",
                             good.left(38) + "/x", good.left(39) + QChar(0x00e9)};
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(folder + "/Manifest.db").constData(), &db), SQLITE_OK);
    for (const QString &id : bad) {
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO Files VALUES (?, 'HomeDomain', 'Library/x', 1, x'00')", -1, &st, nullptr);
        const QByteArray utf8 = id.toUtf8();
        sqlite3_bind_text(st, 1, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);

    const std::optional<Manifest> manifest = BackupManifest::readManifestAtPath(folder, false, nullptr);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->files.size(), 3);
    for (const QString &id : bad)
        EXPECT_FALSE(BackupManifest::isValidFileID(id)) << qPrintable(id);
    EXPECT_TRUE(BackupManifest::isValidFileID(good));
}

// Damaged record files: a walk that stops keeps what it read unless asked to be strict; an
// index that runs out, or a file too short to hold a header, gives nothing.
TEST_F(BackupManifestTest, DamagedOlderManifests)
{
    using BackupGen::mbdbRecord;
    const QByteArray key = BackupGen::le32(3) + QByteArray(40, 'k');
    const QByteArray one = mbdbRecord("HomeDomain", "Library/SMS/sms.db", key, 0x81a4, 3, 10);
    const QByteArray two = mbdbRecord("HomeDomain", "Library/Notes/notes.db", "abcd", 0x41ed, 4, 0,
                                      {{"name", "value"}});
    const QByteArray header = BackupGen::mbdbHeader();
    QByteArray longDomain = mbdbRecord(QByteArray(256, 'd'), "x", {}, 0x81a4, 1, 1);
    const struct
    {
        const char *name;
        QByteArray mbdb;
        bool fatal;
        int entries; // -1: nothing comes back
    } cases[] = {
        {"whole", header + one + two, true, 2},
        {"truncated, lenient", header + one + two.left(two.size() - 3), false, 1},
        {"truncated, strict", header + one + two.left(two.size() - 3), true, -1},
        {"truncated in a string", header + one + two.left(5), false, 1},
        {"domain over 255 bytes", header + one + longDomain, false, 1},
        {"header only", header, true, 0},
        {"too short", "mbdb\x05", false, -1},
        {"empty", {}, false, -1},
        {"record without path", header + mbdbRecord("HomeDomain", {}, {}, 0x81a4, 1, 1) + one, true, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<Manifest> manifest = BackupManifest::parseMbdb(c.mbdb, {}, true, c.fatal);
        ASSERT_EQ(manifest.has_value(), c.entries >= 0);
        if (manifest) {
            EXPECT_EQ(manifest->files.size(), c.entries);
        }
    }

    // Field values: a key of 4 bytes or less gives no per-file key; 0xFFFF is an empty string
    // that takes only its length bytes; the mode decides "normalfile".
    const std::optional<Manifest> whole = BackupManifest::parseMbdb(header + one + two, {}, true, true);
    ASSERT_TRUE(whole);
    const ManifestEntry sms = whole->files.value(BackupGen::fileID("HomeDomain", "Library/SMS/sms.db"));
    EXPECT_EQ(sms.perfilekey, QByteArray(40, 'k'));
    EXPECT_EQ(sms.protectionclass, 3);
    EXPECT_TRUE(sms.normalfile);
    EXPECT_EQ(sms.blob, one);
    const ManifestEntry notes = whole->files.value(BackupGen::fileID("HomeDomain", "Library/Notes/notes.db"));
    EXPECT_TRUE(notes.perfilekey.isEmpty());
    EXPECT_FALSE(notes.normalfile);
    EXPECT_EQ(notes.mode, 0x41ed);

    // The index walks beside the records: one too few index records is refused.
    const QString smsID = BackupGen::fileID("HomeDomain", "Library/SMS/sms.db");
    const QByteArray index = BackupGen::mbdxHeader(2) + BackupGen::mbdxRecord(smsID, 0, 0x81a4);
    EXPECT_FALSE(BackupManifest::parseMbdb(header + one + two, index, true, false));
    const QByteArray full = index + BackupGen::mbdxRecord(smsID, quint32(one.size()), 0x41ed);
    const std::optional<Manifest> indexed = BackupManifest::parseMbdb(header + one + two, full, true, false);
    ASSERT_TRUE(indexed);
    EXPECT_EQ(indexed->files.value(smsID).thingblob, QByteArray("\x81\xa4", 2));
    EXPECT_EQ(indexed->mbdxHeader, full.left(8));
    EXPECT_FALSE(BackupManifest::parseMbdb(header + one, "mbdx\x02", true, false));
}

TEST_F(BackupManifestTest, VersionsCompareByComponent)
{
    const struct
    {
        const char *a, *b;
        int order;
    } cases[] = {{"10.10", "10.9", 1}, {"10.0", "9.1", 1}, {"9.1", "9.1", 0}, {"10", "10.0", 0},
                 {"2.0", "10.0", -1}, {"", "1.0", -1}, {"3.3", "3.3.1", -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        const int order = BackupManifest::compareVersions(c.a, c.b);
        EXPECT_EQ((order > 0) - (order < 0), c.order);
    }
}

TEST(PiecePredicates, TellPiecesApart)
{
    const QString home = "HomeDomain", notes = "AppDomainGroup-group.com.apple.notes",
                  waShared = "AppDomainGroup-group.net.whatsapp.WhatsApp.shared",
                  wa = "AppDomain-net.whatsapp.WhatsApp";
    const struct
    {
        const char *path;
        QString domain;
        bool sms, notesAttachment, waPiece, waPhoto;
    } cases[] = {
        {"Library/SMS/Attachments/ab/01/IMG_1.jpg", home, true, false, false, false},
        {"Library/SMS/Parts/12/3.jpg", home, true, false, false, false},
        {"Library/SMS/StickerCache/x/sticker.heic", home, true, false, false, false},
        {"Library/SMS/Attachments/ab/01/IMG_1.jpg-preview", home, false, false, false, false},
        {"Library/SMS/Attachments/ab/01/x-preview-right.jpg", home, false, false, false, false},
        {"Library/SMS/Attachments/ab/01/x-preview_v2-1.jpg", home, false, false, false, false},
        {"Library/SMS/sms.db", home, false, false, false, false},
        {"Media/x/photo.png", notes, false, true, false, false},
        {"Previews/y.png", notes, false, true, false, false},
        {"Media/x/photo.png", home, false, false, false, false},
        {"Message/Media/a/b.jpg", waShared, false, false, true, false},
        {"Library/Media/a/b.mp4", wa, false, false, true, false},
        {"Message/Media/a/b.jpg", home, false, false, false, false},
        {"Message/Media/a/b.thumb", waShared, false, false, false, true},
        {"Media/Profile/123-Photo.jpg", waShared, false, false, false, true},
        {"Media/Profile/123-Photo.jpg", wa, false, false, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.path) + " in " + c.domain.toStdString());
        EXPECT_EQ(isSMSPiece(c.path), c.sms);
        EXPECT_EQ(isNotesAttachment(c.path, c.domain), c.notesAttachment);
        EXPECT_EQ(isWhatsAppPiece(c.path, c.domain), c.waPiece);
        EXPECT_EQ(isWhatsAppProfilePhoto(c.path, c.domain), c.waPhoto);
        EXPECT_EQ(isMessagesPiece(c.path, c.domain), c.sms || c.waPiece || c.waPhoto);
        EXPECT_EQ(isSomePiece(c.path, c.domain), c.sms || c.waPiece || c.waPhoto || c.notesAttachment);
    }
    EXPECT_EQ(SHA1String(QStringLiteral("HomeDomain-Library/SMS/sms.db")), "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
}

// A pipe, a device node or a folder where a backup file is expected is refused at once
// instead of hanging the reader.
TEST_F(BackupManifestTest, SpecialFilesAreRefusedNotWaitedOn)
{
    BackupGen::KeybagRecipe bagRecipe;
    const BackupGen::Keybag generated = BackupGen::makeKeybag(bagRecipe);
    auto keybag = Keybag::initWithData(generated.blob);
    ASSERT_EQ(keybag->descriptionWithData(bagRecipe.password), Keybag::kUnlocked);
    const QByteArray wrapped = BackupGen::wrapKey(BackupGen::randomBytes(32), generated.classKeys.value(3));

    const QString fifo = mDir.filePath("fifo");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QDir().mkpath(mDir.filePath("folder"));
    const QStringList sources = {fifo, "/dev/zero", mDir.filePath("folder")};
    QElapsedTimer timer;
    timer.start();
    for (const QString &source : sources) {
        SCOPED_TRACE(qPrintable(source));
        EXPECT_FALSE(keybag->decryptFile(source, mDir.filePath("out"), wrapped, 3));
        EXPECT_FALSE(keybag->decryptFileToData(source, wrapped, 3));
        EXPECT_FALSE(RegularFile::readAll(source, 1 << 20));
    }
    EXPECT_FALSE(QFileInfo::exists(mDir.filePath("out")));

    // The same in place of a manifest of either form.
    for (const char *name : {"Manifest.db", "Manifest.mbdb"}) {
        SCOPED_TRACE(name);
        const QString folder = mDir.filePath(QString("special-") + name);
        QDir().mkpath(folder);
        ASSERT_EQ(mkfifo(QFile::encodeName(folder + "/" + name).constData(), 0600), 0);
        EXPECT_FALSE(BackupManifest::readManifestAtPath(folder, false, nullptr));
    }
    EXPECT_LT(timer.elapsed(), 5000);
}

// Some devices store databases whose last encrypted block has no padding. Such a file is
// kept whole when its plain text is a complete SQLite file; anything else without valid
// padding is still refused.
TEST_F(BackupManifestTest, UnpaddedSQLiteDatabasesAreKeptWhole)
{
    BackupGen::KeybagRecipe bagRecipe;
    const BackupGen::Keybag generated = BackupGen::makeKeybag(bagRecipe);
    auto keybag = Keybag::initWithData(generated.blob);
    ASSERT_EQ(keybag->descriptionWithData(bagRecipe.password), Keybag::kUnlocked);
    const QByteArray fileKey = BackupGen::randomBytes(32);
    const QByteArray wrapped = BackupGen::wrapKey(fileKey, generated.classKeys.value(3));

    // A whole database file (checkpointed copy: the main file of a closed database).
    QTemporaryDir scratch;
    {
        sqlite3 *db = nullptr;
        sqlite3_open(QFile::encodeName(scratch.filePath("whole.db")).constData(), &db);
        sqlite3_exec(db, "CREATE TABLE t (x); INSERT INTO t VALUES (1);", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    const QByteArray database = BackupGen::readFile(scratch.filePath("whole.db"));
    ASSERT_EQ(database.size() % 16, 0);
    QByteArray truncatedHeader = database;
    truncatedHeader[31] = char(truncatedHeader[31] + 1); // the page count no longer agrees

    auto unpadded = [&](const QByteArray &plain) {
        // Encrypt with padding and drop the padding block: the last data block stays.
        return BackupGen::aesCbcEncrypt(fileKey, plain).left(plain.size());
    };
    const struct
    {
        const char *name;
        QByteArray stored;
        std::optional<QByteArray> plain;
    } cases[] = {
        {"padded", BackupGen::aesCbcEncrypt(fileKey, database), database},
        {"unpadded database", unpadded(database), database},
        {"unpadded, page count disagrees", unpadded(truncatedHeader), std::nullopt},
        {"unpadded random bytes", unpadded(BackupGen::randomBytes(4096)), std::nullopt},
        {"not a whole block", unpadded(database).left(database.size() - 5), std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString source = scratch.filePath("enc");
        BackupGen::writeFileAt(source, c.stored);
        EXPECT_EQ(keybag->decryptFileToData(source, wrapped, 3), c.plain);
        const QString out = scratch.filePath("out");
        QFile::remove(out);
        EXPECT_EQ(keybag->decryptFile(source, out, wrapped, 3), c.plain.has_value());
        if (c.plain) {
            EXPECT_EQ(BackupGen::readFile(out), *c.plain);
        } else {
            EXPECT_FALSE(QFileInfo::exists(out));
        }
    }
}

} // namespace
