#include "telemetry/crashes/VUCrashesTimings.h"

#include <mutex>

namespace {

std::mutex gLock;
VUCrashesTimings gTimings;

} // namespace

VUCrashesTimings VUCrashesTimings::current()
{
    std::lock_guard guard(gLock);
    return gTimings;
}

void VUCrashesTimings::set(const VUCrashesTimings &timings)
{
    std::lock_guard guard(gLock);
    gTimings = timings;
}

void VUCrashesTimings::reset()
{
    set(VUCrashesTimings());
}
