#pragma once
// The device controller's worker threads: short workers (one per attach check, one per
// device set-up, the archive read) and the two endless device threads (Wi-Fi wake-up and
// free space).
//
// Workers run detached in spirit, but are counted so that stop() can wait for them; the
// endless threads sleep on a condition variable so stop() ends them at once instead of after
// a minute. stop() is called by the owner's destruction (the program's end, or the end of a
// test) on the main thread; no thread of this class ever waits for the main thread, so
// stop() cannot deadlock against a queued hand-over.
//
// Thread-safe.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class DeviceThreads
{
public:
    DeviceThreads() = default;
    ~DeviceThreads() { stop(); }
    DeviceThreads(const DeviceThreads &) = delete;
    DeviceThreads &operator=(const DeviceThreads &) = delete;

    // Runs `body` on a new thread; ignored once stopping.
    void detach(std::function<void()> body);
    // Runs `round` now and then again every intervalMs() until stop(). When no thread can be
    // created the work is dropped (logged); neither call throws.
    void startEndless(std::function<void()> round, std::function<int()> intervalMs);
    // Sleeps up to `ms`; false when stop() interrupted the sleep (the caller gives up).
    bool sleepFor(int ms);
    bool stopping() const;
    // Ends the endless threads and waits for the workers. Idempotent.
    void stop();

private:
    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    bool mStopping = false;
    int mWorkers = 0;
    std::vector<std::thread> mEndless;
};
