#pragma once
// A serial work queue with timers: the telemetry component's counterpart of a serial
// dispatch queue. Work runs one item at a time, in the order given, on the queue's own
// thread; delayed work runs once its time has come, in time order, and can be cancelled
// until it starts.
//
// Thread-safe. sync() from the queue's own thread runs the work at once. When the thread
// cannot start, work runs on the caller's thread (still one at a time) and delayed work
// is dropped with an error. Destroying the queue drops work that has not started and waits
// for running work to finish (from the queue's own work, the thread ends by itself), so it
// must not be destroyed while holding a lock its work takes.

#include <QString>

#include <functional>
#include <memory>
#include <thread>

class VUDispatchQueue
{
public:
    using Token = quint64; // never 0 for delayed work

    explicit VUDispatchQueue(const QString &label);
    ~VUDispatchQueue();
    VUDispatchQueue(const VUDispatchQueue &) = delete;
    VUDispatchQueue &operator=(const VUDispatchQueue &) = delete;

    QString label() const;
    void async(std::function<void()> work);
    Token asyncAfter(qint64 delayMs, std::function<void()> work);
    void cancel(Token token);
    void sync(const std::function<void()> &work);
    bool isCurrent() const;
    // Drops work that has not started and ends the thread as the destructor does; later work
    // is dropped. Its owner calls it so that no work outlives what the work uses: from any
    // other thread it returns once running work has ended (also when an earlier stop from the
    // queue's own work let the thread go). While it waits, `whileWaiting` (if given) is called
    // every few milliseconds: MainThread::serveWhileWaiting, so work that waits for the main
    // thread can end.
    void stop(const std::function<void()> &whileWaiting = {});

    // The process-wide queue on which retry timers fire.
    static std::shared_ptr<VUDispatchQueue> global();

private:
    struct State;
    std::shared_ptr<State> d;
    std::thread mThread;
};
