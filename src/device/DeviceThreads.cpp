#include "device/DeviceThreads.h"

#include "shell/VarnekLogger.h"

#include <chrono>
#include <system_error>

void DeviceThreads::detach(std::function<void()> body)
{
    {
        std::lock_guard lock(mMutex);
        if (mStopping)
            return;
        ++mWorkers;
    }
    try {
        std::thread([this, body = std::move(body)] {
            body();
            std::lock_guard lock(mMutex);
            --mWorkers;
            mChanged.notify_all();
        }).detach();
    } catch (const std::system_error &error) {
        // No thread to be had: the work is dropped, and stop() must not wait for it.
        VarnekLog("DeviceThreads: no worker thread (%s)", error.what());
        std::lock_guard lock(mMutex);
        --mWorkers;
        mChanged.notify_all();
    }
}

void DeviceThreads::startEndless(std::function<void()> round, std::function<int()> intervalMs)
{
    std::lock_guard lock(mMutex);
    if (mStopping)
        return;
    try {
        mEndless.emplace_back([this, round = std::move(round), intervalMs = std::move(intervalMs)] {
            do {
                round();
            } while (sleepFor(intervalMs()));
        });
    } catch (const std::system_error &error) {
        // No thread to be had (a memory or process cap): Quillon goes on without this
        // periodic work rather than aborting.
        VarnekLog("DeviceThreads: no endless thread (%s)", error.what());
    }
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
