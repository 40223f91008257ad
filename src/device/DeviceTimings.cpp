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
    shrink(backupRetryMs);
    shrink(backupErrorRetryMs);
    shrink(backupPollMs);
    shrink(backupDeadlineSeconds);
    shrink(backupInactivityMs);
    shrink(connectionDictRetryMs);
    shrink(deviceListenerMs);
    shrink(hostSyncPollMs);
    shrink(passwordPollMs);
    shrink(extractTimeoutSeconds);
    shrink(batchPauseMs);
    shrink(restoreTimeoutSeconds);
    shrink(restoreCompleteDelayMs);
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
    backupRetryMs = 1000;
    backupErrorRetryMs = 4000;
    backupPollMs = 100;
    backupDeadlineSeconds = 10000;
    backupInactivityMs = 300000;
    connectionDictTries = 5;
    connectionDictRetryMs = 100;
    deviceListenerMs = 2000;
    hostSyncRounds = 1200;
    hostSyncPollMs = 500;
    passwordPollMs = 100;
    extractTimeoutSeconds = 3600;
    batchPauseMs = 500;
    restoreTimeoutSeconds = 360;
    restoreCompleteDelayMs = 2000;
}
