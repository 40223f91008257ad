#include "window/ICDragDropBrowser.h"

#include "FRWindow.h"
#include "device/DeviceFilesModel.h"
#include "device/DownloadEngine.h"
#include "device/DropTargets.h"
#include "platform/NotificationCenter.h"
#include "shell/LazyFileDragData.h"
#include "window/FSBrowserCell.h"

#include <QDrag>
#include <QPointer>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QTimer>

namespace {

ICDragDropBrowser *browserOf(const QWidget *widget)
{
    for (QWidget *parent = widget->parentWidget(); parent; parent = parent->parentWidget()) {
        if (auto *browser = qobject_cast<ICDragDropBrowser *>(parent))
            return browser;
    }
    return nullptr;
}

} // namespace

FRDraggingMatrix::FRDraggingMatrix(FRWindow *window, QWidget *parent) : QListView(parent), mWindow(window)
{
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setItemDelegate(new FSBrowserCell(this));
}

QString FRDraggingMatrix::dropFolder(const QPoint &position) const
{
    const QModelIndex under = indexAt(position);
    if (under.isValid() && under.data(DeviceFilesModel::IsFolderRole).toBool())
        return under.data(DeviceFilesModel::PathRole).toString();
    // A drop on a file, or beside the rows, goes into the column's folder.
    const auto *files = qobject_cast<const DeviceFilesModel *>(model());
    return files ? files->pathForIndex(rootIndex()) : QString();
}

Qt::DropAction FRDraggingMatrix::dropActionFor(const QMimeData *data, const QPoint &position) const
{
    ICDragDropBrowser *browser = browserOf(this);
    if (!data || !mWindow || mWindow->running() || (browser && browser->dropsDisabled()))
        return Qt::IgnoreAction;
    const QString folder = dropFolder(position);
    if (folder.isEmpty())
        return Qt::IgnoreAction;
    if (data->hasFormat(QLatin1String(DropTargets::kMoveFilesType))) {
        const QStringList moved = DropTargets::decodeMoveList(data->data(QLatin1String(DropTargets::kMoveFilesType)));
        return moved.isEmpty() || DropTargets::draggingIntoSelf(moved, folder) ? Qt::IgnoreAction : Qt::MoveAction;
    }
    // Our own drags out offer "text/uri-list" too; asking for it would copy, so only
    // drags from elsewhere are read.
    if (!qobject_cast<const LazyFileDragData *>(data) && !DropTargets::localFiles(data->urls()).isEmpty())
        return Qt::CopyAction;
    return Qt::IgnoreAction;
}

void FRDraggingMatrix::dragEnterEvent(QDragEnterEvent *event)
{
    const Qt::DropAction action = dropActionFor(event->mimeData(), event->position().toPoint());
    if (action == Qt::IgnoreAction) {
        event->ignore();
        return;
    }
    event->setDropAction(action);
    event->accept();
}

void FRDraggingMatrix::dragMoveEvent(QDragMoveEvent *event)
{
    const Qt::DropAction action = dropActionFor(event->mimeData(), event->position().toPoint());
    if (action == Qt::IgnoreAction) {
        event->ignore();
        return;
    }
    QListView::dragMoveEvent(event);
    event->setDropAction(action);
    event->accept();
}

void FRDraggingMatrix::dropEvent(QDropEvent *event)
{
    const QPoint position = event->position().toPoint();
    const Qt::DropAction action = dropActionFor(event->mimeData(), position);
    if (action == Qt::IgnoreAction) {
        event->ignore();
        return;
    }
    const QString folder = dropFolder(position);
    ICDragDropBrowser *browser = browserOf(this);
    if (browser)
        browser->setDropsDisabled(true);
    event->setDropAction(action);
    event->accept();
    if (action == Qt::MoveAction) {
        const QStringList moved = DropTargets::decodeMoveList(event->mimeData()->data(QLatin1String(DropTargets::kMoveFilesType)));
        QTimer::singleShot(50, mWindow, [window = mWindow, moved, folder] { window->doMoveFiles(moved, folder); });
    } else {
        const QStringList files = DropTargets::localFiles(event->mimeData()->urls());
        QTimer::singleShot(50, mWindow, [window = mWindow, files, folder] { window->uploadFromPasteboard(files, folder); });
    }
}

void FRDraggingMatrix::startDrag(Qt::DropActions)
{
    QStringList paths, moveList;
    for (const QModelIndex &index : selectionModel()->selectedIndexes()) {
        const QString path = index.data(DeviceFilesModel::PathRole).toString();
        paths << path;
        moveList << (index.data(DeviceFilesModel::IsFolderRole).toBool() ? path + QLatin1Char('/') : path);
    }
    if (paths.isEmpty() || !mWindow || mWindow->running())
        return;
    QPointer<FRWindow> window(mWindow);
    auto *data = new LazyFileDragData([window, paths](const QString &folder) {
        QList<DownloadItem> items;
        for (const QString &path : paths)
            items << DownloadItem::path(path);
        return window && window->downloadEngine() ? window->downloadEngine()->downloadAndWait(items, folder, false)
                                                  : QStringList();
    });
    data->setData(QLatin1String(DropTargets::kMoveFilesType), DropTargets::encodeMoveList(moveList));
    auto *drag = new QDrag(this);
    drag->setMimeData(data);
    const QIcon icon = qvariant_cast<QIcon>(currentIndex().data(Qt::DecorationRole));
    if (!icon.isNull())
        drag->setPixmap(icon.pixmap(32, 32));
    drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::CopyAction);
}

ICDragDropBrowser::ICDragDropBrowser(FRWindow *window, QWidget *parent) : QColumnView(parent), mWindow(window)
{
    setObjectName(QStringLiteral("fsBrowser"));
    setItemDelegate(new FSBrowserCell(this));
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    // Every path that ends a drop posts it, so drops never stay refused.
    NotificationCenter::defaultCenter().addObserver(this, NotificationNames::DragMoveFinished, nullptr,
                                                    [this](const Notification &) { mDisableStuff = false; });
}

QAbstractItemView *ICDragDropBrowser::createColumn(const QModelIndex &rootIndex)
{
    auto *column = new FRDraggingMatrix(mWindow, viewport());
    initializeColumn(column);
    // initializeColumn copies the view's own settings; a column drags and takes drops.
    column->setSelectionMode(QAbstractItemView::ExtendedSelection);
    column->setDragEnabled(true);
    column->setAcceptDrops(true);
    column->setDragDropMode(QAbstractItemView::DragDrop);
    column->setItemDelegate(new FSBrowserCell(column));
    column->setRootIndex(rootIndex);
    if (model() && model()->canFetchMore(rootIndex))
        model()->fetchMore(rootIndex);
    return column;
}
