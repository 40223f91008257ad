// What the analytics service cuts, drops and keeps of the names and properties it is given.
#include "AnalyticsTestSupport.h"

#include "telemetry/analytics/VUEventLog.h"
#include "telemetry/analytics/VUPageLog.h"

namespace {

// A text of `count` characters, each `unit`.
QString repeated(const QString &unit, int count)
{
    return unit.repeated(count);
}

const QString kEmoji = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units, one character

bool hasLoneSurrogate(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i).isHighSurrogate()) {
            if (i + 1 >= text.size() || !text.at(i + 1).isLowSurrogate())
                return true;
            ++i;
        } else if (text.at(i).isLowSurrogate()) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(AnalyticsValidation, NamesAreCutAtTheirLimitWithoutSplittingACharacter)
{
    struct Case
    {
        const char *name;
        QString input;
        std::optional<QString> expected;
        bool warns;
    };
    const Case cases[] = {
        {"256 characters pass", repeated("a", 256), repeated("a", 256), false},
        {"257 are cut to 256", repeated("a", 257), repeated("a", 256), true},
        // 255 letters and an emoji are 256 characters though 257 units: nothing to cut.
        {"an emoji as the 256th character stays whole", repeated("a", 255) + kEmoji, repeated("a", 255) + kEmoji, false},
        {"an emoji past the cut goes whole", repeated("a", 255) + kEmoji + kEmoji, repeated("a", 255) + kEmoji, true},
        {"empty", QString(""), std::nullopt, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RecordingLogHandler log(VULogLevelVerbose);
        const auto name = VUAnalytics::validateEventName(c.input, "event");
        EXPECT_EQ(name, c.expected);
        if (name) {
            EXPECT_FALSE(hasLoneSurrogate(*name));
        }
        EXPECT_EQ(log.contains("name length cannot be longer than 256 characters"), c.warns);
    }
    RecordingLogHandler log(VULogLevelVerbose);
    EXPECT_FALSE(VUAnalytics::validateEventName(std::nullopt, "page"));
    EXPECT_TRUE(log.contains("page name cannot be null or empty"));
}

TEST(AnalyticsValidation, TypedPropertiesAreCountedAndCut)
{
    struct Case
    {
        const char *name;
        std::function<void(VUEventProperties &)> fill;
        QStringList keys;
        QString warning;
    };
    const Case cases[] = {
        {"25 properties keep the first 20",
         [](VUEventProperties &p) {
             for (int i = 0; i < 25; ++i)
                 p.setInt64(i, QStringLiteral("k%1").arg(25 - i));
         },
         [] {
             QStringList keys;
             for (int i = 0; i < 20; ++i)
                 keys.append(QStringLiteral("k%1").arg(25 - i));
             return keys;
         }(),
         "Typed properties cannot contain more than 20 items. Skipping other properties."},
        {"a key of 125 characters passes", [](VUEventProperties &p) { p.setBool(true, repeated("k", 125)); },
         {repeated("k", 125)}, {}},
        {"a key of 126 characters is cut", [](VUEventProperties &p) { p.setBool(true, repeated("k", 126)); },
         {repeated("k", 125)}, "key length cannot exceed 125 characters"},
        {"a key cut before an emoji loses it whole",
         [](VUEventProperties &p) { p.setBool(true, repeated("k", 124) + kEmoji + kEmoji); },
         {repeated("k", 124) + kEmoji}, "key length cannot exceed 125 characters"},
        {"two long keys alike in their first 125 characters become one",
         [](VUEventProperties &p) {
             p.setString("first", repeated("k", 125) + "AAAAA").setString("second", repeated("k", 125) + "BBBBB");
         },
         {repeated("k", 125)}, "key length cannot exceed 125 characters"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RecordingLogHandler log(VULogLevelVerbose);
        auto input = std::make_shared<VUEventProperties>();
        c.fill(*input);
        const auto valid = VUAnalytics::validateVovUdezirEventProperties(input);
        QStringList keys;
        for (const auto &[key, property] : valid->properties()) {
            keys.append(key);
            EXPECT_EQ(property->name(), key);
        }
        EXPECT_EQ(keys, c.keys);
        if (!c.warning.isEmpty()) {
            EXPECT_TRUE(log.contains(c.warning));
        }
    }

    // The later of two collapsing keys wins.
    auto input = std::make_shared<VUEventProperties>();
    input->setString("first", repeated("k", 130)).setString("second", repeated("k", 126));
    const auto valid = VUAnalytics::validateVovUdezirEventProperties(input);
    ASSERT_EQ(valid->count(), 1);
    EXPECT_EQ(std::dynamic_pointer_cast<VUStringTypedProperty>(valid->properties().first().second)->value(), "second");
}

TEST(AnalyticsValidation, StringValuesAreCutTo125Characters)
{
    struct Case
    {
        const char *name;
        QString value;
        QString expected;
    };
    const Case cases[] = {
        {"125 pass", repeated("v", 125), repeated("v", 125)},
        {"126 are cut", repeated("v", 126), repeated("v", 125)},
        {"an emoji at the cut goes whole", repeated("v", 124) + kEmoji + "v", repeated("v", 124) + kEmoji},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VUAnalytics::validateVovUdezirStringTypedPropertyValue(c.value), c.expected);
    }
}

TEST(AnalyticsValidation, TheChannelFilterDropsNamelessEventsAndRepairsPages)
{
    RecordingLogHandler log(VULogLevelVerbose);
    const auto analytics = std::make_shared<VUAnalytics>();
    auto event = std::make_shared<VUEventLog>();
    event->name = "";
    EXPECT_TRUE(analytics->channelUnitShouldFilterLog(nullptr, event));
    EXPECT_TRUE(log.contains("event name cannot be null or empty"));

    auto page = std::make_shared<VUPageLog>();
    page->name = repeated("p", 300);
    QMap<QString, QString> properties;
    for (int i = 0; i < 22; ++i)
        properties.insert(QStringLiteral("key%1").arg(i, 2, 10, QLatin1Char('0')), repeated("v", 130));
    page->properties = properties;
    EXPECT_FALSE(analytics->channelUnitShouldFilterLog(nullptr, page));
    EXPECT_EQ(page->name, repeated("p", 256));
    ASSERT_TRUE(page->properties);
    EXPECT_EQ(page->properties->size(), 20);
    EXPECT_EQ(page->properties->value("key00"), repeated("v", 125));

    // Other logs pass whatever they hold.
    EXPECT_FALSE(analytics->channelUnitShouldFilterLog(nullptr, makeStartServiceLog()));
    EXPECT_FALSE(analytics->channelUnitShouldFilterLog(nullptr, makeCommonSchemaLog("t-1")));
}
