#include "telemetry/core/VUDispatchQueue.h"

#include "telemetry/core/VULogger.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

using Clock = std::chrono::steady_clock;

struct VUDispatchQueue::State
{
    QString label;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::function<void()>> work;
    std::multimap<Clock::time_point, std::pair<Token, std::function<void()>>> timers;
    Token nextToken = 1;
    bool stopping = false;
    bool threadRunning = false;
    bool threadEnded = false; // run() returned
    std::thread::id threadId;
    std::recursive_mutex inlineLock; // serialises work when there is no thread

    void run()
    {
        std::unique_lock guard(lock);
        for (;;) {
            if (stopping) {
                threadEnded = true;
                changed.notify_all();
                return;
            }
            if (!work.empty()) {
                auto next = std::move(work.front());
                work.pop_front();
                guard.unlock();
                next();
                guard.lock();
                continue;
            }
            if (!timers.empty() && timers.begin()->first <= Clock::now()) {
                auto next = std::move(timers.begin()->second.second);
                timers.erase(timers.begin());
                guard.unlock();
                next();
                guard.lock();
                continue;
            }
            if (timers.empty())
                changed.wait(guard);
            else
                changed.wait_until(guard, timers.begin()->first);
        }
    }
};

VUDispatchQueue::VUDispatchQueue(const QString &label) : d(std::make_shared<State>())
{
    d->label = label;
    try {
        mThread = std::thread([state = d] { state->run(); });
        d->threadId = mThread.get_id();
        d->threadRunning = true;
    } catch (const std::system_error &error) {
        VULogError(VULogTag(), "Queue %s could not start its thread (%s); work runs on the caller's thread.",
                   qUtf8Printable(label), error.what());
    }
}

VUDispatchQueue::~VUDispatchQueue()
{
    stop();
}

void VUDispatchQueue::stop(const std::function<void()> &whileWaiting)
{
    {
        std::lock_guard guard(d->lock);
        d->stopping = true;
        d->work.clear();
        d->timers.clear();
    }
    d->changed.notify_all();
    if (!d->threadRunning)
        return;
    if (isCurrent()) {
        if (mThread.joinable())
            mThread.detach(); // the thread shares the state and ends after this work
        return;
    }
    // The thread may have been let go by a stop on itself: its end is awaited all the same.
    std::unique_lock guard(d->lock);
    while (!d->threadEnded) {
        if (!whileWaiting) {
            d->changed.wait(guard, [this] { return d->threadEnded; });
            break;
        }
        guard.unlock();
        whileWaiting();
        guard.lock();
        d->changed.wait_for(guard, std::chrono::milliseconds(5), [this] { return d->threadEnded; });
    }
    guard.unlock();
    if (mThread.joinable())
        mThread.join();
}

QString VUDispatchQueue::label() const
{
    return d->label;
}

void VUDispatchQueue::async(std::function<void()> work)
{
    if (!d->threadRunning) {
        std::lock_guard guard(d->inlineLock);
        work();
        return;
    }
    {
        std::lock_guard guard(d->lock);
        if (d->stopping)
            return;
        d->work.push_back(std::move(work));
    }
    d->changed.notify_one();
}

VUDispatchQueue::Token VUDispatchQueue::asyncAfter(qint64 delayMs, std::function<void()> work)
{
    std::lock_guard guard(d->lock);
    const Token token = d->nextToken++;
    if (!d->threadRunning) {
        VULogError(VULogTag(), "Queue %s has no thread; delayed work is dropped.", qUtf8Printable(d->label));
        return token;
    }
    if (d->stopping)
        return token;
    d->timers.emplace(Clock::now() + std::chrono::milliseconds(qMax<qint64>(0, delayMs)),
                      std::make_pair(token, std::move(work)));
    d->changed.notify_one();
    return token;
}

void VUDispatchQueue::cancel(Token token)
{
    std::lock_guard guard(d->lock);
    for (auto it = d->timers.begin(); it != d->timers.end(); ++it) {
        if (it->second.first == token) {
            d->timers.erase(it);
            return;
        }
    }
}

void VUDispatchQueue::sync(const std::function<void()> &work)
{
    if (!d->threadRunning || isCurrent()) {
        std::lock_guard guard(d->inlineLock);
        work();
        return;
    }
    std::mutex doneLock;
    std::condition_variable doneChanged;
    bool done = false;
    bool queued = false;
    {
        std::lock_guard guard(d->lock);
        if (!d->stopping) {
            queued = true;
            d->work.push_back([&] {
                work();
                std::lock_guard doneGuard(doneLock);
                done = true;
                doneChanged.notify_all();
            });
        }
    }
    if (!queued)
        return;
    d->changed.notify_one();
    std::unique_lock guard(doneLock);
    doneChanged.wait(guard, [&] { return done; });
}

bool VUDispatchQueue::isCurrent() const
{
    return d->threadRunning && std::this_thread::get_id() == d->threadId;
}

std::shared_ptr<VUDispatchQueue> VUDispatchQueue::global()
{
    static const auto queue = std::make_shared<VUDispatchQueue>(QStringLiteral("org.quillon.VovUdezir.GlobalQueue"));
    return queue;
}
