// The device entry points: connection, pairing, sessions, values, apps, power and wake-up.

#include "Backend.h"
#include "EntryPointSupport.h"
#include "ServiceStart.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>

using namespace mobiledevice;

namespace mobiledevice::sim {

namespace {

std::atomic<uint32_t> gAssertionNumber{0};

bool validBundleId(const char *bundleId)
{
    if (!bundleId || !*bundleId || std::strchr(bundleId, '/'))
        return false;
    return std::strcmp(bundleId, ".") != 0 && std::strcmp(bundleId, "..") != 0;
}

} // namespace

AMDError AMDeviceConnect(AMDeviceRef ref)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceConnect", error);
    if (error)
        return error;
    std::lock_guard lock(device->mutex());
    device->connected = true;
    return kAMDSuccess;
}

AMDError AMDeviceDisconnect(AMDeviceRef ref)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceDisconnect", error);
    if (error)
        return error;
    {
        std::lock_guard lock(device->mutex());
        device->connected = false;
        device->sessionOpen = false;
    }
    DeviceRegistry::instance().rescanSoon(); // an idle Wi-Fi device may fall asleep now
    return kAMDSuccess;
}

int AMDeviceIsPaired(AMDeviceRef ref)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceIsPaired", error);
    return !error && device->paired() ? 1 : 0;
}

AMDError AMDeviceValidatePairing(AMDeviceRef ref)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceValidatePairing", error);
    if (error)
        return error;
    {
        std::lock_guard lock(device->mutex());
        if (!device->connected)
            return kAMDNotConnectedError;
    }
    return device->paired() ? kAMDSuccess : kAMDNotPairedError;
}

static AMDError pairDevice(AMDeviceRef ref, const char *entryPoint)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, entryPoint, error);
    if (error)
        return error;
    {
        std::lock_guard lock(device->mutex());
        if (!device->connected)
            return kAMDNotConnectedError;
    }
    return device->pair();
}

AMDError AMDevicePair(AMDeviceRef ref)
{
    return pairDevice(ref, "AMDevicePair");
}

AMDError AMDevicePairWithOptions(AMDeviceRef ref, plist_t)
{
    return pairDevice(ref, "AMDevicePairWithOptions");
}

AMDError AMDeviceStartSession(AMDeviceRef ref)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceStartSession", error);
    if (error)
        return error;
    {
        std::lock_guard lock(device->mutex());
        if (!device->connected)
            return kAMDNotConnectedError;
    }
    if (device->requiresNewerHost())
        return kAMDHostTooOldError;
    if (!device->paired())
        return kAMDNotPairedError;
    std::lock_guard lock(device->mutex());
    device->sessionOpen = true;
    return kAMDSuccess;
}

AMDError AMDeviceStopSession(AMDeviceRef ref)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceStopSession", error);
    if (error)
        return error;
    std::lock_guard lock(device->mutex());
    device->sessionOpen = false;
    return kAMDSuccess;
}

AMDError AMDeviceStartService(AMDeviceRef ref, const char *serviceName, AMDServiceConnectionRef *service)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceStartService", error);
    if (error)
        return error;
    return startService(device, serviceName, false, service);
}

AMDError AMDeviceSecureStartService(AMDeviceRef ref, const char *serviceName, plist_t,
                                               AMDServiceConnectionRef *service)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceSecureStartService", error);
    if (error)
        return error;
    return startService(device, serviceName, true, service);
}

AMDError AMDeviceStartHouseArrestService(AMDeviceRef ref, const char *bundleId, plist_t options,
                                                    AMDServiceConnectionRef *service)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceStartHouseArrestService", error);
    if (error)
        return error;
    if (!service)
        return kAMDInvalidArgumentError;
    *service = nullptr;
    if (const AMDError sessionError = requireSession(device))
        return sessionError;
    if (!validBundleId(bundleId))
        return kAMDApplicationNotFoundError;
    const std::string appFolder = device->path("apps") + "/" + bundleId;
    PlistPtr attributes = readPlistFile(appFolder + "/app.plist");
    if (!attributes)
        return kAMDApplicationNotFoundError;
    if (device->passcodeLocked())
        return kAMDDeviceLockedError;
    std::string command = plistString(options, "Command", "VendContainer");
    std::string onlyBelow;
    if (command == "VendContainer") {
        if (device->appContainers() == "Documents")
            return kAMDCommandRefusedError;
    } else if (command == "VendDocuments") {
        if (!plistBool(attributes.get(), "UIFileSharingEnabled"))
            return kAMDCommandRefusedError;
        onlyBelow = "/Documents";
    } else {
        return kAMDCommandRefusedError;
    }
    // Documents only: "/Documents" gets its own root, so no link inside it reaches the rest
    // of the container.
    std::vector<FileArea::Mount> mounts;
    if (!onlyBelow.empty())
        mounts.push_back({onlyBelow, appFolder + "/container" + onlyBelow});
    auto area = std::make_shared<FileArea>(appFolder + "/container", std::move(mounts), onlyBelow);
    *service = newFileService(device, area, device->interfaceType() == kAMDInterfaceWiFi, false);
    return kAMDSuccess;
}

