#include "AppDelegate.h"

#include "interfaces/FRWindowHub.h"
#include "PFMoveApplication.h"
#include "VarnekLogger.h"

std::atomic<bool> gHasNotesFramework{false};

namespace {

std::function<void()> &telemetryStartHook()
{
    static std::function<void()> hook;
    return hook;
}

} // namespace

void AppDelegate::setTelemetryStartHook(std::function<void()> hook)
{
    telemetryStartHook() = std::move(hook);
}

void AppDelegate::applicationWillFinishLaunching()
{
    PFMoveToApplicationsFolderIfNecessary();
}

void AppDelegate::applicationDidFinishLaunching()
{
    // Newer devices' note bodies are read by our own decoder (extract/NoteDocument), which
    // is always there.
    gHasNotesFramework.store(true);
    weIn = false;
    // The telemetry component starts here, with its services. The single-instance check
    // ran before the window touched any stored data, so only one copy sends.
    if (const auto &hook = telemetryStartHook())
        hook();
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate()
{
    if (mainWindow && mainWindow->askAboutQuitting())
        return TerminateReply::TerminateLater;
    return TerminateReply::TerminateNow;
}

void AppDelegate::applicationWillTerminate()
{
    for (ArchiveWindowHook *window : {smsWindow, callWindow, voicemailWindow, smsBackupWindow,
                                      callBackupWindow, voicemailBackupWindow}) {
        if (window)
            window->save();
    }
    if (mainWindow)
        mainWindow->closeup();
}
