#include "telemetry/core/VUUtility.h"

#include <QDate>
#include <QRegularExpression>
#include <QTime>

double VUUtility::nowInMilliseconds()
{
    return double(QDateTime::currentMSecsSinceEpoch());
}

// Formatting and parsing are plain functions of their input: there is no shared formatter
// that two threads could build at the same time.
QString VUUtility::dateToISO8601(const QDateTime &date)
{
    const QDateTime utc = date.toUTC();
    const QDate d = utc.date();
    const QTime t = utc.time();
    return QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", d.year(), d.month(), d.day(),
                             t.hour(), t.minute(), t.second(), t.msec());
}

bool VUUtility::isWritableDate(const QDateTime &date)
{
    if (!date.isValid())
        return false;
    const int year = date.toUTC().date().year();
    return year >= 1 && year <= 9999;
}

std::optional<QDateTime> VUUtility::dateFromISO8601(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})\\.(\\d{3})Z$"));
    const auto match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    const QTime time(match.captured(4).toInt(), match.captured(5).toInt(), match.captured(6).toInt(),
                     match.captured(7).toInt());
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time, Qt::UTC);
}
