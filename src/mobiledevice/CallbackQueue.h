#pragma once
// The library's run-loop source: callbacks wait here until the program's chosen thread runs
// them (AMDRunLoopSourcePerform), so no program code ever runs on a library thread.
//
// post() may be called from any thread; an eventfd stays readable while anything waits.
// perform() runs what was queued when it started, in order, outside the queue's lock, so a
// callback may post again (that runs in a later turn).

#include <deque>
#include <functional>
#include <mutex>

namespace mobiledevice {

class CallbackQueue
{
public:
    static CallbackQueue &instance();

    int descriptor() const { return mEventFd; }
    void post(std::function<void()> callback);
    int perform();

private:
    CallbackQueue();
    int mEventFd = -1;
    std::mutex mMutex;
    std::deque<std::function<void()>> mQueue;
};

} // namespace mobiledevice
