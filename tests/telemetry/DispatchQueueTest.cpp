// The serial queue's stop: an owner that stops it may tear down what the queue's work uses,
// so no work may still run once stop has returned.
#include "TestWait.h"

#include "telemetry/core/VUDispatchQueue.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

// Flags the test and the queue's work hand each other, in order.
struct Steps
{
    std::mutex lock;
    std::condition_variable changed;
    bool entered = false, stopping = false, stopReturned = false, stopReturnedMeanwhile = false, left = false;

    void set(bool Steps::*flag)
    {
        std::lock_guard guard(lock);
        this->*flag = true;
        changed.notify_all();
    }
    bool get(bool Steps::*flag)
    {
        std::lock_guard guard(lock);
        return this->*flag;
    }
};

} // namespace

TEST(VUDispatchQueue, AStopFromAnotherThreadReturnsOnceRunningWorkEnded)
{
    struct Case
    {
        const char *name;
        bool workStopsTheQueueFirst; // as when the work drops the last hold on the queue's owner
    };
    const Case cases[] = {
        {"running work", false},
        {"work that let the thread go", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto queue = std::make_shared<VUDispatchQueue>(QStringLiteral("test.stop"));
        Steps steps;
        queue->async([&, raw = queue.get()] {
            if (c.workStopsTheQueueFirst)
                raw->stop();
            std::unique_lock guard(steps.lock);
            steps.entered = true;
            steps.changed.notify_all();
            steps.changed.wait(guard, [&] { return steps.stopping; });
            // Long enough for a stop that does not wait to come back; one that waits never does.
            steps.stopReturnedMeanwhile =
                steps.changed.wait_for(guard, std::chrono::milliseconds(500), [&] { return steps.stopReturned; });
            steps.left = true;
        });
        ASSERT_TRUE(waitUntil([&] { return steps.get(&Steps::entered); }));
        steps.set(&Steps::stopping);
        queue->stop();
        steps.set(&Steps::stopReturned);
        EXPECT_TRUE(steps.get(&Steps::left));
        EXPECT_FALSE(steps.get(&Steps::stopReturnedMeanwhile));
    }
}
