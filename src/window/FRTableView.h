#pragma once
// The table every list of the application is shown in, and what all lists share: an optional
// suppressed selection highlight, drags that copy out of the application and carry nothing
// inside it, a composed drag image chosen by the kind of list, the last column filling the
// width after a reload, and the messages list told when its table becomes the key view.
//
// The view's data source is its list controller (ListControllerInterface); its model is the
// controller's table model. Main thread only.

#include "interfaces/ListControllerInterface.h"

#include <QPixmap>
#include <QTableView>

class QHeaderView;

// Before the system's flat headers, table headers were 17 points high; on today's systems
// (every supported one) nothing changes. Sent once per table when its controller starts.
void fixTableHeader(QTableView *table);

// The image a drag of `count` items out of a list of `kind` shows, and the named image it
// is made from (empty for composed images and for none).
struct DragImage
{
    QPixmap image;
    QString name;
};
DragImage composedDragImage(ListControllerInterface::Kind kind, int count, const QList<QVariantMap> &items);
// Starts a drag of the view's selected rows, with the controller's composed image centred on
// the pointer when `source` is given; shared by the table and the outline view.
void startListDrag(QAbstractItemView *view, ListControllerInterface *source);
// The small named pictures of drags ("note_icon", "log_icon", "webloc", ...).
QPixmap namedImage(const QString &name);

class FRTableView : public QTableView
{
    Q_OBJECT

public:
    explicit FRTableView(QWidget *parent = nullptr);

    void setDataSource(ListControllerInterface *controller) { mDataSource = controller; }
    ListControllerInterface *dataSource() const { return mDataSource; }

    bool noHighlight() const { return mNoHighlight; }
    void setNoHighlight(bool noHighlight);

    // The base reload, then the last column fills the width.
    void reloadData();
    // The cell's rectangle; a column of -1 or past the last gives an empty rectangle.
    QRect frameOfCellAtColumn(int column, int row) const;
    // Copy for drags leaving the application, nothing for drags inside it.
    static Qt::DropActions draggingSourceOperationMaskForLocal(bool local);

protected:
    void initViewItemOption(QStyleOptionViewItem *option) const override;
    void startDrag(Qt::DropActions supportedActions) override;
    void focusInEvent(QFocusEvent *event) override;

private:
    ListControllerInterface *mDataSource = nullptr;
    bool mNoHighlight = false;
};
