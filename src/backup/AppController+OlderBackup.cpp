// The older backup protocol ("com.apple.mobilebackup", version 1.6): the device streams its
// files and the wanted ones are written into the temporary folder as they arrive.

#include "device/AppController.h"

#include "backup/BackupSessionFlags.h"
#include "shell/VarnekLogger.h"

bool AppController::olderProtocolSession(const QVariantMap &)
{
    VarnekLog("Beginning old-style decrypt");
    gDeviceError.store(100034);
    mHadBadError.store(true);
    return false;
}

int AppController::setFiles(const QVariantList &, bool)
{
    gDeviceError.store(0);
    return 0;
}
