#pragma once
// The outline model of the shared outline view (the message threads, bookmark folders): a
// tree of immutable nodes, each a record's dictionary with its children. One column; the
// text shown is the node's value under the display key. A controller hands over a new tree
// with setRoots() on the main thread. Main thread only.

#include <QAbstractItemModel>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <memory>

class RecordTreeModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    struct Node
    {
        QVariantMap values;
        QList<Node> children;
    };
    static constexpr int ValuesRole = Qt::UserRole + 1;

    explicit RecordTreeModel(const QString &displayKey, QObject *parent = nullptr);
    ~RecordTreeModel() override;

    void setRoots(const QList<Node> &roots);
    // The node's dictionary, or empty for an invalid index.
    QVariantMap values(const QModelIndex &index) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    struct Item;
    Item *itemOf(const QModelIndex &index) const;

    QString mDisplayKey;
    std::unique_ptr<Item> mRoot;
};
