// Real devices as usbmuxd reports them, and the lockdown answers mapped onto the framework's codes.

#include "RealDevices.h"

#include "Backend.h"
#include "CallbackQueue.h"

#include <usbmuxd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mobiledevice::real {

struct RealRegistry::Subscription
{
    AMDeviceNotificationCallback callback = nullptr;
    void *context = nullptr;
    std::atomic<bool> active{true};
};

namespace {

void onMuxEvent(const usbmuxd_event_t *event, void *)
{
    if (!event)
        return;
    // libusbmuxd fills the identifier from the wire into a fixed array: never trust its end.
    const std::string udid(event->device.udid, strnlen(event->device.udid, sizeof event->device.udid));
    if (event->event == UE_DEVICE_ADD)
        RealRegistry::instance().attached(udid, event->device.handle,
                                          event->device.conn_type == CONNECTION_TYPE_NETWORK);
    else if (event->event == UE_DEVICE_REMOVE)
        RealRegistry::instance().detached(event->device.handle);
}

} // namespace

void logLine(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "libmobiledevice: %s\n", text);
}

std::string usbmuxdAddress()
{
    const char *address = std::getenv("USBMUXD_SOCKET_ADDRESS");
    return address && *address ? address : "/var/run/usbmuxd";
}

RealRegistry &RealRegistry::instance()
{
    static RealRegistry *registry = new RealRegistry; // outlives libusbmuxd's thread
    return *registry;
}

RealDevice *RealRegistry::find(AMDeviceRef ref)
{
    auto *device = reinterpret_cast<RealDevice *>(ref);
    std::lock_guard lock(mMutex);
    return mAll.count(device) ? device : nullptr;
}

AMDError RealRegistry::subscribe(AMDeviceNotificationCallback callback, void *context,
                                 AMDeviceNotificationRef *subscription)
{
    if (!callback || !subscription)
        return kAMDInvalidArgumentError;
    auto entry = std::make_shared<Subscription>();
    entry->callback = callback;
    entry->context = context;
    std::lock_guard lock(mMutex);
    mSubscriptions.push_back(entry);
    for (RealDevice *device : mAttached)
        post(entry, device, kAMDeviceAttached);
    startEventsLocked();
    *subscription = reinterpret_cast<AMDeviceNotificationRef>(entry.get());
    return kAMDSuccess;
}

void RealRegistry::startEventsLocked()
{
    if (mEventsStarted)
        return;
    mEventsStarted = true;
    // Asked once so a missing usbmuxd is said plainly; libusbmuxd keeps listening for it anyway,
    // so a daemon started later still brings its devices.
    usbmuxd_device_info_t *list = nullptr;
    if (usbmuxd_get_device_list(&list) < 0)
        logLine("no usbmuxd at %s: real devices need the usbmuxd service running "
                "(Debian: apt install usbmuxd); running without devices",
                usbmuxdAddress().c_str());
    else
        usbmuxd_device_list_free(&list);
    usbmuxd_subscription_context_t context = nullptr;
    if (usbmuxd_events_subscribe(&context, onMuxEvent, nullptr) != 0)
        logLine("could not follow usbmuxd's device events; running without devices");
}

AMDError RealRegistry::unsubscribe(AMDeviceNotificationRef subscription)
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

void RealRegistry::attached(const std::string &udid, uint32_t muxHandle, bool network)
{
    if (udid.empty())
        return;
    std::lock_guard lock(mMutex);
    for (RealDevice *known : mAttached)
        if (known->muxHandle == muxHandle)
            return; // told twice
    auto *device = new RealDevice;
    device->udid = udid;
    device->muxHandle = muxHandle;
    device->interface = network ? kAMDInterfaceWiFi : kAMDInterfaceUSB;
    mAll.insert(device);
    mAttached.push_back(device);
    for (const auto &subscription : mSubscriptions)
        post(subscription, device, kAMDeviceAttached);
}

