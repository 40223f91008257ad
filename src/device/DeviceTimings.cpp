#include "device/DeviceTimings.h"

#include <algorithm>

DeviceTimings &deviceTimings()
{
    static DeviceTimings timings;
    return timings;
}

void DeviceTimings::scale(int divisor)
{
    if (divisor <= 1)
        return;
    auto shrink = [divisor](std::atomic<int> &value) {
        value = std::max(1, value.load() / divisor);
    };
    shrink(startupChoiceMs);
    shrink(connectRetryMs);
    shrink(wakeupIntervalMs);
    shrink(freeSpaceIntervalMs);
    shrink(reloadAfterReturnMs);
    shrink(longAbsenceSeconds);
    shrink(tryAgainMs);
    shrink(mediaAppSettleMs);
    shrink(manifestRetryMs);
    shrink(backupWatchLatencyMs);
}

void DeviceTimings::reset()
{
    startupChoiceMs = 2000;
    connectTries = 10;
    connectRetryMs = 500;
    reconnectTries = 2;
    wakeupIntervalMs = 60000;
    freeSpaceIntervalMs = 4000;
    reloadAfterReturnMs = 3000;
    longAbsenceSeconds = 21600;
    tryAgainMs = 1500;
    mediaAppSettleMs = 5000;
    manifestRetryMs = 250;
    backupWatchLatencyMs = 10000;
}
