#pragma once
// Divides the application's use into sessions. A session opens when the tracker starts while
// the application is active, and again when the application becomes active after it was away
// for at least the time-out (20 s) while no log was created for that long. Each new id goes
// into the shared session context and is announced by one start-session log handed to the
// delegate. As a channel delegate the tracker stamps the current id on every other log and
// notes when the last one was created.
//
// Activation comes through the platform notification center ("NSApplicationWillBecomeActive
// Notification", "NSApplicationDidResignActiveNotification"), posted by the GUI on the main
// thread. channelPrepareLog runs on any enqueuing thread.
//
// Locks: renewals are serialised by the tracker's lock; the three dates have a mutex of
// their own, which is all channelPrepareLog takes. The delegate is called after both are
// released, so a renewal never waits for a thread that enqueues a log under the analytics
// lock while that thread waits for the tracker (the two locks are never held together).
// The time-out and the clock are settable for tests.

#include "telemetry/core/VUChannelProtocols.h"
#include "platform/NotificationCenter.h"

#include <QDateTime>

#include <functional>
#include <mutex>

class VUSessionContext;
class VUSessionTracker;

class VUSessionTrackerDelegate
{
public:
    virtual ~VUSessionTrackerDelegate() = default;
    virtual void sessionTrackerProcessLog(VUSessionTracker *tracker, const std::shared_ptr<VUAbstractLog> &log) = 0;
};

class VUSessionTracker : public VUChannelDelegate
{
public:
    static inline const QString kWillBecomeActive = QStringLiteral("NSApplicationWillBecomeActiveNotification");
    static inline const QString kDidResignActive = QStringLiteral("NSApplicationDidResignActiveNotification");
    static constexpr double kSessionTimeout = 20.0;

    VUSessionTracker();
    ~VUSessionTracker() override;

    void start();
    void stop();
    void renewSessionId();
    bool hasSessionTimedOut();
    void applicationDidEnterBackground();
    void applicationWillEnterForeground();
    void channelPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) override;

    bool started() const { return mStarted.load(); }
    // Held weakly: the analytics service owns the tracker.
    void setDelegate(std::weak_ptr<VUSessionTrackerDelegate> delegate);
    double sessionTimeout() const;
    void setSessionTimeout(double seconds);
    void setClock(std::function<QDateTime()> clock);
    std::optional<QDateTime> lastCreatedLogTime() const;
    std::optional<QDateTime> lastEnteredForegroundTime() const;
    std::optional<QDateTime> lastEnteredBackgroundTime() const;
    std::shared_ptr<VUSessionContext> context() const { return mContext; }
    // Whether the executable runs as an application extension (never here; the rule stays).
    static bool isApplicationExtension();

private:
    QDateTime now() const;

    std::atomic<bool> mStarted{false};
    std::mutex mLock; // renewals, start and stop
    mutable std::mutex mDatesLock;
    std::weak_ptr<VUSessionTrackerDelegate> mDelegate;
    double mSessionTimeout = kSessionTimeout;
    std::function<QDateTime()> mClock;
    std::optional<QDateTime> mLastCreatedLogTime;
    std::optional<QDateTime> mLastEnteredForegroundTime;
    std::optional<QDateTime> mLastEnteredBackgroundTime;
    std::shared_ptr<VUSessionContext> mContext;
    NotificationCenter::Token mResignToken = 0;
    NotificationCenter::Token mBecomeToken = 0;
};
