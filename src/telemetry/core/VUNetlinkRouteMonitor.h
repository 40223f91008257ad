#pragma once
// Whether this machine has a way out: a default route (IPv4 or IPv6) over a link that is up
// and running, learned from the kernel's routing tables over netlink, and watched through
// the kernel's route and link events.
//
// The sockets belong to the network namespace of the thread that makes the monitor. The
// callback runs on the monitor's own thread after every burst of route or link events, with
// the status read after it; the destructor stops and joins that thread (never destroy the
// monitor from inside its callback).

#include <atomic>
#include <functional>
#include <optional>
#include <thread>

class VUNetlinkRouteMonitor
{
public:
    using Callback = std::function<void(bool reachable)>;

    explicit VUNetlinkRouteMonitor(Callback onChange);
    ~VUNetlinkRouteMonitor();
    VUNetlinkRouteMonitor(const VUNetlinkRouteMonitor &) = delete;
    VUNetlinkRouteMonitor &operator=(const VUNetlinkRouteMonitor &) = delete;

    // False when no event socket or thread could be had (nothing is then watched).
    bool isWatching() const { return mWatching; }
    bool isReachable() const { return mReachable.load(); }

    // Asks the kernel now, in the calling thread's namespace; nothing when it cannot be asked.
    static std::optional<bool> queryDefaultRoute();

private:
    void run();

    Callback mOnChange;
    int mEventSocket = -1;
    int mStopEvent = -1;
    bool mWatching = false;
    std::atomic<bool> mReachable{true};
    std::thread mThread;
};
