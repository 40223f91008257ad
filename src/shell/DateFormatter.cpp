#include "DateFormatter.h"

#include <memory>

std::mutex gFormatterLock;

namespace {

// Medium is the locale's long pattern with abbreviated month and weekday names.
QString mediumDatePattern(const QLocale &locale)
{
    QString pattern = locale.dateFormat(QLocale::LongFormat);
    pattern.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    pattern.replace(QStringLiteral("dddd"), QStringLiteral("ddd"));
    return pattern;
}

// Medium time is the long pattern without the time zone.
QString mediumTimePattern(const QLocale &locale)
{
    QString pattern = locale.timeFormat(QLocale::LongFormat);
    pattern.remove(QLatin1Char('t'));
    return pattern.trimmed();
}

struct SharedFormatters
{
    std::unique_ptr<DateFormatter> shortTime, mediumTime, shortDate, mediumDate;
};

SharedFormatters gShared; // guarded by gFormatterLock

} // namespace

DateFormatter::DateFormatter(Style dateStyle, Style timeStyle, const QLocale &locale)
    : mDateStyle(dateStyle)
    , mTimeStyle(timeStyle)
    , mLocale(locale)
{
}

QString DateFormatter::datePart(const QDateTime &date) const
{
    switch (mDateStyle) {
    case NoStyle:
        return {};
    case ShortStyle:
        return mLocale.toString(date.date(), QLocale::ShortFormat);
    case MediumStyle:
        return mLocale.toString(date.date(), mediumDatePattern(mLocale));
    case LongStyle:
    case FullStyle:
        return mLocale.toString(date.date(), QLocale::LongFormat);
    }
    return {};
}

QString DateFormatter::timePart(const QDateTime &date) const
{
    switch (mTimeStyle) {
    case NoStyle:
        return {};
    case ShortStyle:
        return mLocale.toString(date.time(), QLocale::ShortFormat);
    case MediumStyle:
        return mLocale.toString(date.time(), mediumTimePattern(mLocale));
    case LongStyle:
    case FullStyle:
        return mLocale.toString(date.time(), QLocale::LongFormat);
    }
    return {};
}

QString DateFormatter::stringFromDate(const QDateTime &date) const
{
    const QString d = datePart(date);
    const QString t = timePart(date);
    if (d.isEmpty() || t.isEmpty())
        return d.isEmpty() ? t : d;
    return d + QStringLiteral(", ") + t;
}

QString DateFormatter::stringFromDateNoCommas(const QDateTime &date) const
{
    if (mDateStyle == NoStyle || mTimeStyle == NoStyle)
        return stringFromDate(date);
    std::lock_guard lock(gFormatterLock);
    if (!gShared.shortTime) {
        gShared.shortTime = std::make_unique<DateFormatter>(NoStyle, ShortStyle);
        gShared.mediumTime = std::make_unique<DateFormatter>(NoStyle, MediumStyle);
        gShared.shortDate = std::make_unique<DateFormatter>(ShortStyle, NoStyle);
        gShared.mediumDate = std::make_unique<DateFormatter>(MediumStyle, NoStyle);
    }
    const DateFormatter &dateFormatter = mDateStyle == ShortStyle ? *gShared.shortDate : *gShared.mediumDate;
    const DateFormatter &timeFormatter = mTimeStyle == ShortStyle ? *gShared.shortTime : *gShared.mediumTime;
    return dateFormatter.stringFromDate(date) + QLatin1Char(' ') + timeFormatter.stringFromDate(date);
}
