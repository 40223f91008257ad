// Event and page logs: their JSON and archived forms, equality, typed properties, and the
// common-schema form an event takes for a transmission target.
#include "AnalyticsTestSupport.h"

#include "telemetry/analytics/VUEventLog.h"
#include "telemetry/analytics/VUPageLog.h"
#include "telemetry/analytics/VUStartSessionLog.h"
#include "telemetry/core/VUCommonSchemaLog.h"

#include <limits>

namespace {

std::shared_ptr<VUEventLog> makeEvent(const std::shared_ptr<VUEventProperties> &properties)
{
    auto log = std::make_shared<VUEventLog>();
    log->timestamp = sampleDate();
    log->device = makeDevice();
    log->sid = "session-1";
    log->name = "opened";
    log->eventId = "E1";
    log->typedProperties = properties;
    return log;
}

QVariantMap dataOf(const VUCommonSchemaLog &log)
{
    return log.data && log.data->properties ? *log.data->properties : QVariantMap();
}

QVariantMap metadataOf(const VUCommonSchemaLog &log)
{
    return log.ext && log.ext->metadataExt && log.ext->metadataExt->metadata ? *log.ext->metadataExt->metadata
                                                                            : QVariantMap();
}

QVariantMap fields(const QVariantMap &inner)
{
    return QVariantMap{{"f", inner}};
}

} // namespace

TEST(AnalyticsLogs, EventAndPageLogsWriteTheirKeysAndComeBackFromTheArchive)
{
    VUAnalytics::registerLogClasses();
    auto properties = std::make_shared<VUEventProperties>();
    properties->setString("blue", "colour").setInt64(3, "count").setBool(true, "new");
    const auto event = makeEvent(properties);
    const VUJsonObject json = event->serializeToDictionary();
    EXPECT_EQ(json["type"], "event");
    EXPECT_EQ(json["name"], "opened");
    EXPECT_EQ(json["id"], "E1");
    ASSERT_EQ(json["typedProperties"].size(), 3u);
    // Insertion order, not key order.
    EXPECT_EQ(json["typedProperties"][0]["name"], "colour");
    EXPECT_EQ(json["typedProperties"][1]["type"], "long");
    EXPECT_FALSE(json.contains("properties"));

    const auto back = VUKeyedCoding::unarchiveAs<VUEventLog>(VUKeyedCoding::archive(*event));
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isEqual(event.get()));
    ASSERT_TRUE(back->typedProperties);
    EXPECT_TRUE(back->typedProperties->isEqual(properties.get()));

    auto page = std::make_shared<VUPageLog>();
    page->timestamp = sampleDate();
    page->device = makeDevice();
    page->name = "Settings";
    page->properties = QMap<QString, QString>{{"from", "menu"}};
    EXPECT_EQ(page->serializeToDictionary()["type"], "page");
    EXPECT_EQ(page->serializeToDictionary()["properties"]["from"], "menu");
    const auto pageBack = VUKeyedCoding::unarchiveAs<VUPageLog>(VUKeyedCoding::archive(*page));
    ASSERT_TRUE(pageBack);
    EXPECT_TRUE(pageBack->isEqual(page.get()));

    auto session = std::make_shared<VUStartSessionLog>();
    session->timestamp = sampleDate();
    session->device = makeDevice();
    session->sid = "S";
    const auto sessionBack = VUKeyedCoding::unarchiveAs<VUStartSessionLog>(VUKeyedCoding::archive(*session));
    ASSERT_TRUE(sessionBack);
    EXPECT_EQ(sessionBack->sid, "S");
    EXPECT_EQ(sessionBack->type(), "startSession");
}

TEST(AnalyticsLogs, EqualityAndValidity)
{
    // Events are the same event by id, whatever their properties.
    auto a = makeEvent(std::make_shared<VUEventProperties>());
    auto b = makeEvent(nullptr);
    EXPECT_TRUE(a->isEqual(b.get()));
    b->eventId = "E2";
    EXPECT_FALSE(a->isEqual(b.get()));
    b->eventId.reset();
    EXPECT_FALSE(b->isValid());

    VUPageLog p1, p2;
    for (auto *page : {&p1, &p2}) {
        page->timestamp = sampleDate();
        page->device = makeDevice();
        page->name = "Home";
    }
    EXPECT_TRUE(p1.isEqual(&p2));
    EXPECT_FALSE(p1.isEqual(a.get()));
    p2.name.reset();
    EXPECT_FALSE(p2.isValid());
}

