#include "KeyedArchiveDifferential.h"
#include "TelemetryTestSupport.h"

#include "telemetry/core/VUHistoryInfo.h"
#include "telemetry/core/VULogContainer.h"
#include "telemetry/core/VUWrapperSdk.h"

#include <gtest/gtest.h>

namespace {

nlohmann::ordered_json parsed(const std::optional<QString> &text)
{
    return nlohmann::ordered_json::parse(text.value_or(QString()).toStdString());
}

std::vector<std::string> keysOf(const nlohmann::ordered_json &json)
{
    std::vector<std::string> keys;
    for (const auto &item : json.items())
        keys.push_back(item.key());
    return keys;
}

} // namespace

TEST(VUAbstractLog, JsonOfEveryLogClass)
{
    const auto device = makeDevice();
    EXPECT_EQ(keysOf(device->serializeToDictionary()),
              (std::vector<std::string>{"sdkName", "sdkVersion", "model", "oemName", "osName", "osVersion", "osBuild",
                                        "locale", "timeZoneOffset", "screenSize", "appVersion", "appBuild",
                                        "appNamespace"}));
    EXPECT_EQ(device->serializeToDictionary()["timeZoneOffset"], 60);

    auto start = makeStartServiceLog();
    auto json = start->serializeToDictionary();
    EXPECT_EQ(keysOf(json), (std::vector<std::string>{"type", "timestamp", "sid", "device", "services"}));
    EXPECT_EQ(json["type"], "startService");
    EXPECT_EQ(json["timestamp"], "2019-03-05T14:07:09.500Z");
    EXPECT_EQ(json["services"], nlohmann::ordered_json::parse(R"(["Crashes","Analytics"])"));
    start->services = QStringList();
    EXPECT_EQ(start->serializeToDictionary()["services"], nlohmann::ordered_json::array());

    auto custom = makeCustomPropertiesLog();
    json = custom->serializeToDictionary();
    EXPECT_EQ(json["type"], "customProperties");
    EXPECT_EQ(json["properties"], nlohmann::ordered_json::parse(R"([
        {"type":"string","value":"blue","name":"color"},
        {"type":"number","value":3,"name":"count"},
        {"type":"clear","name":"gone"},
        {"type":"boolean","value":true,"name":"on"},
        {"type":"dateTime","value":"2019-03-05T14:08:09.500Z","name":"since"}])"));

    auto withProperties = makeLogWithProperties();
    json = withProperties->serializeToDictionary();
    EXPECT_EQ(keysOf(json), (std::vector<std::string>{"type", "timestamp", "userId", "device", "properties"}));
    EXPECT_EQ(json["properties"]["name"], "Zoë");
    withProperties->properties = QMap<QString, QString>();
    EXPECT_FALSE(withProperties->serializeToDictionary().contains("properties"));

    // Slashes travel plain in the text of one log.
    const auto text = makeLogWithProperties()->serializeLogWithPrettyPrinting(false);
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->contains("\"a/b\""));
    EXPECT_FALSE(text->contains("\\/"));

    // A minimal log writes exactly its three keys.
    VUStartServiceLog minimal;
    minimal.timestamp = sampleDate();
    minimal.device = device;
    EXPECT_EQ(keysOf(minimal.serializeToDictionary()), (std::vector<std::string>{"type", "timestamp", "device"}));
}

TEST(VUAbstractLog, ValidityRules)
{
    struct Case { const char *name; std::function<void(VUCustomPropertiesLog &)> change; bool valid; };
    const Case cases[] = {
        {"complete", [](VUCustomPropertiesLog &) {}, true},
        {"no timestamp", [](VUCustomPropertiesLog &log) { log.timestamp.reset(); }, false},
        {"no device", [](VUCustomPropertiesLog &log) { log.device.reset(); }, false},
        {"no type", [](VUCustomPropertiesLog &log) { log.setType(std::nullopt); }, false},
        {"device without build", [](VUCustomPropertiesLog &log) { log.device->appBuild.reset(); }, false},
        {"device without locale", [](VUCustomPropertiesLog &log) { log.device->locale.reset(); }, false},
        {"device without model", [](VUCustomPropertiesLog &log) { log.device->model.reset(); }, true},
        {"no properties", [](VUCustomPropertiesLog &log) { log.properties.reset(); }, false},
        {"empty properties", [](VUCustomPropertiesLog &log) { log.properties = QVariantMap(); }, false},
        // Dates that have no four-digit ISO 8601 form.
        {"invalid timestamp", [](VUCustomPropertiesLog &log) { log.timestamp = QDateTime(); }, false},
        {"timestamp after 9999",
         [](VUCustomPropertiesLog &log) { log.timestamp = QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC); }, false},
        {"timestamp before year 1",
         [](VUCustomPropertiesLog &log) { log.timestamp = QDateTime(QDate(-1, 12, 31), QTime(0, 0), Qt::UTC); }, false},
        {"invalid date property", [](VUCustomPropertiesLog &log) { log.properties->insert("when", QDateTime()); }, false},
        {"property of no property class",
         [](VUCustomPropertiesLog &log) { log.properties->insert("blob", QByteArray("x")); }, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto log = makeCustomPropertiesLog();
        c.change(*log);
        EXPECT_EQ(log->isValid(), c.valid);
    }
    VUCustomPropertiesLog empty;
    empty.timestamp = sampleDate();
    empty.device = makeDevice();
    empty.properties = QVariantMap();
    EXPECT_EQ(empty.serializeToDictionary()["properties"], nlohmann::ordered_json::array());
}

