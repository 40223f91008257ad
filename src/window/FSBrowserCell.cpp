#include "window/FSBrowserCell.h"

#include "device/DeviceFilesModel.h"

#include <QApplication>
#include <QIcon>
#include <QStyle>

void FSBrowserCell::initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    const bool folder = index.data(DeviceFilesModel::IsFolderRole).toBool();
    const QIcon fallback = QApplication::style()->standardIcon(folder ? QStyle::SP_DirIcon : QStyle::SP_FileIcon);
    option->icon = QIcon::fromTheme(index.data(DeviceFilesModel::IconNameRole).toString(), fallback);
    option->features |= QStyleOptionViewItem::HasDecoration;
    option->decorationSize = QSize(16, 16);
}

QSize FSBrowserCell::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setWidth(size.width() + 8);
    size.setHeight(kRowHeight);
    return size;
}
