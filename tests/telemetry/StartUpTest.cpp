#include "TelemetryNetworkSupport.h"
#include "TelemetryTestSupport.h"
#include "TestHome.h"
#include "TestWait.h"

#include "platform/UserDefaults.h"
#include "telemetry/core/VUDelegateForwarder.h"
#include "telemetry/core/VUEncrypter.h"
#include "telemetry/core/VUKeychainUtil.h"
#include "telemetry/core/VUDeviceTracker.h"
#include "telemetry/core/VUSessionContext.h"
#include "telemetry/core/VUUserDefaults.h"
#include "telemetry/core/VUUserIdContext.h"
#include "telemetry/core/VUVovUdezir.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <atomic>

namespace {

const QString kSecret = QStringLiteral("3c9d0b27-6e41-4f8a-b5d2-71e8a0c4f953");

class TestService : public VUServiceAbstract
{
public:
    TestService(QString name, qint64 priority, bool needsSecret = true)
        : mName(std::move(name)), mPriority(priority), mNeedsSecret(needsSecret) {}
    QString serviceName() const override { return mName; }
    QString logTag() const override { return "VovUdezir" + mName; }
    QString groupId() const override { return mName; }
    std::optional<VUChannelUnitConfiguration> channelUnitConfiguration() const override
    {
        return VUChannelUnitConfiguration::defaultConfigurationWithGroupId(mName);
    }
    qint64 initializationPriority() const override { return mPriority; }
    bool isAppSecretRequired() const override { return mNeedsSecret; }

private:
    QString mName;
    qint64 mPriority;
    bool mNeedsSecret;
};

std::shared_ptr<TestService> service(const QString &name, qint64 priority = 500)
{
    return std::make_shared<TestService>(name, priority);
}

// Each test gets a home of its own (defaults, log store) and a fresh component.
class StartUpTest : public ShortTimingsTest
{
protected:
    void SetUp() override
    {
        ShortTimingsTest::SetUp();
        home = std::make_unique<TestHome>();
        qunsetenv("VOV_UDEZIR_DISABLE");
        startServer();
        freshComponent();
    }
    void TearDown() override
    {
        resetSingletons();
        qunsetenv("VOV_UDEZIR_DISABLE");
        home.reset();
        ShortTimingsTest::TearDown();
    }
    // A new component that sends to the loopback server.
    void freshComponent()
    {
        resetSingletons();
        VUVovUdezir::setLogUrl(server.baseUrl());
    }
    static void resetSingletons()
    {
        VUVovUdezir::resetSharedInstance();
        VUSessionContext::resetSharedInstance();
        VUUserIdContext::resetSharedInstance();
        VUDeviceTracker::resetSharedInstance();
    }
    // The service lists of every start-service log the server received.
    QList<QStringList> startServiceLogs()
    {
        QList<QStringList> found;
        for (const auto &request : server.requests())
            for (const auto &log : logsOfRequest(request))
                if (log.toObject().value("type") == "startService")
                    found.append(log.toObject().value("services").toVariant().toStringList());
        return found;
    }