TEST(VUAbstractLog, EqualityIgnoresTokensButNotAbsentAgainstEmpty)
{
    auto a = makeLogWithProperties();
    auto b = makeLogWithProperties();
    b->addTransmissionTargetToken("token-1");
    EXPECT_TRUE(a->isEqual(b.get()));
    b->sid = QString(QLatin1String(""));
    EXPECT_FALSE(a->isEqual(b.get()));
    auto c = makeLogWithProperties();
    c->device->osBuild = "other";
    EXPECT_FALSE(a->isEqual(c.get()));
    EXPECT_FALSE(makeStartServiceLog({"A", "B"})->isEqual(makeStartServiceLog({"B", "A"}).get()));
    EXPECT_FALSE(a->isEqual(makeStartServiceLog().get()));
}

namespace {

// A model of every archived class, filled as far as each goes.
QList<std::shared_ptr<VUModel>> everyModel()
{
    auto wrapper = std::make_shared<VUWrapperSdk>(QStringLiteral("1.0"), QStringLiteral("wrap"), std::nullopt,
                                                  QStringLiteral("label"), std::nullopt, QStringLiteral("hash"));
    auto device = makeDevice();
    device->wrapperSdkName = "wrap";
    device->osApiLevel = 33;
    // A common-schema log with every extension filled.
    auto full = makeCommonSchemaLog("key1-secret");
    full->popSample = 50.5;
    full->cV = "cv-1";
    full->ext->metadataExt = std::make_shared<VUMetadataExtension>();
    full->ext->metadataExt->metadata = QVariantMap{{"f", QVariantMap{{"screen", 1}}}};
    full->ext->netExt->provider = "carrier";
    full->ext->deviceExt->localId = "u:1";
    full->ext->sdkExt->epoch = "E1";
    full->ext->sdkExt->seq = 12;
    full->ext->sdkExt->installId = QUuid::createUuid();
    full->ext->protocolExt->ticketKeys = QStringList{"t1", "t2"};
    full->ext->appExt->name = "Quillon";
    full->ext->appExt->userId = "app-user";
    return {
        full,
        wrapper,
        device,
        makeStartServiceLog(),
        makeCustomPropertiesLog(),
        makeLogWithProperties(),
        makeCommonSchemaLog("key1-secret"),
    };
}

QByteArray historyArchive(const std::shared_ptr<VUDevice> &device)
{
    return VUKeyedCoding::archiveList({std::make_shared<VUDeviceHistoryInfo>(sampleDate(), device),
                                       std::make_shared<VUUserIdHistoryInfo>(sampleDate(1), QStringLiteral("alice")),
                                       std::make_shared<VUUserIdHistoryInfo>(sampleDate(2), std::nullopt),
                                       std::make_shared<VUSessionHistoryInfo>(sampleDate(3), QStringLiteral("s-1"))});
}

} // namespace

TEST(VUKeyedCoding, EveryClassRoundTripsThroughAnArchive)
{
    for (const auto &model : everyModel()) {
        SCOPED_TRACE(model->className().toStdString());
        QString error;
        const QByteArray archive = VUKeyedCoding::archive(*model);
        auto decoded = VUKeyedCoding::unarchive(archive, &error);
        ASSERT_TRUE(decoded) << error.toStdString();
        EXPECT_EQ(decoded->className(), model->className());
        EXPECT_TRUE(decoded->isEqual(model.get()));
        EXPECT_EQ(decoded->serializeToDictionary(), model->serializeToDictionary());

        // A cut archive is refused whole.
        EXPECT_FALSE(VUKeyedCoding::unarchive(archive.left(archive.size() / 2)));
    }
    auto custom = VUKeyedCoding::unarchiveAs<VUCustomPropertiesLog>(VUKeyedCoding::archive(*makeCustomPropertiesLog()));
    ASSERT_TRUE(custom);
    EXPECT_EQ(custom->type(), "customProperties");

    // History records keep their payloads.
    auto device = makeDevice();
    auto history = VUKeyedCoding::unarchiveList(historyArchive(device));
    ASSERT_TRUE(history);
    ASSERT_EQ(history->size(), 4);
    auto deviceEntry = std::dynamic_pointer_cast<VUDeviceHistoryInfo>(history->at(0));
    ASSERT_TRUE(deviceEntry);
    EXPECT_EQ(deviceEntry->timestamp, sampleDate());
    EXPECT_TRUE(deviceEntry->device->isEqual(device.get()));
    EXPECT_EQ(std::dynamic_pointer_cast<VUUserIdHistoryInfo>(history->at(1))->userId, "alice");
    EXPECT_FALSE(std::dynamic_pointer_cast<VUUserIdHistoryInfo>(history->at(2))->userId);
    EXPECT_EQ(std::dynamic_pointer_cast<VUSessionHistoryInfo>(history->at(3))->sessionId, "s-1");

    EXPECT_FALSE(VUKeyedCoding::unarchive(QByteArray("bplist00 garbage")));
    EXPECT_FALSE(VUKeyedCoding::unarchive(QByteArray()));
}

