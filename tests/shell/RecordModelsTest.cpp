// The shared table and outline models under Qt's model checker, their sorting, and the
// HTML-to-text fallback core uses without a window.

#include "interfaces/HTMLTextConverter.h"
#include "shell/RecordTableModel.h"
#include "shell/RecordTreeModel.h"

#include <QAbstractItemModelTester>
#include <QDateTime>
#include <QPersistentModelIndex>
#include <gtest/gtest.h>

namespace {

QStringList column(const RecordTableModel &model, int c)
{
    QStringList values;
    for (int r = 0; r < model.rowCount(); ++r)
        values << model.index(r, c).data().toString();
    return values;
}

} // namespace

TEST(RecordTableModel, PassesTheModelCheckerThroughResetsAndSortsByValue)
{
    RecordTableModel model({{"CallDate", "Date"}, {"CallDuration", "Duration"}, {"CallName", "Name"}});
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "Duration");
    EXPECT_FALSE(model.headerData(3, Qt::Horizontal).isValid());

    const QDateTime day = QDateTime::fromSecsSinceEpoch(1'700'000'000);
    model.setRows({
        {{"CallDate", day.addDays(2)}, {"CallDuration", 90}, {"CallName", "Bea"}},
        {{"CallDate", day}, {"CallDuration", 5}, {"CallName", "Al"}},
        {{"CallDate", day.addDays(1)}, {"CallDuration", 600}, {"CallName", "Cy"}},
        {{"CallDuration", 5}, {"CallName", "Dee"}}, // no date
    });
    ASSERT_EQ(model.rowCount(), 4);
    EXPECT_EQ(model.index(1, 2).data().toString(), "Al");
    EXPECT_EQ(model.index(3, 0).data().toString(), "");

    // Numbers sort as numbers (5 < 90 < 600, not "5" > "600"), equal values keep their order,
    // and a selection follows its row.
    QPersistentModelIndex cy = model.index(2, 2);
    model.sort(1, Qt::AscendingOrder);
    EXPECT_EQ(column(model, 2), (QStringList{"Al", "Dee", "Bea", "Cy"}));
    EXPECT_EQ(cy.data().toString(), "Cy");
    EXPECT_EQ(cy.row(), 3);
    model.sort(0, Qt::DescendingOrder);
    EXPECT_EQ(column(model, 2), (QStringList{"Bea", "Cy", "Al", "Dee"}));
    model.sort(0, Qt::AscendingOrder);
    EXPECT_EQ(column(model, 2).first(), "Dee"); // missing values first
    model.sort(7); // no such column: nothing happens
    model.setRows({});
    EXPECT_EQ(model.rowCount(), 0);
}

TEST(RecordTreeModel, PassesTheModelCheckerForNestedAndDeepTrees)
{
    RecordTreeModel model("name");
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    using Node = RecordTreeModel::Node;
    Node inbox{{{"name", "Inbox"}}, {Node{{{"name", "Al"}}, {}}, Node{{{"name", "Bea"}}, {}}}};
    Node group{{{"name", "Group"}}, {Node{{{"name", "Cy"}}, {Node{{{"name", "Dee"}}, {}}}}}};
    model.setRoots({inbox, group});
    ASSERT_EQ(model.rowCount(), 2);
    const QModelIndex g = model.index(1, 0);
    ASSERT_EQ(model.rowCount(g), 1);
    const QModelIndex dee = model.index(0, 0, model.index(0, 0, g));
    EXPECT_EQ(dee.data().toString(), "Dee");
    EXPECT_EQ(model.parent(model.parent(dee)), g);
    EXPECT_EQ(model.values(dee).value("name"), "Dee");
    EXPECT_FALSE(model.index(2, 0).isValid());
    EXPECT_FALSE(model.index(0, 1).isValid());

    // A long chain is built without recursion.
    Node deep{{{"name", "0"}}, {}};
    for (int i = 1; i < 200; ++i)
        deep = Node{{{"name", QString::number(i)}}, {deep}};
    model.setRoots({deep});
    QModelIndex walk = model.index(0, 0);
    int depth = 1;
    while (model.rowCount(walk) > 0) {
        walk = model.index(0, 0, walk);
        ++depth;
    }
    EXPECT_EQ(depth, 200);
    EXPECT_EQ(walk.data().toString(), "0");
}

TEST(HTMLTextConverter, WithoutAWindowTagsAreDroppedAndEntitiesDecoded)
{
    const auto converter = HTMLTextConverter::converter();
    ASSERT_TRUE(converter);
    EXPECT_EQ(converter->plainTextFromHTML("<p>Fish &amp; chips</p><br/>&lt;b&gt; is <b>bold</b>"),
              "Fish & chips\n\n<b> is bold");
    EXPECT_EQ(converter->plainTextFromHTML("&amp;lt;"), "&lt;"); // decoded once only
}
