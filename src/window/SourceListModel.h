#pragma once
// The sidebar's tree as an item model: two groups ("Data", "Media") of mode rows, built from
// FRWindow::generateSourceList() and never changed afterwards. Rows carry their mode string
// (ModeRole), the group rows none; group rows cannot be selected. A row's spinner state is
// kept here so the view can draw it. Main thread only.

#include <QAbstractItemModel>
#include <QSet>
#include <QVariantList>

class SourceListModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    enum Role { ModeRole = Qt::UserRole + 1, IsGroupRole, SpinningRole, NameRole };

    explicit SourceListModel(const QVariantList &tree, QObject *parent = nullptr);

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // The row of `mode`, or an invalid index.
    QModelIndex indexOfMode(const QString &mode) const;
    // The row number of `mode` with both groups expanded (group headers counted), -1 if none;
    // and back. This numbering is what "LAST_SOURCE_INDEX" stores, whatever is collapsed.
    int flatRowOfMode(const QString &mode) const;
    QString modeAtFlatRow(int row) const;

    void setSpinning(const QString &mode, bool on);
    bool isSpinning(const QString &mode) const { return mSpinning.contains(mode); }
    bool anySpinning() const { return !mSpinning.isEmpty(); }

private:
    struct Group
    {
        QString name;
        QList<QVariantMap> rows;
    };
    QList<Group> mGroups;
    QSet<QString> mSpinning;
};
