#include "personal/NoteFiles.h"

#include "shell/VarnekLogger.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString suffixOf(const QString &name)
{
    return QFileInfo(name).suffix().toLower();
}

// `name` with "-N" before its extension, N from 1, until nothing in `folder` has it.
QString freeName(const QString &folder, const QString &name)
{
    if (!QFileInfo::exists(folder + QLatin1Char('/') + name))
        return name;
    const QString suffix = QFileInfo(name).suffix();
    const QString dotted = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    const QString base = name.left(name.size() - dotted.size());
    for (int n = 1;; ++n) {
        const QString candidate = QStringLiteral("%1-%2%3").arg(base).arg(n).arg(dotted);
        if (!QFileInfo::exists(folder + QLatin1Char('/') + candidate))
            return candidate;
    }
}

} // namespace

QByteArray NoteFiles::contents(const FRNoteInfo &note)
{
    const QString extension = suffixOf(note.uniqueFileName());
    if (extension == QLatin1String("rtf")) {
        const FRNoteInfo::BodyData body = note.noteBody();
        if (body.rich)
            return body.rtf;
    }
    if (extension == QLatin1String("html") || extension == QLatin1String("htm"))
        return note.noteBody().text.toUtf8();
    return note.noteBodyText().toUtf8();
}

QStringList NoteFiles::write(const QList<FRNoteInfoPtr> &notes, const QString &folder, bool makeUnique)
{
    QStringList written;
    QList<FRNoteInfoPtr> placed;
    for (const FRNoteInfoPtr &note : notes) {
        if (!note)
            continue;
        if (note->uniqueFileName().isEmpty() || note->uniqueFileName() == QLatin1String("Unknown"))
            note->setUniqueFileName(FRNoteInfo::fixFileName(QStringLiteral("Untitled"), note->rawNoteBody()));
        note->makeUniqueFileName(placed);
        placed.append(note);
        QString name = note->uniqueFileName();
        if (makeUnique)
            name = freeName(folder, name);
        QSaveFile file(folder + QLatin1Char('/') + name);
        const QByteArray data = contents(*note);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
            VarnekLog("Could not save the note %s: %s", qUtf8Printable(name), qUtf8Printable(file.errorString()));
            continue;
        }
        note->setFinalFileName(name);
        written.append(name);
    }
    return written;
}
