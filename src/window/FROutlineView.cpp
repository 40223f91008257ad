#include "FROutlineView.h"

#include "FRTableView.h"

#include <QDrag>
#include <QHeaderView>
#include <QMimeData>

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
    const QModelIndexList rows = selectionModel() ? selectionModel()->selectedRows() : QModelIndexList();
    if (rows.isEmpty() || !model())
        return;
    QMimeData *data = model()->mimeData(rows);
    if (!data)
        return;
    auto *drag = new QDrag(this);
    drag->setMimeData(data);
    // Only the messages list has a drag image here.
    if (mDataSource && mDataSource->kind() == ListControllerInterface::Kind::Messages) {
        const DragImage image = composedDragImage(mDataSource->kind(), mDataSource->numDragging(), mDataSource->dragItems());
        if (!image.image.isNull()) {
            drag->setPixmap(image.image);
            drag->setHotSpot(QPoint(image.image.width() / 2, image.image.height() / 2));
        }
    }
    drag->exec(FRTableView::draggingSourceOperationMaskForLocal(false));
}

void FROutlineView::focusInEvent(QFocusEvent *event)
{
    QTreeView::focusInEvent(event);
    if (mDataSource && mDataSource->kind() == ListControllerInterface::Kind::Messages)
        mDataSource->tableBecameKey(this);
}
