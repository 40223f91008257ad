#include "TelemetryStart.h"
#include "shell/AppDelegate.h"
#include "shell/Respawn.h"
#include "window/MainInterface.h"

int main(int argc, char *argv[])
{
    respawnAppropriateArchitecture(argc, argv);
    AppDelegate::setTelemetryStartHook(startTelemetry);
    return runMainInterface(argc, argv);
}