TEST(AnalyticsLogs, TypedPropertySettersRefuseWhatCannotBeSent)
{
    RecordingLogHandler log(VULogLevelVerbose);
    VUEventProperties properties;
    const double refused[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity()};
    for (double value : refused)
        properties.setDouble(value, "d");
    EXPECT_TRUE(properties.isEmpty());
    EXPECT_TRUE(log.contains("Double value for property 'd' must be finite (cannot be INFINITY or NAN)."));
    properties.setDouble(std::numeric_limits<double>::max(), "d");
    EXPECT_EQ(properties.count(), 1);

    properties.setBool(true, std::nullopt).setString(std::nullopt, "s").setDate(std::nullopt, "t");
    EXPECT_EQ(properties.count(), 1);
    EXPECT_TRUE(log.contains("Key cannot be null. Property will not be added."));
    EXPECT_TRUE(log.contains("Value cannot be null. Property will not be added."));

    // A key set again keeps its place.
    properties.setInt64(1, "a").setInt64(2, "d");
    const auto entries = properties.properties();
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries.at(0).first, "d");
    EXPECT_EQ(std::dynamic_pointer_cast<VULongTypedProperty>(entries.at(0).second)->value(), 2);
}

TEST(AnalyticsLogs, TypedPropertiesBecomeATreeWithTypedMetadata)
{
    struct Case
    {
        const char *name;
        std::function<void(VUEventProperties &)> fill;
        QVariantMap data;
        QVariantMap metadata;
        QStringList keptOnTheEvent;
    };
    const QDateTime when = QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC);
    const Case cases[] = {
        {"the worked example",
         [](VUEventProperties &p) { p.setInt64(1, "a.b").setString("x", "a.c"); },
         {{"a", QVariantMap{{"b", 1}, {"c", "x"}}}},
         fields({{"a", fields({{"b", 4}})}}),
         {"a.b", "a.c"}},
        {"every type",
         [&](VUEventProperties &p) { p.setDouble(1.5, "d").setBool(true, "b").setDate(when, "t").setString("s", "s"); },
         {{"d", 1.5}, {"b", true}, {"t", "2020-01-02T03:04:05.000Z"}, {"s", "s"}},
         fields({{"d", 6}, {"t", 9}}),
         {"d", "b", "t", "s"}},
        {"a plain value first wins over an object under the same key",
         [](VUEventProperties &p) { p.setString("y", "a").setInt64(1, "a.b"); },
         {{"a", "y"}},
         {},
         {"a", "a.b"}},
        // The metadata made on the way to a refused property goes again, at either level.
        {"a collision leaves no object in metadata that already had fields",
         [](VUEventProperties &p) { p.setInt64(7, "n").setString("y", "x").setInt64(1, "x.y"); },
         {{"n", 7}, {"x", "y"}},
         fields({{"n", 4}}),
         {"n", "x", "x.y"}},
        {"a collision one level down",
         [](VUEventProperties &p) { p.setInt64(1, "a.b").setString("v", "a.c").setInt64(2, "a.c.d"); },
         {{"a", QVariantMap{{"b", 1}, {"c", "v"}}}},
         fields({{"a", fields({{"b", 4}})}}),
         {"a.b", "a.c", "a.c.d"}},
        {"baseType with baseData: both stay",
         [](VUEventProperties &p) { p.setString("T", "baseType").setInt64(1, "baseData.x"); },
         {{"baseType", "T"}, {"baseData", QVariantMap{{"x", 1}}}},
         fields({{"baseData", fields({{"x", 4}})}}),
         {"baseType", "baseData.x"}},
        {"baseData without baseType goes, from the event too",
         [](VUEventProperties &p) { p.setInt64(1, "baseData.x").setString("k", "keep"); },
         {{"keep", "k"}},
         {},
         {"keep"}},
        {"baseType without baseData goes",
         [](VUEventProperties &p) { p.setString("T", "baseType").setString("k", "keep"); },
         {{"keep", "k"}},
         {},
         {"keep"}},
        {"a baseType that is not a string goes with its baseData",
         [](VUEventProperties &p) { p.setInt64(1, "baseType").setInt64(1, "baseData.x"); },
         {},
         {},
         {}},
        {"baseData as a value and baseType as an object are left out",
         [](VUEventProperties &p) { p.setString("T", "baseType").setInt64(1, "baseData.x").setInt64(1, "baseData").setString("x", "baseType.x"); },
         {{"baseType", "T"}, {"baseData", QVariantMap{{"x", 1}}}},
         fields({{"baseData", fields({{"x", 4}})}}),
         {"baseType", "baseData.x", "baseData", "baseType.x"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto properties = std::make_shared<VUEventProperties>();
        c.fill(*properties);
        const auto event = makeEvent(properties);
        event->tag = std::make_shared<int>(1);
        const auto cs = event->toCommonSchemaLogForTargetToken("key-token", 2);
        ASSERT_TRUE(cs);
        EXPECT_EQ(cs->name, "opened");
        EXPECT_EQ(cs->iKey, "o:key");
        EXPECT_EQ(cs->tag, event->tag);
        EXPECT_EQ(dataOf(*cs), c.data);
        EXPECT_EQ(metadataOf(*cs), c.metadata);
        QStringList kept;
        for (const auto &[key, property] : properties->properties())
            kept.append(key);
        EXPECT_EQ(kept, c.keptOnTheEvent);
    }
}
