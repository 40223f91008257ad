#pragma once
// Real devices: the phones usbmuxd reports, over USB or the network.
//
// RealRegistry follows usbmuxd's events (libusbmuxd's own thread calls it) and posts attach
// and detach callbacks to every subscription through the CallbackQueue, so program code never
// runs on a library thread. Each attachment is one RealDevice, never freed: a reference the
// program kept stays safe to call after the device left (every call then answers
// kAMDNotConnectedError).
//
// usbmuxd keeps the pairing records; the library reads them through libusbmuxd and never
// writes them itself (libimobiledevice saves a new one through usbmuxd when pairing succeeds).
//
// Locks: RealRegistry::mMutex guards the registry; RealDevice::mutex guards one device's
// connection and session. Neither is held while program code runs.

#include <mobiledevice/MobileDevice.h>

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace mobiledevice::real {

struct RealDevice
{
    std::string udid;
    uint32_t muxHandle = 0;
    uint32_t interface = kAMDInterfaceUSB;
    std::atomic<bool> gone{false};

    std::mutex mutex; // guards everything below
    idevice_t idevice = nullptr;
    lockdownd_client_t lockdown = nullptr;
    std::string sessionId;
    bool sessionOpen = false;
};

class RealRegistry
{
public:
    static RealRegistry &instance();

    RealDevice *find(AMDeviceRef device);
    AMDError subscribe(AMDeviceNotificationCallback callback, void *context,
                       AMDeviceNotificationRef *subscription);
    AMDError unsubscribe(AMDeviceNotificationRef subscription);

    // Called from libusbmuxd's event thread.
    void attached(const std::string &udid, uint32_t muxHandle, bool network);
    void detached(uint32_t muxHandle);

private:
    struct Subscription;
    RealRegistry() = default;
    void post(const std::shared_ptr<Subscription> &subscription, RealDevice *device, uint32_t message);
    void startEventsLocked();

    std::mutex mMutex;
    bool mEventsStarted = false;
    std::vector<RealDevice *> mAttached;
    std::set<RealDevice *> mAll;
    std::vector<std::shared_ptr<Subscription>> mSubscriptions;
};

// The device behind `ref` with `error` set when the call must fail (unknown handle: null and
// kAMDInvalidArgumentError; gone: kAMDNotConnectedError).
RealDevice *enterDevice(AMDeviceRef ref, AMDError &error);

// A fresh usbmuxd-level handle for the device, for one service connection of its own.
idevice_t newIdevice(RealDevice *device);

// The framework's code for a lockdown answer; unknown answers are logged with lockdown's own
// number and never become success.
AMDError codeForLockdown(lockdownd_error_t error, const char *what);

// One line on standard error, prefixed with the library's name.
void logLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The usbmuxd socket the library talks to, for log lines.
std::string usbmuxdAddress();

// The host identifier of usbmuxd's pairing record for `udid`, or "" when there is none.
std::string pairedHostId(const std::string &udid);

// Maximum wait for one reply on a service connection.
constexpr unsigned kReplyTimeoutMs = 30000;

} // namespace mobiledevice::real
