// Which files a session asks the device for: the host's own backup of the device knocks out
// everything but the wanted files, and attachment pieces come again only while the archive
// holds none of their kind.

#include "LiveRig.h"

#include "BackupGenerator.h"
#include "archive/ArchiveDB.h"
#include "archive/ArchiveSql.h"
#include "backup/BackupSessionFlags.h"
#include "backup/BackupSessionState.h"
#include "backup/SavedManifest.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

const QString kPiece = QStringLiteral("ab-iMessage-IMG_1.jpg");
const QString kVoice = QStringLiteral("12.amr");

QMap<QString, QByteArray> deviceFiles()
{
    return {
        {QStringLiteral("HomeDomain/Library/SMS/sms.db"), "sms database"},
        {QStringLiteral("HomeDomain/Library/Voicemail/voicemail.db"), "voicemail"},
        {QStringLiteral("HomeDomain/Library/Voicemail/12.amr"), "voice"},
        {QStringLiteral("MediaDomain/Library/SMS/Attachments/ab/IMG_1.jpg"), "picture"},
        {QStringLiteral("HomeDomain/Library/Preferences/com.example.plist"), "preferences"},
    };
}

// Where the session's backup folder keeps the file the device sent (or the empty
// placeholder of one it was not asked for).
QFileInfo sessionFile(const QString &domain, const QString &path)
{
    const QString id = BackupGen::fileID(domain, path);
    return QFileInfo(sessionBackupFolder(LiveRig::kUid) + QLatin1Char('/') + id.left(2) + QLatin1Char('/') + id);
}

} // namespace

TEST(ManifestChoice, TheHostsOwnBackupOfTheDeviceMeansOnlyTheWantedFilesAndItsPiecesComeOver)
{
    LiveRig live;
    // The host synced the device before: its backup lists every file, with older contents.
    BackupGen::Recipe recipe;
    recipe.targetID = LiveRig::kUid;
    const QMap<QString, QByteArray> files = deviceFiles();
    for (auto it = files.begin(); it != files.end(); ++it) {
        const qsizetype slash = it.key().indexOf(QLatin1Char('/'));
        recipe.files << BackupGen::File{it.key().left(slash), it.key().mid(slash + 1), "old " + it.value()};
    }
    BackupGen::write(Paths::backupFolder() + QLatin1Char('/') + LiveRig::kUid, recipe);
    live.attach(files);

    auto result = live.request();
    ASSERT_EQ(live.wait(result), 1) << gDeviceError.load();
    EXPECT_TRUE(live.log().contains(QStringLiteral("going with the iTunes version because it's all we have")));
    // What was asked for came from the device, pieces included.
    EXPECT_EQ(live.tempFile(QStringLiteral("sms.db")), "sms database");
    EXPECT_EQ(live.tempFile(kPiece), "picture");
    EXPECT_EQ(live.tempFile(kVoice), "voice");
    // What nobody wants stayed on the device.
    const QFileInfo unwanted = sessionFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Preferences/com.example.plist"));
    EXPECT_TRUE(unwanted.exists());
    EXPECT_EQ(unwanted.size(), 0);
}

TEST(ManifestChoice, PiecesComeAgainOnlyWhileTheArchiveHasNoneOfTheirKind)
{
    LiveRig live;
    live.attach(deviceFiles());
    AppController &controller = *live.rig.controller;
    auto first = live.request();
    ASSERT_EQ(live.wait(first), 1) << gDeviceError.load();
    ASSERT_EQ(live.tempFile(kPiece), "picture");
    // As the extraction does once it has read the files: the manifest is saved and the
    // archive no longer counts as just made.
    controller.saveManifestToPrefs();
    ASSERT_TRUE(QFileInfo::exists(SavedManifest::pathFor(LiveRig::kUid)));

    auto fetchAgain = [&] {
        QFile::remove(getTempDir() + kPiece);
        QFile::remove(getTempDir() + kVoice);
        controller.flushBackup();
        auto result = live.request();
        EXPECT_EQ(live.wait(result), 1) << gDeviceError.load();
    };
    // The archive holds no piece yet: they are asked for again.
    fetchAgain();
    EXPECT_EQ(live.tempFile(kPiece), "picture");
    EXPECT_EQ(live.tempFile(kVoice), "voice");

    // Once it holds pieces of every kind, those stay on the device.
    {
        std::lock_guard local(localLock);
        int error = 0;
        const ArchiveDBPtr db = controller.getBackupDB(LiveRig::kUid, &error);
        ASSERT_TRUE(db) << error;
        ASSERT_EQ(ArchiveSql::exec(db->handle(), "INSERT INTO smspieces (uuid) VALUES ('piece-1');"
                                                 "INSERT INTO smspieces (uuid) VALUES ('x-NoteAttachment-y');"
                                                 "INSERT INTO amrs (uuid) VALUES ('voice-1');"),
                  0);
    }
    fetchAgain();
    EXPECT_FALSE(QFileInfo::exists(getTempDir() + kPiece));
    EXPECT_FALSE(QFileInfo::exists(getTempDir() + kVoice));
    EXPECT_EQ(live.tempFile(QStringLiteral("sms.db")), "sms database");

    // A new run starts from the saved manifest; a forced scan asks for every piece, once.
    {
        std::lock_guard lock(backupLock);
        gManifestDict.reset();
    }
    UserDefaults::standard().setBool(true, QStringLiteral("FORCE_SCAN"));
    fetchAgain();
    EXPECT_TRUE(live.log().contains(QStringLiteral("going with the stored version because it's all we have")));
    EXPECT_EQ(live.tempFile(kPiece), "picture");
    EXPECT_FALSE(UserDefaults::standard().boolForKey(QStringLiteral("FORCE_SCAN")));
}
