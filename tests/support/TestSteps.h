#pragma once
// Named steps that a test and work on another thread mark and wait for, so the two run in a
// fixed order without sleeps. Thread-safe.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

class TestSteps
{
public:
    void mark(const std::string &step)
    {
        std::lock_guard guard(mLock);
        mReached.insert(step);
        mChanged.notify_all();
    }

    bool reached(const std::string &step)
    {
        std::lock_guard guard(mLock);
        return mReached.count(step) > 0;
    }

    // Until `step` is marked, or at most `timeoutMs` when that is not negative: whether it was.
    bool waitFor(const std::string &step, int timeoutMs = -1)
    {
        std::unique_lock guard(mLock);
        const auto marked = [&] { return mReached.count(step) > 0; };
        if (timeoutMs < 0) {
            mChanged.wait(guard, marked);
            return true;
        }
        return mChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs), marked);
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    std::set<std::string> mReached;
};
