#pragma once
// What the transfer engines (DownloadEngine, and the upload, move and delete engine) ask of
// the window they run in: the progress sheet, the replace sheet and the error sheets. The
// main window implements it; core tests use a recording implementation that answers sheets
// as the test says.
//
// Threads: reportError and setThreadRunning may be called from any thread (the window hops
// to the main thread); everything else comes on the main thread.

#include "interfaces/DeviceFilesWindow.h"

#include <QString>
#include <QStringList>

#include <functional>

class TransferWindow
{
public:
    virtual ~TransferWindow() = default;

    // The current mode (any thread).
    virtual DeviceFilesWindow::Mode windowMode() const = 0;
    // The error sheet with one "OK" button; a code of 0 adds no code line. Any thread.
    virtual void reportError(const QString &title, const QString &message, long code) = 0;
    // The busy flag the progress poll watches; cleared by the worker that ends the work.
    virtual void setThreadRunning(bool running) = 0;
    // True while a transfer runs or a sheet is attached: no second transfer starts then.
    virtual bool running() const = 0;
    // The progress sheet of a determinate transfer: its headline; the poll reads the maximum
    // and the bytes from the engine and shows the sheet after half a second.
    virtual void startTransferProgress(const QString &headline) = 0;
    // An alert sheet asking about an item that exists: `title` (may be empty), the text, the
    // button titles (the first is the default). `answer` receives the index of the pressed
    // button, on the main thread, once.
    virtual void askReplace(const QString &title, const QString &text, const QStringList &buttons,
                            std::function<void(int button)> answer) = 0;
};
