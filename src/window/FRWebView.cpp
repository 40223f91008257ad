#include "FRWebView.h"

#include <QDialog>
#include <QDragEnterEvent>
#include <QMimeData>

FRWebView::FRWebView(QWidget *parent)
    : QTextBrowser(parent)
{
    setOpenLinks(false);
}

bool FRWebView::allowDrag(const QMimeData *data) const
{
    // A sheet is a window-modal dialog.
    const QWidget *top = window();
    const bool inSheet = qobject_cast<const QDialog *>(top) && top->windowModality() == Qt::WindowModal;
    return inSheet && data && !data->hasUrls();
}

void FRWebView::dragEnterEvent(QDragEnterEvent *event)
{
    if (allowDrag(event->mimeData()))
        QTextBrowser::dragEnterEvent(event);
    else
        event->ignore();
}

void FRWebView::dragMoveEvent(QDragMoveEvent *event)
{
    if (allowDrag(event->mimeData()))
        QTextBrowser::dragMoveEvent(event);
    else
        event->ignore();
}
