// What core hands to the desktop: only viewable content is ever opened (never a program or a
// script, whatever its name), and a drag's "text/uri-list" names only files of its own
// staging folder, made once, on the first ask.

#include "interfaces/FileOpener.h"
#include "shell/Defaults.h"
#include "shell/LazyFileDragData.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

TEST(FileOpener, OnlyViewableContentCountsAsOpenable)
{
    QTemporaryDir dir;
    const QByteArray png = QByteArray::fromHex("89504e470d0a1a0a0000000d49484452");
    const QByteArray elf = QByteArray::fromHex("7f454c46020101000000000000000000") + QByteArray(64, '\0');
    struct Case
    {
        const char *name;
        QByteArray content;
        bool viewable;
    };
    const Case cases[] = {
        {"note.txt", "plain words\n", true},
        {"picture.png", png, true},
        {"paper.pdf", "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n", true},
        {"script.sh", "#!/bin/sh\nrm -rf ~\n", false},
        {"program", elf, false},
        {"disguised.jpg", elf, false},
        {"launcher.desktop", "[Desktop Entry]\nType=Application\nExec=sh\n", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir.filePath(c.name), c.content);
        EXPECT_EQ(FileOpener::isViewable(dir.filePath(c.name)), c.viewable);
    }
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath("pipe.txt")).constData(), 0600), 0);
    EXPECT_FALSE(FileOpener::isViewable(dir.filePath("pipe.txt")));
    EXPECT_FALSE(FileOpener::isViewable(dir.path()));
    EXPECT_FALSE(FileOpener::isViewable(dir.filePath("missing.txt")));
}

TEST(LazyFileDragData, ListsOnlyWhatTheFillWroteIntoItsOwnFolderOnce)
{
    QTemporaryDir elsewhere;
    writeFile(elsewhere.filePath("outside.txt"), "x");
    int fills = 0;
    QVariant askedWhileFilling = QStringLiteral("unset");
    LazyFileDragData *self = nullptr;
    LazyFileDragData data([&](const QString &folder) {
        ++fills;
        // A target asking again while the copy runs gets nothing yet.
        askedWhileFilling = self->urls().isEmpty() ? QVariant() : QVariant(1);
        writeFile(folder + "/one.txt", "1");
        return QStringList{folder + "/one.txt", elsewhere.filePath("outside.txt"), folder + "/never-written.txt",
                           folder + "/../escape.txt"};
    });
    self = &data;
    EXPECT_FALSE(data.filled());
    const QList<QUrl> urls = data.urls();
    ASSERT_EQ(urls.size(), 1);
    EXPECT_EQ(QFileInfo(urls.first().toLocalFile()).fileName(), "one.txt");
    EXPECT_TRUE(data.stagingFolder().startsWith(getTempDir()));
    EXPECT_FALSE(askedWhileFilling.isValid());
    EXPECT_EQ(data.urls(), urls);
    EXPECT_EQ(fills, 1);

    // Each drag has a folder of its own.
    LazyFileDragData other([](const QString &folder) {
        writeFile(folder + "/one.txt", "2");
        return QStringList{folder + "/one.txt"};
    });
    ASSERT_EQ(other.urls().size(), 1);
    EXPECT_NE(other.stagingFolder(), data.stagingFolder());
    QFile first(urls.first().toLocalFile());
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    EXPECT_EQ(first.readAll(), "1");
}
