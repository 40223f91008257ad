#include "BackupGenerator.h"
#include "../device/RecordingWindow.h"

#include "backup/BackupManifest.h"
#include "backup/BackupPieceScan.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

// The older scan: files that name voicemail audio or SMS pieces are found by their path;
// the greeting, other files, files too short to reach the searched bytes and special files
// are passed over without reading past their end or waiting. Progress runs over the folder.
TEST(BackupPieceScan, FindsPiecesInMdinfoFiles)
{
    QTemporaryDir dir;
    auto add = [&](const QString &domain, const QString &path) {
        const QString id = BackupGen::fileID(domain, path);
        const QByteArray bytes = BackupGen::mdinfoFile(domain, path);
        EXPECT_GT(bytes.indexOf(path.toUtf8()), BackupPieceScan::kMdinfoSearchOffset);
        BackupGen::writeFileAt(dir.filePath(id + ".mdinfo"), bytes);
        BackupGen::writeFileAt(dir.filePath(id + ".mddata"), "data");
        return id;
    };
    const QString amr = add("HomeDomain", "Library/Voicemail/12.amr");
    const QString part = add("MediaDomain", "Library/SMS/Parts/ab/12-1.jpg");
    add("HomeDomain", "Library/Voicemail/Greeting.amr");
    add("HomeDomain", "Library/SMS/sms.db");
    add("HomeDomain", "Library/Preferences/x.plist");
    // Short: the searched text lies before the window, and the file ends before it.
    BackupGen::writeFileAt(dir.filePath(QString(40, 'a') + ".mdinfo"), "Library/SMS/Parts/x.jpg");
    // Not an identifier: never reported.
    BackupGen::writeFileAt(dir.filePath("notanid.mdinfo"), BackupGen::mdinfoFile("HomeDomain", "Library/Voicemail/8.amr"));
    ASSERT_EQ(mkfifo(QFile::encodeName(dir.filePath(QString(40, 'b') + ".mdinfo")).constData(), 0600), 0);

    RecordingWindow window;
    QElapsedTimer timer;
    timer.start();
    const QVariantMap found = BackupPieceScan::piecesInMdinfoFiles(dir.path(), &window);
    EXPECT_LT(timer.elapsed(), 5000);
    EXPECT_EQ(found, (QVariantMap{{"Library/Voicemail/12.amr", amr}, {"Library/SMS/Parts/ab/12-1.jpg", part}}));
    EXPECT_EQ(window.progressMax.load(), double(QDir(dir.path()).entryList(QDir::Files | QDir::System).size()));
    EXPECT_EQ(window.progressValue.load(), -1.0);
}

// The current protocol's scan over the session manifest, by kind.
TEST(BackupPieceScan, FindsPiecesInTheManifest)
{
    auto entry = [](const QString &domain, const QString &path) {
        ManifestEntry e;
        e.hash = BackupGen::fileID(domain, path);
        e.domain = domain;
        e.paths = {path};
        return std::pair{e.hash, QVariant(e.toVariant())};
    };
    QVariantMap files;
    for (const auto &[domain, path] :
         {std::pair{"HomeDomain", "Library/Voicemail/1.amr"}, std::pair{"HomeDomain", "Library/Voicemail/Greeting.amr"},
          std::pair{"AppDomainGroup-group.com.apple.notes", "Media/a/b.png"},
          std::pair{"MediaDomain", "Library/SMS/Attachments/ab/01/x.jpg"}, std::pair{"HomeDomain", "Library/SMS/sms.db"}}) {
        const auto [id, value] = entry(domain, path);
        files.insert(id, value);
    }
    EXPECT_EQ(BackupPieceScan::piecesInManifest(files, false, false, true).keys(), QStringList{"Library/Voicemail/1.amr"});
    EXPECT_EQ(BackupPieceScan::piecesInManifest(files, false, true, false).keys(), QStringList{"Media/a/b.png"});
    EXPECT_EQ(BackupPieceScan::piecesInManifest(files, true, false, false).keys(),
              QStringList{"Library/SMS/Attachments/ab/01/x.jpg"});
    EXPECT_EQ(BackupPieceScan::piecesInManifest(files, true, true, true).size(), 3);
}

} // namespace
