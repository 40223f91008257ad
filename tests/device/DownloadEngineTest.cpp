// The export engine against the simulated device: trees copied off byte for byte with their
// placeholders first, names made unique within a batch and against the folder, the replace
// sheet's answers (a replacement that fails keeps the old item), Cancel, a file that vanished
// from the device, records that write their own content, and drags out through the lazy
// "text/uri-list" data.

#include "FilesRig.h"
#include "RecordingFileOpener.h"
#include "RecordingTransferWindow.h"

#include "device/DownloadEngine.h"
#include "shell/Defaults.h"
#include "shell/LazyFileDragData.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

using Item = DownloadItem;

// Every entry below `folder`, relative, sorted, with the bytes of files.
QMap<QString, QByteArray> treeOf(const QString &folder)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        // The device's own sidecars stay on the device.
        if (info.fileName() == ".metadata_file" || info.fileName().endsWith(".qn_resource_file"))
            continue;
        const QString relative = info.filePath().mid(folder.size() + 1);
        tree.insert(relative, info.isDir() ? QByteArray("<dir>") : readLocal(info.filePath()));
    }
    return tree;
}

struct EngineRig : FilesRig
{
    EngineRig()
    {
        connected = connect();
        engine = std::make_unique<DownloadEngine>(*controller, sheets);
        QObject::connect(engine.get(), &DownloadEngine::finished, [this] { ++finishedCount; });
    }
    bool waitForEnd(int count = 1)
    {
        return waitUntil([&] { return finishedCount >= count && !engine->threadRunning(); }, scaledTimeoutMs(20000));
    }
    bool connected = false;
    RecordingTransferWindow sheets;
    std::unique_ptr<DownloadEngine> engine;
    int finishedCount = 0;
};

class TextRecord : public DownloadRecord
{
public:
    TextRecord(QString key, QString name, QByteArray content) : mKey(key), mName(name), mContent(content) {}
    QString keyString() const override { return mKey; }
    QString uniqueFileName() const override { return mName; }
    uint64_t downloadSize() const override { return uint64_t(mContent.size()); }
    void setFinalFileName(const QString &name) override { mFinal = name; }
    QString finalFileName() const override { return mFinal; }
    int writeDownload(const QString &path) override
    {
        if (mContent.isNull())
            return kNoContent;
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(mContent) == mContent.size() ? 0 : kLocalWrite;
    }

private:
    QString mKey, mName, mFinal;
    QByteArray mContent;
};

} // namespace

