#include "TestWait.h"
#include "platform/MainThread.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <thread>

TEST(MainThread, KnowsWhichThreadIsMain)
{
    EXPECT_TRUE(MainThread::isMainThread());
    std::atomic<bool> onWorker{true};
    std::thread([&] { onWorker = MainThread::isMainThread(); }).join();
    EXPECT_FALSE(onWorker.load());
}

TEST(MainThread, PerformsFromWorkersOnTheMainThread)
{
    std::atomic<bool> ranOnMain{false}, workerDone{false}, queuedRan{false};
    std::thread worker([&] {
        MainThread::performOnMainThread([&] { ranOnMain = MainThread::isMainThread(); }, true);
        // The blocking perform returned only after the function ran.
        EXPECT_TRUE(ranOnMain.load());
        MainThread::performOnMainThread([&] { queuedRan = MainThread::isMainThread(); });
        workerDone = true;
    });
    EXPECT_TRUE(waitUntil([&] { return workerDone.load() && queuedRan.load(); }));
    worker.join();

    // Blocking from the main thread runs in place instead of deadlocking.
    bool inPlace = false;
    MainThread::performOnMainThread([&] { inPlace = true; }, true);
    EXPECT_TRUE(inPlace);
}

TEST(MainThread, DelayedPerformsWaitAndHonourTheirContext)
{
    std::atomic<bool> fired{false}, onMain{false};
    QElapsedTimer timer;
    timer.start();
    std::thread([&] {
        MainThread::performAfterDelay(50, [&] {
            onMain = MainThread::isMainThread();
            fired = true;
        });
    }).join();
    EXPECT_TRUE(waitUntil([&] { return fired.load(); }));
    EXPECT_GE(timer.elapsed(), 45);
    EXPECT_TRUE(onMain.load());

    bool dropped = true, kept = false;
    auto *context = new QObject;
    MainThread::performAfterDelay(20, [&] { dropped = false; }, context);
    MainThread::performAfterDelay(40, [&] { kept = true; });
    delete context;
    EXPECT_TRUE(waitUntil([&] { return kept; }));
    EXPECT_TRUE(dropped);
}
