#include "TableColumnTitles.h"

#include <QAbstractItemModel>
#include <QCoreApplication>

int TableColumnTitles::indexOf(const QString &identifier) const
{
    for (int i = 0; i < mColumns.size(); ++i) {
        if (mColumns.at(i).identifier == identifier)
            return i;
    }
    return -1;
}

QString TableColumnTitles::identifier(int column) const
{
    return column >= 0 && column < mColumns.size() ? mColumns.at(column).identifier : QString();
}

QString TableColumnTitles::title(int column) const
{
    return column >= 0 && column < mColumns.size() ? mColumns.at(column).title : QString();
}

bool TableColumnTitles::setTitle(const QString &identifier, const QString &englishTitle, QAbstractItemModel *model)
{
    const int column = indexOf(identifier);
    if (column < 0)
        return false;
    mColumns[column].title = QCoreApplication::translate("TableColumn", qUtf8Printable(englishTitle));
    if (model)
        emit model->headerDataChanged(Qt::Horizontal, column, column);
    return true;
}
