#pragma once
// The attached simulated devices and the subscriptions that hear of them.
//
// A watcher thread follows the folder named by QUILLON_SIM_DEVICES with inotify: a
// sub-folder is attached while it holds "device.plist" and is not away (marker file
// "away"), unplugged by a disconnect fault, or asleep (a Wi-Fi device with
// "SleepAfterSeconds" that no power assertion or connection keeps awake). Every change is
// posted as a callback to every subscription through the CallbackQueue; the watcher never
// calls program code itself. The variable is read again at every subscription, so a new
// value switches folders (the old devices detach).
//
// Locks: mMutex guards everything below; it is never held while program code runs.

#include "SimDevice.h"

#include <mobiledevice/MobileDevice.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace mobiledevice {

class DeviceRegistry
{
public:
    static DeviceRegistry &instance();

    // The device behind a reference the library handed out, or null.
    SimDevice *find(AMDeviceRef device);
    // The attached device with this "UniqueDeviceID", or null.
    SimDevice *findAttached(const std::string &uniqueDeviceID);

    AMDError subscribe(AMDeviceNotificationCallback callback, void *context,
                       AMDeviceNotificationRef *subscription);
    AMDError unsubscribe(AMDeviceNotificationRef subscription);

    // The device left without warning (a disconnect fault): it detaches now and stays away
    // until its fault file changes.
    void unplug(SimDevice *device);
    // Keeps a Wi-Fi device awake until now + seconds.
    void holdAwake(SimDevice *device, double seconds);
    // Wakes the sleeping device with this identifier; false when none can be reached.
    bool wake(const std::string &uniqueDeviceID);
    // Something that decides presence changed (a connection ended): look again soon.
    void rescanSoon();

private:
    using Clock = std::chrono::steady_clock;
    struct Subscription;
    struct FolderState
    {
        Clock::time_point awakeSince{};
        Clock::time_point assertionUntil{};
        bool asleep = false;
        std::optional<std::string> unpluggedWhileFaults; // identity of faults.plist then
    };

    DeviceRegistry();
    void run();
    // Brings the attached set up to date; returns when the next sleep may fall due.
    std::optional<Clock::time_point> rescan();
    void post(const std::shared_ptr<Subscription> &subscription, SimDevice *device, uint32_t message);
    void detachLocked(const std::string &folder);

    std::mutex mMutex;
    std::thread mThread;
    int mInotifyFd = -1;
    int mWakeFd = -1;
    std::string mRoot;
    std::string mWatchedRoot;
    std::set<int> mWatches;
    std::map<std::string, SimDevice *> mAttached;    // folder -> device
    std::set<SimDevice *> mAll;                      // every device ever made
    std::map<std::string, FolderState> mFolders;
    std::vector<std::shared_ptr<Subscription>> mSubscriptions;
};

} // namespace mobiledevice
