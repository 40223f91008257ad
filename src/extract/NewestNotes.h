#pragma once
// Reading the newest notes generation ("NoteStore.sqlite"): every note not in the trash
// folder, its body decoded (NoteDocument), its links put in place, its attachments written
// into the temporary folder and cached as the device's pieces, rendered to HTML
// (NoteHTMLWriter). Part of the notes request (AppController+Notes.cpp), which holds
// notesLock around it. Runs on the notes load thread; nothing here waits for the main thread.

#include "personal/FRNoteInfo.h"

class AppController;

namespace NewestNotes {

struct Result
{
    QList<FRNoteInfoPtr> notes; // in the database's order, newest change first
    // Rows read to the end: the middle generation is read only when this is 0 (no notes, an
    // unreadable database, or a read an attachment query broke off).
    int count = 0;
};

// `database`: the copied NoteStore.sqlite; `folder`: the temporary folder (ends in "/")
// holding the attachment files the backup session brought ("<folder>-NoteAttachment-<file>").
// `synctime`: the run's start, seconds since 1970, the mark of every piece it caches.
Result read(AppController &controller, const QString &database, const QString &folder, qint64 synctime);

// The user text of the note that stands in for the list when bodies cannot be decoded.
QString errorNoteText(bool newerHost);

} // namespace NewestNotes
