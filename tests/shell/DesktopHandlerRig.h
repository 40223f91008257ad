#pragma once
// The desktop's default applications as Debian's xdg-utils find them, pointed at a recording
// handler: a desktop entry in the test home's application folder, named the default for
// text, mailboxes, playlists, folders and mail addresses in mimeapps.list. Every file or
// address the handler is given becomes one line of the record. With `setFailing(true)` the
// handler fails, so the openers fail too.
//
// Sets DISPLAY (the openers only use desktop entries when a display is named; the handler
// draws nothing) and clears the desktop-session variables for the life of the rig.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class DesktopHandlerRig
{
public:
    DesktopHandlerRig();
    ~DesktopHandlerRig();

    // The lines recorded so far.
    QStringList record() const;
    // Waits until at least `count` lines were recorded.
    bool waitForRecord(int count) const;
    void setFailing(bool failing);

private:
    QTemporaryDir mDir;
    QList<std::pair<QByteArray, QByteArray>> mSaved;
};

// Runs python3 with `script` and the arguments; its standard output (empty on failure).
QByteArray runPython(const QString &script, const QStringList &arguments);
