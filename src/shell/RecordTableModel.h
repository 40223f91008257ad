#pragma once
// The table model every list shows: rows are immutable snapshots of records' dictionaries,
// columns are named by the identifiers of the list's columns (the record keys) with their
// titles. A list controller hands over a new snapshot with setRows() on the main thread; a
// worker never changes the rows a view is showing.
//
// Display text is the value's string; sorting compares the values themselves (numbers as
// numbers, dates as dates) and keeps equal rows in their order. Main thread only.

#include <QAbstractTableModel>
#include <QList>
#include <QString>
#include <QVariantMap>

class RecordTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    struct Column
    {
        QString identifier;
        QString title;
    };
    // The raw value of a cell, for sorting and for views that draw it themselves.
    static constexpr int ValueRole = Qt::UserRole + 1;

    explicit RecordTableModel(const QList<Column> &columns, QObject *parent = nullptr);

    void setRows(const QList<QVariantMap> &rows);
    const QList<QVariantMap> &rows() const { return mRows; }
    QVariantMap row(int index) const { return mRows.value(index); }
    QList<Column> columns() const { return mColumns; }
    int columnOfIdentifier(const QString &identifier) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    QList<Column> mColumns;
    QList<QVariantMap> mRows;
};
