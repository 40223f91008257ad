#pragma once
// What core code asks of the main window. The window (FRWindow in the window library)
// implements it; core holds only this interface, so core never needs a display and tests
// can stand in a recording window.
//
// Every call comes on the main thread unless its comment says otherwise. The operations
// grow with the subsystems that use them.

#include "device/ConnectedDeviceEntry.h"

#include <QList>
#include <QString>

#include <functional>

class CallListController;
class SMSDataController;
class NotesDataController;

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

    // --- Device state, reported by the device controller ------------------------------------
    // The device menu and popup, rebuilt from the whole attached-device list after a change.
    virtual void updateDevicesMenuContents(const QList<ConnectedDeviceEntry> &entries) = 0;
    // Marks one entry in the menu and popup; a null entry means the current device.
    virtual void updateDevicesMenuSelection(const ConnectedDeviceEntry &entry) = 0;
    // Reloads the current mode's data when `deviceInstance` still equals the controller's.
    virtual void loadData(int deviceInstance) = 0;
    // Reloads every data category of the current device.
    virtual void doRefresh() = 0;
    // "Unable to Contact Device", at most one panel at a time.
    virtual void showErrorOnMain() = 0;
    // The device is locked with a passcode: asks the user to unlock it and trust this
    // computer. `code` is the framework's code (0xe8000096 or 0xe800001a), for the log.
    virtual void reportPassCodeError(int code) = 0;
    // An information panel over the main window: title, text and one "OK" button.
    virtual void showInformationPanel(const QString &title, const QString &text) = 0;
    // The same with up to three buttons (an empty title leaves the button out; button 1 is
    // the default, rightmost one); `didEnd` receives the pressed button's number 1, 2 or 3.
    // Windows that offer only "OK" show the plain panel.
    virtual void showInformationPanel(const QString &title, const QString &text, const QString &button1,
                                      const QString &button2, const QString &button3,
                                      std::function<void(int button)> didEnd)
    {
        showInformationPanel(title, text);
    }
    // YES while the main window is open.
    virtual bool opened() const = 0;
    // Asks a running photo load to stop and waits for it.
    virtual void stopPhotosThread() = 0;

    // --- Backups ----------------------------------------------------------------------------
    // The backup list changed: the backup windows rebuild their source lists.
    virtual void refreshBackupWindows() = 0;
    // Backup progress, from any thread: the range 0 .. max, and the value shown by the
    // window's progress timer (negative, above the maximum or while cancelling: indeterminate).
    virtual void setBackupProgressMax(double max) = 0;
    virtual void setBackupProgressValue(double value) = 0;
    // --- Archives ---------------------------------------------------------------------------
    // An archive changed: each archive window rebuilds its source list and re-selects what it
    // showed. Windows without archive windows ignore them.
    virtual void updateCallArchive() {}
    virtual void updateSMSArchive() {}
    virtual void updateVoicemailArchive() {}

    // --- Category lists -----------------------------------------------------------------------
    // The main window's list controllers that the category requests hand to extraction:
    // messages, calls, and the media list that also lists voicemail. Asked on load threads;
    // each lives as long as the window. Null: the window has no such list.
    virtual SMSDataController *smsDataController() const { return nullptr; }
    virtual CallListController *callDataController() const { return nullptr; }
    virtual CallListController *itunesDataController() const { return nullptr; }
    // The notes list, which learns the row ids of notes written back to the device.
    virtual NotesDataController *notesDataController() const { return nullptr; }

    // The backup folder may not be read: shows the help window on reading it (created on
    // first use, brought to the front). Windows without one ignore it.
    virtual void showBackupsAccessHelp() {}
};
