#include "TestWait.h"

#include "platform/NotificationCenter.h"
#include "telemetry/core/VUNetlinkRouteMonitor.h"
#include "telemetry/core/VU_Reachability.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>

#include <atomic>
#include <sched.h>
#include <thread>

namespace {

using R = VU_Reachability;

TEST(VU_Reachability, StatusFollowsTheFlagRules)
{
    struct Case
    {
        const char *name;
        quint32 flags;
        qint64 status;
    };
    const Case cases[] = {
        {"nothing", 0, R::NotReachable},
        {"reachable", R::kReachable, R::Reachable},
        {"connection required", R::kReachable | R::kConnectionRequired, R::NotReachable},
        {"on demand", R::kReachable | R::kConnectionRequired | R::kConnectionOnDemand, R::Reachable},
        {"on traffic", R::kReachable | R::kConnectionRequired | R::kConnectionOnTraffic, R::Reachable},
        {"on demand needing the user",
         R::kReachable | R::kConnectionRequired | R::kConnectionOnDemand | R::kInterventionRequired, R::NotReachable},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(R::networkStatusForFlags(c.flags), c.status);
    }
}

// Counts notifications per sender on the main thread.
class NotificationCounter
{
public:
    NotificationCounter()
    {
        mToken = NotificationCenter::defaultCenter().addObserver(
            R::kVUNetworkReachabilityChangedNotification, nullptr,
            [this](const Notification &notification) { mSenders.append(notification.object); });
    }
    ~NotificationCounter() { NotificationCenter::defaultCenter().removeObserver(mToken); }
    int countFor(const void *sender) const { return int(mSenders.count(sender)); }

private:
    NotificationCenter::Token mToken;
    QList<const void *> mSenders;
};

TEST(VU_Reachability, EachStartedWatcherReportsOnceAndAGoneOneNever)
{
    NotificationCounter counter;
    auto watcher = R::reachabilityForInternetConnection();
    auto gone = R::reachabilityForInternetConnection();
    const void *goneAddress = gone.get();
    watcher->startNotifier();
    watcher->startNotifier();
    gone->startNotifier();
    // The reports of both are queued for the main thread; one watcher goes before they run.
    R::setSimulatedStatus(R::NotReachable);
    gone.reset();
    QCoreApplication::processEvents();
    ASSERT_TRUE(waitUntil([&] { return counter.countFor(watcher.get()) >= 2; }));
    QCoreApplication::processEvents();
    // Two starts and one change: one report per start and one for the change, none doubled.
    EXPECT_EQ(counter.countFor(watcher.get()), 3);
    EXPECT_EQ(watcher->currentReachabilityStatus(), R::NotReachable);
    EXPECT_EQ(counter.countFor(goneAddress), 0);

    watcher->stopNotifier();
    R::setSimulatedStatus(std::nullopt);
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.countFor(watcher.get()), 3);
}

// A real route appearing in a network namespace of our own is seen through netlink.
TEST(VUNetlinkRouteMonitor, SeesADefaultRouteAppearInAFreshNamespace)
{
    if (!QFile::exists("/usr/sbin/ip") && !QFile::exists("/sbin/ip"))
        GTEST_SKIP() << "no ip tool";
    std::atomic<int> outcome{0}; // 0 running, 1 seen, 2 no namespace, 3 not seen
    std::atomic<bool> initiallyReachable{true};
    std::thread worker([&] {
        // Only this thread (and what it starts) moves into the new namespace.
        if (::unshare(CLONE_NEWNET) != 0) {
            outcome = 2;
            return;
        }
        std::atomic<bool> seen{false};
        {
            VUNetlinkRouteMonitor monitor([&](bool reachable) {
                if (reachable)
                    seen = true;
            });
            initiallyReachable = monitor.isReachable();
            if (!monitor.isWatching() || std::system("ip link set lo up && ip route add default dev lo") != 0) {
                outcome = 2;
                return;
            }
            for (int i = 0; i < 500 && !seen; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            outcome = seen && monitor.isReachable() ? 1 : 3;
        }
    });
    worker.join();
    if (outcome == 2)
        GTEST_SKIP() << "no network namespace of our own here";
    EXPECT_FALSE(initiallyReachable.load());
    EXPECT_EQ(outcome.load(), 1);
}

} // namespace
