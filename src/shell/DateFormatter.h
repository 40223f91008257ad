#pragma once
// Date and time texts in the user's locale with the design's four styles, and the
// "no commas" text that joins date and time with one blank instead of the locale's comma
// (the date lines of messages, notes, calls and recordings).
//
// A DateFormatter is a small value; the four shared formatters behind
// stringFromDateNoCommas are made once and every use of them is serialised by
// gFormatterLock, so worker threads may call it.

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <mutex>

class DateFormatter
{
public:
    enum Style { NoStyle, ShortStyle, MediumStyle, LongStyle, FullStyle };

    explicit DateFormatter(Style dateStyle = NoStyle, Style timeStyle = NoStyle,
                           const QLocale &locale = QLocale());

    Style dateStyle() const { return mDateStyle; }
    Style timeStyle() const { return mTimeStyle; }

    // The ordinary text: date and time joined as the locale joins them.
    QString stringFromDate(const QDateTime &date) const;
    // Date part, one blank, time part; long and full styles show as medium.
    QString stringFromDateNoCommas(const QDateTime &date) const;

private:
    QString datePart(const QDateTime &date) const;
    QString timePart(const QDateTime &date) const;

    Style mDateStyle;
    Style mTimeStyle;
    QLocale mLocale;
};

// Guards the shared formatters; exists from program start.
extern std::mutex gFormatterLock;
