#pragma once
// A note as the export engine copies it (device/DownloadItem.h): the engine names it and
// calls writeDownload on its worker, which writes what NoteFiles::contents makes of the note.
//
// Ownership: holds its own copy of the note, so the listed note keeps its names and a later
// edit of the list never changes what is being written. Threads: the engine's (main thread
// for the names, its worker for the write); the copy's lock guards what both read.

#include "device/DownloadItem.h"
#include "personal/FRNoteInfo.h"

class NoteDownload : public DownloadRecord
{
public:
    explicit NoteDownload(const FRNoteInfo &note);

    // The notes as the engine's items, in order.
    static QList<DownloadItem> itemsFor(const QList<FRNoteInfoPtr> &notes);

    QString keyString() const override { return mNote->keyString(); }
    QString uniqueFileName() const override { return mNote->uniqueFileName(); }
    uint64_t downloadSize() const override;
    void setFinalFileName(const QString &name) override { mNote->setFinalFileName(name); }
    QString finalFileName() const override { return mNote->finalFileName(); }
    int writeDownload(const QString &path) override;

private:
    FRNoteInfoPtr mNote;
};
