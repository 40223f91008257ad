#pragma once
// The notes list: a shared table that also takes dropped notes (files of a note type, plain
// text, rich text). The main window imports what is dropped. Refused while a sheet is up, for
// drags out of this table itself and when the data source refuses the files. Main thread.

#include "FRTableView.h"

class QMimeData;

class FRDragTableView : public FRTableView
{
    Q_OBJECT

public:
    explicit FRDragTableView(QWidget *parent = nullptr);

    // Whether a drag of `data` from `source` (null: from outside the application) may drop.
    bool canDrag(const QMimeData *data, const QObject *source) const;
    bool dropHighlighted() const { return mHighlight; }

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    bool mHighlight = false;
};
