// The camera link of the current device: started after every successful device set-up and
// ended by every tear-down. Photo listing and deletion over the link join this file with the
// photos subsystem; until then the link only records that it is up.

#include "device/AppController.h"

#include "shell/VarnekLogger.h"

void AppController::connectPTP()
{
    if (!mCameraLinked.exchange(true))
        VarnekLog("connectPTP");
}

void AppController::disconnectPTP()
{
    if (mCameraLinked.exchange(false))
        VarnekLog("disconnectPTP");
}
