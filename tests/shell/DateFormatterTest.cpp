#include "shell/DateFormatter.h"

#include <gtest/gtest.h>

namespace {
struct DefaultLocale
{
    explicit DefaultLocale(const QLocale &locale) { QLocale::setDefault(locale); }
    ~DefaultLocale() { QLocale::setDefault(QLocale::c()); }
};
} // namespace

TEST(DateFormatter, NoCommasJoinsDateAndTimeWithOneBlank)
{
    DefaultLocale english(QLocale(QLocale::English, QLocale::UnitedStates));
    const QDateTime when(QDate(2019, 6, 1), QTime(14, 3, 7));

    const QString shortMedium = DateFormatter(DateFormatter::ShortStyle, DateFormatter::MediumStyle).stringFromDateNoCommas(when);
    EXPECT_EQ(shortMedium, DateFormatter(DateFormatter::ShortStyle).stringFromDate(when) + " "
                               + DateFormatter(DateFormatter::NoStyle, DateFormatter::MediumStyle).stringFromDate(when));
    EXPECT_TRUE(shortMedium.contains("2:03:07")) << qPrintable(shortMedium);
    EXPECT_FALSE(shortMedium.contains(", 2:")) << qPrintable(shortMedium);

    // Long and full styles show as medium.
    EXPECT_EQ(DateFormatter(DateFormatter::FullStyle, DateFormatter::LongStyle).stringFromDateNoCommas(when),
              DateFormatter(DateFormatter::MediumStyle, DateFormatter::MediumStyle).stringFromDateNoCommas(when));
    // A formatter without a time style gives its ordinary text.
    const DateFormatter dateOnly(DateFormatter::MediumStyle, DateFormatter::NoStyle);
    EXPECT_EQ(dateOnly.stringFromDateNoCommas(when), dateOnly.stringFromDate(when));
}
