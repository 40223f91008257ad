#pragma once
// The file browser: a column view over DeviceFilesModel whose columns (FRDraggingMatrix) drag
// device items out (to the desktop as "text/uri-list", copied lazily when the target asks;
// inside the browser as moves) and take drops: local files from the file manager are uploaded,
// device items are moved, into the folder under the pointer or the column's folder. A drop is
// taken once; drops stay refused until "DragMoveFinished" is posted, which every drop path of
// the window posts. Drops that would do nothing or harm (DropTargets) are refused while
// dragging. Main thread only.

#include <QColumnView>
#include <QListView>

class FRWindow;

class FRDraggingMatrix : public QListView
{
    Q_OBJECT

public:
    FRDraggingMatrix(FRWindow *window, QWidget *parent);

    // The folder a drop at `position` goes into (browser path), or empty when none.
    QString dropFolder(const QPoint &position) const;

protected:
    void startDrag(Qt::DropActions supportedActions) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    Qt::DropAction dropActionFor(const QMimeData *data, const QPoint &position) const;
    FRWindow *mWindow;
};

class ICDragDropBrowser : public QColumnView
{
    Q_OBJECT

public:
    explicit ICDragDropBrowser(FRWindow *window, QWidget *parent = nullptr);

    // Drops are refused from a taken drop until "DragMoveFinished".
    bool dropsDisabled() const { return mDisableStuff; }
    void setDropsDisabled(bool disabled) { mDisableStuff = disabled; }

protected:
    QAbstractItemView *createColumn(const QModelIndex &rootIndex) override;

private:
    FRWindow *mWindow;
    bool mDisableStuff = false;
};
