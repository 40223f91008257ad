#pragma once
// The sidebar: an outline of the mode rows in two groups (SourceListModel), drawn as a
// source list: group headers in upper case, one row per mode with its icon, a spinner in the
// rows whose data is loading. Choosing a row switches the window's mode; files dropped on the
// Notes row become notes and files dropped on the Disk row are uploaded to the device's top
// folder. Rows are found by their mode, never by a fixed row number, so a collapsed group
// changes nothing. Main thread only.

#include <QTreeView>

class FRWindow;
class QMimeData;
class QTimer;
class SourceListModel;

class LNSSourceListView : public QTreeView
{
    Q_OBJECT

public:
    explicit LNSSourceListView(FRWindow *window, QWidget *parent = nullptr);

    void setSourceList(const QVariantList &tree);
    SourceListModel *sourceModel() const { return mModel; }

    bool isDataGroupExpanded() const;
    void setSpinning(const QString &mode, bool on);
    bool isSpinning(const QString &mode) const;
    // The mode of the selected row, or empty.
    QString selectedMode() const;
    bool selectMode(const QString &mode);

    // The drop test: whether a drag of `data` (coming from `source`, null when it comes from
    // outside the application) may be dropped at `pos`; sets dropRow() to the row's mode.
    bool canDrag(const QMimeData *data, const QPoint &pos, const QObject *source);
    QString dropRow() const { return mDropRow; }
    // The drop itself.
    bool performDrop(const QMimeData *data);

    int appearance() const { return mAppearance; }
    void setAppearance(int appearance);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    FRWindow *mWindow;
    SourceListModel *mModel = nullptr;
    QString mDropRow; // the mode of the row a drop would go to; empty for none
    int mAppearance = 0;
    QTimer *mSpinTimer = nullptr;
};
