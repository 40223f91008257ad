#pragma once
// The crashes service's waits, in one place tests shorten: the delay between enabling and
// processing the stored reports (1 s), and the longest a caller of unprocessedCrashReports
// waits for that processing. Thread-safe.

#include <QtGlobal>

struct VUCrashesTimings
{
    qint64 processingDelayMs = 1000;
    qint64 unprocessedReportsWaitMs = 30'000;

    static VUCrashesTimings current();
    static void set(const VUCrashesTimings &timings);
    static void reset();
};
