// Transmission targets: their tree of enabled flags, inherited overrides and default
// properties, and what their events look like at the common-schema endpoint.
#include "AnalyticsTestSupport.h"
#include "TestWait.h"

#include "telemetry/analytics/VUAnalyticsAuthenticationProvider.h"
#include "telemetry/analytics/VUAnalyticsTransmissionTarget.h"
#include "telemetry/analytics/VUEventLog.h"
#include "telemetry/analytics/VUPropertyConfigurator.h"
#include "telemetry/core/VUUserDefaults.h"
#include "telemetry/core/VUUserIdContext.h"
#include "telemetry/core/VUVovUdezir.h"

#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

class FixedTicketProvider : public VUAnalyticsAuthenticationProvider
{
public:
    void acquireTokenAsync() override { acquired++; }
    QString ticketKeyHash() override { return QStringLiteral("ticket-1"); }
    void checkTokenExpiry() override { checked++; }
    std::atomic<int> acquired{0}, checked{0};
};

const QString kParentToken = QStringLiteral("parentkey-0a1b2c3d-secret");
const QString kChildToken = QStringLiteral("childkey-4e5f6a7b-secret");

std::shared_ptr<VUEventLog> lastEvent(const RecordingGroupDelegate &recorder, const QString &name)
{
    std::shared_ptr<VUEventLog> found;
    for (const auto &event : recorder.logsOf<VUEventLog>())
        if (event->name == name)
            found = event;
    return found;
}

qint64 longProperty(const VUEventLog &event, const QString &key)
{
    if (!event.typedProperties)
        return -1;
    const auto property = std::dynamic_pointer_cast<VULongTypedProperty>(event.typedProperties->propertyForKey(key));
    return property ? property->value() : -1;
}

} // namespace

TEST_F(AnalyticsTest, AChildTargetsEventLeavesAsACommonSchemaLogWithItsOverrides)
{
    startAnalytics();
    const auto provider = std::make_shared<FixedTicketProvider>();
    VUAnalyticsTransmissionTarget::addAuthenticationProvider(provider);
    EXPECT_EQ(provider->acquired, 1);

    const auto parent = VUAnalytics::transmissionTargetForToken(kParentToken);
    parent->propertyConfigurator()->setAppVersion("9.9.1");
    parent->propertyConfigurator()->setUserId("alice");
    parent->propertyConfigurator()->setEventPropertyString("parent", "origin");
    const auto child = parent->transmissionTargetForToken(kChildToken);
    child->propertyConfigurator()->collectDeviceId();
    child->trackEvent("ChildEvent", VUPropertyList{{"colour", QString("red")}}, 0x102);
    parent->trackEvent("ParentEvent");

    ASSERT_TRUE(waitUntil([&] { return postedCommonSchemaLogs().size() == 2; }));
    QJsonObject childLog, parentLog;
    for (const auto &log : postedCommonSchemaLogs())
        (log.value("name") == "ChildEvent" ? childLog : parentLog) = log;
    ASSERT_EQ(childLog.value("name"), "ChildEvent");
    EXPECT_EQ(childLog.value("iKey"), "o:childkey");
    EXPECT_EQ(childLog.value("flags").toInt(), 2);
    const QJsonObject ext = childLog.value("ext").toObject();
    EXPECT_EQ(ext.value("app").toObject().value("ver"), "9.9.1");
    EXPECT_EQ(ext.value("user").toObject().value("localId"), "c:alice");
    const QString deviceId = ext.value("device").toObject().value("localId").toString();
    EXPECT_TRUE(deviceId.startsWith("u:"));
    EXPECT_EQ(deviceId, VUPropertyConfigurator::getDeviceIdentifier());
    EXPECT_EQ(ext.value("protocol").toObject().value("ticketKeys").toArray(), QJsonArray{"ticket-1"});
    const QJsonObject data = childLog.value("data").toObject();
    EXPECT_EQ(data.value("colour"), "red");
    EXPECT_EQ(data.value("origin"), "parent");

    // The parent's own events carry its overrides but not the child's device id.
    ASSERT_EQ(parentLog.value("name"), "ParentEvent");
    const QJsonObject parentExt = parentLog.value("ext").toObject();
    EXPECT_EQ(parentExt.value("app").toObject().value("ver"), "9.9.1");
    EXPECT_FALSE(parentExt.value("device").toObject().contains("localId"));
    EXPECT_GE(provider->checked, 2);

    // Neither went to the log endpoint.
    EXPECT_TRUE(postedLogs("event").isEmpty());
}

