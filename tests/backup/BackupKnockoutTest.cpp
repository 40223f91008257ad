#include "BackupGenerator.h"

#include "backup/BackupCredentials.h"
#include "backup/BackupKnockout.h"
#include "backup/BackupManifest.h"
#include "backup/BackupSessionState.h"
#include "backup/DeviceBackup.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"
#include "shell/SystemFlags.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

QList<BackupGen::File> files()
{
    return {
        {"HomeDomain", "Library/SMS/sms.db", BackupGen::randomBytes(400), 3},
        {"HomeDomain", "Library/Notes/notes.sqlite", BackupGen::randomBytes(300), 3},
        {"CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.JPG", BackupGen::randomBytes(500), 4},
        {"AppDomain-com.example.app", "Documents/ChatStorage.sqlite", BackupGen::randomBytes(200), 3},
        {"AppDomain-net.whatsapp.WhatsApp", "Documents/ChatStorage.sqlite", BackupGen::randomBytes(200), 3},
    };
}

class BackupKnockoutTest : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        HASDECRYPT = true;
        BackupCredentials::clear();
    }
    void TearDown() override
    {
        gManifestDict.reset();
        gFileKeys.clear();
    }
    QTemporaryDir mDir;
};

QVariantMap filesAsVariant(const Manifest &manifest)
{
    QVariantMap out;
    for (auto it = manifest.files.cbegin(); it != manifest.files.cend(); ++it)
        out.insert(it.key(), it.value().toVariant());
    return out;
}

