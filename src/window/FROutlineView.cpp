#include "FROutlineView.h"

#include "FRTableView.h"

#include <QHeaderView>

FROutlineView::FROutlineView(QWidget *parent)
    : QTreeView(parent)
{
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setHeaderHidden(true);
    header()->setStretchLastSection(true);
}

void FROutlineView::reloadData()
{
    reset();
    header()->setStretchLastSection(true);
}

void FROutlineView::startDrag(Qt::DropActions)
{
    // Only the messages list has a drag image here.
    const bool withImage = mDataSource && mDataSource->kind() == ListControllerInterface::Kind::Messages;
    startListDrag(this, withImage ? mDataSource : nullptr);
}

void FROutlineView::focusInEvent(QFocusEvent *event)
{
    QTreeView::focusInEvent(event);
    if (mDataSource && mDataSource->kind() == ListControllerInterface::Kind::Messages)
        mDataSource->tableBecameKey(this);
}