TEST_F(AnalyticsTest, TargetsFormATreeOfEnabledFlags)
{
    startAnalytics();
    auto &log = logLines();
    const auto root = VUAnalytics::transmissionTargetForToken("root-1");
    EXPECT_EQ(root->isEnabledKey(), "kVUAnalyticsIsEnabledKey/root");
    const auto child = root->transmissionTargetForToken("child-1");
    const auto grandchild = child->transmissionTargetForToken("grand-1");
    // One child per token.
    EXPECT_EQ(root->transmissionTargetForToken("child-1"), child);
    // A root target from the service's table is the same object each time, too.
    EXPECT_EQ(VUAnalytics::transmissionTargetForToken("root-1"), root);

    root->setEnabled(false);
    EXPECT_FALSE(child->isEnabled());
    EXPECT_FALSE(grandchild->isEnabled());
    grandchild->setEnabled(true);
    EXPECT_FALSE(grandchild->isEnabled());
    EXPECT_TRUE(log.contains("Can't enable; parent transmission target and/or Analytics service is disabled."));

    // A child made under a disabled parent starts disabled, whatever an earlier run stored.
    VUUserDefaults::shared()->setObject(true, "kVUAnalyticsIsEnabledKey/late");
    EXPECT_FALSE(root->transmissionTargetForToken("late-1")->isEnabled());

    // Disabled targets send nothing.
    child->trackEvent("Refused");
    EXPECT_TRUE(log.contains("This transmission target is disabled."));
    EXPECT_FALSE(lastEvent(*recorder, "Refused"));

    root->setEnabled(true);
    EXPECT_TRUE(child->isEnabled());
    EXPECT_TRUE(grandchild->isEnabled());

    // Switching the service reaches the targets it handed out.
    VUAnalytics::sharedInstance()->setServiceEnabled(false);
    EXPECT_FALSE(grandchild->isEnabled());
    VUAnalytics::sharedInstance()->setServiceEnabled(true);
    EXPECT_TRUE(grandchild->isEnabled());

    // Tokens without a target key do not share one flag.
    const auto first = VUAnalytics::transmissionTargetForToken("-first");
    const auto second = VUAnalytics::transmissionTargetForToken("-second");
    EXPECT_NE(first->isEnabledKey(), second->isEnabledKey());
    first->setEnabled(false);
    EXPECT_TRUE(second->isEnabled());
}

TEST_F(AnalyticsTest, TheNearestDefaultPropertyWinsAndTheEventsOwnWinsOverAll)
{
    startAnalytics();
    const auto parent = VUAnalytics::transmissionTargetForToken("parent-1");
    const auto child = parent->transmissionTargetForToken("child-1");
    parent->propertyConfigurator()->setEventPropertyInt64(1, "p");
    parent->propertyConfigurator()->setEventPropertyInt64(10, "q");
    child->propertyConfigurator()->setEventPropertyInt64(2, "p");

    child->trackEvent("Defaults");
    auto properties = std::make_shared<VUEventProperties>();
    properties->setInt64(3, "p");
    child->trackEvent("Own", properties);
    parent->propertyConfigurator()->removeEventPropertyForKey("q");
    child->trackEvent("Removed");

    const auto defaults = lastEvent(*recorder, "Defaults");
    ASSERT_TRUE(defaults);
    EXPECT_EQ(longProperty(*defaults, "p"), 2);
    EXPECT_EQ(longProperty(*defaults, "q"), 10);
    ASSERT_TRUE(lastEvent(*recorder, "Own"));
    EXPECT_EQ(longProperty(*lastEvent(*recorder, "Own"), "p"), 3);
    ASSERT_TRUE(lastEvent(*recorder, "Removed"));
    EXPECT_EQ(longProperty(*lastEvent(*recorder, "Removed"), "q"), -1);
    EXPECT_EQ(defaults->transmissionTargetTokens(), QSet<QString>{"child-1"});
}

TEST_F(AnalyticsTest, UserIdsOfTargetsNeedTheCommonSchemaPrefix)
{
    startAnalytics();
    const auto target = VUAnalytics::transmissionTargetForToken("user-1");
    const auto configurator = target->propertyConfigurator();
    struct Case
    {
        std::optional<QString> given;
        std::optional<QString> kept;
    };
    const Case cases[] = {{QString("x"), QString("c:x")}, {QString("d:y"), QString("c:x")}, {QString("c:z"), QString("c:z")},
                          {QString(""), QString("c:z")}, {QString("c:"), QString("c:z")}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.given.value_or("(none)").toStdString());
        configurator->setUserId(c.given);
        EXPECT_EQ(configurator->userId(), c.kept);
    }
}

TEST_F(AnalyticsTest, TheDefaultTargetCarriesTheUserIdAndItsPropertiesAreNotCut)
{
    startAnalytics(QStringLiteral("appsecret=%1;target=default-5").arg(kSecret));
    VUVovUdezir::setUserId("bob");
    auto properties = std::make_shared<VUEventProperties>();
    properties->setString(QString(130, QLatin1Char('v')), "long");
    VUAnalytics::trackEvent("ByDefault", properties);
    const auto event = lastEvent(*recorder, "ByDefault");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->userId, "bob");
    EXPECT_EQ(event->transmissionTargetTokens(), QSet<QString>{"default-5"});
    const auto value = std::dynamic_pointer_cast<VUStringTypedProperty>(event->typedProperties->propertyForKey("long"));
    ASSERT_TRUE(value);
    EXPECT_EQ(value->value()->size(), 130);
    // A second target for the same token is another object.
    EXPECT_NE(VUAnalytics::transmissionTargetForToken("default-5"), VUAnalytics::sharedInstance()->defaultTransmissionTarget());
}

TEST(DeviceIdentifier, AKeyedHashOfTheMachineIdNeverTheIdItself)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("machine-id");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("0123456789abcdef0123456789abcdef\n");
    file.close();
    const QString id = VUPropertyConfigurator::deviceIdentifierFromMachineIdFile(path);
    EXPECT_TRUE(QRegularExpression("^u:[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$").match(id).hasMatch()) << id.toStdString();
    EXPECT_FALSE(id.contains("01234567", Qt::CaseInsensitive));
    EXPECT_EQ(VUPropertyConfigurator::deviceIdentifierFromMachineIdFile(path), id);
    EXPECT_EQ(VUPropertyConfigurator::deviceIdentifierFromMachineIdFile(dir.filePath("missing")), "u:(null)");
    // A special file in its place reads as no id, without blocking.
    EXPECT_EQ(VUPropertyConfigurator::deviceIdentifierFromMachineIdFile("/dev/null"), "u:(null)");
}
