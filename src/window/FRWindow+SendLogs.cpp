// The diagnostics command: the sheet that sends the logs to support, made on first use.

#include "FRWindow.h"

#include "VKLogSubmitterSheet.h"

void FRWindow::sendLogs()
{
    if (!mLogSubmitter)
        mLogSubmitter = new VKLogSubmitterSheet(this);
    mLogSubmitter->sendLogsModalForWindow(this);
}

VKLogSubmitterSheet *FRWindow::logSubmitter() const
{
    return mLogSubmitter.data();
}
