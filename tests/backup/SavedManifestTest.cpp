#include "TestHome.h"

#include "archive/ArchiveFolder.h"
#include "backup/BackupSessionState.h"
#include "backup/SavedManifest.h"
#include "device/AppController.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

namespace {

// Manifests kept in the user defaults by older versions move into the archive folder, one
// file per device; a key that cannot name a file is dropped, never followed out of the
// folder; the default is gone afterwards.
TEST(SavedManifest, MovesManifestsOutOfTheDefaults)
{
    TestHome home;
    const QString udid = "00008030-001A2B3C4D5E6F70";
    UserDefaults::standard().setObject(
        QVariantMap{{udid, QByteArray("bplist-one")}, {"../escape", QByteArray("nope")}, {"blank", QByteArray()}},
        "mDatas20b");
    AppController controller;
    controller.moveMDatasToFiles();

    EXPECT_EQ(SavedManifest::getMDataFor(udid), QByteArray("bplist-one"));
    EXPECT_EQ(QDir(archiveFolderPath()).entryList(QDir::Files), QStringList{udid + ".manifest"});
    EXPECT_FALSE(QFile::exists(QFileInfo(archiveFolderPath()).path() + "/escape.manifest"));
    EXPECT_FALSE(SavedManifest::getMDataFor("blank"));
    EXPECT_FALSE(UserDefaults::standard().contains("mDatas20b"));
    for (const QString &bad : {QString(), QString("."), QString(".."), QString("a/b"), QString("a") + QChar(0)})
        EXPECT_TRUE(SavedManifest::pathFor(bad).isEmpty());
}

// The manifest a session left is written under the device's "UniqueDeviceID" as a binary
// property list, then forgotten, and the device's just-created marks are cleared.
TEST(SavedManifest, SavesTheSessionsManifest)
{
    TestHome home;
    AppController controller;
    const QString udid = "00008101-000A1B2C3D4E5F60";
    const QVariantMap manifest{{"Version", "10.0"}, {"IsEncrypted", false}, {"manifestdb", QByteArray("db")}};
    gManifestDictSaving = manifest;
    gTargetIDSaving = udid;
    controller.mCreatedAMRDB.insert(udid);
    controller.mCreatedNotesDB.insert(udid);
    controller.saveManifestToPrefs();

    const std::optional<QByteArray> saved = SavedManifest::getMDataFor(udid);
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->startsWith("bplist00"));
    EXPECT_EQ(PropertyList::fromData(*saved).value_or(QVariant()).toMap(), manifest);
    EXPECT_FALSE(gManifestDictSaving);
    EXPECT_TRUE(gTargetIDSaving.isEmpty());
    EXPECT_FALSE(controller.mCreatedAMRDB.contains(udid));
    EXPECT_FALSE(controller.mCreatedNotesDB.contains(udid));

    // Nothing pending: nothing written.
    QFile::remove(SavedManifest::pathFor(udid));
    controller.saveManifestToPrefs();
    EXPECT_FALSE(SavedManifest::getMDataFor(udid));
}

} // namespace
