#pragma once
// What core code asks of the main window. The window (FRWindow in the window library)
// implements it; core holds only this interface, so core never needs a display and tests
// can stand in a recording window.
//
// Every call comes on the main thread unless its comment says otherwise. The operations
// grow with the subsystems that use them.

#include <QString>

class FRWindowHub
{
public:
    virtual ~FRWindowHub() = default;

    // Quit: YES when pending on-device edits must be asked about first (the application
    // then waits for the answer).
    virtual bool askAboutQuitting() = 0;
    // Quit and device loss: saves the layout and collapses the window.
    virtual void closeup() = 0;
    // The status line: text, a colour word ("green", "orange", "red"), device name or empty.
    virtual void setStatusMessage(const QString &text, const QString &status, const QString &deviceName) = 0;
    // The device software is missing or too old.
    virtual void reportiTunes81Required() = 0;
    // The worker-running flag that the progress timer polls.
    virtual void setThreadRunning(bool running) = 0;
    // Shows an indeterminate progress sheet with `text` when the work lasts a few seconds.
    virtual void initiateIndeterminateProgressAfterAFewSeconds(const QString &text) = 0;
    // Opens and prepares the archive windows once the archives are read.
    virtual void loadArchiveWindows() = 0;
    // After a device set-up or tear-down.
    virtual void setupDevice() = 0;
};
