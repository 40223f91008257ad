#pragma once
// A queue from the device's threads to the program's thread that holds a bounded amount of
// payload: a producer whose item would take the queue past `maxBytes` waits until the
// consumer has taken enough, the queue is closed, or waiting is switched off. So a device
// streaming a large file runs only as far ahead of the host as the bound allows, instead of
// holding the whole file in memory until the host gets to it.
//
// Items without payload (0 bytes) never wait: the consumer's own thread posts such items
// (answers to its messages) and must never block on itself. One item always fits into an
// empty queue, however large.
//
// Threads: push() from any thread; pop() from the consumer; close() and unbound() from any.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

namespace mobiledevice {

template <typename T>
class BoundedQueue
{
public:
    explicit BoundedQueue(size_t maxBytes) : mMaxBytes(maxBytes) {}

    // Queues `item` carrying `bytes` of payload, waiting for room as above. With `last`, the
    // queue closes behind it. False (the item dropped) when the queue was already closed.
    bool push(T item, size_t bytes, bool last = false)
    {
        {
            std::unique_lock lock(mMutex);
            auto room = [&] { return mClosed || mUnbounded || mBytes == 0 || mBytes + bytes <= mMaxBytes; };
            if (bytes > 0 && !room()) {
                ++mWaiting;
                mTaken.wait(lock, room);
                --mWaiting;
            }
            if (mClosed)
                return false;
            mItems.push_back({std::move(item), bytes});
            mBytes += bytes;
            mHighWater = std::max(mHighWater, mBytes);
            mClosed = last;
        }
        mArrived.notify_all();
        return true;
    }

    enum class Result { Item, Empty, Closed };
    // Takes the oldest item, waiting up to `wait` for one. Closed: nothing is queued and
    // nothing more will come.
    Result pop(T &out, std::chrono::microseconds wait)
    {
        {
            std::unique_lock lock(mMutex);
            mArrived.wait_for(lock, wait, [&] { return !mItems.empty() || mClosed; });
            if (mItems.empty())
                return mClosed ? Result::Closed : Result::Empty;
            out = std::move(mItems.front().item);
            mBytes -= mItems.front().bytes;
            mItems.pop_front();
        }
        mTaken.notify_all();
        return Result::Item;
    }

    // Nothing more is queued; what is queued may still be taken.
    void close()
    {
        {
            std::lock_guard lock(mMutex);
            mClosed = true;
        }
        mTaken.notify_all();
        mArrived.notify_all();
    }
    bool closed() const
    {
        std::lock_guard lock(mMutex);
        return mClosed;
    }

    // Producers stop waiting for room: the consumer is about to stop the producer and wait
    // for it, and must not wait for a producer that waits for the consumer.
    void unbound()
    {
        {
            std::lock_guard lock(mMutex);
            mUnbounded = true;
        }
        mTaken.notify_all();
    }

    // Producers waiting for room now.
    int waitingProducers() const
    {
        std::lock_guard lock(mMutex);
        return mWaiting;
    }

    // The most payload the queue ever held at once.
    size_t highWater() const
    {
        std::lock_guard lock(mMutex);
        return mHighWater;
    }

private:
    struct Entry
    {
        T item;
        size_t bytes;
    };
    const size_t mMaxBytes;
    mutable std::mutex mMutex;
    std::condition_variable mArrived; // an item was queued, or the queue closed
    std::condition_variable mTaken;   // room was made, or waiting was switched off
    std::deque<Entry> mItems;
    size_t mBytes = 0;
    size_t mHighWater = 0;
    int mWaiting = 0;
    bool mClosed = false;
    bool mUnbounded = false;
};

} // namespace mobiledevice
