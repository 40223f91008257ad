#pragma once
// Hands finished exports to the desktop's applications, each opened by its default
// application through DesktopLauncher: notes to the mail composer (one message each, or all
// as a mailbox file) or to the text editor (a text file each), photos into an album folder,
// music and recordings into a playlist. The window calls these with what it exported.
//
// Where the files go: the mailbox ("iNotes.mbox/mbox") and the text files in the per-run
// temporary folder; the album "<device class> Photos" in the pictures folder; the playlist
// "<name>.m3u" in the music export folder. Openers run on workers; the file work here runs on
// the calling thread (the main thread, as in the window's commands). Failures are logged.

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// What the send-to operations need of a note.
struct SendToNote
{
    QString title;    // noteTitle
    QString bodyText; // noteBodyText: the plain text
    QDateTime date;   // noteNSDate
};

namespace SendToApplications {

QString newUUID();

// --- Notes -----------------------------------------------------------------------------------
// One new message in the mail composer per note (xdg-email --subject --body).
void tigerSendToMail(const QList<SendToNote> &notes);
// The notes as one mailbox file, opened with the mailbox's default application. False when
// the file could not be written.
bool sendToMail(const QList<SendToNote> &notes);
// The mailbox text: one entry per note (headers, an empty line, the body in Base64).
QByteArray mailboxText(const QList<SendToNote> &notes, const QString &hostName);
// One text file per note, each opened with the text editor. False when one could not be written.
bool sendToTextEdit(const QList<SendToNote> &notes);

// --- Photos ----------------------------------------------------------------------------------
inline bool hasPhotosApp() { return true; }
inline bool hasiPhotoApp() { return false; }
// "<pictures>/<device class> Photos".
QString albumFolder(const QString &picturesFolder, const QString &deviceClass);
// Copies the files into the album (made when missing; a name already there gets "-N" before
// its extension) and opens it. False when the album or a copy could not be made.
bool sendToPhotos(const QStringList &paths, const QString &album);

// --- Music -----------------------------------------------------------------------------------
// "Voice Memos", "Voicemails", else "From <device class>".
QString playlistName(bool voiceMemos, bool voicemail, const QString &deviceClass);
// Adds the files to the playlist "<musicFolder>/<name>.m3u" (each path once) and opens it.
// Files from the temporary folder `temporaryFolder` would vanish with it: they are copied
// beside the playlist, and the temporary ones deleted only once the playlist was handed over.
// Returns 0, or -36 when the playlist (or a copy beside it) cannot be written. `done` (may be
// empty) gets the hand-over's outcome on the opener's worker.
int sendToiTunes(const QStringList &paths, const QString &musicFolder, const QString &name,
                 const QString &temporaryFolder, std::function<void(bool)> done = {});
// Whether the player copies added files into a library of its own: players here play files
// where they are.
inline int checkiTunesSettings() { return 0; }

// The first free name for `fileName` in `folder` ("name-1.ext", "name-2.ext", ...).
QString uniquePathIn(const QString &folder, const QString &fileName);

} // namespace SendToApplications
