#pragma once
// How core hands files it wrote on this computer to the desktop: open one with the
// application the desktop associates with it, reveal some in the file manager, or show some
// for viewing. The window library implements it with the desktop's services and installs it
// at start-up; core tests install a recording implementation. Without one installed the calls
// are logged and dropped (a tool or test that never looks at the desktop).
//
// Device files are never run: openFile() opens only what the desktop would view (an image,
// audio, video, a PDF or text: FileOpener::isViewable) and reveals anything else.
//
// Main thread only (the implementation talks to the session bus and may start processes);
// install() happens once at start-up, before anything asks.

#include <QString>
#include <QStringList>

class FileOpener
{
public:
    virtual ~FileOpener() = default;

    // Opens a viewable file with its default application; reveals any other.
    virtual void openFile(const QString &path) = 0;
    // Shows the files selected in a file-manager window (their folder opened where the file
    // manager cannot select). Paths in several folders show the first one's folder.
    virtual void revealFiles(const QStringList &paths) = 0;
    // Shows the files for viewing: images and documents in the desktop's viewer, movies and
    // sound in its player. Files that are not viewable are revealed instead.
    virtual void previewFiles(const QStringList &paths) = 0;

    // Whether the file's content (by name and first bytes) is image, audio, video, PDF or text.
    static bool isViewable(const QString &path);

    static void install(FileOpener *opener);
    // The installed opener, or one that only logs.
    static FileOpener *opener();
};
