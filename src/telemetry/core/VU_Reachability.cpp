#include "telemetry/core/VU_Reachability.h"

#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "telemetry/core/VUNetlinkRouteMonitor.h"

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace {

// Started watchers by id. Reports look a watcher up here on the main thread, so a report
// that outlives its watcher finds nothing.
std::mutex gRegistryLock;
std::map<quint64, std::weak_ptr<VU_Reachability>> gStarted;
std::atomic<quint64> gNextId{1};
std::optional<qint64> gSimulatedStatus;
std::unique_ptr<VUNetlinkRouteMonitor> gMonitor;

void postOnMain(quint64 id)
{
    MainThread::performOnMainThread([id] {
        std::shared_ptr<VU_Reachability> watcher;
        {
            std::lock_guard guard(gRegistryLock);
            const auto it = gStarted.find(id);
            if (it != gStarted.end())
                watcher = it->second.lock();
        }
        if (watcher)
            NotificationCenter::defaultCenter().postNotificationName(
                VU_Reachability::kVUNetworkReachabilityChangedNotification, watcher.get());
    });
}

void postToAllStarted()
{
    std::vector<quint64> ids;
    {
        std::lock_guard guard(gRegistryLock);
        for (const auto &entry : gStarted)
            ids.push_back(entry.first);
    }
    // Outside the lock: without an event loop the post runs in place and looks up again.
    for (quint64 id : ids)
        postOnMain(id);
}

// Made by the first watcher that starts; lives for the process.
void ensureMonitor()
{
    std::lock_guard guard(gRegistryLock);
    if (!gMonitor)
        gMonitor = std::make_unique<VUNetlinkRouteMonitor>([](bool) { postToAllStarted(); });
}

} // namespace

VU_Reachability::VU_Reachability() : mId(gNextId++) {}

VU_Reachability::~VU_Reachability()
{
    std::lock_guard guard(gRegistryLock);
    gStarted.erase(mId);
}

std::shared_ptr<VU_Reachability> VU_Reachability::reachabilityForInternetConnection()
{
    return std::shared_ptr<VU_Reachability>(new VU_Reachability());
}

bool VU_Reachability::startNotifier()
{
    ensureMonitor();
    {
        std::lock_guard guard(gRegistryLock);
        gStarted[mId] = weak_from_this();
    }
    postOnMain(mId);
    return true;
}

void VU_Reachability::stopNotifier()
{
    std::lock_guard guard(gRegistryLock);
    gStarted.erase(mId);
}

bool VU_Reachability::isStarted() const
{
    std::lock_guard guard(gRegistryLock);
    return gStarted.count(mId) != 0;
}

quint32 VU_Reachability::currentFlags() const
{
    bool reachable = true;
    {
        std::lock_guard guard(gRegistryLock);
        if (gSimulatedStatus)
            return *gSimulatedStatus == NotReachable ? 0u : quint32(kReachable);
        if (gMonitor && gMonitor->isWatching())
            reachable = gMonitor->isReachable();
        else
            reachable = VUNetlinkRouteMonitor::queryDefaultRoute().value_or(true);
    }
    return reachable ? quint32(kReachable) : 0u;
}

qint64 VU_Reachability::currentReachabilityStatus() const
{
    return networkStatusForFlags(currentFlags());
}

bool VU_Reachability::connectionRequired() const
{
    return currentFlags() & kConnectionRequired;
}

qint64 VU_Reachability::networkStatusForFlags(quint32 flags)
{
    if (!(flags & kReachable))
        return NotReachable;
    if (!(flags & kConnectionRequired))
        return Reachable;
    if ((flags & (kConnectionOnTraffic | kConnectionOnDemand)) && !(flags & kInterventionRequired))
        return Reachable;
    return NotReachable;
}

void VU_Reachability::setSimulatedStatus(std::optional<qint64> status)
{
    {
        std::lock_guard guard(gRegistryLock);
        gSimulatedStatus = status;
    }
    postToAllStarted();
}
