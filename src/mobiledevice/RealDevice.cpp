// The device entry points of real devices: connection, pairing, sessions and values over
// lockdown. The power-assertion and wake-up-token entry points have no counterpart through
// usbmuxd and are left unbound in effect (see each).

#include "RealDevices.h"

#include "Backend.h"

#include <cstdlib>
#include <cstring>

namespace mobiledevice::real {

namespace {

// Closes the session and lockdown client, device->mutex held.
void dropConnectionLocked(RealDevice *device)
{
    if (device->lockdown) {
        if (device->sessionOpen)
            lockdownd_stop_session(device->lockdown, device->sessionId.c_str());
        lockdownd_client_free(device->lockdown);
        device->lockdown = nullptr;
    }
    if (device->idevice) {
        idevice_free(device->idevice);
        device->idevice = nullptr;
    }
    device->sessionOpen = false;
    device->sessionId.clear();
}

// The device connected, with device->mutex held by `lock`; error set otherwise.
RealDevice *enterConnected(AMDeviceRef ref, AMDError &error, std::unique_lock<std::mutex> &lock)
{
    RealDevice *device = enterDevice(ref, error);
    if (error)
        return nullptr;
    lock = std::unique_lock(device->mutex);
    if (!device->lockdown) {
        error = kAMDNotConnectedError;
        return nullptr;
    }
    return device;
}

AMDError pairDevice(AMDeviceRef ref, plist_t options)
{
    AMDError error;
    std::unique_lock<std::mutex> lock;
    RealDevice *device = enterConnected(ref, error, lock);
    if (!device)
        return error;
    lockdownd_error_t answer;
    if (options && plist_get_node_type(options) == PLIST_DICT) {
        plist_t response = nullptr;
        answer = lockdownd_pair_with_options(device->lockdown, nullptr, options, &response);
        plist_free(response);
    } else {
        answer = lockdownd_pair(device->lockdown, nullptr);
    }
    return codeForLockdown(answer, "AMDevicePair");
}

std::string stringValue(plist_t node)
{
    std::string text;
    if (node && plist_get_node_type(node) == PLIST_STRING) {
        char *value = nullptr;
        plist_get_string_val(node, &value);
        if (value)
            text = value;
        free(value);
    }
    return text;
}

} // namespace

AMDError AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, uint32_t, uint32_t,
                                       void *context, AMDeviceNotificationRef *subscription)
{
    return RealRegistry::instance().subscribe(callback, context, subscription);
}

AMDError AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef subscription)
{
    return RealRegistry::instance().unsubscribe(subscription);
}

AMDError AMDeviceConnect(AMDeviceRef ref)
{
    AMDError error;
    RealDevice *device = enterDevice(ref, error);
    if (error)
        return error;
    std::lock_guard lock(device->mutex);
    if (device->lockdown)
        return kAMDSuccess;
    device->idevice = newIdevice(device);
    if (!device->idevice)
        return kAMDNotConnectedError;
    const lockdownd_error_t answer = lockdownd_client_new(device->idevice, &device->lockdown, "Quillon");
    if (answer != LOCKDOWN_E_SUCCESS) {
        device->lockdown = nullptr;
        dropConnectionLocked(device);
        return codeForLockdown(answer, "AMDeviceConnect");
    }
    return kAMDSuccess;
}

AMDError AMDeviceDisconnect(AMDeviceRef ref)
{
    AMDError error;
    RealDevice *device = enterDevice(ref, error);
    if (!device)
        return error;
    std::lock_guard lock(device->mutex);
    dropConnectionLocked(device);
    return error;
}

int AMDeviceIsPaired(AMDeviceRef ref)
{
    AMDError error;
    RealDevice *device = enterDevice(ref, error);
    return !error && !pairedHostId(device->udid).empty() ? 1 : 0;
}

AMDError AMDeviceValidatePairing(AMDeviceRef ref)
{
    AMDError error;
    std::unique_lock<std::mutex> lock;
    RealDevice *device = enterConnected(ref, error, lock);
    if (!device)
        return error;
    if (pairedHostId(device->udid).empty())
        return kAMDNotPairedError;
    return codeForLockdown(lockdownd_validate_pair(device->lockdown, nullptr), "AMDeviceValidatePairing");
}

AMDError AMDevicePair(AMDeviceRef ref)
{
    return pairDevice(ref, nullptr);
}