AMDError AMDeviceLookupApplications(AMDeviceRef ref, plist_t options, plist_t *apps)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceLookupApplications", error);
    if (error)
        return error;
    if (!apps)
        return kAMDInvalidArgumentError;
    *apps = nullptr;
    if (const AMDError sessionError = requireSession(device))
        return sessionError;
    const std::string wantedType = plistString(options, "ApplicationType", "Any");
    plist_t wantedKeys = options && plist_get_node_type(options) == PLIST_DICT ? plist_dict_get_item(options, "ReturnAttributes") : nullptr;
    if (wantedKeys && plist_get_node_type(wantedKeys) != PLIST_ARRAY)
        wantedKeys = nullptr;

    plist_t result = plist_new_dict();
    const std::string appsFolder = device->path("apps");
    if (DIR *dir = ::opendir(appsFolder.c_str())) {
        while (dirent *entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            PlistPtr attributes = readPlistFile(appsFolder + "/" + entry->d_name + "/app.plist");
            if (!attributes || plist_get_node_type(attributes.get()) != PLIST_DICT)
                continue;
            if (!plist_dict_get_item(attributes.get(), "CFBundleIdentifier"))
                plist_dict_set_item(attributes.get(), "CFBundleIdentifier", plist_new_string(entry->d_name));
            const std::string type = plistString(attributes.get(), "ApplicationType", "User");
            if (wantedType != "Any" && wantedType != type)
                continue;
            plist_t item = nullptr;
            if (wantedKeys) {
                item = plist_new_dict();
                for (uint32_t i = 0; i < plist_array_get_size(wantedKeys); ++i) {
                    plist_t keyNode = plist_array_get_item(wantedKeys, i);
                    if (plist_get_node_type(keyNode) != PLIST_STRING)
                        continue;
                    char *key = nullptr;
                    plist_get_string_val(keyNode, &key);
                    if (plist_t value = key ? plist_dict_get_item(attributes.get(), key) : nullptr)
                        plist_dict_set_item(item, key, plist_copy(value));
                    std::free(key);
                }
            } else {
                item = plist_copy(attributes.get());
            }
            const std::string bundleId = plistString(attributes.get(), "CFBundleIdentifier", entry->d_name);
            plist_dict_set_item(result, bundleId.c_str(), item);
        }
        ::closedir(dir);
    }
    *apps = result;
    return kAMDSuccess;
}

plist_t AMDeviceCopyValue(AMDeviceRef ref, const char *domain, const char *key)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceCopyValue", error);
    if (error)
        return nullptr;
    {
        std::lock_guard lock(device->mutex());
        if (!device->connected)
            return nullptr;
        if (domain && *domain && !device->sessionOpen)
            return nullptr;
    }
    return device->copyValue(domain, key);
}

uint32_t AMDeviceGetInterfaceType(AMDeviceRef ref)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceGetInterfaceType", error);
    return error ? static_cast<uint32_t>(kAMDInterfaceUnknown) : device->interfaceType();
}

uint32_t AMDevicePowerAssertionCreate(AMDeviceRef ref, const char *, const char *, plist_t, double seconds,
                                                 AMDError *errorOut)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDevicePowerAssertionCreate", error);
    if (!error && !device->paired())
        error = kAMDNotPairedError;
    if (errorOut)
        *errorOut = error;
    if (error)
        return 0;
    if (device->interfaceType() == kAMDInterfaceWiFi)
        DeviceRegistry::instance().holdAwake(device, seconds);
    return ++gAssertionNumber;
}

AMDError AMDeviceCreateWakeupToken(AMDeviceRef ref, plist_t, plist_t *token)
{
    AMDError error;
    SimDevice *device = enterDevice(ref, "AMDeviceCreateWakeupToken", error);
    if (error)
        return error;
    if (!token)
        return kAMDInvalidArgumentError;
    *token = nullptr;
    if (const AMDError sessionError = requireSession(device))
        return sessionError;
    const std::string uniqueDeviceID = device->uniqueDeviceID();
    plist_t result = plist_new_dict();
    plist_dict_set_item(result, "UniqueDeviceID", plist_new_string(uniqueDeviceID.c_str()));
    plist_dict_set_item(result, "WakeupToken", plist_new_string(SimDevice::wakeupSecret(uniqueDeviceID).c_str()));
    *token = result;
    return kAMDSuccess;
}

AMDError AMDeviceWakeupUsingToken(plist_t token)
{
    const std::string uniqueDeviceID = plistString(token, "UniqueDeviceID");
    if (uniqueDeviceID.empty() || plistString(token, "WakeupToken") != SimDevice::wakeupSecret(uniqueDeviceID))
        return kAMDWakeupTokenError;
    return DeviceRegistry::instance().wake(uniqueDeviceID) ? kAMDSuccess : kAMDWakeupTokenError;
}

void AMDeviceRelease(AMDeviceRef)
{
    // References stay valid for the life of the process (see SimDevice).
}

plist_t AMDeviceSerialize(AMDeviceRef ref)
{
    SimDevice *device = DeviceRegistry::instance().find(ref);
    if (!device)
        return nullptr;
    plist_t result = plist_new_dict();
    for (const char *key : {"UniqueDeviceID", "SerialNumber", "DeviceName", "ProductType", "ProductVersion"})
        if (plist_t value = device->copyValue(nullptr, key))
            plist_dict_set_item(result, key, value);
    plist_dict_set_item(result, "InterfaceType", plist_new_uint(device->interfaceType()));
    return result;
}

char *AMDeviceCopyDeviceIdentifier(AMDeviceRef ref)
{
    SimDevice *device = DeviceRegistry::instance().find(ref);
    return device ? strdup(device->uniqueDeviceID().c_str()) : nullptr;
}

} // namespace mobiledevice::sim
