// Sessions: when a new one opens, what the start-session log carries, and which logs get the
// session id; time runs on an injected clock.
#include "AnalyticsTestSupport.h"

#include "telemetry/analytics/VUEventLog.h"
#include "telemetry/analytics/VUStartSessionLog.h"
#include "telemetry/core/VUApplicationState.h"
#include "telemetry/core/VUSessionContext.h"

namespace {

class RecordingTrackerDelegate : public VUSessionTrackerDelegate
{
public:
    void sessionTrackerProcessLog(VUSessionTracker *, const std::shared_ptr<VUAbstractLog> &log) override
    {
        std::lock_guard guard(mLock);
        mLogs.append(log);
    }
    QList<std::shared_ptr<VUAbstractLog>> logs() const
    {
        std::lock_guard guard(mLock);
        return mLogs;
    }

private:
    mutable std::mutex mLock;
    QList<std::shared_ptr<VUAbstractLog>> mLogs;
};

class SessionTrackerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        home = std::make_unique<TestHome>();
        VUApplicationStateProvider::setApplicationStateProvider(nullptr);
        freshTracker();
    }
    void freshTracker()
    {
        tracker.reset();
        VUSessionContext::resetSharedInstance();
        tracker = std::make_shared<VUSessionTracker>();
        delegate = std::make_shared<RecordingTrackerDelegate>();
        tracker->setDelegate(delegate);
        tracker->setClock([this] { return now; });
    }
    void TearDown() override
    {
        tracker.reset();
        VUApplicationStateProvider::setApplicationStateProvider(nullptr);
        VUSessionContext::resetSharedInstance();
        home.reset();
    }
    void advance(double seconds) { now = now.addMSecs(qint64(seconds * 1000)); }
    static void post(const QString &name) { NotificationCenter::defaultCenter().postNotificationName(name); }
    int sessions() const { return int(delegate->logs().size()); }
    std::shared_ptr<VUEventLog> event() const
    {
        auto log = std::make_shared<VUEventLog>();
        log->name = "e";
        return log;
    }

    std::unique_ptr<TestHome> home;
    QDateTime now = QDateTime(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);
    std::shared_ptr<VUSessionTracker> tracker;
    std::shared_ptr<RecordingTrackerDelegate> delegate;
};

} // namespace

TEST_F(SessionTrackerTest, StartingWhileActiveOpensOneSessionAnnouncedByOneLog)
{
    tracker->start();
    tracker->start();
    ASSERT_EQ(sessions(), 1);
    const auto log = std::dynamic_pointer_cast<VUStartSessionLog>(delegate->logs().first());
    ASSERT_TRUE(log);
    EXPECT_TRUE(log->sid);
    EXPECT_EQ(log->sid, VUSessionContext::sharedInstance()->sessionId());

    // Every other log gets the id; start-session logs are left as they are.
    const auto e = event();
    tracker->channelPrepareLog(nullptr, e);
    EXPECT_EQ(e->sid, log->sid);
    auto other = std::make_shared<VUStartSessionLog>();
    tracker->channelPrepareLog(nullptr, other);
    EXPECT_FALSE(other->sid);

    // Stopped: the id is gone and logs get none; started again while active: a new session.
    tracker->stop();
    EXPECT_FALSE(VUSessionContext::sharedInstance()->sessionId());
    const auto late = event();
    late->sid = "stale";
    tracker->channelPrepareLog(nullptr, late);
    EXPECT_FALSE(late->sid);
    tracker->start();
    ASSERT_EQ(sessions(), 2);
    EXPECT_NE(delegate->logs().at(1)->sid, log->sid);
}

TEST_F(SessionTrackerTest, AHiddenApplicationWaitsForItsActivation)
{
    VUApplicationStateProvider::setApplicationStateProvider([] { return qint64(VUApplicationStateBackground); });
    tracker->start();
    EXPECT_EQ(sessions(), 0);
    post(VUSessionTracker::kWillBecomeActive);
    EXPECT_EQ(sessions(), 1);
}

TEST_F(SessionTrackerTest, ANewSessionNeedsTimeAwayAndTimeWithoutLogs)
{
    struct Case
    {
        const char *name;
        std::optional<double> logAfterResign; // seconds after resigning
        double reactivateAfter;               // seconds after resigning
        bool newSession;
    };
    const Case cases[] = {
        {"back after 19.9 s", std::nullopt, 19.9, false},
        {"back after exactly 20 s", std::nullopt, 20.0, true},
        {"back after 25 s, a log 10 s into the absence", 10.0, 25.0, false},
        {"back after 40 s, a log 10 s into the absence", 10.0, 40.0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        freshTracker();
        tracker->start();
        ASSERT_EQ(sessions(), 1);
        advance(100);
        post(VUSessionTracker::kDidResignActive);
        if (c.logAfterResign) {
            advance(*c.logAfterResign);
            tracker->channelPrepareLog(nullptr, event());
            advance(c.reactivateAfter - *c.logAfterResign);
        } else {
            advance(c.reactivateAfter);
        }
        post(VUSessionTracker::kWillBecomeActive);
        EXPECT_EQ(sessions(), c.newSession ? 2 : 1);
    }
}

TEST_F(SessionTrackerTest, TheTimeOutIsSettable)
{
    tracker->setSessionTimeout(1.0);
    tracker->start();
    advance(5);
    post(VUSessionTracker::kDidResignActive);
    advance(1);
    post(VUSessionTracker::kWillBecomeActive);
    EXPECT_EQ(sessions(), 2);
    // A stopped tracker hears nothing.
    tracker->stop();
    advance(5);
    post(VUSessionTracker::kDidResignActive);
    advance(5);
    post(VUSessionTracker::kWillBecomeActive);
    EXPECT_EQ(sessions(), 2);
}
