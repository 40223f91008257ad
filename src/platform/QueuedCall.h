#pragma once
// A function handed to another thread's event loop (`QMetaObject::invokeMethod` with a queued
// or blocking connection), carrying what the thread sanitizer needs to see that hand-over.
//
// Qt passes a queued call through its own locks, semaphore and reference counts. Qt is not
// built with the sanitizer, so in a tsan build none of that is visible: the poster's writes
// look unordered with the run, and the run with the poster dropping its reference to the
// call afterwards, and every queued call would be reported as a race. The call marks both
// hand-overs (poster → run → whoever destroys it) on its own address, and a blocking poster
// waits on a mark of its own; nothing else is ordered, so a real race in the function's
// captures against another thread is still reported. Outside tsan builds the marks are empty.
//
// Move-only; run once, on the thread the call was queued to.

#include <functional>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#define QUILLON_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLON_TSAN_BUILD 1
#endif
#endif

#ifdef QUILLON_TSAN_BUILD
#include <sanitizer/tsan_interface.h>
#endif

namespace HandOver {

// A happens-before edge from a `release` on `mark` to a later `acquire` on it.
inline void release([[maybe_unused]] const void *mark)
{
#ifdef QUILLON_TSAN_BUILD
    __tsan_release(const_cast<void *>(mark));
#endif
}

inline void acquire([[maybe_unused]] const void *mark)
{
#ifdef QUILLON_TSAN_BUILD
    __tsan_acquire(const_cast<void *>(mark));
#endif
}

} // namespace HandOver

class QueuedCall
{
public:
    // `done`, when given, is marked after the function ran: a blocking poster acquires it once
    // its wait ends, so what the function wrote is ordered before what the poster reads next.
    explicit QueuedCall(std::function<void()> fn, const void *done = nullptr)
        : mFn(std::move(fn)), mDone(done)
    {
        HandOver::release(this);
    }

    // Qt moves the call into its own slot object: the last move is the one that is posted.
    QueuedCall(QueuedCall &&other) noexcept : mFn(std::move(other.mFn)), mDone(other.mDone)
    {
        other.mDone = nullptr;
        HandOver::release(this);
    }

    QueuedCall(const QueuedCall &) = delete;
    QueuedCall &operator=(const QueuedCall &) = delete;
    QueuedCall &operator=(QueuedCall &&) = delete;

    // Whichever thread drops the last reference destroys the captures after the run.
    ~QueuedCall() { HandOver::acquire(this); }

    void operator()()
    {
        HandOver::acquire(this);
        if (mFn)
            mFn();
        const void *done = mDone;
        HandOver::release(this);
        if (done)
            HandOver::release(done);
    }

private:
    std::function<void()> mFn;
    const void *mDone;
};
