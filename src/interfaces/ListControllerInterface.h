#pragma once
// What a window sends to one of its list controllers: the messages, calls, notes, contacts,
// bookmarks, media and photo controllers. The main window and the archive windows hold their
// controllers only through this interface; each controller implements it in core, beside its
// table model, and its thin widget part stays in a ui/ folder.
//
// A controller answers only the messages of its kind: every operation that not all seven
// answer has a body here that answers NO, nothing or 0, which is what a window gets from a
// controller that does not respond. The search operations are answered by all seven.
//
// Calls come on the main thread. A controller that loads on a worker thread reports back to
// its window (WindowInterface) through main-thread performs.

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class QObject;

class ListControllerInterface
{
public:
    // Which of the seven controllers this is; the shared views choose their drag images by it.
    enum class Kind { Messages, Calls, Notes, Contacts, Bookmarks, Media, Photos };

    virtual ~ListControllerInterface() = default;

    virtual Kind kind() const = 0;

    // --- Loading ------------------------------------------------------------------------------
    // YES when the kind's list is loaded for the current device (all but the photo controller).
    virtual bool hasData() const { return false; }
    virtual void refreshSMS(bool) {}
    virtual void refreshCalls(bool) {}
    virtual void refreshNotes() {}
    virtual void refreshAddresses() {}
    virtual void refreshBookmarks() {}
    // Shows the media list of `mode` ("MUSIC", "VOICEMAIL", ...), loading it when needed.
    virtual void refreshTracks(const QString &mode, bool changeMode) {}
    virtual void flushPhotos() {}
    virtual void stopLoadingPhotos() {}
    virtual void resumeLoadingPhotos() {}
    // Drops everything loaded and shows the empty list.
    virtual void flush() {}
    virtual void flushTracks() {}

    // --- Search (all seven) --------------------------------------------------------------------
    // Filters the shown list on a thread; "" restores the full list; ignored while one runs.
    virtual void beginSearch(const QString &text) = 0;
    virtual bool isFinding() const = 0;
    virtual void cancelFindString() = 0;

    // --- Selection, validation and double clicks -------------------------------------------------
    virtual int getSelectedItemsCount() const { return 0; }
    virtual int getSelectedDeletableItemsCount() const { return 0; }
    virtual int numNotes() const { return 0; }
    virtual bool canDeletePhotos() const { return false; }
    virtual void doubleClick() {}
    virtual void notesDoubleClick() {}
    virtual void addressDoubleClick() {}
    virtual void bookmarkDoubleClick() {}

    // --- Drags and drops of the shared views ------------------------------------------------------
    // How many items the drag being started carries.
    virtual int numDragging() const { return 0; }
    // The dragged records' dictionaries, in table order ("picture" of contacts and "thumb" of
    // photos hold image data).
    virtual QList<QVariantMap> dragItems() const { return {}; }
    // Whether dropped files (paths) or promised files (types) are of a kind this list takes.
    virtual bool acceptFiles(const QStringList &paths) const { return false; }
    virtual bool acceptFilesTypes(const QStringList &types) const { return false; }
    // The messages list: one of its tables became the key view.
    virtual void tableBecameKey(QObject *view) {}

    // --- Exports and playback ---------------------------------------------------------------------
    virtual void cancelOperation() {}
    virtual bool operationCancelled() const { return false; }
    virtual bool canPause() const { return false; }
    virtual void stopPlaying() {}
    // Final clean-up at quit.
    virtual void terminate() {}
};
