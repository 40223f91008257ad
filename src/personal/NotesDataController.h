#pragma once
// The notes list of the main window's Notes mode, headless: it loads the device's notes on a
// worker thread (AppController::doGetNotes), shows them through a RecordTableModel sorted
// newest first, searches them on a thread, gives the drag and copy contents and the files
// of a drop, opens or exports a note on double-click, makes new notes from text, and keeps
// the list in step with the edits queued by the window. The widget part
// (personal/ui/NotesListView) connects the table to it.
//
// Threads: every member function on the main thread. Loads and searches run on their own
// threads and hand their results back as immutable lists through queued calls, dropped when
// the device changed or a newer search began; a worker never touches the shown list.

#include "interfaces/ListControllerInterface.h"
#include "personal/FRNoteInfo.h"

#include <QObject>

#include <atomic>
#include <optional>
#include <memory>

class AppController;
class RecordTableModel;
class WindowInterface;

class NotesDataController : public QObject, public ListControllerInterface
{
    Q_OBJECT

public:
    // The table's columns: the date and the title of each note.
    static inline const QString kDateColumn = QStringLiteral("noteDate");
    static inline const QString kTitleColumn = QStringLiteral("noteTitle");

    explicit NotesDataController(AppController *controller, QObject *parent = nullptr);
    ~NotesDataController() override;

    void setWindow(WindowInterface *window) { mWindow = window; }
    RecordTableModel *model() const { return mModel; }

    // --- The list-controller interface ---------------------------------------------------------
    Kind kind() const override { return Kind::Notes; }
    bool hasData() const override;
    void refreshNotes() override;
    void flush() override;
    void beginSearch(const QString &text) override;
    bool isFinding() const override { return mSearching; }
    void cancelFindString() override;
    int getSelectedItemsCount() const override { return int(mSelectedRows.size()); }
    int getSelectedDeletableItemsCount() const override { return int(mSelectedRows.size()); }
    int numNotes() const override;
    void notesDoubleClick() override;
    int numDragging() const override { return int(mPathsToSave.size()); }
    QList<QVariantMap> dragItems() const override;
    bool acceptFiles(const QStringList &paths) const override;
    bool acceptFilesTypes(const QStringList &types) const override;

    // --- The table -----------------------------------------------------------------------------
    // The rows the table shows selected (the selection changed).
    void setSelectedRows(const QList<int> &rows);
    QList<FRNoteInfoPtr> getSelectedNotes() const;
    QList<FRNoteInfoPtr> displayedNotes() const { return mDisplayed; }
    // The selection when "PRINT_SELECTION" is on and something is selected, else every shown note.
    QList<FRNoteInfoPtr> objectsForPrinting() const;
    // The table's sort: "noteDate" sorts by date (ties by note id in the same direction),
    // "noteTitle" by title.
    void sortBy(const QString &column, Qt::SortOrder order);
    QString sortColumn() const { return mSortColumn; }
    Qt::SortOrder sortOrder() const { return mSortOrder; }
    static int numberOfNotesWithMediaItems(const QList<FRNoteInfoPtr> &notes);

    // A drag or Copy of the rows: plain text always, rich text (RTF) when every note is
    // HTML; the notes are kept as the promised files (dragItems).
    struct DragContents
    {
        QString text;
        QByteArray rtf; // empty when any note was plain
        QStringList promisedFiles;
    };
    DragContents writeRows(const QList<int> &rows);
    // The drop asks for the promised files: the dragged notes written into `folder`.
    QStringList namesOfPromisedFilesDroppedAtDestination(const QString &folder);

    // --- Edits (the window's edit sheet, drops and edit queue) ----------------------------------
    // A note made here from text (HTML or plain), not yet added; its id is the next negative one.
    FRNoteInfoPtr createNewNote(const QString &text, bool isHtml, const QString &title = {});
    void addNote(const FRNoteInfoPtr &note);
    void updateNote(const FRNoteInfoPtr &note);
    void deleteNotes(const QList<FRNoteInfoPtr> &notes);
    // A note written back to the device takes its row id there.
    void updateNoteId(qint64 oldId, qint64 newId);

    static bool acceptedType(const QString &extension);

signals:
    // The widget part selects these rows and scrolls to `scrollTo` (-1: none).
    void rowsSelected(const QList<int> &rows, int scrollTo);

private:
    struct Shared;
    void startLoad(int generation);
    void loadFinished(int generation, const std::shared_ptr<const QList<FRNoteInfoPtr>> &notes, int error);
    void updateNoteTable(const std::optional<QList<FRNoteInfoPtr>> &select);
    void showListing(QList<FRNoteInfoPtr> listing);
    void sortList(QList<FRNoteInfoPtr> &notes) const;
    void publishEdits();
    void spinnerAfterDelay();

    AppController *mController;
    WindowInterface *mWindow = nullptr;
    RecordTableModel *mModel;
    std::shared_ptr<Shared> mShared; // what load and search threads share with this object

    std::optional<QList<FRNoteInfoPtr>> mNotes; // null until loaded
    QList<FRNoteInfoPtr> mDisplayed;             // the shown rows, in table order
    QList<int> mSelectedRows;
    QList<FRNoteInfoPtr> mPathsToSave;
    QString mCurrentSearchString;
    bool mSearching = false;
    int mNotesError = 0;
    bool mShownError = false;
    QString mSortColumn = kDateColumn;
    Qt::SortOrder mSortOrder = Qt::DescendingOrder;
};
