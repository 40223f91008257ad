// The device-to-host queue of a device-link connection: a streaming device runs only as far
// ahead of the host as the bound allows, and is never left waiting once the host stops it.

#include "TestWait.h"
#include "mobiledevice/BoundedQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

using mobiledevice::BoundedQueue;

namespace {

constexpr size_t kBound = 300;
constexpr size_t kChunk = 100;
constexpr int kChunks = 20;

std::string take(BoundedQueue<std::string> &queue)
{
    std::string item;
    EXPECT_EQ(queue.pop(item, std::chrono::seconds(5)), BoundedQueue<std::string>::Result::Item);
    return item;
}

} // namespace

TEST(BoundedQueue, AStreamWaitsForTheConsumerAndArrivesWholeAndInOrder)
{
    BoundedQueue<std::string> queue(kBound);
    std::atomic<int> pushed{0};
    std::jthread producer([&] {
        for (int i = 0; i < kChunks; ++i) {
            queue.push(std::to_string(i), kChunk);
            ++pushed;
        }
    });
    // The producer filled the queue to its bound and waits there.
    ASSERT_TRUE(waitUntil([&] { return queue.waitingProducers() == 1; }));
    EXPECT_EQ(pushed.load(), int(kBound / kChunk));
    // Answers to the consumer's own messages carry no data and never wait.
    EXPECT_TRUE(queue.push("answer", 0));

    for (int i = 0; i < int(kBound / kChunk); ++i)
        EXPECT_EQ(take(queue), std::to_string(i));
    EXPECT_EQ(take(queue), "answer");
    for (int i = int(kBound / kChunk); i < kChunks; ++i)
        EXPECT_EQ(take(queue), std::to_string(i));
    producer.join();
    EXPECT_LE(queue.highWater(), kBound);
}

TEST(BoundedQueue, AWaitingProducerIsLetThroughWhenTheConsumerStopsOrTheQueueCloses)
{
    for (const bool closing : {false, true}) {
        SCOPED_TRACE(closing ? "closed" : "unbounded");
        BoundedQueue<std::string> queue(kBound);
        // One item larger than the bound still fits into an empty queue.
        ASSERT_TRUE(queue.push(std::string(1000, 'x'), 1000));
        std::atomic<bool> done{false};
        std::atomic<bool> accepted{false};
        std::jthread producer([&] {
            accepted = queue.push("more", kChunk);
            done = true;
        });
        ASSERT_TRUE(waitUntil([&] { return queue.waitingProducers() == 1; }));
        if (closing)
            queue.close();
        else
            queue.unbound();
        producer.join();
        EXPECT_TRUE(done.load());
        EXPECT_EQ(accepted.load(), !closing);
        // What was queued before the close can still be taken; then the queue says so.
        EXPECT_EQ(take(queue).size(), 1000u);
        std::string item;
        const auto rest = queue.pop(item, std::chrono::milliseconds(closing ? 5000 : 0));
        EXPECT_EQ(rest, closing ? BoundedQueue<std::string>::Result::Closed : BoundedQueue<std::string>::Result::Item);
    }
}
