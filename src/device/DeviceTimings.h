#pragma once
// Every wait of the device life cycle, in one place so tests can shorten them.
//
// The values are the program's own: the start-up wait before the automatic device choice,
// the connection retries, the endless wake-up and free-space threads, and the delays after a
// Wi-Fi device comes back. Tests call DeviceTimings::scale() (or set single fields) before
// any device thread starts; every reader goes through deviceTimings() at the moment it waits,
// so a change is seen by the next wait. The fields are atomics because the endless threads
// read them while a test may set them.

#include <atomic>
#include <chrono>

struct DeviceTimings
{
    using ms = std::chrono::milliseconds;

    std::atomic<int> startupChoiceMs{2000};     // attached devices gather before the choice
    std::atomic<int> connectTries{10};          // connection attempts of a set-up
    std::atomic<int> connectRetryMs{500};       // sleep after each failed attempt
    std::atomic<int> reconnectTries{2};         // attempts when a session is restarted
    std::atomic<int> wakeupIntervalMs{60000};   // rounds of the Wi-Fi wake-up thread
    std::atomic<int> freeSpaceIntervalMs{4000}; // rounds of the free-space thread
    std::atomic<int> reloadAfterReturnMs{3000}; // data reload after a short Wi-Fi absence
    std::atomic<int> longAbsenceSeconds{21600}; // an absence longer than this refreshes all
    std::atomic<int> tryAgainMs{1500};          // pause before a retry the user asked for
    std::atomic<int> mediaAppSettleMs{5000};    // grace period while the media application runs
    std::atomic<int> manifestRetryMs{250};      // pause before a backup manifest is read again
    std::atomic<int> backupWatchLatencyMs{10000}; // backup-folder changes gather this long
    // Live backup sessions.
    std::atomic<int> backupRetryMs{1000};        // pause before a session's next attempt
    std::atomic<int> backupErrorRetryMs{4000};   // and more after an attempt that failed
    std::atomic<int> backupPollMs{100};          // one wait for a device-link message
    std::atomic<int> backupDeadlineSeconds{10000}; // the whole exchange
    std::atomic<int> backupInactivityMs{300000}; // no word from the device this long: stalled
    std::atomic<int> connectionDictTries{5};     // looking for the device's backup service
    std::atomic<int> connectionDictRetryMs{100};
    std::atomic<int> deviceListenerMs{2000};     // the device listener's wait for the device
    std::atomic<int> hostSyncRounds{1200};       // rounds of the wait for the host's own sync
    std::atomic<int> hostSyncPollMs{500};
    std::atomic<int> passwordPollMs{100};        // the session's polls while the sheet is up
    std::atomic<int> extractTimeoutSeconds{3600}; // one batch of the older protocol
    std::atomic<int> batchPauseMs{500};          // between batches
    std::atomic<int> restoreTimeoutSeconds{360}; // a write-back
    std::atomic<int> restoreCompleteDelayMs{2000}; // before the restore is declared complete

    // Divides every duration by `divisor` (tries stay as they are); 1 restores nothing.
    void scale(int divisor);
    // Back to the program's own values.
    void reset();
};

DeviceTimings &deviceTimings();
