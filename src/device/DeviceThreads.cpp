#include "device/DeviceThreads.h"

#include <chrono>

void DeviceThreads::detach(std::function<void()> body)
{
    {
        std::lock_guard lock(mMutex);
        if (mStopping)
            return;
        ++mWorkers;
    }
    std::thread([this, body = std::move(body)] {
        body();
        std::lock_guard lock(mMutex);
        --mWorkers;
        mChanged.notify_all();
    }).detach();
}

void DeviceThreads::startEndless(std::function<void()> round, std::function<int()> intervalMs)
{
    std::lock_guard lock(mMutex);
    if (mStopping)
        return;
    mEndless.emplace_back([this, round = std::move(round), intervalMs = std::move(intervalMs)] {
        do {
            round();
        } while (sleepFor(intervalMs()));
    });
}

bool DeviceThreads::sleepFor(int ms)
{
    std::unique_lock lock(mMutex);
    return !mChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return mStopping; });
}

bool DeviceThreads::stopping() const
{
    std::lock_guard lock(mMutex);
    return mStopping;
}

void DeviceThreads::stop()
{
    std::vector<std::thread> endless;
    {
        std::unique_lock lock(mMutex);
        mStopping = true;
        mChanged.notify_all();
        endless.swap(mEndless);
    }
    for (std::thread &thread : endless)
        if (thread.joinable())
            thread.join();
    std::unique_lock lock(mMutex);
    mChanged.wait(lock, [this] { return mWorkers == 0; });
}