void RealRegistry::detached(uint32_t muxHandle)
{
    std::lock_guard lock(mMutex);
    for (auto it = mAttached.begin(); it != mAttached.end(); ++it) {
        RealDevice *device = *it;
        if (device->muxHandle != muxHandle)
            continue;
        device->gone.store(true);
        mAttached.erase(it);
        for (const auto &subscription : mSubscriptions)
            post(subscription, device, kAMDeviceDetached);
        return;
    }
}

void RealRegistry::post(const std::shared_ptr<Subscription> &subscription, RealDevice *device, uint32_t message)
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

RealDevice *enterDevice(AMDeviceRef ref, AMDError &error)
{
    RealDevice *device = RealRegistry::instance().find(ref);
    error = !device ? kAMDInvalidArgumentError : device->gone.load() ? kAMDNotConnectedError : kAMDSuccess;
    return device;
}

idevice_t newIdevice(RealDevice *device)
{
    idevice_t idevice = nullptr;
    const auto options = device->interface == kAMDInterfaceWiFi ? IDEVICE_LOOKUP_NETWORK : IDEVICE_LOOKUP_USBMUX;
    if (idevice_new_with_options(&idevice, device->udid.c_str(), options) != IDEVICE_E_SUCCESS)
        return nullptr;
    return idevice;
}

AMDError codeForLockdown(lockdownd_error_t error, const char *what)
{
    switch (error) {
    case LOCKDOWN_E_SUCCESS:
        return kAMDSuccess;
    case LOCKDOWN_E_MUX_ERROR:
    case LOCKDOWN_E_SSL_ERROR:
    case LOCKDOWN_E_RECEIVE_TIMEOUT:
        return kAMDNotConnectedError;
    case LOCKDOWN_E_INVALID_ARG:
        return kAMDInvalidArgumentError;
    case LOCKDOWN_E_PASSWORD_PROTECTED:
        return kAMDPasswordProtectedError;
    case LOCKDOWN_E_USER_DENIED_PAIRING:
    case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
        return kAMDUserDeniedPairingError;
    case LOCKDOWN_E_INVALID_HOST_ID:
    case LOCKDOWN_E_MISSING_HOST_ID:
    case LOCKDOWN_E_MISSING_PAIR_RECORD:
    case LOCKDOWN_E_INVALID_PAIR_RECORD:
        return kAMDNotPairedError;
    case LOCKDOWN_E_NO_RUNNING_SESSION:
    case LOCKDOWN_E_SESSION_INACTIVE:
    case LOCKDOWN_E_INVALID_SESSION_ID:
    case LOCKDOWN_E_MISSING_SESSION_ID:
        return kAMDSessionInactiveError;
    case LOCKDOWN_E_INVALID_SERVICE:
    case LOCKDOWN_E_MISSING_SERVICE:
        return kAMDInvalidServiceError;
    case LOCKDOWN_E_SERVICE_PROHIBITED:
    case LOCKDOWN_E_ESCROW_LOCKED:
        return kAMDDeviceLockedError;
    default:
        // Includes answers libimobiledevice knows no name for (LOCKDOWN_E_UNKNOWN_ERROR).
        logLine("%s: lockdown answered %d", what, int(error));
        return kAMDUndefinedError;
    }
}

std::string pairedHostId(const std::string &udid)
{
    char *data = nullptr;
    uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) < 0 || !data)
        return {};
    plist_t record = nullptr;
    if (size > 0 && size < (64u << 20))
        plist_from_memory(data, size, &record);
    free(data);
    std::string hostId;
    if (record && plist_get_node_type(record) == PLIST_DICT) {
        plist_t node = plist_dict_get_item(record, "HostID");
        if (node && plist_get_node_type(node) == PLIST_STRING) {
            char *text = nullptr;
            plist_get_string_val(node, &text);
            if (text)
                hostId = text;
            free(text);
        }
    }
    plist_free(record);
    return hostId;
}

} // namespace mobiledevice::real
