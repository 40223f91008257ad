#include "personal/NoteDownload.h"

#include "personal/NoteFiles.h"
#include "shell/VarnekLogger.h"

#include <QSaveFile>

NoteDownload::NoteDownload(const FRNoteInfo &note) : mNote(FRNoteInfo::copyNote(note))
{
    const QString name = mNote->uniqueFileName();
    // A note without a title still gets a file of its own.
    if (name.isEmpty() || name == QLatin1String("Unknown"))
        mNote->setUniqueFileName(FRNoteInfo::fixFileName(QStringLiteral("Untitled"), mNote->rawNoteBody()));
}

QList<DownloadItem> NoteDownload::itemsFor(const QList<FRNoteInfoPtr> &notes)
{
    QList<DownloadItem> items;
    for (const FRNoteInfoPtr &note : notes)
        if (note)
            items.append(DownloadItem::of(std::make_shared<NoteDownload>(*note)));
    return items;
}

uint64_t NoteDownload::downloadSize() const
{
    return uint64_t(mNote->rawNoteBody().size());
}

int NoteDownload::writeDownload(const QString &path)
{
    const QByteArray data = NoteFiles::contents(*mNote);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        VarnekLog("Could not save the note %s: %s", qUtf8Printable(path), qUtf8Printable(file.errorString()));
        return kLocalWrite;
    }
    return 0;
}
