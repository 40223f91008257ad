#include "TestHome.h"
#include "platform/UserDefaults.h"

#include <QDateTime>
#include <QVariantList>
#include <QVariantMap>
#include <gtest/gtest.h>

#include <limits>

TEST(UserDefaults, KeepsTypesAndReadsAbsentKeysAsEmpty)
{
    TestHome home;
    UserDefaults &d = UserDefaults::standard();
    EXPECT_FALSE(d.contains("USE_WIFI"));
    EXPECT_FALSE(d.boolForKey("USE_WIFI"));
    EXPECT_EQ(d.integerForKey("messageSort"), 0);

    d.setBool(true, "USE_WIFI");
    d.setInteger(3, "SMS_EXPORT_FORMAT2");
    d.setObject(QVariantList{QVariantMap{{"uid", "abc"}, {"connect", true}}}, "KnownDevices");
    d.synchronize();

    EXPECT_TRUE(d.boolForKey("USE_WIFI"));
    EXPECT_EQ(d.integerForKey("SMS_EXPORT_FORMAT2"), 3);
    const QVariantList known = d.objectForKey("KnownDevices").toList();
    ASSERT_EQ(known.size(), 1);
    EXPECT_EQ(known.first().toMap().value("uid").toString(), "abc");

    d.removeObject("USE_WIFI");
    EXPECT_FALSE(d.contains("USE_WIFI"));
}

TEST(UserDefaults, EachHomeHasItsOwnStore)
{
    {
        TestHome first;
        UserDefaults::standard().setInteger(7, "messageSort");
        UserDefaults::standard().synchronize();
    }
    TestHome second;
    EXPECT_FALSE(UserDefaults::standard().contains("messageSort"));
}

TEST(UserDefaults, HostStyleBoolAndIntegerReadings)
{
    struct Case {
        QVariant value;
        bool asBool;
        qint64 asInteger;
    } cases[] = {
        {QVariant(), false, 0},
        {QVariant(QStringLiteral("YES")), true, 0},
        {QVariant(QStringLiteral("no")), false, 0},
        {QVariant(QStringLiteral("12")), true, 12},
        {QVariant(2.9), true, 2},
        {QVariant(0), false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.value.toString().toStdString());
        EXPECT_EQ(variantBoolValue(c.value), c.asBool);
        EXPECT_EQ(variantIntegerValue(c.value), c.asInteger);
    }
}

TEST(UserDefaults, IntegerReadingsOfOutOfRangeValuesSaturate)
{
    // A hand-edited store may hold any real; its integer reading must not wrap or be undefined.
    constexpr qint64 kMax = std::numeric_limits<qint64>::max();
    constexpr qint64 kMin = std::numeric_limits<qint64>::min();
    const struct {
        const char *name;
        QVariant value;
        qint64 asInteger;
    } cases[] = {
        {"huge real", 1e300, kMax},
        {"huge negative real", -1e300, kMin},
        {"two to the 63rd", 9223372036854775808.0, kMax},
        {"largest below it", 9223372036854774784.0, 9223372036854774784LL},
        {"infinity", std::numeric_limits<double>::infinity(), kMax},
        {"not a number", std::numeric_limits<double>::quiet_NaN(), 0},
        {"huge text", QStringLiteral("1e300"), kMax},
        {"huge negative text", QStringLiteral("-1e30"), kMin},
        {"huge unsigned", QVariant(std::numeric_limits<quint64>::max()), kMax},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(variantIntegerValue(c.value), c.asInteger);
    }
}

TEST(UserDefaults, TypesSurviveARestart)
{
    TestHome home;
    UserDefaults &d = UserDefaults::standard();
    const QDateTime when = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
    d.setBool(true, "USE_WIFI");
    d.setInteger(1, "messageSort");
    d.setObject(2.5, "splitPosition");
    d.setObject(QStringLiteral("1"), "TEMP_LOCATION");
    d.setObject(when, "lastSeen");

    d.synchronize(); // reads the file again, as the next launch would
    EXPECT_EQ(d.objectForKey("USE_WIFI").typeId(), QMetaType::Bool);
    EXPECT_EQ(d.objectForKey("messageSort").toLongLong(), 1);
    EXPECT_NE(d.objectForKey("messageSort").typeId(), QMetaType::Bool);
    EXPECT_EQ(d.objectForKey("splitPosition").typeId(), QMetaType::Double);
    EXPECT_EQ(d.objectForKey("TEMP_LOCATION").typeId(), QMetaType::QString);
    EXPECT_EQ(d.objectForKey("lastSeen").toDateTime(), when);
}

TEST(UserDefaults, DatesKeepTheirMillisecondsAndUnwritableValuesAreRefusedAlone)
{
    TestHome home;
    UserDefaults &d = UserDefaults::standard();
    const QDateTime withMs(QDate(2024, 5, 6), QTime(7, 8, 9, 123), Qt::UTC);
    const QDateTime beforeEpoch(QDate(1969, 12, 31), QTime(23, 59, 59, 999), Qt::UTC);
    d.setObject(withMs, "lastSeen");
    d.setObject(beforeEpoch, "longAgo");
    // Years the file's text form cannot hold, and a string that would come back cut.
    d.setObject(QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC), "farFuture");
    d.setObject(QDateTime(QDate(-5, 1, 1), QTime(0, 0), Qt::UTC), "farPast");
    d.setObject(QString("cut") + QChar(0) + QString("here"), "withNul");
    d.setInteger(4, "afterThem");
    d.synchronize();
    EXPECT_EQ(d.objectForKey("lastSeen").toDateTime(), withMs);
    EXPECT_EQ(d.objectForKey("longAgo").toDateTime(), beforeEpoch);
    EXPECT_FALSE(d.contains("farFuture"));
    EXPECT_FALSE(d.contains("farPast"));
    EXPECT_FALSE(d.contains("withNul"));
    EXPECT_EQ(d.integerForKey("afterThem"), 4);
}

TEST(UserDefaults, ADamagedStoreReadsAsEmptyAndIsReplaced)
{
    TestHome home;
    home.writeFile(".config/Quillon/Quillon.plist", "not a property list");
    UserDefaults &d = UserDefaults::standard();
    d.synchronize();
    EXPECT_FALSE(d.contains("USE_WIFI"));
    d.setBool(true, "USE_WIFI");
    d.synchronize();
    EXPECT_TRUE(d.boolForKey("USE_WIFI"));
}
