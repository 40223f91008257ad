#pragma once
// The one reading of a date stored in an archive row. This program writes whole seconds
// since 1970; rows of earlier versions may hold nanoseconds since 2001 (any value of
// 500000000000000001 or more) or a date pushed 978307200 seconds too late. Every reader, the
// duplicate check and the merge use this function, so they agree on every row.
//
// Any thread.

#include <QDateTime>

#include <cstdint>

namespace ArchiveDates {

constexpr int64_t kNanosecondThreshold = 500000000000000001LL;
constexpr int64_t kReferenceDate = 978307200; // 2001-01-01 in seconds since 1970
constexpr double kTooLateFrom = 2145916810;

// Seconds since 1970 of a stored date, read both as an integer and as a real. `now` is the
// current time in seconds since 1970 (taken once per process by storedDate).
double repairedSeconds(int64_t asInteger, double asReal, double now);
// The same with the process's "now".
double repairedSeconds(int64_t asInteger, double asReal);
QDateTime storedDate(int64_t asInteger, double asReal);

} // namespace ArchiveDates
