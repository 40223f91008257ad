#include "platform/Paths.h"
#include "platform/Trash.h"
#include "TestHome.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

TEST(Trash, MovesIntoTheUsersTrashAndReportsMissingItems)
{
    TestHome home;
    const QString file = home.writeFile("Documents/note.txt", "keep me");
    QString error, where;
    ASSERT_TRUE(Trash::moveToTrash(file, &error, &where)) << error.toStdString();
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_TRUE(where.startsWith(Paths::dataHome() + "/Trash/files/")) << where.toStdString();
    QFile trashed(where);
    ASSERT_TRUE(trashed.open(QIODevice::ReadOnly));
    EXPECT_EQ(trashed.readAll(), "keep me");
    // The desktop needs the info file to put it back.
    EXPECT_TRUE(QFile::exists(Paths::dataHome() + "/Trash/info/" + QFileInfo(where).fileName() + ".trashinfo"));

    // A folder goes whole.
    home.writeFile("Folder/inner.txt", "x");
    EXPECT_TRUE(Trash::moveToTrash(home.path() + "/Folder", &error));
    EXPECT_FALSE(QFileInfo::exists(home.path() + "/Folder"));

    error.clear();
    EXPECT_FALSE(Trash::moveToTrash(home.path() + "/missing", &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(Trash::moveToTrash(QString(), &error));
}

TEST(Trash, AnItemStaysWhereItIsWhenTheTrashCannotBeMade)
{
    TestHome home;
    const QString file = home.writeFile("Documents/note.txt", "keep me");
    home.writeFile(".local/share/Trash", "a file where the Trash would be");
    const QString cwd = QDir::currentPath();
    QString error;
    EXPECT_FALSE(Trash::moveToTrash(file, &error));
    EXPECT_FALSE(error.isEmpty());
    QFile kept(file);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "keep me");
    EXPECT_FALSE(QFileInfo::exists(cwd + "/files/note.txt"));
}
