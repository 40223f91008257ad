#pragma once
// One simulated device: a sub-folder of QUILLON_SIM_DEVICES while it is attached.
//
// The folder holds "device.plist" (identity values and behaviour), "media/" (the media
// area), "filesystem/" (the whole filesystem), "apps/<bundle id>/" (app.plist, icon.png,
// container/), and optionally "faults.plist" and the marker file "away"; the library writes
// "host-state.plist" (pairing with this host). docs/simulated-device.md describes it all.
//
// One object per attachment: when the folder comes back, a new object (a new device
// reference) is made. Objects are never freed, so a reference the program kept stays safe
// to call after the device went away (every call then answers kAMDNotConnectedError).
// Thread-safe: connection state is guarded by mMutex, presence is an atomic.

#include "FaultPlan.h"
#include "PlistFile.h"

#include <mobiledevice/MobileDevice.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace mobiledevice {

class SimDevice
{
public:
    SimDevice(std::string folder, std::string folderName);

    const std::string &folder() const { return mFolder; }
    const std::string &folderName() const { return mFolderName; }
    std::string path(const char *name) const { return mFolder + "/" + name; }

    bool gone() const { return mGone.load(); }
    void markGone() { mGone.store(true); }

    // device.plist now (a dictionary, or null when unreadable).
    SharedPlist settings() { return mSettings.current(); }
    // Counts a call for the fault file and returns the error asked for it.
    std::optional<int32_t> fault(const char *entryPoint) { return mFaults.call(entryPoint); }
    FaultPlan &faults() { return mFaults; }

    std::string uniqueDeviceID();
    uint32_t interfaceType();
    bool passcodeLocked();
    bool requiresNewerHost();
    bool offersWholeFilesystem();
    std::string appContainers(); // "All" or "Documents"
    uint64_t totalBytes(bool wholeFilesystem);
    double sleepAfterSeconds();

    // A copy of a value (see AMDeviceCopyValue), or null.
    plist_t copyValue(const char *domain, const char *key);

    // Pairing with this host, kept in host-state.plist so it outlives the process.
    bool paired();
    AMDError pair();

    // Connection state, guarded by mutex().
    std::mutex &mutex() { return mMutex; }
    bool connected = false;
    bool sessionOpen = false;

    // The wake-up token's secret for this device.
    static std::string wakeupSecret(const std::string &uniqueDeviceID);

private:
    std::string mFolder;
    std::string mFolderName;
    std::atomic<bool> mGone{false};
    PlistFile mSettings;
    FaultPlan mFaults;
    std::mutex mMutex;
    std::mutex mPairingMutex;
};

} // namespace mobiledevice
