#include "telemetry/core/VUTimings.h"

#include <mutex>

namespace {

std::mutex gTimingsLock;
VUTimings gTimings;

} // namespace

VUTimings VUTimings::current()
{
    std::lock_guard guard(gTimingsLock);
    return gTimings;
}

void VUTimings::set(const VUTimings &timings)
{
    std::lock_guard guard(gTimingsLock);
    gTimings = timings;
}

void VUTimings::reset()
{
    set(VUTimings());
}
