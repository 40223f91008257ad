#pragma once
// Spreads independent pieces of work (archiving or decoding the logs of one batch) over a
// few helper threads, so a backlog does not wait on one core for work that shares nothing.
//
// forEach runs work(i) once for every i below count and returns when all have finished.
// The calling thread takes items itself, so everything finishes even when no helper thread
// can start; small counts run on the calling thread alone. Items may run in any order and
// at the same time: work must only touch what belongs to its own index (and thread-safe
// shared state). Callable from any thread.

#include <QtGlobal>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace VUWorkers {

void forEach(qsizetype count, const std::function<void(qsizetype index)> &work);

// One piece of work started on a helper thread now and joined later, so the starting thread
// goes on meanwhile. Whoever comes first runs it: join() runs it on the calling thread when no
// helper has taken it yet (a busy pool or a helper that could not start never holds it up),
// else waits for the helper to finish. What the work wrote is visible after join().
class Job
{
public:
    explicit Job(std::function<void()> work) : mWork(std::move(work)) {}
    void join();
    // Runs the work here unless another thread has taken it; returns without waiting.
    void runIfUntaken();

private:
    enum class Stage { Waiting, Running, Done };
    std::function<void()> mWork;
    std::mutex mLock;
    std::condition_variable mFinished;
    Stage mStage = Stage::Waiting;
};

std::shared_ptr<Job> start(std::function<void()> work);

} // namespace VUWorkers
