#include "SourceListModel.h"

#include <QCoreApplication>

namespace {
// Internal ids: 0 for a group row, group number + 1 for a mode row.
constexpr quintptr kGroupId = 0;
} // namespace

SourceListModel::SourceListModel(const QVariantList &tree, QObject *parent)
    : QAbstractItemModel(parent)
{
    for (const QVariant &entry : tree) {
        const QVariantMap group = entry.toMap();
        Group g;
        g.name = group.value(QStringLiteral("name")).toString();
        for (const QVariant &child : group.value(QStringLiteral("children")).toList())
            g.rows.append(child.toMap());
        mGroups.append(g);
    }
}

QModelIndex SourceListModel::index(int row, int column, const QModelIndex &parent) const
{
    if (column != 0 || row < 0)
        return {};
    if (!parent.isValid())
        return row < mGroups.size() ? createIndex(row, 0, kGroupId) : QModelIndex();
    if (parent.internalId() != kGroupId || parent.row() >= mGroups.size())
        return {};
    if (row >= mGroups.at(parent.row()).rows.size())
        return {};
    return createIndex(row, 0, quintptr(parent.row() + 1));
}

QModelIndex SourceListModel::parent(const QModelIndex &child) const
{
    if (!child.isValid() || child.internalId() == kGroupId)
        return {};
    return createIndex(int(child.internalId() - 1), 0, kGroupId);
}

int SourceListModel::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return int(mGroups.size());
    if (parent.column() != 0 || parent.internalId() != kGroupId)
        return 0;
    return int(mGroups.at(parent.row()).rows.size());
}

int SourceListModel::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant SourceListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const bool group = index.internalId() == kGroupId;
    if (group) {
        switch (role) {
        case Qt::DisplayRole:
            return mGroups.at(index.row()).name.toUpper();
        case NameRole:
            return mGroups.at(index.row()).name;
        case IsGroupRole:
            return true;
        default:
            return {};
        }
    }
    const QVariantMap &row = mGroups.at(int(index.internalId() - 1)).rows.at(index.row());
    const QString name = row.value(QStringLiteral("name")).toString();
    switch (role) {
    case Qt::DisplayRole:
        // Stored unlocalized; shown localized.
        return QCoreApplication::translate("FRWindow", qUtf8Printable(name));
    case NameRole:
        return name;
    case ModeRole:
        return row.value(QStringLiteral("mode"));
    case IsGroupRole:
        return false;
    case SpinningRole:
        return mSpinning.contains(row.value(QStringLiteral("mode")).toString());
    default:
        return {};
    }
}

Qt::ItemFlags SourceListModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (index.internalId() == kGroupId)
        return Qt::ItemIsEnabled; // group headers are never selected
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDropEnabled | Qt::ItemNeverHasChildren;
}

QModelIndex SourceListModel::indexOfMode(const QString &mode) const
{
    for (int g = 0; g < mGroups.size(); ++g) {
        const QList<QVariantMap> &rows = mGroups.at(g).rows;
        for (int r = 0; r < rows.size(); ++r) {
            if (rows.at(r).value(QStringLiteral("mode")).toString() == mode)
                return createIndex(r, 0, quintptr(g + 1));
        }
    }
    return {};
}

int SourceListModel::flatRowOfMode(const QString &mode) const
{
    int flat = 0;
    for (const Group &group : mGroups) {
        ++flat; // the group header
        for (const QVariantMap &row : group.rows) {
            if (row.value(QStringLiteral("mode")).toString() == mode)
                return flat;
            ++flat;
        }
    }
    return -1;
}

QString SourceListModel::modeAtFlatRow(int row) const
{
    int flat = 0;
    for (const Group &group : mGroups) {
        ++flat;
        for (const QVariantMap &r : group.rows) {
            if (flat == row)
                return r.value(QStringLiteral("mode")).toString();
            ++flat;
        }
    }
    return {};
}

void SourceListModel::setSpinning(const QString &mode, bool on)
{
    const bool changed = on ? !mSpinning.contains(mode) : mSpinning.remove(mode);
    if (on)
        mSpinning.insert(mode);
    if (!changed)
        return;
    const QModelIndex row = indexOfMode(mode);
    if (row.isValid())
        emit dataChanged(row, row, {SpinningRole});
}
