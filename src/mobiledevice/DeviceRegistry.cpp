#include "DeviceRegistry.h"

#include "CallbackQueue.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mobiledevice {

struct DeviceRegistry::Subscription
{
    AMDeviceNotificationCallback callback = nullptr;
    void *context = nullptr;
    std::atomic<bool> active{true};
};

namespace {

constexpr uint32_t kRootEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB | IN_ONLYDIR;

bool exists(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string fileIdentity(const std::string &path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return "none";
    return std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "."
        + std::to_string(st.st_mtim.tv_nsec);
}

std::vector<std::string> subfolders(const std::string &root)
{
    std::vector<std::string> names;
    DIR *dir = root.empty() ? nullptr : ::opendir(root.c_str());
    if (!dir)
        return names;
    while (dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        struct stat st {};
        const std::string folder = root + "/" + entry->d_name;
        if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

DeviceRegistry &DeviceRegistry::instance()
{
    static DeviceRegistry *registry = new DeviceRegistry(); // lives as long as the process
    return *registry;
}

DeviceRegistry::DeviceRegistry()
{
    mInotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    mWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

SimDevice *DeviceRegistry::find(AMDeviceRef device)
{
    auto *candidate = reinterpret_cast<SimDevice *>(device);
    std::lock_guard lock(mMutex);
    return mAll.count(candidate) ? candidate : nullptr;
}

SimDevice *DeviceRegistry::findAttached(const std::string &uniqueDeviceID)
{
    std::vector<SimDevice *> attached;
    {
        std::lock_guard lock(mMutex);
        for (const auto &[folder, device] : mAttached)
            attached.push_back(device);
    }
    for (SimDevice *device : attached)
        if (!device->gone() && device->uniqueDeviceID() == uniqueDeviceID)
            return device;
    return nullptr;
}

AMDError DeviceRegistry::subscribe(AMDeviceNotificationCallback callback, void *context,
                                   AMDeviceNotificationRef *subscription)
{
    if (!callback || !subscription)
        return kAMDInvalidArgumentError;
    auto entry = std::make_shared<Subscription>();
    entry->callback = callback;
    entry->context = context;
    {
        std::lock_guard lock(mMutex);
        const char *root = std::getenv("QUILLON_SIM_DEVICES");
        mRoot = root ? root : "";
        while (mRoot.size() > 1 && mRoot.back() == '/')
            mRoot.pop_back();
        rescan();
        mSubscriptions.push_back(entry);
        for (const auto &[folder, device] : mAttached)
            post(entry, device, kAMDeviceAttached);
        if (!mThread.joinable())
            mThread = std::thread([this] { run(); });
    }
    *subscription = reinterpret_cast<AMDeviceNotificationRef>(entry.get());
    rescanSoon();
    return kAMDSuccess;
}

AMDError DeviceRegistry::unsubscribe(AMDeviceNotificationRef subscription)
{
    std::lock_guard lock(mMutex);
    for (auto it = mSubscriptions.begin(); it != mSubscriptions.end(); ++it) {
        if (reinterpret_cast<AMDeviceNotificationRef>(it->get()) == subscription) {
            (*it)->active.store(false);
            mSubscriptions.erase(it);
            return kAMDSuccess;
        }
    }
    return kAMDInvalidArgumentError;
}

void DeviceRegistry::post(const std::shared_ptr<Subscription> &subscription, SimDevice *device, uint32_t message)
{
    CallbackQueue::instance().post([subscription, device, message] {
        if (!subscription->active.load())
            return;
        AMDeviceNotificationCallbackInfo info{};
        info.device = reinterpret_cast<AMDeviceRef>(device);
        info.message = message;
        info.subscription = reinterpret_cast<AMDeviceNotificationRef>(subscription.get());
        subscription->callback(&info, subscription->context);
    });
}

void DeviceRegistry::detachLocked(const std::string &folder)
{
    auto it = mAttached.find(folder);
    if (it == mAttached.end())
        return;
    SimDevice *device = it->second;
    device->markGone();
    mAttached.erase(it);
    for (const auto &subscription : mSubscriptions)
        post(subscription, device, kAMDeviceDetached);
}

void DeviceRegistry::unplug(SimDevice *device)
{
    std::lock_guard lock(mMutex);
    auto it = mAttached.find(device->folder());
    if (it == mAttached.end() || it->second != device)
        return;
    mFolders[device->folder()].unpluggedWhileFaults = fileIdentity(device->path("faults.plist"));
    detachLocked(device->folder());
}

void DeviceRegistry::holdAwake(SimDevice *device, double seconds)
{
    {
        std::lock_guard lock(mMutex);
        FolderState &state = mFolders[device->folder()];
        // The caller's seconds become microseconds on a 64-bit clock: keep them to a day.
        const double held = std::isfinite(seconds) ? std::clamp(seconds, 0.0, 86400.0) : 0.0;
        const auto until = Clock::now() + std::chrono::microseconds(static_cast<long long>(held * 1e6));
        state.assertionUntil = std::max(state.assertionUntil, until);
    }
    rescanSoon();
}

bool DeviceRegistry::wake(const std::string &uniqueDeviceID)
{
    std::lock_guard lock(mMutex);
    for (const std::string &name : subfolders(mRoot)) {
        const std::string folder = mRoot + "/" + name;
        PlistPtr settings = readPlistFile(folder + "/device.plist");
        if (!settings)
            continue;
        if (plistString(plistDict(settings.get(), "Values"), "UniqueDeviceID", name) != uniqueDeviceID)
            continue;
        if (exists(folder + "/away"))
            continue;
        FolderState &state = mFolders[folder];
        state.asleep = false;
        state.awakeSince = Clock::now();
        rescan();
        return true;
    }
    return false;
}

void DeviceRegistry::rescanSoon()
{
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(mWakeFd, &one, sizeof one);
}

std::optional<DeviceRegistry::Clock::time_point> DeviceRegistry::rescan()
{
    // A new folder to follow: the devices of the old one go away.
    if (mRoot != mWatchedRoot) {
        while (!mAttached.empty())
            detachLocked(mAttached.begin()->first);
        mFolders.clear();
        // The descriptor stays: the watcher may be polling it right now.
        for (int watch : mWatches)
            ::inotify_rm_watch(mInotifyFd, watch);
        mWatches.clear();
        mWatchedRoot = mRoot;
    }
    if (!mRoot.empty())
        if (const int watch = ::inotify_add_watch(mInotifyFd, mRoot.c_str(), kRootEvents); watch >= 0)
            mWatches.insert(watch);

    const auto now = Clock::now();
    std::optional<Clock::time_point> nextDue;
    std::set<std::string> seen;
    for (const std::string &name : subfolders(mRoot)) {
        const std::string folder = mRoot + "/" + name;
        seen.insert(folder);
        // Watch first, then look: nothing that happens in between is missed.
        if (const int watch = ::inotify_add_watch(mInotifyFd, folder.c_str(), kFolderEvents); watch >= 0)
            mWatches.insert(watch);
        FolderState &state = mFolders[folder];
        bool unplugged = false;
        if (state.unpluggedWhileFaults) {
            if (*state.unpluggedWhileFaults == fileIdentity(folder + "/faults.plist"))
                unplugged = true;
            else
                state.unpluggedWhileFaults.reset();
        }
        auto attached = mAttached.find(folder);
        if (attached != mAttached.end() && !state.asleep) {
            SimDevice *device = attached->second;
            const double sleepAfter = device->sleepAfterSeconds();
            if (device->interfaceType() == kAMDInterfaceWiFi && sleepAfter > 0) {
                bool connected = false;
                {
                    std::lock_guard deviceLock(device->mutex());
                    connected = device->connected;
                }
                const auto deadline = std::max(state.awakeSince + std::chrono::microseconds(static_cast<long long>(sleepAfter * 1e6)),
                                               state.assertionUntil);
                if (!connected && now >= deadline)
                    state.asleep = true;
                else if (!connected)
                    nextDue = nextDue ? std::min(*nextDue, deadline) : deadline;
            }
        }
        const bool present = exists(folder + "/device.plist") && !exists(folder + "/away") && !unplugged && !state.asleep;
        if (present && attached == mAttached.end()) {
            auto *device = new SimDevice(folder, name);
            mAll.insert(device);
            mAttached[folder] = device;
            state.awakeSince = now;
            for (const auto &subscription : mSubscriptions)
                post(subscription, device, kAMDeviceAttached);
            const double sleepAfter = device->sleepAfterSeconds();
            if (device->interfaceType() == kAMDInterfaceWiFi && sleepAfter > 0) {
                const auto deadline = now + std::chrono::microseconds(static_cast<long long>(sleepAfter * 1e6));
                nextDue = nextDue ? std::min(*nextDue, deadline) : deadline;
            }
        } else if (!present && attached != mAttached.end()) {
            detachLocked(folder);
        }
    }
    std::vector<std::string> vanished;
    for (const auto &[folder, device] : mAttached)
        if (!seen.count(folder))
            vanished.push_back(folder);
    for (const std::string &folder : vanished) {
        detachLocked(folder);
        mFolders.erase(folder);
    }
    return nextDue;
}

void DeviceRegistry::run()
{
    char buffer[8192];
    for (;;) {
        std::optional<Clock::time_point> nextDue;
        int inotifyFd = -1;
        bool rootMissing = false;
        {
            std::lock_guard lock(mMutex);
            nextDue = rescan();
            inotifyFd = mInotifyFd;
            rootMissing = mRoot.empty() || !exists(mRoot);
        }
        int timeoutMs = -1;
        if (nextDue) {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*nextDue - Clock::now()).count() + 1;
            timeoutMs = static_cast<int>(std::clamp<long long>(wait, 1, 60000));
        }
        if (rootMissing) // the folder may still be made: look for it now and then
            timeoutMs = timeoutMs < 0 ? 500 : std::min(timeoutMs, 500);
        pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
        ::poll(fds, 2, timeoutMs);
        while (::read(inotifyFd, buffer, sizeof buffer) > 0) {
        }
        uint64_t count = 0;
        [[maybe_unused]] ssize_t got = ::read(mWakeFd, &count, sizeof count);
    }
}

} // namespace mobiledevice
