// The analytics service started as Quillon starts it, against a loopback ingestion server.
#include "AnalyticsTestSupport.h"
#include "TestWait.h"

#include "telemetry/analytics/VUAnalyticsDelegate.h"
#include "telemetry/analytics/VUEventLog.h"
#include "telemetry/analytics/VUPageLog.h"
#include "telemetry/analytics/VUStartSessionLog.h"
#include "telemetry/core/VULogDBStorage.h"
#include "telemetry/core/VUSessionContext.h"
#include "telemetry/core/VUVovUdezir.h"

#include <QJsonArray>

#include <thread>

namespace {

class RecordingAnalyticsDelegate : public VUAnalyticsDelegate
{
public:
    void analyticsWillSendEventLog(VUAnalytics *, const std::shared_ptr<VUEventLog> &) override { willSendEvent++; }
    void analyticsDidSucceedSendingEventLog(VUAnalytics *, const std::shared_ptr<VUEventLog> &) override { sentEvent++; }
    void analyticsWillSendPageLog(VUAnalytics *, const std::shared_ptr<VUPageLog> &) override { willSendPage++; }
    void analyticsDidSucceedSendingPageLog(VUAnalytics *, const std::shared_ptr<VUPageLog> &) override { sentPage++; }
    std::atomic<int> willSendEvent{0}, sentEvent{0}, willSendPage{0}, sentPage{0};
};

std::shared_ptr<VUPageLog> namelessPage()
{
    auto page = std::make_shared<VUPageLog>();
    page->name = "";
    return page;
}

} // namespace

TEST_F(AnalyticsTest, LaunchPostsOneStartSessionWhoseIdLaterLogsCarry)
{
    startAnalytics();
    VUAnalytics::trackEvent("Opened", VUPropertyList{{"from", QString("menu")}, {"count", 3}});
    VUAnalytics::trackPage("Settings", VUPropertyList{{"tab", QString("general")}});
    // Each unit sends on its own timer: the start logs may come after the event and page.
    const auto analyticsNamedAsStarted = [&] {
        bool named = false;
        for (const auto &log : postedLogs("startService"))
            named = named || log.value("services").toArray().contains(QJsonValue("Analytics"));
        return named;
    };
    ASSERT_TRUE(waitUntil([&] {
        return !postedLogs("event").isEmpty() && !postedLogs("page").isEmpty() && !postedLogs("startSession").isEmpty()
               && analyticsNamedAsStarted();
    }));
    const auto sessions = postedLogs("startSession");
    ASSERT_EQ(sessions.size(), 1);
    const QString sid = sessions.first().value("sid").toString();
    EXPECT_FALSE(sid.isEmpty());
    EXPECT_EQ(sid, VUSessionContext::sharedInstance()->sessionId());

    const QJsonObject event = postedLogs("event").first();
    EXPECT_EQ(event.value("sid").toString(), sid);
    EXPECT_EQ(event.value("name").toString(), "Opened");
    EXPECT_FALSE(event.value("id").toString().isEmpty());
    // The number was not a string: it went, silently.
    const QJsonArray typed = event.value("typedProperties").toArray();
    ASSERT_EQ(typed.size(), 1);
    EXPECT_EQ(typed.first().toObject().value("name").toString(), "from");
    const QJsonObject page = postedLogs("page").first();
    EXPECT_EQ(page.value("sid").toString(), sid);
    EXPECT_EQ(page.value("properties").toObject().value("tab").toString(), "general");
}

TEST_F(AnalyticsTest, PersistenceFlagsOutsideNormalAndCriticalBecomeNormal)
{
    startAnalytics();
    struct Case
    {
        quint64 flags;
        quint64 stored;
        bool warns;
    };
    const Case cases[] = {{0, 1, true}, {1, 1, false}, {2, 2, false}, {3, 1, true}, {255, 1, true}, {0x102, 2, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags);
        auto &log = logLines();
        const QString name = QStringLiteral("Flags%1").arg(c.flags);
        VUAnalytics::trackEvent(name, VUPropertyList(), c.flags);
        std::optional<quint64> stored;
        for (const auto &entry : recorder->prepared())
            if (const auto event = std::dynamic_pointer_cast<VUEventLog>(entry.log); event && event->name == name)
                stored = entry.flags;
        EXPECT_EQ(stored, c.stored);
        EXPECT_EQ(log.contains(QStringLiteral("Invalid flags (%1) received, using normal as a default.").arg(c.flags & 0xff)),
                  c.warns);
    }
}

