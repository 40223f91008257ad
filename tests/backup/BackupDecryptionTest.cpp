#include "BackupGenerator.h"

#include "backup/DeviceBackup.h"
#include "backup/Keybag.h"
#include "shell/SystemFlags.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &data)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

// Rows of Files (fileID -> file blob) and the 'salt' property of a plain Manifest.db.
struct ManifestRows
{
    QHash<QString, QByteArray> records;
    QByteArray salt;
};

ManifestRows readManifest(const QString &path)
{
    ManifestRows rows;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "SELECT fileID, file FROM Files", -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW) {
        rows.records.insert(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 0))),
                            QByteArray(static_cast<const char *>(sqlite3_column_blob(st, 1)), sqlite3_column_bytes(st, 1)));
    }
    sqlite3_finalize(st);
    sqlite3_prepare_v2(db, "SELECT value FROM Properties WHERE key = 'salt'", -1, &st, nullptr);
    if (sqlite3_step(st) == SQLITE_ROW)
        rows.salt = QByteArray(static_cast<const char *>(sqlite3_column_blob(st, 0)), sqlite3_column_bytes(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

BackupGen::Recipe encryptedRecipe(bool encryptedRecords)
{
    BackupGen::Recipe recipe;
    recipe.encrypted = true;
    recipe.encryptedRecords = encryptedRecords;
    recipe.keybag.password = QStringLiteral("correct horse");
    recipe.files = {
        {"HomeDomain", "Library/SMS/sms.db", BackupGen::randomBytes(12345), 3},
        // Larger than one read chunk, and not a multiple of the block size.
        {"CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.MOV", BackupGen::randomBytes(2 * 1024 * 1024 + 77), 4},
        {"HomeDomain", "Library/empty.plist", {}, 1},
        {"HomeDomain", "Library/block.bin", BackupGen::randomBytes(4096), 2},
    };
    return recipe;
}

class BackupDecryptionTest : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override { HASDECRYPT = true; }
    QTemporaryDir mDir;
};

// A generated encrypted backup: refused with a wrong password, unlocked with the right one,
// then its manifest database and every file decrypt byte for byte, through the record
// (class 99) and through the wrapped key and class.
TEST_P(BackupDecryptionTest, DecryptsManifestAndFiles)
{
    const bool encryptedRecords = GetParam();
    const BackupGen::Recipe recipe = encryptedRecipe(encryptedRecords);
    const BackupGen::Backup generated = BackupGen::write(mDir.filePath("backup"), recipe);

    DeviceBackupPtr backup = DeviceBackup::initWithPath(generated.path);
    ASSERT_TRUE(backup);
    ASSERT_TRUE(backup->encrypted());
    std::shared_ptr<Keybag> keybag = backup->keybag();
    ASSERT_TRUE(keybag);
    EXPECT_FALSE(backup->hasUnlockedKeybag());
    EXPECT_FALSE(backup->decryptFile(generated.path + "/Manifest.db", mDir.filePath("m.db"), {}, 0));
    EXPECT_EQ(backup->unlockWithPassword(QStringLiteral("correct horse "), false), Keybag::kWrongPassword);
    EXPECT_FALSE(backup->hasUnlockedKeybag());
    ASSERT_EQ(backup->unlockWithPassword(recipe.keybag.password, false), Keybag::kUnlocked);
    EXPECT_TRUE(backup->hasUnlockedKeybag());
    EXPECT_EQ(keybag->decoded().size(), 32);

    const QString manifestPath = mDir.filePath("Manifest.db");
    ASSERT_TRUE(backup->decryptFile(generated.path + "/Manifest.db", manifestPath, {}, 0));
    EXPECT_EQ(readAll(manifestPath), generated.manifestDbPlain);
    const ManifestRows rows = readManifest(manifestPath);
    ASSERT_EQ(rows.records.size(), recipe.files.size());
    EXPECT_EQ(rows.salt, generated.recordSalt);
    if (!rows.salt.isEmpty())
        keybag->setSalt(rows.salt);

    for (const BackupGen::File &f : recipe.files) {
        SCOPED_TRACE(qPrintable(f.relativePath));
        const QString id = BackupGen::fileID(f.domain, f.relativePath);
        const QString source = generated.pathOf(id);
        const QString viaRecord = mDir.filePath(id + ".record");
        ASSERT_TRUE(keybag->decryptFile(source, viaRecord, rows.records.value(id), Keybag::kRecordClass));
        EXPECT_EQ(readAll(viaRecord), f.contents);
        const QString viaKey = mDir.filePath(id + ".key");
        ASSERT_TRUE(backup->decryptFile(source, viaKey, generated.wrappedKeys.value(id), f.protectionClass));
        EXPECT_EQ(readAll(viaKey), f.contents);
        EXPECT_EQ(keybag->decryptFileToData(source, rows.records.value(id), Keybag::kRecordClass), f.contents);
        // The wrong class key does not unwrap.
        EXPECT_FALSE(keybag->decryptFileToData(source, generated.wrappedKeys.value(id), f.protectionClass % 4 + 5));
    }
}

INSTANTIATE_TEST_SUITE_P(Records, BackupDecryptionTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "EncryptedRecords" : "PlainRecords"; });

// A destination is replaced only by a complete plaintext; a failed decryption leaves the
// earlier file untouched and no partial output behind. Encryption round-trips.
TEST(BackupFileCryptTest, FailedDecryptionLeavesDestinationAlone)
{
    HASDECRYPT = true;
    QTemporaryDir dir;
    BackupGen::Recipe recipe = encryptedRecipe(false);
    recipe.files.resize(1);
    const BackupGen::Backup generated = BackupGen::write(dir.filePath("backup"), recipe);
    DeviceBackupPtr backup = DeviceBackup::initWithPath(generated.path);
    ASSERT_TRUE(backup);
    ASSERT_EQ(backup->unlockWithPassword(recipe.keybag.password, false), Keybag::kUnlocked);
    std::shared_ptr<Keybag> keybag = backup->keybag();
    const QString id = BackupGen::fileID(recipe.files[0].domain, recipe.files[0].relativePath);
    const QByteArray wrapped = generated.wrappedKeys.value(id);

    const QString out = dir.filePath("out/sms.db");
    QDir().mkpath(dir.filePath("out"));
    writeAll(out, "earlier contents");

    // Ciphertext cut short of its padding block, and a missing source.
    const QString cut = dir.filePath("cut");
    writeAll(cut, readAll(generated.pathOf(id)).chopped(7));
    EXPECT_FALSE(keybag->decryptFile(cut, out, wrapped, 3));
    EXPECT_FALSE(keybag->decryptFile(dir.filePath("missing"), out, wrapped, 3));
    EXPECT_FALSE(keybag->decryptFileToData(cut, wrapped, 3));
    EXPECT_EQ(readAll(out), QByteArray("earlier contents"));
    EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::Files), QStringList{"sms.db"});

    ASSERT_TRUE(keybag->decryptFile(generated.pathOf(id), out, wrapped, 3));
    EXPECT_EQ(readAll(out), recipe.files[0].contents);
    EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::Files), QStringList{"sms.db"});

    const QString again = dir.filePath("again");
    ASSERT_TRUE(keybag->encryptFile(out, again, wrapped, 3));
    EXPECT_EQ(readAll(again), readAll(generated.pathOf(id)));
}

} // namespace
