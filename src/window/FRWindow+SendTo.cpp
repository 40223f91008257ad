// Send-to: the window's hand-overs of finished exports to the desktop's applications. The
// work is the core's (shell/SendToApplications); here the window supplies the notes, the
// device class, the mode and the user's folders.

#include "FRWindow.h"

#include "device/AppController.h"
#include "personal/FRNoteInfo.h"
#include "shell/Defaults.h"
#include "shell/SendToApplications.h"

#include <QStandardPaths>

namespace {

QList<SendToNote> sendToNotes(const QList<std::shared_ptr<FRNoteInfo>> &notes)
{
    QList<SendToNote> out;
    for (const auto &note : notes) {
        if (note)
            out.append({note->noteTitle(), note->noteBodyText(), note->noteNSDate()});
    }
    return out;
}

} // namespace

QString FRWindow::sendToDeviceClass() const
{
    return mDevice ? mDevice->deviceClassOrDefault() : QStringLiteral("iPhone");
}

void FRWindow::tigerSendToMail(const QList<std::shared_ptr<FRNoteInfo>> &notes)
{
    SendToApplications::tigerSendToMail(sendToNotes(notes));
}

bool FRWindow::sendToMail(const QList<std::shared_ptr<FRNoteInfo>> &notes)
{
    return SendToApplications::sendToMail(sendToNotes(notes));
}

bool FRWindow::sendToTextEdit(const QList<std::shared_ptr<FRNoteInfo>> &notes)
{
    return SendToApplications::sendToTextEdit(sendToNotes(notes));
}

bool FRWindow::sendToPhotos(const QStringList &paths)
{
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    return SendToApplications::sendToPhotos(paths, SendToApplications::albumFolder(pictures, sendToDeviceClass()));
}

int FRWindow::sendToiTunes(const QStringList &paths, const QString &musicFolder)
{
    const QString name = SendToApplications::playlistName(isRecordingsMode(), isVoicemailMode(), sendToDeviceClass());
    return SendToApplications::sendToiTunes(paths, musicFolder, name, getTempDir());
}
