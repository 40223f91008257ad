#include "TestHome.h"
#include "platform/UserDefaults.h"

#include <QDateTime>
#include <QVariantList>
#include <QVariantMap>
#include <gtest/gtest.h>

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
