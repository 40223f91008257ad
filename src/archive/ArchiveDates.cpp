#include "archive/ArchiveDates.h"

namespace ArchiveDates {

double repairedSeconds(int64_t asInteger, double asReal, double now)
{
    if (asInteger >= kNanosecondThreshold)
        return double(asInteger / 1000000000 + kReferenceDate);
    if (now < kTooLateFrom && asReal >= kTooLateFrom)
        return asReal - double(kReferenceDate);
    return asReal;
}

double repairedSeconds(int64_t asInteger, double asReal)
{
    static const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    return repairedSeconds(asInteger, asReal, now);
}

QDateTime storedDate(int64_t asInteger, double asReal)
{
    return QDateTime::fromMSecsSinceEpoch(int64_t(repairedSeconds(asInteger, asReal) * 1000.0), Qt::UTC);
}

} // namespace ArchiveDates
