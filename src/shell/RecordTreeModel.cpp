#include "RecordTreeModel.h"

#include <vector>

struct RecordTreeModel::Item
{
    QVariantMap values;
    Item *parent = nullptr;
    int row = 0;
    std::vector<std::unique_ptr<Item>> children;
};

RecordTreeModel::RecordTreeModel(const QString &displayKey, QObject *parent)
    : QAbstractItemModel(parent)
    , mDisplayKey(displayKey)
    , mRoot(std::make_unique<Item>())
{
}

RecordTreeModel::~RecordTreeModel() = default;

void RecordTreeModel::setRoots(const QList<Node> &roots)
{
    beginResetModel();
    auto root = std::make_unique<Item>();
    // Built with a work list rather than recursion.
    struct Pending
    {
        const QList<Node> *nodes;
        Item *parent;
    };
    std::vector<Pending> pending{{&roots, root.get()}};
    while (!pending.empty()) {
        const Pending next = pending.back();
        pending.pop_back();
        for (int i = 0; i < next.nodes->size(); ++i) {
            auto item = std::make_unique<Item>();
            item->values = next.nodes->at(i).values;
            item->parent = next.parent;
            item->row = i;
            if (!next.nodes->at(i).children.isEmpty())
                pending.push_back({&next.nodes->at(i).children, item.get()});
            next.parent->children.push_back(std::move(item));
        }
    }
    mRoot = std::move(root);
    endResetModel();
}

RecordTreeModel::Item *RecordTreeModel::itemOf(const QModelIndex &index) const
{
    return index.isValid() ? static_cast<Item *>(index.internalPointer()) : mRoot.get();
}

QVariantMap RecordTreeModel::values(const QModelIndex &index) const
{
    return index.isValid() ? itemOf(index)->values : QVariantMap();
}

QModelIndex RecordTreeModel::index(int row, int column, const QModelIndex &parent) const
{
    if (column != 0 || row < 0 || (parent.isValid() && parent.column() != 0))
        return {};
    Item *owner = itemOf(parent);
    if (row >= int(owner->children.size()))
        return {};
    return createIndex(row, 0, owner->children.at(row).get());
}

QModelIndex RecordTreeModel::parent(const QModelIndex &child) const
{
    if (!child.isValid())
        return {};
    Item *owner = itemOf(child)->parent;
    if (!owner || owner == mRoot.get())
        return {};
    return createIndex(owner->row, 0, owner);
}

int RecordTreeModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return int(itemOf(parent)->children.size());
}

int RecordTreeModel::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant RecordTreeModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const Item *item = itemOf(index);
    if (role == Qt::DisplayRole)
        return item->values.value(mDisplayKey).toString();
    if (role == ValuesRole)
        return item->values;
    return {};
}

Qt::ItemFlags RecordTreeModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}
