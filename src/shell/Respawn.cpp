#include "Respawn.h"

#include "VarnekLogger.h"

#include <atomic>
#include <cstring>

namespace {
std::atomic<bool> gRespawnFailed{false};
}

bool respawnAppropriateArchitecture(int argc, char *const argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i] && std::strcmp(argv[i], "-respawn") == 0) {
            gRespawnFailed.store(true);
            return true;
        }
    }
    // Every supported system runs the build's own architecture: nothing to re-execute.
    return false;
}

void logRespawnOutcome()
{
    if (gRespawnFailed.exchange(false))
        VarnekLog("re-spawn to 32-bit failed (may be single-arch debug executable?)");
}