    std::unique_ptr<TestHome> home;
};

TEST_F(StartUpTest, StartsServicesByPriorityAndNamesThemInOneLog)
{
    const auto low = service("Low", 10);
    const auto first = service("First", 999);
    const auto second = service("Second", 500);
    const auto third = service("Third", 500);
    VUVovUdezir::start(kSecret, {low, second, first, third});
    ASSERT_TRUE(waitUntil([&] { return startServiceLogs().size() == 1; }));
    // Equal priorities keep the order they were given in.
    EXPECT_EQ(startServiceLogs().first(), (QStringList{"First", "Second", "Third", "Low"}));
    EXPECT_TRUE(first->started());
    EXPECT_TRUE(first->channelUnit());
    EXPECT_EQ(first->isEnabledKey(), "kVUFirstIsEnabledKey");

    const auto request = server.requests().first();
    EXPECT_EQ(request.header("App-Secret"), kSecret.toUtf8());
    EXPECT_EQ(request.header("Install-ID"), VUVovUdezir::installId().toString(QUuid::WithoutBraces).toUpper().toUtf8());

    // A second start from the application is refused and sends nothing more.
    RecordingLogHandler log(VULogLevelVerbose);
    VUVovUdezir::start(kSecret, {first, second});
    EXPECT_TRUE(log.contains("Vov Udezir SDK has already been configured."));
    EXPECT_FALSE(waitUntil([&] { return startServiceLogs().size() > 1; }, 300));
}

TEST_F(StartUpTest, StartStringsGiveSecretAndToken)
{
    struct Case
    {
        const char *name;
        QString startString;
        std::optional<QString> secret;
        std::optional<QString> token;
    };
    const Case cases[] = {
        {"both", "appsecret=" + kSecret + ";target=tok-1", kSecret, QString("tok-1")},
        {"a secret alone", kSecret, kSecret, std::nullopt},
        {"a token alone", "target=tok-1", std::nullopt, QString("tok-1")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        freshComponent();
        VUVovUdezir::start(c.startString, {});
        const auto core = VUVovUdezir::sharedInstance();
        EXPECT_EQ(core->appSecret(), c.secret);
        EXPECT_EQ(core->defaultTransmissionTargetToken(), c.token);
        EXPECT_TRUE(VUVovUdezir::isConfigured());
    }
}

TEST_F(StartUpTest, TheEnvironmentSwitchesServicesOff)
{
    struct Case
    {
        const char *name;
        QByteArray value;
        QStringList started;
    };
    const Case cases[] = {
        {"one name among others", " Crashes , Other", {"Analytics"}},
        {"all", "All", {}},
        {"other letter case", "crashes", {"Crashes", "Analytics"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        freshComponent();
        qputenv("VOV_UDEZIR_DISABLE", c.value);
        const auto crashes = service("Crashes", 999);
        const auto analytics = service("Analytics", 500);
        VUVovUdezir::start(kSecret, {analytics, crashes});
        QStringList started;
        for (const auto &s : {crashes, analytics})
            if (s->started())
                started.append(s->serviceName());
        EXPECT_EQ(started, c.started);
    }
}

TEST_F(StartUpTest, ADisabledComponentSendsItsStartLogOnceEnabled)
{
    UserDefaults::standard().setObject(false, VUVovUdezir::kVUEnabledKey);
    const auto a = service("Alpha");
    VUVovUdezir::start(kSecret, {a});
    EXPECT_FALSE(VUVovUdezir::isEnabled());
    // Its own switch stays off while the component is off.
    EXPECT_FALSE(a->isServiceEnabled());
    a->setServiceEnabled(true);
    EXPECT_FALSE(a->isEnabled());
    EXPECT_FALSE(server.waitForRequestCount(1, 300));

    VUVovUdezir::setEnabled(true);
    EXPECT_TRUE(a->isServiceEnabled());
    ASSERT_TRUE(waitUntil([&] { return startServiceLogs().size() == 1; }));
    EXPECT_EQ(startServiceLogs().first(), QStringList{"Alpha"});
}

TEST_F(StartUpTest, ServicesRefuseUseBeforeTheyStart)
{
    const auto never = service("Never");
    EXPECT_FALSE(never->isServiceEnabled());
    never->setServiceEnabled(false);
    EXPECT_FALSE(UserDefaults::standard().contains("kVUNeverIsEnabledKey"));

    // A service that needs the secret does not start without one.
    VUVovUdezir::startWithServices({never});
    EXPECT_FALSE(never->started());
}

TEST_F(StartUpTest, StorageSizeIsAcceptedOnceBeforeConfiguration)
{
    std::optional<bool> tooSmall, second;
    // Answered later, on the store's queue.
    enum Answer { None, No, Yes };
    std::atomic<int> accepted{None};
    VUVovUdezir::setMaxStorageSize(24575, [&](bool ok) { tooSmall = ok; });
    EXPECT_EQ(tooSmall, false);
    VUVovUdezir::setMaxStorageSize(24576, [&](bool ok) { accepted = ok ? Yes : No; });
    VUVovUdezir::setMaxStorageSize(40000, [&](bool ok) { second = ok; });
    EXPECT_EQ(second, false);
    VUVovUdezir::start(kSecret, {});
    ASSERT_TRUE(waitUntil([&] { return accepted != None; }));
    EXPECT_EQ(accepted, Yes);
}

TEST_F(StartUpTest, AnInstallIdIsMadeOnceAndABadOneReplaced)
{
    UserDefaults::standard().setObject(QStringLiteral("not a uuid"), VUVovUdezir::kVUInstallIdKey);
    const QUuid made = VUVovUdezir::installId();
    EXPECT_FALSE(made.isNull());
    freshComponent();
    EXPECT_EQ(VUVovUdezir::installId(), made);
}

TEST(VUSessionContext, KeepsOneEntryPerRunAndLooksUpStrictlyEarlierOnes)
{
    TestHome home;
    VUSessionContext::resetSharedInstance();
    {
        auto context = std::make_shared<VUSessionContext>();
        EXPECT_EQ(context->sessionHistory().size(), 1);
        EXPECT_FALSE(VUUserDefaults::shared()->objectForKey("SessionIdHistory").isValid());
        context->setSessionId(QString("s1"));
        context->setSessionId(QString("s2"));
        EXPECT_EQ(context->sessionHistory().size(), 1);
        EXPECT_EQ(context->sessionId(), "s2");
        const QDateTime at = *context->sessionHistory().last()->timestamp;
        EXPECT_FALSE(context->sessionIdAt(at));
        EXPECT_EQ(context->sessionIdAt(at.addMSecs(1)), "s2");
        EXPECT_FALSE(context->sessionIdAt(at.addSecs(-10)));
    }
    // The next run finds the last one's entry.
    auto next = std::make_shared<VUSessionContext>();
    EXPECT_EQ(next->sessionHistory().size(), 2);
    EXPECT_EQ(next->sessionIdAt(QDateTime::currentDateTimeUtc().addSecs(1)), std::nullopt);
    next->clearSessionHistoryAndKeepCurrentSession(false);
    EXPECT_FALSE(next->sessionIdAt(QDateTime::currentDateTimeUtc().addSecs(1)));
}

TEST(VUUserDefaults, UpdatesWriteOnlyWhatChangedOrExpired)
{
    TestHome home;
    auto defaults = VUUserDefaults::shared();
    EXPECT_TRUE(defaults->updateObject(QString("a"), "Key"));
    EXPECT_FALSE(defaults->updateObject(QString("a"), "Key"));
    EXPECT_TRUE(defaults->updateObject(QString("b"), "Key"));
    // An expired record is written again even when unchanged.
    QVariantMap old = defaults->objectForKey("Key").toMap();
    old.insert("_ts", old.value("_ts").toDouble() - 120);
    defaults->setObject(old, "Key");
    EXPECT_TRUE(defaults->updateObject(QString("b"), "Key", 60));
    EXPECT_FALSE(defaults->updateObject(QString("b"), "Key", 60));
}

TEST(VUDelegateForwarder, TracesWaitForTheFirstLevelAndMayAddTraces)
{
    VUDelegateForwarder::resetTraceBuffer();
    RecordingLogHandler log(VULogLevelVerbose);
    QStringList ran;
    VUDelegateForwarder::addTraceBlock([&] {
        ran << "first";
        // A trace that adds a trace while the buffer is flushed must not deadlock.
        VUDelegateForwarder::addTraceBlock([&] { ran << "nested"; });
    });
    EXPECT_TRUE(ran.isEmpty());
    VUVovUdezir::setLogLevel(VULogLevelVerbose);
    EXPECT_EQ(ran, (QStringList{"first", "nested"}));
    VUDelegateForwarder::addTraceBlock([&] { ran << "later"; });
    EXPECT_EQ(ran.last(), "later");
    const QStringList lines = log.lines();
    const auto start = lines.indexOf(QRegularExpression(".*Start buffering traces\\..*"));
    const auto stop = lines.indexOf(QRegularExpression(".*Stop buffering traces, flushed\\..*"));
    EXPECT_GE(start, 0);
    EXPECT_GT(stop, start);
    EXPECT_FALSE(VUVovUdezir::isAppDelegateForwarderEnabled());
}

} // namespace

namespace {

TEST(VUKeychainUtil, ClearKeepsTheEncryptionKey)
{
    TestHome home;
    VUEncrypter encrypter;
    const auto sealed = encrypter.encryptString("token-1");
    ASSERT_TRUE(sealed);
    ASSERT_TRUE(VUKeychainUtil::storeString("first", "Other"));
    // Storing again replaces the value.
    ASSERT_TRUE(VUKeychainUtil::storeString("second", "Other"));
    EXPECT_EQ(VUKeychainUtil::stringForKey("Other"), "second");

    EXPECT_TRUE(VUKeychainUtil::clear());
    EXPECT_FALSE(VUKeychainUtil::stringForKey("Other"));
    EXPECT_TRUE(VUKeychainUtil::stringForKey(VUEncrypter::kVUEncryptionKeyTag));
    // Tokens stored before the clear can still be read.
    EXPECT_EQ(VUEncrypter().decryptString(*sealed), "token-1");
}

} // namespace
