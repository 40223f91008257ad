// Which drops into the file browser are refused, compared by whole path components, and the
// move list that drags inside the browser carry.

#include "device/DropTargets.h"

#include <gtest/gtest.h>

TEST(DropTargets, MovesIntoThemselvesOrTheirOwnFolderAreRefusedByComponent)
{
    struct Case
    {
        const char *label;
        QStringList moved;
        QString target;
        bool refused;
    };
    const Case cases[] = {
        {"into its own folder", {"/d/a.txt"}, "/d", true},
        {"folder into itself", {"/d/sub/"}, "/d/sub", true},
        {"folder into its subfolder", {"/d/sub/"}, "/d/sub/deeper", true},
        {"a longer name is another item", {"/d/a.txt"}, "/d/a.txt.old", false},
        {"a folder named alike is another folder", {"/d/sub/"}, "/d/subway", false},
        {"into a sibling folder", {"/d/a.txt"}, "/e", false},
        {"root item into its folder", {"/a.txt"}, "/", true},
        {"one of several refuses all", {"/e/b.txt", "/d/a.txt"}, "/d", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(DropTargets::draggingIntoSelf(c.moved, c.target), c.refused);
    }
}

TEST(DropTargets, OnlyLocalFilesAreTakenAndTheMoveListRoundTrips)
{
    const QList<QUrl> urls{QUrl::fromLocalFile("/tmp/a b.txt"), QUrl("https://example.com/x"), QUrl("file:///tmp/c")};
    EXPECT_EQ(DropTargets::localFiles(urls), (QStringList{"/tmp/a b.txt", "/tmp/c"}));
    const QStringList paths{"/d/a:b.txt", "/d/sub/"};
    EXPECT_EQ(DropTargets::decodeMoveList(DropTargets::encodeMoveList(paths)), paths);
    EXPECT_TRUE(DropTargets::decodeMoveList("not a list").isEmpty());
    EXPECT_TRUE(DropTargets::decodeMoveList(DropTargets::encodeMoveList({}) + QByteArray(1, '\0')).isEmpty());
}