TEST(ExportEngine, NamesAreUniqueInTheBatchAndInTheFolderAndAlwaysLocalNames)
{
    struct Case
    {
        const char *label;
        QStringList proposed;
        QStringList expected;
    };
    const Case cases[] = {
        {"three alike", {"a.jpg", "a.jpg", "A.JPG"}, {"a.jpg", "a-1.jpg", "A-2.JPG"}},
        {"suffix kept", {"a.jpg", "a-1.jpg", "a.jpg"}, {"a.jpg", "a-1.jpg", "a-1-2.jpg"}},
        {"no extension", {"notes", "notes"}, {"notes", "notes-1"}},
        {"counter runs over the call", {"x.txt", "x.txt", "y.txt", "y.txt"}, {"x.txt", "x-1.txt", "y.txt", "y-2.txt"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        QStringList taken;
        int counter = 0;
        for (const QString &name : c.proposed)
            taken << DownloadEngine::uniqueInBatch(name, taken, counter);
        EXPECT_EQ(taken, c.expected);
    }

    const QPair<QString, QString> localNames[] = {
        {"", "Untitled"}, {".", "_"}, {"..", "__"}, {"a/b", "a_b"}, {QStringLiteral("a") + QChar(0) + "b", "ab"}, {"ok.txt", "ok.txt"}};
    for (const auto &[device, local] : localNames)
        EXPECT_EQ(DownloadEngine::localNameFor(device), local) << qPrintable(device);

    QTemporaryDir folder;
    writePattern(folder.filePath("a.txt"), 1);
    writePattern(folder.filePath("a-1.txt"), 1);
    writePattern(folder.filePath("plain"), 1);
    EXPECT_EQ(DownloadEngine::createUniqueNameForDownload("a.txt", folder.path()), "a-2.txt");
    EXPECT_EQ(DownloadEngine::createUniqueNameForDownload("plain", folder.path()), "plain-1");
    EXPECT_EQ(DownloadEngine::createUniqueNameForDownload("free.txt", folder.path()), "free.txt");
    EXPECT_EQ(DownloadEngine::createUniqueNameForDownload("a.txt", QString()), "a.txt");
}

TEST(ExportEngine, CopiesATreeOffByteForByteWithPlaceholdersFirst)
{
    EngineRig rig;
    ASSERT_TRUE(rig.connected);
    const QByteArray big = writePattern(rig.media("Fernlow/tree/sub/big.bin"), 2 * 1048576 + 5);
    writePattern(rig.media("Fernlow/tree/a.txt"), 10, 1);
    writePattern(rig.media("Fernlow/tree/sub/deep/c.txt"), 3000, 2);
    QDir().mkpath(rig.media("Fernlow/tree/empty"));
    // Slow enough that the placeholders are seen before the data.
    rig.setFaults({{"Slow", QVariantMap{{"BytesPerSecond", 4 * 1048576}}}});

    const QStringList names = rig.engine->downloadFiles({Item::path("tree"), Item::path("readme.txt")}, rig.local(), false, false);
    EXPECT_EQ(names, (QStringList{"tree", "readme.txt"}));
    EXPECT_TRUE(QFileInfo(rig.local("tree")).isDir());
    EXPECT_TRUE(QFileInfo(rig.local("readme.txt")).isFile());
    EXPECT_TRUE(rig.engine->threadRunning());
    EXPECT_TRUE(rig.sheets.threadRunning.load());
    EXPECT_EQ(rig.sheets.headlines.value(0).left(13), "Copying From ");
    ASSERT_TRUE(rig.waitForEnd());

    EXPECT_FALSE(rig.sheets.threadRunning.load());
    EXPECT_TRUE(rig.sheets.errors().isEmpty());
    QMap<QString, QByteArray> device = treeOf(rig.media("Fernlow/tree"));
    EXPECT_EQ(treeOf(rig.local("tree")), device);
    EXPECT_EQ(readLocal(rig.local("tree/sub/big.bin")), big);
    EXPECT_EQ(readLocal(rig.local("readme.txt")), readLocal(rig.media("Fernlow/readme.txt")));
    // Nothing of ours is left beside the final names.
    EXPECT_EQ(QDir(rig.local()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              (QStringList{"readme.txt", "tree"}));
    EXPECT_GE(rig.engine->maximumBlocks(), 32.0);
    EXPECT_EQ(rig.engine->writtenFiles(), (QStringList{rig.local("tree"), rig.local("readme.txt")}));
}

TEST(ExportEngine, MakeUniqueNamesAroundExistingFilesAndWithinTheBatch)
{
    EngineRig rig;
    ASSERT_TRUE(rig.connected);
    writePattern(rig.local("readme.txt"), 4, 9);
    const QByteArray old = readLocal(rig.local("readme.txt"));
    const QStringList names = rig.engine->downloadFiles(
        {Item::media("readme.txt", "photo.jpg"), Item::media("readme.txt.qn_resource_file", "photo.jpg"), Item::path("readme.txt")},
        rig.local(), true, false);
    ASSERT_TRUE(rig.waitForEnd());
    EXPECT_EQ(names, (QStringList{"photo.jpg", "photo-1.jpg", "readme-1.txt"}));
    EXPECT_EQ(readLocal(rig.local("readme.txt")), old);
    EXPECT_EQ(readLocal(rig.local("readme-1.txt")), readLocal(rig.media("Fernlow/readme.txt")));
}

TEST(ExportEngine, ReplaceSheetAnswersAndAFailedReplaceKeepsTheOldItem)
{
    EngineRig rig;
    ASSERT_TRUE(rig.connected);
    writePattern(rig.local("readme.txt"), 7, 3);
    const QByteArray oldFile = readLocal(rig.local("readme.txt"));
    writePattern(rig.local("docs/old.txt"), 5, 4);
    writePattern(rig.media("Fernlow/docs/new.bin"), 200000, 5);
    const QMap<QString, QByteArray> oldFolder = treeOf(rig.local("docs"));

    // Cancel: nothing changes.
    EXPECT_TRUE(rig.engine->downloadFiles({Item::path("readme.txt")}, rig.local(), false, false).isEmpty());
    ASSERT_EQ(rig.sheets.replaceAsked, 1);
    EXPECT_EQ(rig.sheets.replaceButtons, (QStringList{"Cancel", "Skip", "Replace", "Replace All"}));
    EXPECT_TRUE(rig.sheets.replaceText.contains("\"readme.txt\""));
    rig.sheets.press(0);
    EXPECT_FALSE(rig.engine->threadRunning());
    EXPECT_EQ(readLocal(rig.local("readme.txt")), oldFile);

    // Replace while the device cannot read either item: both old items stay whole.
    rig.setFaults({{"ReadErrors", QVariantList{QVariantMap{{"Path", "/Fernlow/readme.txt"}, {"Offset", 0}},
                                               QVariantMap{{"Path", "/Fernlow/docs/new.bin"}, {"Offset", 100000}}}}});
    EXPECT_TRUE(rig.engine->downloadFiles({Item::path("docs"), Item::path("readme.txt")}, rig.local(), false, false).isEmpty());
    rig.sheets.press(3); // Replace All
    ASSERT_TRUE(rig.waitForEnd());
    EXPECT_EQ(rig.sheets.errors().size(), 1);
    EXPECT_EQ(rig.sheets.errors().value(0).title, "Copy From Device");
    EXPECT_EQ(treeOf(rig.local("docs")), oldFolder);
    EXPECT_EQ(readLocal(rig.local("readme.txt")), oldFile);
    EXPECT_EQ(QDir(rig.local()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              (QStringList{"docs", "readme.txt"}));

    // Replace each, the device well again: the new items take the old ones' places.
    rig.setFaults({});
    EXPECT_TRUE(rig.engine->downloadFiles({Item::path("docs"), Item::path("readme.txt")}, rig.local(), false, false).isEmpty());
    rig.sheets.press(2);
    ASSERT_TRUE(waitUntil([&] { return rig.sheets.replaceAsked == 4; }));
    rig.sheets.press(2);
    ASSERT_TRUE(rig.waitForEnd(2));
    EXPECT_EQ(treeOf(rig.local("docs")), treeOf(rig.media("Fernlow/docs")));
    EXPECT_EQ(readLocal(rig.local("readme.txt")), readLocal(rig.media("Fernlow/readme.txt")));

    // Skip: the others are copied, the skipped one is left as it is.
    writePattern(rig.local("readme.txt"), 7, 3);
    EXPECT_TRUE(rig.engine->downloadFiles({Item::path("readme.txt"), Item::path("docs/new.bin")}, rig.local(), false, false).isEmpty());
    rig.sheets.press(1);
    ASSERT_TRUE(rig.waitForEnd(3));
    EXPECT_EQ(readLocal(rig.local("readme.txt")), oldFile);
    EXPECT_EQ(readLocal(rig.local("new.bin")), readLocal(rig.media("Fernlow/docs/new.bin")));
}

TEST(ExportEngine, CancelLeavesNoPlaceholderAndNoPartialFile)
{
    EngineRig rig;
    ASSERT_TRUE(rig.connected);
    for (int i = 0; i < 4; ++i)
        writePattern(rig.media(QStringLiteral("Fernlow/big%1.bin").arg(i)), 1048576, i);
    writePattern(rig.local("mine.txt"), 3);
    rig.setFaults({{"Slow", QVariantMap{{"BytesPerSecond", 2 * 1048576}}}});
    QList<Item> items;
    for (int i = 0; i < 4; ++i)
        items << Item::path(QStringLiteral("big%1.bin").arg(i));
    ASSERT_EQ(rig.engine->downloadFiles(items, rig.local(), false, false).size(), 4);
    ASSERT_TRUE(waitUntil([&] { return rig.controller->bytesTransferred() > 0; }, scaledTimeoutMs(10000)));
    rig.controller->cancelOperation();
    ASSERT_TRUE(rig.waitForEnd());
    EXPECT_TRUE(rig.sheets.errors().isEmpty());
    EXPECT_TRUE(rig.engine->writtenFiles().isEmpty());
    // Whatever was whole before the cancel may stay; nothing empty or partial does.
    for (const QFileInfo &info : QDir(rig.local()).entryInfoList(QDir::Files | QDir::Hidden)) {
        if (info.fileName() == "mine.txt")
            continue;
        EXPECT_EQ(info.size(), 1048576) << qPrintable(info.fileName());
    }
    EXPECT_TRUE(QFileInfo::exists(rig.local("mine.txt")));
    // The next transfer starts with the stop flag cleared.
    QDir().mkpath(rig.local("sub"));
    rig.setFaults({});
    ASSERT_EQ(rig.engine->downloadFiles({Item::path("readme.txt")}, rig.local("sub"), false, false).size(), 1);
    ASSERT_TRUE(rig.waitForEnd(2));
    EXPECT_EQ(readLocal(rig.local("sub/readme.txt")), readLocal(rig.media("Fernlow/readme.txt")));
}

TEST(ExportEngine, AVanishedFileIsReportedAndNeitherKeptNorRevealed)
{
    EngineRig rig;
    ASSERT_TRUE(rig.connected);
    RecordingFileOpener opener;
    writePattern(rig.media("Fernlow/photo.jpg"), 30);
    rig.engine->setRevealDownload();
    const QStringList names = rig.engine->downloadFiles({Item::path("gone.txt"), Item::path("photo.jpg")}, rig.local(), false, false);
    ASSERT_EQ(names.size(), 2);
    ASSERT_TRUE(rig.waitForEnd());
    EXPECT_FALSE(QFileInfo::exists(rig.local("gone.txt")));
    ASSERT_EQ(rig.sheets.errors().size(), 1);
    EXPECT_EQ(rig.sheets.errors().value(0).title, "Error Saving File");
    EXPECT_EQ(rig.sheets.errors().value(0).code, 0);

    // One viewable file is opened; the missing one is not among the files handed on.
    rig.engine->finishTransfer();
    ASSERT_EQ(opener.calls.size(), 1);
    EXPECT_EQ(opener.calls.value(0).first, "open");
    EXPECT_EQ(opener.calls.value(0).second, QStringList{rig.local("photo.jpg")});
    // The flag was used up: a later plain download reveals nothing.
    rig.engine->downloadFiles({Item::path("readme.txt")}, rig.local(), false, false);
    ASSERT_TRUE(rig.waitForEnd(2));
    rig.engine->finishTransfer();
    EXPECT_EQ(opener.calls.size(), 1);
}

TEST(ExportEngine, RecordsWriteTheirContentAndARecordWithoutContentIsAnError)
{
    EngineRig rig;
    ASSERT_TRUE(rig.connected);
    auto note = std::make_shared<TextRecord>("1", "Note.txt", "body");
    auto second = std::make_shared<TextRecord>("2", "Note.txt", "other");
    const QStringList names = rig.engine->downloadFiles({Item::of(note), Item::of(second)}, rig.local(), false, false);
    ASSERT_TRUE(rig.waitForEnd());
    EXPECT_EQ(names, (QStringList{"Note.txt", "Note-1.txt"}));
    EXPECT_EQ(second->finalFileName(), "Note-1.txt");
    EXPECT_EQ(readLocal(rig.local("Note-1.txt")), "other");
    EXPECT_TRUE(rig.sheets.errors().isEmpty());

    // No content: an error sheet, not a quiet stop, and no empty file left behind.
    auto empty = std::make_shared<TextRecord>("3", "Empty.txt", QByteArray());
    auto after = std::make_shared<TextRecord>("4", "After.txt", "x");
    rig.engine->downloadFiles({Item::of(empty), Item::of(after)}, rig.local(), false, false);
    ASSERT_TRUE(rig.waitForEnd(2));
    ASSERT_EQ(rig.sheets.errors().size(), 1);
    EXPECT_EQ(rig.sheets.errors().value(0).code, DownloadRecord::kNoContent);
    EXPECT_FALSE(QFileInfo::exists(rig.local("Empty.txt")));
    EXPECT_FALSE(QFileInfo::exists(rig.local("After.txt")));
}

TEST(ExportEngine, ADragOutCopiesIntoAFreshStagingFolderOnlyWhenTheTargetAsks)
{
    EngineRig rig;
    ASSERT_TRUE(rig.connected);
    int fills = 0;
    LazyFileDragData data([&](const QString &folder) {
        ++fills;
        return rig.engine->downloadAndWait({Item::path("readme.txt"), Item::path("docs")}, folder, false);
    });
    data.setData("FRMoveFilesPboardType", "moves");
    EXPECT_TRUE(data.hasFormat("text/uri-list"));
    EXPECT_TRUE(data.formats().contains("FRMoveFilesPboardType"));
    EXPECT_EQ(data.data("FRMoveFilesPboardType"), "moves");
    EXPECT_EQ(fills, 0);

    const QList<QUrl> urls = data.urls();
    ASSERT_EQ(urls.size(), 2);
    const QString staging = data.stagingFolder();
    EXPECT_TRUE(staging.startsWith(getTempDir()));
    EXPECT_EQ(urls.value(0).toLocalFile(), staging + "/readme.txt");
    EXPECT_EQ(readLocal(urls.value(0).toLocalFile()), readLocal(rig.media("Fernlow/readme.txt")));
    EXPECT_EQ(treeOf(urls.value(1).toLocalFile()), treeOf(rig.media("Fernlow/docs")));
    // Asked again (the raw bytes, as the X11 side asks): the same files, no second copy.
    const QStringList listed = QString::fromUtf8(data.data("text/uri-list")).split("\r\n", Qt::SkipEmptyParts);
    EXPECT_EQ(listed, (QStringList{urls.value(0).toString(QUrl::FullyEncoded), urls.value(1).toString(QUrl::FullyEncoded)}));
    EXPECT_EQ(fills, 1);
}

TEST(ExportEngine, ACancelledDragOutDropsNothing)
{
    EngineRig rig;
    ASSERT_TRUE(rig.connected);
    writePattern(rig.media("Fernlow/big.bin"), 4 * 1048576);
    rig.setFaults({{"Slow", QVariantMap{{"BytesPerSecond", 2 * 1048576}}}});
    LazyFileDragData data([&](const QString &folder) {
        QTimer::singleShot(50, [&] { rig.controller->cancelOperation(); });
        return rig.engine->downloadAndWait({Item::path("big.bin")}, folder, false);
    });
    EXPECT_TRUE(data.urls().isEmpty());
    EXPECT_TRUE(QDir(data.stagingFolder()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}
