#pragma once
// The notes of the connected device and the edits written back to device databases, as the
// device controller's notes functions (AppController+Notes.cpp, +NotesWriteBack.cpp).
//
// doGetNotes runs on the notes list's load thread and holds notesLock throughout: once per
// connection it reads the newest generation (falling back to the middle one) or, on devices
// of the older backup protocol, the oldest, and keeps the list in gNotes
// (extract/CategoryState.h); later calls get the kept list. Null on failure, *error written
// only then and only with a nonzero code.
//
// The write-back runs on the main thread, driven by the window's edit queue, which fetches
// the databases into the temporary folder, runs these one at a time, stopping at the first
// nonzero result, and restores the files (AppController::setFiles). Each is one transaction
// on a copy opened for it alone (never created, but for a "notes.db" the fetch did not bring:
// the device has none), rolled back on any failure; the copy is left checkpointed and closed,
// so the file alone holds every change. Results: 0, 78 (a database version this program does
// not write), kNoSuchRow (the row to change or delete is not there) or the failing step's code.

#include "extract/RecordSnapshot.h"

#include <QString>

class AppController;
class FRNoteInfo;
struct sqlite3;

namespace Notes {

RecordSnapshot<FRNoteInfo> doGetNotes(AppController &controller, int *error);
// The notes list after an edit made here (new, changed or deleted notes): gNotes is replaced
// by it under notesLock, so a later request hands out the edited list.
void replaceNotes(QList<std::shared_ptr<FRNoteInfo>> notes);

inline constexpr int kNoteBodyLimit = 1048576; // a longer note continues in more notes
inline constexpr int kNoSuchRow = -4217;
// A note made here (negative id) is added, with continuation notes for a long body; then
// the window's notes list learns its row id (updateNoteId). Any other note is updated.
int addUpdateNote(AppController &controller, const FRNoteInfo &note);
int deleteNote(int rowid);
// A message ("message" in "Library/SMS/sms.db") or call ("call" in
// "Library/CallHistory/call_history.db") deleted from the copy named by the device path.
int deleteItem(int rowid, const QString &devicePath, const QString &table);
// Raises a "_SqliteDatabaseProperties" counter by one, creating it as "1".
bool incrementProp(sqlite3 *db, const QString &prop);
bool incrementCPRecordSequenceNumber(sqlite3 *db);
bool incrementLastTransactionID(sqlite3 *db);

} // namespace Notes
