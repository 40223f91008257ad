#include "AppDelegate.h"

#include "interfaces/FRWindowHub.h"
#include "PFMoveApplication.h"
#include "VarnekLogger.h"

std::atomic<bool> gHasNotesFramework{false};

void AppDelegate::applicationWillFinishLaunching()
{
    PFMoveToApplicationsFolderIfNecessary();
}

void AppDelegate::applicationDidFinishLaunching()
{
    // Newer devices' note bodies need the host's notes framework, which Linux lacks.
    gHasNotesFramework.store(false);
    weIn = false;
    // The telemetry component (analytics, then crashes) starts here once it is part of the
    // program. The single-instance check ran before the window touched any stored data.
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
