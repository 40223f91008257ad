// Launch on attach: the window installs QuillonHelper while "AUTOLAUNCH" is on and removes it
// while it is off, at start-up and whenever the setting changes. The work is the core's
// (shell/HelperAppAdditions); here it is only chosen by the setting.

#include "FRWindow.h"

#include "shell/Defaults.h"
#include "shell/HelperAppAdditions.h"

void FRWindow::setupHelperApp()
{
    HelperAppAdditions::setupHelperApp();
}

void FRWindow::unsetupHelperApp()
{
    HelperAppAdditions::unsetupHelperApp();
}

void FRWindow::stopOrStartAutoLaunch()
{
    if (preferenceBool(QStringLiteral("AUTOLAUNCH")))
        setupHelperApp();
    else
        unsetupHelperApp();
}
