// The file browser's model and nodes against the simulated device: listed on the worker in
// batches under QAbstractItemModelTester, ":" shown as "/", dot files only in whole-disk
// mode, a re-list that drops the older listing's rows, sizes that are never stale, and the
// naming rules for typed names.

#include "FilesRig.h"

#include "device/DeviceFilesModel.h"
#include "device/DeviceNames.h"
#include "device/FSNodeInfo.h"
#include "device/FolderSizer.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

QStringList rowsOf(const DeviceFilesModel &model, const QModelIndex &parent = {})
{
    QStringList rows;
    for (int row = 0; row < model.rowCount(parent); ++row)
        rows << model.index(row, 0, parent).data().toString();
    return rows;
}

bool waitForFolder(QSignalSpy &loaded, const QString &path)
{
    return waitUntil([&] {
        for (const QList<QVariant> &call : std::as_const(loaded)) {
            if (call.value(0).toString() == path)
                return true;
        }
        return false;
    }, scaledTimeoutMs(20000));
}

} // namespace

TEST(DeviceFilesModel, ListsOnTheWorkerInBatchesUnderTheModelTester)
{
    FilesRig rig;
    QDir().mkpath(rig.media("Fernlow/many"));
    for (int i = 0; i < 10000; ++i) {
        QFile file(rig.media(QStringLiteral("Fernlow/many/f%1.txt").arg(i, 5, 10, QLatin1Char('0'))));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    writePattern(rig.media("Fernlow/a:b.txt"), 3);
    writePattern(rig.media("Fernlow/.hidden"), 3);
    writePattern(rig.media("Fernlow/Beta.txt"), 3);
    ASSERT_TRUE(rig.connect());

    DeviceFilesModel model(*rig.controller);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QSignalSpy loaded(&model, &DeviceFilesModel::folderLoaded);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);

    // The tester already asked for the root's rows; a second ask starts nothing new.
    model.fetchMore({});
    EXPECT_FALSE(model.canFetchMore({}));
    ASSERT_TRUE(waitForFolder(loaded, "/"));
    const QStringList root = rowsOf(model);
    EXPECT_TRUE(root.contains("a/b.txt"));
    EXPECT_FALSE(root.contains(".hidden"));
    EXPECT_LT(root.indexOf("a/b.txt"), root.indexOf("Beta.txt"));
    EXPECT_LT(root.indexOf("Beta.txt"), root.indexOf("docs"));
    const QModelIndex colon = model.index(int(root.indexOf("a/b.txt")), 0);
    EXPECT_EQ(colon.data(DeviceFilesModel::PathRole).toString(), "/a:b.txt");
    EXPECT_EQ(model.indexForPath("/a:b.txt"), colon);
    EXPECT_FALSE(model.hasChildren(colon));

    const QModelIndex many = model.indexForPath("/many");
    ASSERT_TRUE(many.isValid());
    EXPECT_TRUE(model.hasChildren(many));
    EXPECT_EQ(many.data(DeviceFilesModel::IconNameRole).toString(), "folder");
    inserted.clear();
    model.fetchMore(many);
    ASSERT_TRUE(waitForFolder(loaded, "/many"));
    EXPECT_EQ(model.rowCount(many), 10000);
    QList<int> batches; // in batches, the first one small
    for (const QList<QVariant> &call : std::as_const(inserted)) {
        if (call.value(0).value<QModelIndex>() == many)
            batches << call.value(2).toInt() - call.value(1).toInt() + 1;
    }
    EXPECT_GT(batches.size(), 1);
    EXPECT_EQ(batches.value(0), DeviceFilesModel::kFirstBatch);
    EXPECT_EQ(model.index(9999, 0, many).data().toString(), "f09999.txt");

    // A re-list while the first listing still comes in: only the newer one's rows count.
    writePattern(rig.media("Fernlow/many/new.txt"), 1);
    loaded.clear();
    model.refreshFolder("/many");
    model.refreshFolder("/many");
    ASSERT_TRUE(waitForFolder(loaded, "/many"));
    EXPECT_EQ(std::count_if(loaded.begin(), loaded.end(), [](const QList<QVariant> &call) { return call.value(0) == "/many"; }), 1);
    EXPECT_EQ(model.rowCount(many), 10001);

    // Whole-disk mode shows dot files.
    UserDefaults::standard().setBool(true, "ADVANCED_MODE");
    model.reload();
    model.fetchMore({});
    loaded.clear();
    ASSERT_TRUE(waitForFolder(loaded, "/"));
    // (whole-disk mode starts at the top of the media area)
    const QModelIndex fernlow = model.indexForPath("/Fernlow");
    ASSERT_TRUE(fernlow.isValid()) << qPrintable(rowsOf(model).join(","));
    model.fetchMore(fernlow);
    ASSERT_TRUE(waitForFolder(loaded, "/Fernlow"));
    EXPECT_TRUE(rowsOf(model, fernlow).contains(".hidden"));
    UserDefaults::standard().setBool(false, "ADVANCED_MODE");
}

