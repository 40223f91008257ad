#include "ExtractRig.h"

#include "extract/BookmarkState.h"
#include "platform/PropertyList.h"

#include <QFileInfo>
#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

qint64 secondsSince2001(const QDateTime &date)
{
    return date.toSecsSinceEpoch() - 978307200;
}

QStringList labels(const FRWebTreeItemPtr &node)
{
    QStringList names;
    for (int i = 0; i < node->numChildren(); ++i)
        names << node->childAtIndex(i)->label();
    return names;
}

FRWebTreeItemPtr child(const FRWebTreeItemPtr &node, const QString &label)
{
    for (int i = 0; i < node->numChildren(); ++i)
        if (node->childAtIndex(i)->label() == label)
            return node->childAtIndex(i);
    return nullptr;
}

void writeSafari(ExtractRig &rig, const QString &bookmarksSql)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime today = QDateTime(now.date(), QTime(12, 0));
    const QDateTime earlier = QDateTime(QDate(2020, 3, 2), QTime(12, 0));
    ASSERT_TRUE(PropertyList::toFile(
        QVariantMap{{"SafariStateDocuments",
                     QVariantList{QVariantMap{{"SafariStateDocumentTitle", "Open one"},
                                              {"SafariStateDocumentURL", "https://open.example/"},
                                              {"SafariStateDocumentLastViewedTime", 600000000.0}},
                                  QVariantMap{{"SafariStateDocumentTitle", "No address"}}}}},
        rig.workFile("SuspendState.plist"), PropertyList::Format::Binary));
    makeDatabase(rig.workFile("History.db"),
                 QStringLiteral("CREATE TABLE history_items (id INTEGER PRIMARY KEY, url TEXT);"
                                "CREATE TABLE history_visits (id INTEGER PRIMARY KEY, history_item INTEGER, "
                                "visit_time REAL, title TEXT);"
                                "INSERT INTO history_items VALUES(1,'https://a.example/');"
                                "INSERT INTO history_items VALUES(2,'');"
                                "INSERT INTO history_visits VALUES(1,1,%1,'A');"
                                "INSERT INTO history_visits VALUES(2,1,%2,'A again');"
                                "INSERT INTO history_visits VALUES(3,2,%3,'no address');")
                     .arg(secondsSince2001(today))
                     .arg(secondsSince2001(today) - 60)
                     .arg(secondsSince2001(earlier)));
    makeDatabase(rig.workFile("Bookmarks.db"), bookmarksSql);
}

const char *kBookmarks =
    // A column named ROWID hides the real one, so a damaged table can repeat row ids.
    "CREATE TABLE bookmarks (ROWID INTEGER, parent INTEGER, type INTEGER, title TEXT, url TEXT, "
    "order_index INTEGER);"
    "INSERT INTO bookmarks VALUES(1,0,1,'A',NULL,0);"
    "INSERT INTO bookmarks VALUES(2,1,1,'B',NULL,0);"
    "INSERT INTO bookmarks VALUES(3,2,0,'Deep','https://deep.example/',0);"
    "INSERT INTO bookmarks VALUES(4,0,1,'com.apple.ReadingList',NULL,1);"
    "INSERT INTO bookmarks VALUES(5,4,0,'','https://later.example/',0);"
    // A folder that holds itself: walked once.
    "INSERT INTO bookmarks VALUES(6,0,1,'Loop',NULL,2);"
    "INSERT INTO bookmarks VALUES(6,6,1,'Again',NULL,0);";

} // namespace

