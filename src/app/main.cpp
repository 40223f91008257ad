#include "shell/Respawn.h"
#include "window/MainInterface.h"

int main(int argc, char *argv[])
{
    respawnAppropriateArchitecture(argc, argv);
    return runMainInterface(argc, argv);
}