TEST(FSNodeInfo, AnswersFromTheListingAndPostsOnlyTheLatestSize)
{
    FilesRig rig;
    for (int i = 0; i < 300; ++i)
        writePattern(rig.media(QStringLiteral("Fernlow/big/d%1/f.bin").arg(i % 30) + QString::number(i)), 1000, i);
    writePattern(rig.media("Fernlow/small.bin"), 1234);
    ASSERT_TRUE(rig.connect());
    ASSERT_EQ(rig.controller->getDirectories(true), 0);

    const FSNodeInfo small(*rig.controller, "/small.bin");
    EXPECT_TRUE(small.exists());
    EXPECT_FALSE(small.isDirectory());
    EXPECT_EQ(small.displayName(), "small.bin");
    EXPECT_EQ(FSNodeInfo(*rig.controller, "/big").fsType(), "Folder");
    EXPECT_FALSE(FSNodeInfo(*rig.controller, "/nothing").exists());
    EXPECT_EQ(FSNodeInfo::formatDate(0), "");

    QStringList posted;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        NotificationNames::UpdateStatusTextWithSize, nullptr,
        [&](const Notification &note) { posted << note.userInfo.value("path").toString() + "=" + note.userInfo.value("size").toString(); });
    // A folder asked for and then left for a file: only the file's size is ever posted.
    EXPECT_EQ(FSNodeInfo(*rig.controller, "/big").sizeString(), "Calculating...");
    EXPECT_EQ(small.sizeString(), "Calculating...");
    ASSERT_TRUE(waitUntil([&] { return !posted.isEmpty(); }, scaledTimeoutMs(20000)));
    EXPECT_EQ(posted, QStringList{"/small.bin=1 KB"});
    // Stopped: nothing comes.
    FSNodeInfo(*rig.controller, "/big").sizeString();
    FSNodeInfo::stopSizeThread(*rig.controller);
    FSNodeInfo(*rig.controller, "/small.bin").sizeString();
    ASSERT_TRUE(waitUntil([&] { return posted.size() == 2; }, scaledTimeoutMs(20000)));
    EXPECT_EQ(posted.value(1), "/small.bin=1 KB");
    NotificationCenter::defaultCenter().removeObserver(token);
    FolderSizer::shutdown();
}

TEST(DeviceNames, TypedNamesAreMappedCutAndRefused)
{
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80"); // four bytes, two UTF-16 units
    struct Case
    {
        const char *label;
        QString typed;
        std::optional<QString> stored;
    };
    const Case cases[] = {
        {"slash becomes colon", "a/b", QString("a:b")},
        {"colon dropped", "a:b", QString("ab")},
        {"plain", "Untitled Folder", QString("Untitled Folder")},
        {"empty", "", std::nullopt},
        {"only colons", "::", std::nullopt},
        {"dot", ".", std::nullopt},
        {"dot dot", "..", std::nullopt},
        {"dot dot with a colon", ".:.", std::nullopt},
        {"NUL", QStringLiteral("a") + QChar(0), std::nullopt},
        {"255 bytes of emoji, whole characters", emoji.repeated(70), emoji.repeated(63)},
        {"255 bytes kept", QString(255, 'x'), QString(255, 'x')},
        {"256 bytes cut", QString(256, 'x'), QString(255, 'x')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(DeviceNames::fixSlashesAndColonsIn(c.typed), c.stored);
    }
    EXPECT_EQ(DeviceNames::fixSlashesAndColonsOut("a:b:c"), "a/b/c");
}
