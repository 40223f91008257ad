#pragma once
// A device server for tests, never shipped. It speaks usbmuxd's socket protocol and, behind
// it, lockdown, the file service (AFC), house_arrest, the installation proxy and plist
// services such as springboard's icons, for the simulated devices of QUILLON_SIM_DEVICES
// (docs/simulated-device.md). What each device holds and answers comes from the library's
// simulated backend running in this process, so one fixture folder drives both backends and
// its faults.plist applies here too.
//
// Test-only knobs for what the simulated devices cannot do wrong on the wire are read at each
// request from "<QUILLON_SIM_DEVICES>/.wire.plist" (see WireFaults).
//
// Threads: the main thread accepts clients and pumps the library's run-loop source (attach
// and detach); every client connection has a thread of its own. mMutex guards the tables.

#include <mobiledevice/MobileDevice.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace testdevice {

// Misbehaviour on the wire, from .wire.plist (all default off).
struct WireFaults
{
    std::vector<std::string> extraListingNames; // "ExtraListingNames": data items added to every listing
    bool afcGarbage = false;                    // "AFCGarbage": a file-service reply is junk with a huge length, then a hang-up
    bool lockdownGarbage = false;               // "LockdownGarbage": a lockdown reply is not a property list, then a hang-up
    bool stallLockdown = false;                 // "StallLockdown": lockdown reads requests and never answers
    int64_t dropAfterReadBytes = -1;            // "DropAfterReadBytes": a file read reaching this offset drops the connection
    bool wrongTypes = false;                    // "WrongTypes": values, listings and app lists come back as the wrong node types
};

class Server
{
public:
    explicit Server(std::string devicesRoot);
    int run(const std::string &socketPath);

    // Called by the notification callback on the main thread.
    void deviceAttached(AMDeviceRef device);
    void deviceDetached(AMDeviceRef device);

    WireFaults wireFaults() const;

private:
    struct Device
    {
        AMDeviceRef ref = nullptr;
        std::string udid;
        bool wifi = false;
    };
    struct PendingService
    {
        std::string name;
        AMDServiceConnectionRef sim = nullptr; // null for the services served here directly
    };

    void serveClient(int fd);
    void serveLockdown(int fd, uint32_t deviceId, AMDeviceRef device);
    void serveService(int fd, AMDeviceRef device, const PendingService &service);
    void serveAfc(int fd, AFCConnectionRef connection);
    void serveHouseArrest(int fd, AMDeviceRef device);
    void serveInstallationProxy(int fd, AMDeviceRef device);
    void servePlistRelay(int fd, AMDServiceConnectionRef service);
    plist_t deviceProperties(uint32_t id, const Device &device) const;
    plist_t pairRecord(const std::string &udid);
    void broadcast(plist_t message);

    std::string mRoot;
    std::string mPublicKeyPem;
    mutable std::mutex mMutex;
    uint32_t mNextId = 1;
    uint16_t mNextPort = 49152;
    std::map<uint32_t, Device> mAttached;
    std::set<int> mListeners;
    std::map<std::pair<uint32_t, uint16_t>, PendingService> mPending;
    std::map<std::string, std::vector<char>> mSavedRecords;
};

} // namespace testdevice
