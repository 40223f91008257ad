#pragma once
// The outline of the shared views (the message threads): drags copy out of the application
// and carry nothing inside it, with the messages' drag image; the messages list is told
// when the outline becomes the key view. Main thread only.

#include "interfaces/ListControllerInterface.h"

#include <QTreeView>

class FROutlineView : public QTreeView
{
    Q_OBJECT

public:
    explicit FROutlineView(QWidget *parent = nullptr);

    void setDataSource(ListControllerInterface *controller) { mDataSource = controller; }
    ListControllerInterface *dataSource() const { return mDataSource; }
    void reloadData();

protected:
    void startDrag(Qt::DropActions supportedActions) override;
    void focusInEvent(QFocusEvent *event) override;

private:
    ListControllerInterface *mDataSource = nullptr;
};
