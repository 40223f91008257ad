#pragma once
// Notes saved as files into a folder: a ".txt" note as its text, an ".rtf" note as the rich
// text its HTML renders to, an ".html" note as its HTML, each in UTF-8. What the export of
// double-clicked notes and the files promised by a drag write. Names come from the notes
// (made unique within the batch and, with `makeUnique`, against what the folder holds); a
// note without a name is saved as "Untitled". Each file is written beside its final name and
// renamed into place only when whole, so nothing partial ever carries a note's name.
//
// Any thread (the rich text comes from the installed HTML converter, which any thread may use).

#include "personal/FRNoteInfo.h"

namespace NoteFiles {

// The names written, in the notes' order; each note's final file name is set. A note that
// could not be written is left out (and logged).
QStringList write(const QList<FRNoteInfoPtr> &notes, const QString &folder, bool makeUnique);

// The bytes a note is saved as, by the extension of its file name.
QByteArray contents(const FRNoteInfo &note);

} // namespace NoteFiles
