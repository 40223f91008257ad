#pragma once
// The header titles of a list table, kept by column identifier ("artist", "CallDate") in
// display order. A headless table model answers headerData() from it; changing a title
// tells the model's views, so the header redraws without the model knowing any widget.
//
// Titles are looked up in the translation tables by their English text. Main thread (it
// talks to a model).

#include <QList>
#include <QString>

class QAbstractItemModel;

class TableColumnTitles
{
public:
    struct Column
    {
        QString identifier;
        QString title;
    };

    TableColumnTitles() = default;
    explicit TableColumnTitles(const QList<Column> &columns) : mColumns(columns) {}

    int count() const { return int(mColumns.size()); }
    int indexOf(const QString &identifier) const;
    QString identifier(int column) const;
    QString title(int column) const;

    // Sets the column's title (translated) and, with a model, announces the header change.
    // Returns false for an unknown identifier.
    bool setTitle(const QString &identifier, const QString &englishTitle, QAbstractItemModel *model = nullptr);

private:
    QList<Column> mColumns;
};
