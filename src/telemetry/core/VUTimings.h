#pragma once
// Every duration the telemetry component waits, in one place that tests shorten: retry
// intervals of an ingestion call, the flush interval of the default channel configuration,
// the request time-out, and how long a batch whose retries ran out rests before it is
// offered again.
//
// Thread-safe: read as a copy under a lock; set() affects objects made afterwards and the
// next retry or flush of existing ones.

#include <QList>

struct VUTimings
{
    // The base delays of the three retries of one call (10 s, 5 min, 20 min).
    QList<qint64> retryIntervalsMs{10'000, 300'000, 1'200'000};
    // The default channel configuration's flush interval, in seconds.
    float flushIntervalSeconds = 3.0f;
    qint64 requestTimeoutMs = 60'000;
    // A batch still unanswered after its retries goes back to the store and is sent again
    // this long after.
    qint64 retryLaterMs = 1'200'000;

    static VUTimings current();
    static void set(const VUTimings &timings);
    static void reset();
};
