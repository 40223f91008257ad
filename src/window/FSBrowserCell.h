#pragma once
// The file browser's cell: a node's icon (from the desktop's icon theme by the model's icon
// name, the style's file and folder icons where the theme has none) beside its name, in rows
// of one height. Main thread only.

#include <QStyledItemDelegate>

class FSBrowserCell : public QStyledItemDelegate
{
public:
    static constexpr int kRowHeight = 20;
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;
};