AMDError AMDevicePairWithOptions(AMDeviceRef ref, plist_t options)
{
    return pairDevice(ref, options);
}

AMDError AMDeviceStartSession(AMDeviceRef ref)
{
    AMDError error;
    std::unique_lock<std::mutex> lock;
    RealDevice *device = enterConnected(ref, error, lock);
    if (!device)
        return error;
    if (device->sessionOpen)
        return kAMDSuccess;
    const std::string hostId = pairedHostId(device->udid);
    if (hostId.empty())
        return kAMDNotPairedError;
    char *sessionId = nullptr;
    int ssl = 0;
    const lockdownd_error_t answer = lockdownd_start_session(device->lockdown, hostId.c_str(), &sessionId, &ssl);
    if (answer == LOCKDOWN_E_SUCCESS) {
        device->sessionOpen = true;
        device->sessionId = sessionId ? sessionId : "";
    }
    free(sessionId);
    return codeForLockdown(answer, "AMDeviceStartSession");
}

AMDError AMDeviceStopSession(AMDeviceRef ref)
{
    AMDError error;
    std::unique_lock<std::mutex> lock;
    RealDevice *device = enterConnected(ref, error, lock);
    if (!device)
        return error;
    if (!device->sessionOpen)
        return kAMDSessionInactiveError;
    const lockdownd_error_t answer = lockdownd_stop_session(device->lockdown, device->sessionId.c_str());
    device->sessionOpen = false;
    device->sessionId.clear();
    return codeForLockdown(answer, "AMDeviceStopSession");
}

plist_t AMDeviceCopyValue(AMDeviceRef ref, const char *domain, const char *key)
{
    AMDError error;
    std::unique_lock<std::mutex> lock;
    RealDevice *device = enterConnected(ref, error, lock);
    if (!device)
        return nullptr;
    if (domain && !device->sessionOpen)
        return nullptr;
    plist_t value = nullptr;
    if (lockdownd_get_value(device->lockdown, domain, key, &value) != LOCKDOWN_E_SUCCESS) {
        plist_free(value);
        return nullptr;
    }
    // The whole of a domain is a dictionary; anything else from the device is not a domain.
    if (!key && value && plist_get_node_type(value) != PLIST_DICT) {
        plist_free(value);
        return nullptr;
    }
    return value;
}

uint32_t AMDeviceGetInterfaceType(AMDeviceRef ref)
{
    AMDError error;
    RealDevice *device = enterDevice(ref, error);
    return device ? device->interface : kAMDInterfaceUnknown;
}

// usbmuxd keeps network devices reachable itself and offers no assertion to hold: the call
// holds nothing, exactly as when the entry point is missing, and lets the caller go on.
uint32_t AMDevicePowerAssertionCreate(AMDeviceRef ref, const char *, const char *, plist_t, double, AMDError *error)
{
    AMDError result;
    enterDevice(ref, result);
    if (error)
        *error = result;
    return 0;
}

// No wake-up tokens through usbmuxd: the caller keeps none, as when the entry point is missing.
AMDError AMDeviceCreateWakeupToken(AMDeviceRef, plist_t, plist_t *token)
{
    if (token)
        *token = nullptr;
    return kAMDUnsupportedError;
}

AMDError AMDeviceWakeupUsingToken(plist_t)
{
    return kAMDUnsupportedError;
}

void AMDeviceRelease(AMDeviceRef)
{
}

plist_t AMDeviceSerialize(AMDeviceRef ref)
{
    AMDError error;
    RealDevice *device = enterDevice(ref, error);
    if (!device)
        return nullptr;
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "UniqueDeviceID", plist_new_string(device->udid.c_str()));
    plist_dict_set_item(dict, "InterfaceType", plist_new_uint(device->interface));
    std::lock_guard lock(device->mutex);
    if (device->lockdown) {
        for (const char *key : {"SerialNumber", "DeviceName", "ProductType", "ProductVersion"}) {
            plist_t value = nullptr;
            lockdownd_get_value(device->lockdown, nullptr, key, &value);
            const std::string text = stringValue(value);
            plist_free(value);
            if (!text.empty())
                plist_dict_set_item(dict, key, plist_new_string(text.c_str()));
        }
    }
    return dict;
}

char *AMDeviceCopyDeviceIdentifier(AMDeviceRef ref)
{
    AMDError error;
    RealDevice *device = enterDevice(ref, error);
    return device ? strdup(device->udid.c_str()) : nullptr;
}

} // namespace mobiledevice::real
