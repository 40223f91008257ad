#include "TelemetryTestSupport.h"

#include "telemetry/core/VUOrderedDictionary.h"

#include <gtest/gtest.h>

#include <limits>

TEST(VUCommonSchema, LogWithTwoTokensConvertsToOneLogPerToken)
{
    auto source = makeLogWithProperties();
    EXPECT_TRUE(source->toCommonSchemaLogsWithFlags(1).isEmpty());
    source->addTransmissionTargetToken("alpha-111");
    source->addTransmissionTargetToken("beta-222");
    const auto logs = source->toCommonSchemaLogsWithFlags(2);
    ASSERT_EQ(logs.size(), 2);
    QStringList iKeys;
    for (const auto &log : logs) {
        const auto tokens = log->transmissionTargetTokens();
        ASSERT_TRUE(tokens);
        ASSERT_EQ(tokens->size(), 1);
        const QString token = *tokens->cbegin();
        EXPECT_EQ(log->iKey, "o:" + token.section('-', 0, 0));
        iKeys.append(*log->iKey);
        EXPECT_EQ(log->ver, "3.0");
        EXPECT_EQ(log->flags, 2);
        EXPECT_EQ(log->timestamp, source->timestamp);
        EXPECT_FALSE(log->name);
        EXPECT_FALSE(log->userId);
        EXPECT_FALSE(log->isValid()) << "a converted log has no name until its sender gives one";
    }
    iKeys.sort();
    EXPECT_EQ(iKeys, (QStringList{"o:alpha", "o:beta"}));

    const auto json = logs.first()->serializeToDictionary();
    std::vector<std::string> keys;
    for (const auto &item : json.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"ver", "time", "iKey", "flags", "ext"}));
    EXPECT_EQ(json["time"], "2019-03-05T14:07:09.500Z");
    EXPECT_EQ(json["ext"], nlohmann::ordered_json::parse(R"J({
        "protocol": {"devMake": "LENOVO", "devModel": "ThinkPad X1"},
        "user": {"localId": "c:alice", "locale": "en-US"},
        "os": {"ver": "Version 12.0.0 (Build 6.1.0-18-amd64)", "name": "Debian GNU/Linux"},
        "app": {"id": "I:org.quillon.Quillon", "ver": "0.1.0", "locale": "en"},
        "sdk": {"libVer": "vovudezir.macos-1.14.0"},
        "loc": {"tz": "+01:00"}})J"));
}

TEST(VUCommonSchema, LogFieldsValidityAndFlags)
{
    auto log = makeCommonSchemaLog("key1-abc");
    EXPECT_TRUE(log->isValid());
    auto json = log->serializeToDictionary();
    EXPECT_EQ(json["flags"], 1);
    EXPECT_EQ(json["name"], "viewed");
    EXPECT_EQ(json["data"], nlohmann::ordered_json::parse(R"({"screen":"Messages"})"));
    EXPECT_FALSE(json.contains("popSample"));
    log->flags = 0;
    log->popSample = 100;
    log->cV = "cv";
    json = log->serializeToDictionary();
    EXPECT_FALSE(json.contains("flags"));
    EXPECT_FALSE(json.contains("cV"));
    log->name.reset();
    EXPECT_FALSE(log->isValid());
}

TEST(VUCommonSchema, ExtensionsAndData)
{
    VUSDKExtension sdk;
    EXPECT_TRUE(sdk.serializeToDictionary().is_null());
    sdk.installId = QUuid("{2f0e4a7c-1d3b-4e5f-8a9b-0c1d2e3f4a5b}");
    EXPECT_EQ(sdk.serializeToDictionary().dump(), R"({"installId":"2F0E4A7C-1D3B-4E5F-8A9B-0C1D2E3F4A5B"})");
    sdk.seq = 7;
    EXPECT_EQ(sdk.serializeToDictionary()["seq"], 7);

    VUCSExtensions ext;
    ext.osExt = std::make_shared<VUOSExtension>();
    ext.appExt = std::make_shared<VUAppExtension>();
    ext.locExt = std::make_shared<VULocExtension>();
    ext.locExt->tz = "-05:00";
    EXPECT_EQ(ext.serializeToDictionary().dump(), R"({"loc":{"tz":"-05:00"}})");

    VUCSData data;
    EXPECT_TRUE(data.serializeToDictionary().is_null());
    data.properties = QVariantMap();
    EXPECT_EQ(data.serializeToDictionary().dump(), "{}");
    data.properties = QVariantMap{{"a", 1}, {"baseData", QVariantMap{{"x", true}}}, {"baseType", "X"}};
    EXPECT_EQ(data.serializeToDictionary().dump(), R"({"baseType":"X","baseData":{"x":true},"a":1})");

    VUMetadataExtension m1, m2;
    EXPECT_TRUE(m1.isEqual(&m2));
    m2.metadata = QVariantMap{{"f", 1}};
    EXPECT_FALSE(m1.isEqual(&m2));

    VUOrderedDictionary first, second;
    first.setObject(1, "b");
    first.setObject(2, "a");
    first.setObject(3, "b");
    EXPECT_EQ(first.keys(), (QStringList{"b", "a"}));
    EXPECT_EQ(first.objectForKey("b"), 3);
    second.setObject(2, "a");
    second.setObject(3, "b");
    EXPECT_FALSE(first.isEqualToDictionary(second));
    first.removeAllObjects();
    EXPECT_EQ(first.count(), 0);
}

TEST(VUCommonSchema, ConversionHelpers)
{
    struct Offset { qint64 minutes; const char *text; };
    for (const Offset &o : {Offset{120, "+02:00"}, Offset{-300, "-05:00"}, Offset{330, "+05:30"},
                            Offset{-570, "-09:30"}, Offset{0, "+00:00"}, Offset{-30, "-00:30"}, Offset{-1, "-00:01"},
                            Offset{-59, "-00:59"},
                            Offset{std::numeric_limits<qint64>::min(), "-153722867280912930:08"}})
        EXPECT_EQ(VUAbstractLog::convertTimeZoneOffsetToISO8601(o.minutes), o.text) << o.minutes;

    EXPECT_EQ(VUAbstractLog::combineOsVersion("10.15.7", "19H2"), "Version 10.15.7 (Build 19H2)");
    EXPECT_EQ(VUAbstractLog::combineOsVersion("10.15.7", std::nullopt), "Version 10.15.7");
    EXPECT_EQ(VUAbstractLog::combineOsVersion(QString(""), "19H2"), "Build 19H2");
    EXPECT_FALSE(VUAbstractLog::combineOsVersion(std::nullopt, QString("")));
    EXPECT_EQ(VUAbstractLog::combineSDKLibVer("n", "1"), "n-1");
    EXPECT_FALSE(VUAbstractLog::combineSDKLibVer("n", QString("")));
}
