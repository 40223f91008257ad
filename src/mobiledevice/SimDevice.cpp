#include "SimDevice.h"

#include <cmath>
#include <cstdio>

namespace mobiledevice {

namespace {

constexpr double kMaxSleepAfterSeconds = 365.0 * 24 * 3600;

} // namespace

SimDevice::SimDevice(std::string folder, std::string folderName)
    : mFolder(std::move(folder))
    , mFolderName(std::move(folderName))
    , mSettings(mFolder + "/device.plist")
    , mFaults(mFolder + "/faults.plist")
{
}

std::string SimDevice::uniqueDeviceID()
{
    SharedPlist root = settings();
    return plistString(plistDict(root.get(), "Values"), "UniqueDeviceID", mFolderName);
}

uint32_t SimDevice::interfaceType()
{
    SharedPlist root = settings();
    return plistString(root.get(), "Interface", "USB") == "Wi-Fi" ? kAMDInterfaceWiFi : kAMDInterfaceUSB;
}

bool SimDevice::passcodeLocked()
{
    SharedPlist root = settings();
    return plistBool(root.get(), "PasscodeLocked");
}

bool SimDevice::requiresNewerHost()
{
    SharedPlist root = settings();
    return plistBool(root.get(), "RequiresNewerHost");
}

bool SimDevice::offersWholeFilesystem()
{
    SharedPlist root = settings();
    return plistBool(root.get(), "WholeFilesystem");
}

std::string SimDevice::appContainers()
{
    SharedPlist root = settings();
    return plistString(root.get(), "AppContainers", "All");
}

uint64_t SimDevice::totalBytes(bool wholeFilesystem)
{
    SharedPlist root = settings();
    const long long media = plistInteger(root.get(), "TotalBytes", 16LL * 1000 * 1000 * 1000);
    const long long value = wholeFilesystem ? plistInteger(root.get(), "FilesystemTotalBytes", media) : media;
    return value > 0 ? static_cast<uint64_t>(value) : 0;
}

double SimDevice::sleepAfterSeconds()
{
    SharedPlist root = settings();
    const double seconds = plistReal(root.get(), "SleepAfterSeconds", 0);
    // Turned into microseconds on a 64-bit clock: anything not finite or beyond a year
    // would overflow it, and means "never" for a test device anyway.
    if (!std::isfinite(seconds) || seconds <= 0 || seconds > kMaxSleepAfterSeconds)
        return 0;
    return seconds;
}

plist_t SimDevice::copyValue(const char *domain, const char *key)
{
    SharedPlist root = settings();
    plist_t values = nullptr;
    if (!domain || !*domain)
        values = plistDict(root.get(), "Values");
    else
        values = plistDict(plistDict(root.get(), "Domains"), domain);
    if (!key) {
        plist_t copy = values ? plist_copy(values) : plist_new_dict();
        if ((!domain || !*domain) && !plist_dict_get_item(copy, "UniqueDeviceID"))
            plist_dict_set_item(copy, "UniqueDeviceID", plist_new_string(mFolderName.c_str()));
        return copy;
    }
    if (plist_t value = values ? plist_dict_get_item(values, key) : nullptr)
        return plist_copy(value);
    if ((!domain || !*domain) && std::string(key) == "UniqueDeviceID")
        return plist_new_string(mFolderName.c_str());
    return nullptr;
}

bool SimDevice::paired()
{
    std::lock_guard lock(mPairingMutex);
    PlistPtr state = readPlistFile(path("host-state.plist"));
    if (state && plist_dict_get_item(state.get(), "Paired"))
        return plistBool(state.get(), "Paired");
    SharedPlist root = settings();
    return plistBool(root.get(), "Paired", true);
}

AMDError SimDevice::pair()
{
    if (paired())
        return kAMDSuccess;
    if (passcodeLocked())
        return kAMDPasswordProtectedError;
    std::lock_guard lock(mPairingMutex);
    PlistPtr state = readPlistFile(path("host-state.plist"));
    if (!state || plist_get_node_type(state.get()) != PLIST_DICT)
        state.reset(plist_new_dict());
    SharedPlist root = settings();
    const long long refusals = plistInteger(root.get(), "PairingRefusals", 0);
    const long long served = plistInteger(state.get(), "PairingRefusalsServed", 0);
    AMDError result = kAMDSuccess;
    if (served < refusals) {
        plist_dict_set_item(state.get(), "PairingRefusalsServed", plist_new_uint(static_cast<uint64_t>(served + 1)));
        result = kAMDUserDeniedPairingError;
    } else {
        plist_dict_set_item(state.get(), "Paired", plist_new_bool(1));
    }
    writePlistFile(path("host-state.plist"), state.get());
    return result;
}

std::string SimDevice::wakeupSecret(const std::string &uniqueDeviceID)
{
    // FNV-1a: stable across runs, so a token saved in the user defaults keeps working.
    uint64_t hash = 1469598103934665603ULL;
    for (const char c : "quillon-wakeup:" + uniqueDeviceID) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

} // namespace mobiledevice