TEST(VUKeyedCoding, ArchivesDecodeFromTheirBytesAsThroughTheTree)
{
    // The archive of every class, and copies of it damaged byte by byte and cut short, decode
    // to the same values (or are refused alike) by the direct reader and through the tree.
    QList<QByteArray> archives{historyArchive(makeDevice())};
    for (const auto &model : everyModel())
        archives.append(VUKeyedCoding::archive(*model));
    for (const QByteArray &archive : archives) {
        EXPECT_EQ(keyedDecodeDifference(archive).toStdString(), "");
        EXPECT_EQ(keyedDecodeDamageDifference(archive).toStdString(), "");
    }
}

TEST(VUKeyedCoding, APropertyValueOfAnUnknownClassMakesTheLogDamaged)
{
    // Such a log cannot be sent as it was made: it is refused whole, with a line saying why,
    // rather than sent without the value.
    const struct {
        const char *name;
        QVariant value;
    } cases[] = {
        {"data", QByteArray("bytes")},
        {"list", QVariantList{1, 2}},
        {"dictionary", QVariantMap{{"a", 1}}},
        {"object of another class", QVariant::fromValue(KeyedArchive::makeObject("NSURL", {{"NS.relative", "x"}}))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RecordingLogHandler log(VULogLevelError);
        auto custom = makeCustomPropertiesLog();
        custom->properties->insert("odd", c.value);
        const QByteArray archive = VUKeyedCoding::archive(*custom);
        ASSERT_FALSE(archive.isEmpty());
        EXPECT_FALSE(VUKeyedCoding::unarchive(archive));
        EXPECT_TRUE(log.contains("Custom property 'odd' holds a value of unknown class")) << qPrintable(log.lines().join("\n"));
    }
    // The classes a property may have still decode.
    EXPECT_TRUE(VUKeyedCoding::unarchiveAs<VUCustomPropertiesLog>(VUKeyedCoding::archive(*makeCustomPropertiesLog())));
}

TEST(VULogContainer, BodyValidityAndAllOrNothing)
{
    VULogContainer empty(QStringLiteral("b0"), {});
    EXPECT_FALSE(empty.isValid());

    auto invalid = makeStartServiceLog();
    invalid->device.reset();
    VULogContainer mixed(QStringLiteral("b1"), {makeStartServiceLog(), invalid});
    EXPECT_FALSE(mixed.isValid());

    VULogContainer batch(QStringLiteral("b2"), {makeStartServiceLog(), makeLogWithProperties()});
    EXPECT_TRUE(batch.isValid());
    const auto body = batch.serializeLog();
    ASSERT_TRUE(body);
    EXPECT_FALSE(body->contains("\\/"));
    const auto json = parsed(body);
    EXPECT_EQ(keysOf(json), std::vector<std::string>{"logs"});
    ASSERT_EQ(json["logs"].size(), 2u);
    EXPECT_EQ(json["logs"][1]["properties"]["path"], "a/b");
    EXPECT_TRUE(batch.serializeLogWithPrettyPrinting(true)->contains("\n"));

    // A batch large enough to be written on several threads reads as one body written at once.
    QList<std::shared_ptr<VUAbstractLog>> many;
    VUJsonObject whole = VUJsonObject::object();
    whole["logs"] = VUJsonObject::array();
    for (int i = 0; i < 40; ++i) {
        many.append(i % 2 ? std::shared_ptr<VUAbstractLog>(makeLogWithProperties()) : makeStartServiceLog());
        many.last()->sid = QStringLiteral("s\u00e9ance %1").arg(i);
        whole["logs"].push_back(many.last()->serializeToDictionary());
    }
    EXPECT_EQ(VULogContainer(QStringLiteral("b4"), many).serializedBody(), QByteArray::fromStdString(whole.dump()));

    // A log that cannot be written spoils the whole body rather than silently leaving it out.
    class Unwritable : public VUStartServiceLog
    {
    public:
        VUJsonObject serializeToDictionary() const override { return nullptr; }
    };
    auto unwritable = std::make_shared<Unwritable>();
    VULogContainer spoiled(QStringLiteral("b3"), {makeStartServiceLog(), unwritable});
    RecordingLogHandler log(VULogLevelError);
    EXPECT_FALSE(spoiled.serializeLog());
    EXPECT_TRUE(log.contains("Couldn't serialize log container to json"));
}
