#pragma once
// Watches whether the machine can reach the network and posts
// "kVUNetworkReachabilityChangedNotification" (object: the watcher) on the main thread when
// that may have changed, once right after startNotifier and then after every route or link
// event the kernel reports (VUNetlinkRouteMonitor).
//
// Reachable means a default route over a running link, as the design's "internet
// connection" watcher means a route to the IPv4 any-address. Each ingestion owns one watcher.
//
// Thread-safe. A notification is delivered only while the watcher exists and is started:
// one started twice is reported once, and a destroyed one never. Tests drive the status
// through setSimulatedStatus instead of the machine's routes.

#include <QString>

#include <memory>
#include <optional>

class VU_Reachability : public std::enable_shared_from_this<VU_Reachability>
{
public:
    enum NetworkStatus : qint64 { NotReachable = 0, Reachable = 1 };

    // The platform's reachability flag bits the status rule reads.
    enum Flags : quint32 {
        kReachable = 0x2,
        kConnectionRequired = 0x4,
        kConnectionOnTraffic = 0x8,
        kInterventionRequired = 0x10,
        kConnectionOnDemand = 0x20,
    };

    static inline const QString kVUNetworkReachabilityChangedNotification =
        QStringLiteral("kVUNetworkReachabilityChangedNotification");

    static std::shared_ptr<VU_Reachability> reachabilityForInternetConnection();
    ~VU_Reachability();

    // True once started (again); posts one notification now, asynchronously.
    bool startNotifier();
    void stopNotifier();
    bool isStarted() const;

    qint64 currentReachabilityStatus() const;
    bool connectionRequired() const;
    quint32 currentFlags() const;
    static qint64 networkStatusForFlags(quint32 flags);

    // Test seam: every watcher reports this status (none: the machine's again), and every
    // started watcher posts a notification.
    static void setSimulatedStatus(std::optional<qint64> status);

private:
    VU_Reachability();
    quint64 mId;
};
