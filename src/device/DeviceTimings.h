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

    // Divides every duration by `divisor` (tries stay as they are); 1 restores nothing.
    void scale(int divisor);
    // Back to the program's own values.
    void reset();
};

DeviceTimings &deviceTimings();
