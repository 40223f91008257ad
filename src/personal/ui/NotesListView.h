#pragma once
// The widget part of the notes list: connects the main window's notes table ("noteList",
// an FRDragTableView) to the headless NotesDataController. The table shows the controller's
// model; clicks on the header sort through the controller; the selection and double-clicks
// go to the controller, and the rows it selects are selected here. A drag carries the notes'
// text, their rich text when every note is HTML, and the notes as files, written only when
// the drop asks for them.
//
// Main thread only. Owned by the table (a child object).

#include <QObject>

class NotesDataController;
class FRTableView;

class NotesListView : public QObject
{
    Q_OBJECT

public:
    NotesListView(NotesDataController *controller, FRTableView *table);

private:
    NotesDataController *mController;
    FRTableView *mTable;
    bool mSelecting = false;
};
