// The serial queue's stop: an owner that stops it may tear down what the queue's work uses,
// so no work may still run once stop has returned.
#include "TestSteps.h"
#include "TestWait.h"

#include "telemetry/core/VUDispatchQueue.h"

#include <gtest/gtest.h>

#include <memory>

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
        TestSteps steps;
        queue->async([&, raw = queue.get()] {
            if (c.workStopsTheQueueFirst)
                raw->stop();
            steps.mark("entered");
            steps.waitFor("stopping");
            // Long enough for a stop that does not wait to come back; one that waits never does.
            if (steps.waitFor("stop returned", 500))
                steps.mark("stop returned meanwhile");
            steps.mark("left");
        });
        ASSERT_TRUE(waitUntil([&] { return steps.reached("entered"); }));
        steps.mark("stopping");
        queue->stop();
        steps.mark("stop returned");
        EXPECT_TRUE(steps.reached("left"));
        EXPECT_FALSE(steps.reached("stop returned meanwhile"));
    }
}
