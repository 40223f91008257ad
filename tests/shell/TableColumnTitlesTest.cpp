#include "shell/TableColumnTitles.h"

#include <QAbstractTableModel>
#include <gtest/gtest.h>

namespace {
class CallsModel : public QAbstractTableModel
{
public:
    TableColumnTitles titles{{{"CallType", ""}, {"CallDate", ""}, {"CallNumber", ""}}};
    int rowCount(const QModelIndex & = {}) const override { return 0; }
    int columnCount(const QModelIndex & = {}) const override { return titles.count(); }
    QVariant data(const QModelIndex &, int) const override { return {}; }
    QVariant headerData(int section, Qt::Orientation o, int role) const override
    {
        return o == Qt::Horizontal && role == Qt::DisplayRole ? QVariant(titles.title(section)) : QVariant();
    }
};
} // namespace

TEST(TableColumnTitles, SettingATitleReachesTheHeaderAndItsViews)
{
    CallsModel model;
    QList<std::pair<int, int>> changed;
    QObject::connect(&model, &QAbstractItemModel::headerDataChanged, &model,
                     [&](Qt::Orientation, int first, int last) { changed.append({first, last}); });
    EXPECT_TRUE(model.titles.setTitle("CallDate", "Date", &model));
    EXPECT_EQ(model.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), "Date");
    ASSERT_EQ(changed.size(), 1);
    EXPECT_EQ(changed.first(), std::make_pair(1, 1));

    EXPECT_FALSE(model.titles.setTitle("Duration", "Duration", &model));
    EXPECT_EQ(changed.size(), 1);
    EXPECT_EQ(model.titles.indexOf("CallNumber"), 2);
    EXPECT_EQ(model.titles.title(7), QString());
}