TEST(SafariExtraction, OpenPagesHistoryByDayAndBookmarksMakeTheTree)
{
    ExtractRig rig;
    FRWebTreeItem::flushRootItem();
    writeSafari(rig, kBookmarks);
    int error = 0;
    const auto records = rig.controller.processSafariData(rig.workFolder(), &error);
    ASSERT_TRUE(records) << error;
    const FRWebTreeItemPtr root = FRWebTreeItem::rootItem();
    EXPECT_EQ(labels(root), (QStringList{"Open Pages", "History", "Bookmarks"}));
    const FRWebTreeItemPtr history = child(root, "History");
    ASSERT_EQ(history->numChildren(), 2) << "a day whose only visit has no address still opens";
    EXPECT_EQ(history->childAtIndex(0)->label(), "Today");
    EXPECT_EQ(history->childAtIndex(1)->label(), "Monday, Mar 2");
    const FRWebTreeItemPtr bookmarks = child(root, "Bookmarks");
    EXPECT_EQ(labels(bookmarks), (QStringList{"A", "Reading List", "Loop"}));
    EXPECT_EQ(labels(child(bookmarks, "Loop")), QStringList{"Again"});
    const FRWebTreeItemPtr a = child(bookmarks, "A");
    const FRWebTreeItemPtr b = child(a, "B");

    ASSERT_EQ(records->size(), 5);
    EXPECT_EQ(gNumBookmarks.load(), 5);
    EXPECT_EQ(records->at(0)->label(), "Open one");
    EXPECT_TRUE(records->at(0)->isInGroup(child(root, "Open Pages")->ID()));
    EXPECT_EQ(records->at(1)->label(), "A");
    EXPECT_EQ(records->at(2)->label(), "A again");
    EXPECT_TRUE(records->at(2)->isInGroup(history->childAtIndex(0)->ID())) << "two visits of one day, one day node";
    const FRBookmarkInfoPtr deep = records->at(3);
    EXPECT_EQ(deep->info().value("Groups").toList(), (QVariantList{bookmarks->ID(), a->ID(), b->ID()}));
    EXPECT_EQ(records->at(4)->label(), "(No Title)");
    EXPECT_EQ(records->at(4)->index(), 5);
    EXPECT_FALSE(QFileInfo::exists(rig.workFile("History.db")));
    EXPECT_FALSE(QFileInfo::exists(rig.workFile("SuspendState.plist")));
}

TEST(SafariExtraction, AFailedLoadAddsNothingToTheTreeAndMissingFilesAreNeverCreated)
{
    ExtractRig rig;
    FRWebTreeItem::flushRootItem();
    writeSafari(rig, kBookmarks);
    writeFile(rig.workFile("Bookmarks.db"), QByteArray(4096, 'q'));
    int error = 0;
    EXPECT_FALSE(rig.controller.processSafariData(rig.workFolder(), &error));
    EXPECT_EQ(error, -9706);
    EXPECT_EQ(FRWebTreeItem::rootItem()->numChildren(), 0);

    // Nothing of the device's: an empty "Bookmarks" group and no database made.
    ExtractRig empty;
    FRWebTreeItem::flushRootItem();
    const auto records = empty.controller.processSafariData(empty.workFolder(), &error);
    ASSERT_TRUE(records) << error;
    EXPECT_TRUE(records->isEmpty());
    EXPECT_EQ(labels(FRWebTreeItem::rootItem()), QStringList{"Bookmarks"});
    EXPECT_FALSE(QFileInfo::exists(empty.workFile("Bookmarks.db")));
}

TEST(BookmarkRecord, FileNamesAndWeblocs)
{
    EXPECT_EQ(FRBookmarkInfo::fixFileName(".My: Site/Home."), "My Site-Home.webloc");
    EXPECT_EQ(FRBookmarkInfo::fixFileName(""), ".webloc");
    const QString longName = FRBookmarkInfo::fixFileName(QString(300, QChar(0x00e9)));
    EXPECT_LE(longName.toUtf8().size(), 255);
    EXPECT_TRUE(longName.endsWith(".webloc"));
    const auto record = FRBookmarkInfo::infoWithInfo({{"URL", "https://x.example/?a=1&b=<2>"}});
    const auto webloc = PropertyList::fromData(record->webloc());
    ASSERT_TRUE(webloc);
    EXPECT_EQ(webloc->toMap().value("URL").toString(), "https://x.example/?a=1&b=<2>");
    EXPECT_TRUE(record->webloc().contains("a=1&amp;b=&lt;2&gt;"));
}

TEST(BookmarkRecord, TreeNodesCountOnAndAnswerOutOfRangeWithNothing)
{
    const FRWebTreeItemPtr first = FRWebTreeItem::itemWithInfo("x");
    const FRWebTreeItemPtr second = FRWebTreeItem::itemWithInfo("y");
    EXPECT_EQ(second->ID(), first->ID() + 1);
    first->addChild(second);
    EXPECT_EQ(first->childAtIndex(1), nullptr);
    EXPECT_EQ(FRWebTreeItem::itemWithDict({{"name", "Chat"}}, "WA")->ID(), 0);
    const FRWebTreeItemPtr root = FRWebTreeItem::flushRootItem();
    EXPECT_EQ(root->numChildren(), 0);
    EXPECT_EQ(root->label(), "All");
}
