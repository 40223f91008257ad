#pragma once
// The application's delegate: the launch and quit order around the main window.
//
// Launch: the single-instance check and the main window's start-up (which starts the device
// layer) happen before the delegate runs; applicationWillFinishLaunching and
// applicationDidFinishLaunching then follow in that order on the main thread.
// Quit: applicationShouldTerminate asks the window; when the answer is "now",
// applicationWillTerminate saves the archive windows and collapses the main window, and the
// window's own termination handler closes the device layer and deletes the temporary folder.
// Main thread only.

#include <QStringList>

#include <array>
#include <atomic>
#include <functional>

class FRWindowHub;

// What the delegate needs of an archive window at quit.
class ArchiveWindowHook
{
public:
    virtual ~ArchiveWindowHook() = default;
    virtual void save() = 0;
};

class AppDelegate
{
public:
    enum class TerminateReply { TerminateNow, TerminateLater };

    FRWindowHub *mainWindow = nullptr;
    // Saved at quit in this order: messages, calls, voicemail, then the three backup browsers.
    ArchiveWindowHook *smsWindow = nullptr;
    ArchiveWindowHook *callWindow = nullptr;
    ArchiveWindowHook *voicemailWindow = nullptr;
    ArchiveWindowHook *smsBackupWindow = nullptr;
    ArchiveWindowHook *callBackupWindow = nullptr;
    ArchiveWindowHook *voicemailBackupWindow = nullptr;

    // What starts the telemetry component at launch. Core does not link the component, so
    // the program installs this before the event loop runs; nothing runs when none is set.
    static void setTelemetryStartHook(std::function<void()> hook);

    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    TerminateReply applicationShouldTerminate();
    void applicationWillTerminate();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return weIn; }
    // The main window was brought to the front by the user.
    void showMainApplicationWindow() { weIn = true; }

    bool weIn = false;
};

// Whether newer devices' note bodies can be decoded: set at launch, since our own decoder
// (extract/NoteDocument) is always there; the notes reading shows an error note without it.
extern std::atomic<bool> gHasNotesFramework;
