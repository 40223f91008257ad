#include "CallbackQueue.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace mobiledevice {

CallbackQueue &CallbackQueue::instance()
{
    static CallbackQueue *queue = new CallbackQueue(); // lives as long as the process
    return *queue;
}

CallbackQueue::CallbackQueue()
{
    mEventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void CallbackQueue::post(std::function<void()> callback)
{
    {
        std::lock_guard lock(mMutex);
        mQueue.push_back(std::move(callback));
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(mEventFd, &one, sizeof one);
}

int CallbackQueue::perform()
{
    std::deque<std::function<void()>> ready;
    {
        std::lock_guard lock(mMutex);
        uint64_t count = 0;
        [[maybe_unused]] ssize_t got = ::read(mEventFd, &count, sizeof count);
        ready.swap(mQueue);
    }
    for (auto &callback : ready)
        callback();
    return static_cast<int>(ready.size());
}

} // namespace mobiledevice
