#include "FRDragTableView.h"

#include "FRWindow.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QPainter>

FRDragTableView::FRDragTableView(QWidget *parent)
    : FRTableView(parent)
{
    setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDropIndicatorShown(false);
}

bool FRDragTableView::canDrag(const QMimeData *data, const QObject *source) const
{
    if (!data || QApplication::activeModalWidget() || source == this || source == viewport())
        return false;
    if (data->hasUrls()) {
        QStringList paths;
        for (const QUrl &url : data->urls()) {
            if (url.isLocalFile())
                paths << url.toLocalFile();
        }
        return !paths.isEmpty() && dataSource() && dataSource()->acceptFiles(paths);
    }
    return data->hasText() || data->hasFormat(QStringLiteral("text/rtf"));
}

void FRDragTableView::dragEnterEvent(QDragEnterEvent *event)
{
    if (canDrag(event->mimeData(), event->source())) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void FRDragTableView::dragMoveEvent(QDragMoveEvent *event)
{
    const bool accept = canDrag(event->mimeData(), event->source());
    if (accept != mHighlight) {
        mHighlight = accept;
        viewport()->update();
    }
    if (accept) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void FRDragTableView::dragLeaveEvent(QDragLeaveEvent *event)
{
    mHighlight = false;
    viewport()->update();
    event->accept();
}

void FRDragTableView::dropEvent(QDropEvent *event)
{
    mHighlight = false;
    viewport()->update();
    const QMimeData *data = event->mimeData();
    auto *window = qobject_cast<FRWindow *>(this->window());
    QStringList paths;
    if (data) {
        for (const QUrl &url : data->urls()) {
            if (url.isLocalFile())
                paths << url.toLocalFile();
        }
    }
    if (data && window && canDrag(data, event->source()) && window->addNotesFromPasteboard(paths, data->text()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void FRDragTableView::paintEvent(QPaintEvent *event)
{
    FRTableView::paintEvent(event);
    if (!mHighlight)
        return;
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.drawRoundedRect(QRectF(viewport()->rect()).adjusted(1.5, 1.5, -1.5, -1.5), 6, 6);
}