TEST_F(AnalyticsTest, DisablingStopsSessionsLeavesTheGroupAndDeletesStoredLogs)
{
    const auto listener = std::make_shared<RecordingAnalyticsDelegate>();
    VUAnalytics::setDelegate(listener);
    startAnalytics();
    const auto analytics = VUAnalytics::sharedInstance();
    const auto coreUnit = VUVovUdezir::sharedInstance()->channelUnit();

    // While enabled the service filters pages without a name, whichever unit carries them.
    coreUnit->enqueueItem(namelessPage(), 1);
    VUAnalytics::trackEvent("Heard");
    ASSERT_TRUE(waitUntil([&] { return listener->sentEvent == 1; }));
    EXPECT_EQ(listener->willSendEvent, 1);
    EXPECT_TRUE(postedLogs("page").isEmpty());

    // Held events stay in the store until the service is switched off.
    VUAnalytics::pause();
    VUAnalytics::trackEvent("Held");
    ASSERT_TRUE(waitUntil([] { return VULogDBStorage().countLogsWithGroupId("Analytics") == 1; }));
    analytics->setServiceEnabled(false);
    EXPECT_FALSE(analytics->isServiceEnabled());
    EXPECT_TRUE(waitUntil([] { return VULogDBStorage().countLogsWithGroupId("Analytics") == 0; }));
    EXPECT_FALSE(VUSessionContext::sharedInstance()->sessionId());
    EXPECT_TRUE(VUSessionContext::sharedInstance()->sessionHistory().isEmpty());
    EXPECT_FALSE(analytics->sessionTracker()->started());

    // No longer a group delegate: the nameless page is neither filtered nor reported, and
    // nothing more is tracked.
    const int eventsBefore = listener->willSendEvent;
    VUAnalytics::trackEvent("Ignored");
    coreUnit->enqueueItem(namelessPage(), 1);
    ASSERT_TRUE(waitUntil([&] { return postedLogs("page").size() == 1; }));
    EXPECT_EQ(listener->willSendPage, 0);
    EXPECT_EQ(listener->willSendEvent, eventsBefore);
    EXPECT_EQ(recorder->logsOf<VUEventLog>().size(), 2);

    // Enabled again: a new session, the service back among the delegates.
    analytics->setServiceEnabled(true);
    ASSERT_TRUE(waitUntil([&] { return postedLogs("startSession").size() == 2; }));
    EXPECT_TRUE(VUSessionContext::sharedInstance()->sessionId());
}

TEST_F(AnalyticsTest, ASecondStartNeitherOpensASessionNorDoublesTheDelegates)
{
    const auto listener = std::make_shared<RecordingAnalyticsDelegate>();
    VUAnalytics::setDelegate(listener);
    startAnalytics();
    const auto analytics = VUAnalytics::sharedInstance();
    analytics->updateConfigurationWithAppSecret(kSecret, std::nullopt);
    VUAnalytics::trackEvent("Once");
    ASSERT_TRUE(waitUntil([&] { return listener->sentEvent >= 1; }));
    EXPECT_FALSE(waitUntil([&] { return listener->sentEvent > 1; }, 300));
    EXPECT_EQ(listener->willSendEvent, 1);
    EXPECT_EQ(postedLogs("startSession").size(), 1);
}

TEST_F(AnalyticsTest, EventsOnWorkersWhileSessionsRenewOnTheMainThread)
{
    startAnalytics();
    const auto tracker = VUAnalytics::sharedInstance()->sessionTracker();
    // Every activation opens a session.
    tracker->setSessionTimeout(0);
    std::atomic<int> running{4};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([w, &running] {
            for (int i = 0; i < 150; ++i) {
                auto properties = std::make_shared<VUEventProperties>();
                properties->setInt64(i, "i");
                VUAnalytics::trackEvent(QStringLiteral("Worker%1").arg(w), properties);
            }
            running--;
        });
    }
    int renewals = 0;
    while (running > 0 || renewals < 20) {
        NotificationCenter::defaultCenter().postNotificationName(VUSessionTracker::kDidResignActive);
        NotificationCenter::defaultCenter().postNotificationName(VUSessionTracker::kWillBecomeActive);
        ++renewals;
    }
    for (auto &worker : workers)
        worker.join();
    EXPECT_EQ(recorder->logsOf<VUEventLog>().size(), 600);
    EXPECT_GE(recorder->logsOf<VUStartSessionLog>().size(), 20);
    for (const auto &event : recorder->logsOf<VUEventLog>())
        EXPECT_TRUE(event->sid);
}