// The session's knocked-out folder, for a Manifest.db backup (plain, and encrypted: the
// database is re-encrypted under the manifest key) and for an older record-file backup:
// read back, it lacks exactly the wanted files, and every other file has its placeholder.
TEST_P(BackupKnockoutTest, KnockedOutManifestLacksExactlyTheWantedFiles)
{
    const bool encrypted = GetParam();
    for (BackupGen::ManifestForm form : {BackupGen::ManifestForm::Db, BackupGen::ManifestForm::MbdbWithIndex}) {
        const bool db = form == BackupGen::ManifestForm::Db;
        SCOPED_TRACE(db ? "Manifest.db" : "Manifest.mbdb");
        BackupGen::Recipe recipe;
        recipe.encrypted = encrypted;
        recipe.manifestForm = form;
        recipe.files = files();
        const QString source = mDir.filePath(db ? "source-db" : "source-mbdb");
        BackupGen::write(source, recipe);
        DeviceBackupPtr backup = DeviceBackup::initWithPath(source);
        ASSERT_TRUE(backup);
        if (encrypted) {
            ASSERT_EQ(backup->unlockWithPassword(recipe.keybag.password, false), Keybag::kUnlocked);
        }
        const std::optional<Manifest> manifest =
            BackupManifest::readManifestAtPath(source, true, backup->keybag());
        ASSERT_TRUE(manifest);

        std::lock_guard lock(backupLock);
        QVariantMap old{{"Files", filesAsVariant(*manifest)},
                        {"manifestplist", BackupGen::readFile(source + "/Manifest.plist")},
                        {"statusplist", BackupGen::readFile(source + "/Status.plist")}};
        if (db)
            old.insert("manifestdb", BackupGen::readFile(source + "/Manifest.db"));
        else
            old.insert({{"__mbdbheader", manifest->mbdbHeader}, {"__mbdxheader", manifest->mbdxHeader}});
        gManifestDict = old;
        const QString sms = BackupGen::fileID("HomeDomain", "Library/SMS/sms.db");
        const QString whatsApp = BackupGen::fileID("AppDomain-net.whatsapp.WhatsApp", "Documents/ChatStorage.sqlite");
        gFileKeys = {{"Library/SMS/sms.db", sms}, {"Documents/ChatStorage.sqlite", whatsApp},
                     {"Library/Unknown.db", BackupGen::fileID("HomeDomain", "Library/Unknown.db")}};
        const QVariantMap newData = BackupKnockout::getManifestForFileData(
            {QVariantMap{{"Path", "Library/SMS/sms.db"}}, QVariantMap{{"Path", "Documents/ChatStorage.sqlite"}},
             QVariantMap{{"Path", "Library/Unknown.db"}}, QVariantMap{{"Path", "Library/NotKnown.db"}}},
            true);
        EXPECT_EQ(newData.value("knockouts").toStringList(), QStringList({sms, whatsApp}));

        const QString folder = mDir.filePath(db ? "session-db" : "session-mbdb");
        ASSERT_TRUE(BackupKnockout::prepareBackupDirectoryWithOldManifest(old, newData, backup->keybag(), folder));
        // Twice: the placeholders already there are kept, nothing fails.
        ASSERT_TRUE(BackupKnockout::prepareBackupDirectoryWithOldManifest(old, newData, backup->keybag(), folder));
        if (encrypted && db) {
            EXPECT_NE(BackupGen::readFile(folder + "/Manifest.db").left(15), QByteArray("SQLite format 3"));
        }
        const std::optional<Manifest> knocked = BackupManifest::readManifestAtPath(folder, true, backup->keybag());
        ASSERT_TRUE(knocked);
        QStringList expected, got = knocked->files.keys();
        for (const BackupGen::File &f : recipe.files) {
            const QString id = BackupGen::fileID(f.domain, f.relativePath);
            if (id != sms && id != whatsApp)
                expected << id;
        }
        expected.sort();
        got.sort();
        EXPECT_EQ(got, expected);
        for (const QString &id : expected) {
            const QFileInfo placeholder(folder + "/" + (db ? id.left(2) + "/" : QString()) + id);
            EXPECT_TRUE(placeholder.isFile() && placeholder.size() == 0) << qPrintable(id);
        }
        EXPECT_FALSE(QFileInfo::exists(folder + "/" + (db ? sms.left(2) + "/" : QString()) + sms));
        EXPECT_EQ(BackupGen::readFile(folder + "/Status.plist"), old.value("statusplist").toByteArray());
        // No decrypted work copy is left behind.
        EXPECT_TRUE(QDir(getTempDir()).entryList({"*.db"}, QDir::Files).isEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, BackupKnockoutTest, ::testing::Bool());

// The index of an older manifest: a bad id is refused rather than written as undefined
// bytes, and an entry count above 65,535 is written whole, never wrapped.
TEST(BackupKnockout, IndexWriterRefusesBadIdsAndNeverWraps)
{
    auto entry = [](const QString &id) {
        ManifestEntry e;
        e.hash = e.location = id;
        e.paths = {"x"};
        e.domain = "HomeDomain";
        e.mode = 0x81a4;
        e.blob = BackupGen::mbdbRecord("HomeDomain", "x", {}, 0x81a4, 3, 1);
        return e.toVariant();
    };
    QByteArray mbdb, mbdx;
    for (const QString &bad : {QString("zz") + QString(38, 'a'), QString(40, 'A'), QString("../x")}) {
        EXPECT_FALSE(BackupKnockout::writeMbdbAndMbdx({{bad, entry(bad)}}, BackupGen::mbdbHeader(),
                                                      BackupGen::mbdxHeader(1), &mbdb, &mbdx));
    }

    QVariantMap many;
    for (int i = 0; i < 70000; ++i) {
        const QString id = BackupGen::fileID("HomeDomain", QString::number(i));
        many.insert(id, entry(id));
    }
    ASSERT_TRUE(BackupKnockout::writeMbdbAndMbdx(many, BackupGen::mbdbHeader(), BackupGen::mbdxHeader(3), &mbdb, &mbdx));
    EXPECT_EQ(mbdx.mid(6, 4), BackupGen::be32(70000));
    EXPECT_EQ(mbdx.size(), 10 + 70000 * 26);
    const std::optional<Manifest> back = BackupManifest::parseMbdb(mbdb, mbdx, false, true);
    ASSERT_TRUE(back);
}

} // namespace
