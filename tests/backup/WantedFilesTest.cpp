#include "BackupGenerator.h"
#include "TestHome.h"

#include "backup/BackupCredentials.h"
#include "backup/DeviceBackup.h"
#include "backup/WantedFiles.h"
#include "backup/WorkFolderNames.h"
#include "device/AppController.h"
#include "shell/SystemFlags.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>

#include <utility>

#include <sqlite3.h>

namespace {

const QString kHome = "HomeDomain";
const QString kWhatsApp = "AppDomain-net.whatsapp.WhatsApp";
const QString kWhatsAppShared = "AppDomainGroup-group.net.whatsapp.WhatsApp.shared";

// Every file under `folder` (links as links) with a digest of its contents and its mode.
QMap<QString, QByteArray> snapshot(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QByteArray digest = QByteArray::number(uint(info.permissions()));
        if (info.isFile())
            digest += QCryptographicHash::hash(BackupGen::readFile(path), QCryptographicHash::Sha1).toHex();
        files.insert(QDir(folder).relativeFilePath(path), digest);
    }
    return files;
}

int countRows(const QString &database, const char *table)
{
    sqlite3 *db = nullptr;
    int rows = -1;
    if (sqlite3_open_v2(QFile::encodeName(database).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        const QByteArray sql = QByteArray("SELECT count(*) FROM ") + table;
        if (sqlite3_prepare_v2(db, sql.constData(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            rows = sqlite3_column_int(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rows;
}

class WantedFilesTest : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        HASDECRYPT = true;
        BackupCredentials::clear();
    }
    QTemporaryDir mDir;
};

// A backup whose messages database is in WAL mode (its rows still in "sms.db-wal"), with
// attachments, a preview, another app's "Documents/ChatStorage.sqlite", both WhatsApp stores
// and an SMS path in a wrong domain. The work folder gets every row; the backup folder is
// byte-for-byte as it was.
TEST_P(WantedFilesTest, BringsWantedFilesIntoTheWorkFolder)
{
    const bool encrypted = GetParam();
    const BackupGen::WalDatabase sms = BackupGen::walDatabase(
        "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500)"
        " INSERT INTO message (text) SELECT 'message ' || i FROM n;");
    const QByteArray ours = BackupGen::randomBytes(3000), theirs = BackupGen::randomBytes(3100),
                     shared = BackupGen::randomBytes(3200);
    BackupGen::Recipe recipe;
    recipe.encrypted = encrypted;
    recipe.files = {
        {kHome, "Library/SMS/sms.db", sms.database, 3},
        {kHome, "Library/SMS/sms.db-wal", sms.wal, 3},
        {"MediaDomain", "Library/SMS/Attachments/ab/01/GUID-1/IMG_0001.jpg", BackupGen::randomBytes(900), 4},
        {"MediaDomain", "Library/SMS/Attachments/ab/01/GUID-1/IMG_0001.jpg-preview", BackupGen::randomBytes(90), 4},
        {"AppDomain-com.example.notes", "Library/SMS/sms.db", BackupGen::randomBytes(100), 3},
        {kWhatsApp, "Documents/ChatStorage.sqlite", ours, 3},
        {"AppDomain-com.example.other", "Documents/ChatStorage.sqlite", theirs, 3},
        {kWhatsAppShared, "ChatStorage.sqlite", shared, 3},
        {kWhatsAppShared, "Message/Media/123/photo.jpg", BackupGen::randomBytes(800), 3},
        {kHome, "Library/Voicemail/1.amr", BackupGen::randomBytes(700), 3},
        {kHome, "Library/Voicemail/voicemail.db", BackupGen::randomBytes(600), 3},
        {kHome, "Library/Preferences/unwanted.plist", BackupGen::randomBytes(500), 3},
    };
    const QString folder = mDir.filePath("backup");
    BackupGen::write(folder, recipe);
    const QMap<QString, QByteArray> before = snapshot(folder);

    DeviceBackupPtr backup = DeviceBackup::initWithPath(folder);
    ASSERT_TRUE(backup);
    const QString work = mDir.filePath("work");
    QDir().mkpath(work);
    if (encrypted) {
        // Locked: nothing at all.
        const std::optional<Manifest> none = backup->getAManifest();
        EXPECT_FALSE(none);
        AppController::grab(*backup, {}, folder, work, wantedFileList());
        EXPECT_TRUE(QDir(work).isEmpty());
        ASSERT_EQ(backup->unlockWithPassword(recipe.keybag.password, false), Keybag::kUnlocked);
    }
    const std::optional<Manifest> manifest = backup->getAManifest();
    ASSERT_TRUE(manifest);
    const WorkFolderNames names = AppController::grab(*backup, manifest->files, folder, work, wantedFileList());

    // The messages database and its journal are copies, never links into the backup, and
    // together hold every row.
    EXPECT_EQ(names.nameFor(kHome, "Library/SMS/sms.db"), "sms.db");
    EXPECT_EQ(names.nameFor(kHome, "Library/SMS/sms.db-wal"), "sms.db-wal");
    for (const char *name : {"sms.db", "sms.db-wal"}) {
        const QFileInfo info(work + "/" + name);
        EXPECT_TRUE(info.isFile() && !info.isSymLink()) << name;
    }
    // Both WhatsApp stores land, kept apart by their domains; the other app's does not.
    const QString whatsAppName = names.nameFor(QStringList{kWhatsApp, kWhatsAppShared}, "Documents/ChatStorage.sqlite");
    const QString sharedName = names.nameFor(kWhatsAppShared, "ChatStorage.sqlite");
    EXPECT_NE(whatsAppName, sharedName);
    EXPECT_TRUE(whatsAppName.startsWith("ChatStorage-") && whatsAppName.endsWith(".sqlite"));
    EXPECT_EQ(BackupGen::readFile(work + "/" + whatsAppName), ours);
    EXPECT_EQ(BackupGen::readFile(work + "/" + sharedName), shared);
    EXPECT_TRUE(names.nameFor("AppDomain-com.example.other", "Documents/ChatStorage.sqlite").isEmpty());

    // Pieces: linked (encrypted: linked to the still encrypted file, with the key recorded);
    // the preview is not taken.
    const QString attachment = work + "/GUID-1-iMessage-IMG_0001.jpg";
    EXPECT_TRUE(QFileInfo(attachment).isSymLink());
    EXPECT_FALSE(QFileInfo::exists(work + "/GUID-1-iMessage-IMG_0001.jpg-preview"));
    EXPECT_TRUE(QFileInfo(work + "/photo.jpg").isSymLink());
    EXPECT_EQ(backup->keysNClasses().contains("GUID-1-iMessage-IMG_0001.jpg"), encrypted);
    EXPECT_EQ(backup->keysNClasses().contains("photo.jpg"), encrypted);
    EXPECT_TRUE(QFileInfo::exists(work + "/1.amr"));
    EXPECT_FALSE(QFileInfo::exists(work + "/unwanted.plist"));

    // Every file that lands, before a reader checkpoints the journal away.
    const QStringList expected = {"1.amr", "GUID-1-iMessage-IMG_0001.jpg", sharedName, whatsAppName,
                                  "photo.jpg", "sms.db", "sms.db-wal", "voicemail.db"};
    QStringList present = QDir(work).entryList(QDir::Files | QDir::System | QDir::Hidden, QDir::Name);
    QStringList sorted = expected;
    sorted.sort();
    EXPECT_EQ(present, sorted);
    EXPECT_EQ(countRows(work + "/sms.db", "message"), 500);

    // Reading the copies wrote nothing beside the backup.
    EXPECT_EQ(snapshot(folder), before);
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, WantedFilesTest, ::testing::Bool());

// A link in a plain backup folder, in place of an attachment or of a database, leads out of
// the backup: nothing is taken through it, and the backup's own files still are.
TEST(WantedFiles, LinksInABackupFolderAreNeverFollowed)
{
    HASDECRYPT = true;
    QTemporaryDir dir;
    const QString secret = dir.filePath("secret.txt");
    {
        QFile file(secret);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not the device's");
    }
    const QString attachmentPath = "Library/SMS/Attachments/ab/01/GUID-1/IMG_0001.jpg";
    BackupGen::Recipe recipe;
    recipe.files = {
        {kHome, "Library/SMS/sms.db", BackupGen::randomBytes(300), 3},
        {"MediaDomain", attachmentPath, BackupGen::randomBytes(900), 4},
        {kHome, "Library/Voicemail/voicemail.db", "voicemail", 3},
    };
    const QString folder = dir.filePath("backup");
    const BackupGen::Backup made = BackupGen::write(folder, recipe);
    for (const auto &[domain, path] : {std::pair{QString("MediaDomain"), attachmentPath},
                                       std::pair{kHome, QString("Library/SMS/sms.db")}}) {
        const QString file = made.pathOf(BackupGen::fileID(domain, path));
        ASSERT_TRUE(QFile::remove(file));
        ASSERT_TRUE(QFile::link(secret, file));
    }
    DeviceBackupPtr backup = DeviceBackup::initWithPath(folder);
    ASSERT_TRUE(backup);
    const std::optional<Manifest> manifest = backup->getAManifest();
    ASSERT_TRUE(manifest);
    const QString work = dir.filePath("work");
    QDir().mkpath(work);
    AppController::grab(*backup, manifest->files, folder, work, wantedFileList());
    for (const char *name : {"sms.db", "GUID-1-iMessage-IMG_0001.jpg"}) {
        const QFileInfo taken(work + "/" + name);
        EXPECT_FALSE(taken.exists() || taken.isSymLink()) << name;
    }
    EXPECT_EQ(BackupGen::readFile(work + "/voicemail.db"), "voicemail");
}

TEST(WorkFolderNames, CollisionsAndJournals)
{
    WorkFolderNames names;
    names.add("A", "Documents/ChatStorage.sqlite");
    names.add("B", "ChatStorage.sqlite");
    names.add("B", "ChatStorage.sqlite-wal");
    names.add("HomeDomain", "Library/SMS/sms.db");
    names.add("HomeDomain", "Library/SMS/sms.db-wal");
    names.add("HomeDomain", "Library/Other/sms.db-wal"); // no database of its own: a plain file
    names.add("C", "x/same.db");
    names.add("C", "y/same.db");
    names.add("D", "..");
    names.add("D", "folder/");

    const QString a = names.nameFor("A", "Documents/ChatStorage.sqlite");
    const QString b = names.nameFor("B", "ChatStorage.sqlite");
    EXPECT_NE(a, b);
    EXPECT_TRUE(a.startsWith("ChatStorage-") && a.endsWith(".sqlite"));
    EXPECT_EQ(names.nameFor("B", "ChatStorage.sqlite-wal"), b + "-wal");
    EXPECT_EQ(names.nameFor("HomeDomain", "Library/SMS/sms.db"), "sms.db");
    EXPECT_EQ(names.nameFor("HomeDomain", "Library/SMS/sms.db-wal"), "sms.db-wal");
    const QString stray = names.nameFor("HomeDomain", "Library/Other/sms.db-wal");
    EXPECT_FALSE(stray.isEmpty());
    EXPECT_NE(stray, "sms.db-wal");
    EXPECT_NE(names.nameFor("C", "x/same.db"), names.nameFor("C", "y/same.db"));
    EXPECT_TRUE(names.nameFor("D", "..").isEmpty());
    EXPECT_TRUE(names.nameFor("D", "folder/").isEmpty());
    EXPECT_EQ(names.nameFor(QStringList{"Z", "B"}, "ChatStorage.sqlite"), b);

    // The same files in another order take the same names.
    WorkFolderNames reversed;
    reversed.add("B", "ChatStorage.sqlite-wal");
    reversed.add("B", "ChatStorage.sqlite");
    reversed.add("A", "Documents/ChatStorage.sqlite");
    EXPECT_EQ(reversed.nameFor("A", "Documents/ChatStorage.sqlite"), a);
    EXPECT_EQ(reversed.nameFor("B", "ChatStorage.sqlite-wal"), b + "-wal");
}

TEST(WorkFolderNames, NotesAttachmentsTakeTheirFolderInTheirName)
{
    const QString notes = "AppDomainGroup-group.com.apple.notes";
    const QString whatsApp = "AppDomainGroup-group.net.whatsapp.WhatsApp.shared";
    WorkFolderNames names;
    names.add(notes, "Media/MEDIA-1/IMG_1.jpeg");
    names.add(notes, "Media/MEDIA-2/IMG_1.jpeg");
    names.add(notes, "Previews/DRAWING-1-1-768x768-0.png");
    names.add(notes, "Media/../x.jpeg");
    names.add(whatsApp, "Media/Profile/123.thumb");
    EXPECT_EQ(names.nameFor(notes, "Media/MEDIA-1/IMG_1.jpeg"), "MEDIA-1-NoteAttachment-IMG_1.jpeg");
    EXPECT_EQ(names.nameFor(notes, "Media/MEDIA-2/IMG_1.jpeg"), "MEDIA-2-NoteAttachment-IMG_1.jpeg");
    EXPECT_EQ(names.nameFor(notes, "Previews/DRAWING-1-1-768x768-0.png"),
              "Previews-NoteAttachment-DRAWING-1-1-768x768-0.png");
    EXPECT_EQ(names.nameFor(notes, "Media/../x.jpeg"), "x.jpeg"); // ".." never joins a name
    EXPECT_EQ(names.nameFor(whatsApp, "Media/Profile/123.thumb"), "123.thumb");
}

} // namespace
