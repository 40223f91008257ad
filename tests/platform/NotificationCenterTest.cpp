#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <QObject>

#include <atomic>
#include <thread>
#include <vector>

TEST(NotificationCenter, DeliversToMatchingObserversInOrder)
{
    NotificationCenter center;
    int sender = 0, otherSender = 0;
    QStringList calls;
    center.addObserver("QNArchiveEdited", nullptr, [&](const Notification &n) {
        calls << "name:" + n.userInfo.value("k").toString();
    });
    center.addObserver("QNArchiveEdited", &sender, [&](const Notification &) { calls << "name+object"; });
    center.addObserver({}, nullptr, [&](const Notification &n) { calls << "all:" + n.name; });
    center.addObserver("BackupUpdated", nullptr, [&](const Notification &) { calls << "other name"; });

    center.postNotificationName("QNArchiveEdited", &sender, {{"k", "v"}});
    EXPECT_EQ(calls, (QStringList{"name:v", "name+object", "all:QNArchiveEdited"}));
    calls.clear();
    center.postNotificationName("QNArchiveEdited", &otherSender);
    EXPECT_EQ(calls, (QStringList{"name:", "all:QNArchiveEdited"}));
}

TEST(NotificationCenter, RemovalByTokenReceiverAndDestruction)
{
    NotificationCenter center;
    int count = 0;
    const auto token = center.addObserver("N", nullptr, [&](const Notification &) { ++count; });
    auto *receiver = new QObject;
    center.addObserver(receiver, "N", nullptr, [&](const Notification &) { count += 10; });
    center.addObserver(receiver, "M", nullptr, [&](const Notification &) { count += 100; });

    center.postNotificationName("N");
    EXPECT_EQ(count, 11);
    center.removeObserver(token);
    center.removeObserver(receiver, "M");
    center.postNotificationName("N");
    center.postNotificationName("M");
    EXPECT_EQ(count, 21);
    delete receiver; // takes its last observer with it
    center.postNotificationName("N");
    EXPECT_EQ(count, 21);
    EXPECT_EQ(center.observerCount(), 0);
}

TEST(NotificationCenter, ObserversMayChangeTheListWhileBeingCalled)
{
    NotificationCenter center;
    int later = 0, selfCalls = 0;
    NotificationCenter::Token second = 0, self = 0;
    // The first observer removes the second before it is reached, and itself.
    self = center.addObserver("N", nullptr, [&](const Notification &) {
        ++selfCalls;
        center.removeObserver(second);
        center.removeObserver(self);
        center.addObserver("N", nullptr, [&](const Notification &) { ++later; });
    });
    second = center.addObserver("N", nullptr, [&](const Notification &) { ADD_FAILURE() << "removed observer called"; });
    center.postNotificationName("N");
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(later, 0); // added during the post: from the next post on
    center.postNotificationName("N");
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(later, 1);
}

TEST(NotificationCenter, DeliversOnThePostersThreadAndRegistersFromAnyThread)
{
    NotificationCenter center;
    std::atomic<int> delivered{0};
    std::thread::id deliveredOn;
    center.addObserver("FromWorker", nullptr, [&](const Notification &) { deliveredOn = std::this_thread::get_id(); });
    std::thread::id workerId;
    std::thread worker([&] {
        workerId = std::this_thread::get_id();
        center.postNotificationName("FromWorker");
    });
    worker.join();
    EXPECT_EQ(deliveredOn, workerId);

    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                const auto token = center.addObserver("Busy", nullptr, [&](const Notification &) { ++delivered; });
                center.postNotificationName("Busy");
                center.removeObserver(token);
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_GE(delivered.load(), 8 * 200); // each post reaches at least its own observer
    EXPECT_EQ(center.observerCount(), 1);
}
