// The main window's side of the notes list: the note viewer, the file types a drop of notes
// takes, and the notes list as the write-back finds it.

#include "FRWindow.h"

#include "DisplayFiles.h"
#include "FRWebView.h"
#include "personal/NotesDataController.h"
#include "shell/Defaults.h"

#include <QMimeDatabase>
#include <QTextDocument>

void FRWindow::setNoteText(const FRNoteInfo *note)
{
    auto *view = findChild<FRWebView *>(QStringLiteral("noteAreaView"));
    if (!view) {
        if (QWidget *area = findChild<QWidget *>(QStringLiteral("noteArea")))
            view = area->findChild<FRWebView *>();
    }
    if (!view)
        return;
    if (!note) {
        view->clear();
        return;
    }
    QString body = note->rawNoteBody();
    body.remove(NoteKey::HTMLMarker);
    if (body.contains(QLatin1Char('<')) || body.contains(QLatin1Char('&'))) {
        // Attachments are files in the temporary folder, named in the body by their paths;
        // anything named relative to it is looked for there too.
        view->document()->setBaseUrl(DisplayFiles::baseURLForFolder(getTempDir()));
        view->setHtml(body);
    } else {
        view->setPlainText(body);
    }
}

NotesDataController *FRWindow::notesDataController() const
{
    return dynamic_cast<NotesDataController *>(notesController);
}

void FRWindow::editNote(const std::shared_ptr<FRNoteInfo> &note)
{
    // The edit sheet comes with the note commands; until then the note is shown.
    setNoteText(note.get());
}

bool FRWindow::checkForFileType(const QString &path) const
{
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
    for (const char *name : {"text/plain", "text/html", "text/rtf", "application/rtf", "application/msword",
                             "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
                             "application/vnd.oasis.opendocument.text"})
        if (type.inherits(QString::fromLatin1(name)))
            return true;
    return false;
}
