#include "telemetry/core/VUWorkers.h"

#include "platform/QueuedCall.h"

#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

// Below this many items handing work to another thread costs more than it saves.
constexpr qsizetype kMinItemsToShare = 8;
constexpr int kMaxHelpers = 3;
// The address on which a helper's start is ordered after its function was made (one for all
// helpers: the captures' own addresses cannot be known before Qt has moved them).
const char kHelperStart = 0;

QThreadPool &pool()
{
    // A pool of its own: the application's global pool may be busy with long tasks.
    static QThreadPool *const workers = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(std::clamp(QThread::idealThreadCount() - 1, 1, kMaxHelpers));
        created->setExpiryTimeout(5000);
        return created;
    }();
    return *workers;
}

// A thread waiting in forEach is held up until its items are done, while a started job's
// owner goes on: helpers for forEach are served before jobs already queued.
enum Urgency { kBackground = 0, kSomeoneWaits = 1 };

// Hand-over marks for work handed through the pool (see forEach).
void startOnPool(std::function<void()> helper, Urgency urgency)
{
    std::function<void()> marked = [helper = std::move(helper)] {
        HandOver::acquire(&kHelperStart);
        helper();
    };
    HandOver::release(&kHelperStart);
    pool().start(std::move(marked), urgency);
}

struct Share
{
    explicit Share(qsizetype total, const std::function<void(qsizetype)> &fn) : count(total), work(fn) {}

    const qsizetype count;
    const std::function<void(qsizetype)> &work; // valid while finished < count
    std::atomic<qsizetype> next{0};
    std::mutex lock;
    std::condition_variable allDone;
    qsizetype finished = 0;

    // Takes items until none are left. An item taken is always finished before the caller
    // of forEach returns, so `work` is only used while it still exists.
    void takeItems()
    {
        qsizetype done = 0;
        for (qsizetype i = next++; i < count; i = next++) {
            work(i);
            ++done;
        }
        if (done == 0)
            return;
        std::lock_guard guard(lock);
        finished += done;
        if (finished == count)
            allDone.notify_all();
    }
};

} // namespace

void VUWorkers::forEach(qsizetype count, const std::function<void(qsizetype index)> &work)
{
    if (count <= 0)
        return;
    if (count < kMinItemsToShare) {
        for (qsizetype i = 0; i < count; ++i)
            work(i);
        return;
    }
    auto share = std::make_shared<Share>(count, work);
    QThreadPool &workers = pool();
    const int helpers = int(std::min<qsizetype>(workers.maxThreadCount(), count / kMinItemsToShare));
    // The pool hands each helper its function through Qt's own locks, which the thread
    // sanitizer cannot see: the hand-over is marked, before the helper reads its captures.
    for (int i = 0; i < helpers; ++i)
        startOnPool([share] { share->takeItems(); }, kSomeoneWaits);
    share->takeItems();
    std::unique_lock guard(share->lock);
    share->allDone.wait(guard, [&] { return share->finished == count; });
}

void VUWorkers::Job::runIfUntaken()
{
    {
        std::lock_guard guard(mLock);
        if (mStage != Stage::Waiting)
            return;
        mStage = Stage::Running;
    }
    mWork();
    std::lock_guard guard(mLock);
    mStage = Stage::Done;
    mFinished.notify_all();
}

void VUWorkers::Job::join()
{
    runIfUntaken();
    std::unique_lock guard(mLock);
    mFinished.wait(guard, [&] { return mStage == Stage::Done; });
}

std::shared_ptr<VUWorkers::Job> VUWorkers::start(std::function<void()> work)
{
    auto job = std::make_shared<Job>(std::move(work));
    // Weak: a job joined and dropped before a helper reaches it is simply skipped.
    startOnPool([weak = std::weak_ptr<Job>(job)] {
        if (const auto job = weak.lock())
            job->runIfUntaken();
    }, kBackground);
    return job;
}
