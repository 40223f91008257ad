#include "RecordTableModel.h"

#include <algorithm>

RecordTableModel::RecordTableModel(const QList<Column> &columns, QObject *parent)
    : QAbstractTableModel(parent)
    , mColumns(columns)
{
}

void RecordTableModel::setRows(const QList<QVariantMap> &rows)
{
    beginResetModel();
    mRows = rows;
    endResetModel();
}

int RecordTableModel::columnOfIdentifier(const QString &identifier) const
{
    for (int i = 0; i < mColumns.size(); ++i) {
        if (mColumns.at(i).identifier == identifier)
            return i;
    }
    return -1;
}

int RecordTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(mRows.size());
}

int RecordTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(mColumns.size());
}

QVariant RecordTableModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const QVariant value = mRows.at(index.row()).value(mColumns.at(index.column()).identifier);
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return value.toString();
    case ValueRole:
        return value;
    default:
        return {};
    }
}

QVariant RecordTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= mColumns.size())
        return {};
    return mColumns.at(section).title;
}

Qt::ItemFlags RecordTableModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemNeverHasChildren;
}

void RecordTableModel::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= mColumns.size())
        return;
    const QString key = mColumns.at(column).identifier;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    QList<int> order_(mRows.size());
    for (int i = 0; i < order_.size(); ++i)
        order_[i] = i;
    std::stable_sort(order_.begin(), order_.end(), [&](int a, int b) {
        const QVariant &left = mRows.at(a).value(key);
        const QVariant &right = mRows.at(b).value(key);
        QPartialOrdering c = QVariant::compare(left, right);
        if (c == QPartialOrdering::Unordered) {
            // Values of kinds that do not compare (a missing value, text beside a number):
            // missing ones first, the rest by their text.
            const auto rank = [](const QVariant &v) { return std::make_pair(v.isValid() && !v.isNull(), v.toString()); };
            const auto l = rank(left), r = rank(right);
            c = l < r ? QPartialOrdering::Less : r < l ? QPartialOrdering::Greater : QPartialOrdering::Equivalent;
        }
        return order == Qt::AscendingOrder ? c == QPartialOrdering::Less : c == QPartialOrdering::Greater;
    });
    QList<QVariantMap> sorted;
    sorted.reserve(mRows.size());
    QList<int> newRowOf(mRows.size());
    for (int i = 0; i < order_.size(); ++i) {
        sorted.append(mRows.at(order_.at(i)));
        newRowOf[order_.at(i)] = i;
    }
    mRows = sorted;
    QModelIndexList after;
    for (const QModelIndex &old : before)
        after << index(newRowOf.at(old.row()), old.column());
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
