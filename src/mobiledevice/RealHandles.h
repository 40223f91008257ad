#pragma once
// The objects behind the handles the real backend hands out, and their live sets (a closed
// or foreign handle answers an error, never a crash).
//
// A service connection is its lockdown descriptor and a usbmuxd handle of its own, so it
// outlives AMDeviceDisconnect. Its plist connection is opened at the first message; a file
// connection opened over it makes its own AFC client (over house_arrest's connection for app
// containers) and then owns the service: AFCConnectionClose frees both. Each object's mutex
// serialises the calls that share its connection.

#include "Handles.h"
#include "RealDevices.h"

#include <libimobiledevice/afc.h>
#include <libimobiledevice/house_arrest.h>
#include <libimobiledevice/property_list_service.h>

#include <string>
#include <utility>
#include <vector>

namespace mobiledevice::real {

struct RealService
{
    RealDevice *device = nullptr;
    idevice_t idevice = nullptr;
    std::string name;
    uint16_t port = 0;
    bool ssl = false;
    bool secure = false; // started with the secure start: has a context to hand out
    std::atomic<bool> ownedByFileConnection{false};
    int secureContext = 0; // its address is the context handle

    std::mutex mutex; // guards the clients
    property_list_service_client_t messages = nullptr;
    house_arrest_client_t houseArrest = nullptr;

    ~RealService();
    // A descriptor for libimobiledevice's clients; points into this object.
    lockdownd_service_descriptor descriptor();
};

struct RealFileConnection
{
    RealService *service = nullptr;
    afc_client_t afc = nullptr;
    std::atomic<bool> secureContextSet{false};
    std::mutex mutex;
};

struct RealList
{
    std::vector<std::string> names;
    size_t next = 0;
};

struct RealPairs
{
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t next = 0;
};

struct RealOperation
{
    std::string path;
    uint64_t nanoseconds = 0;
};

HandleSet<RealService> &services();
HandleSet<RealFileConnection> &files();
HandleSet<RealList> &lists();
HandleSet<RealPairs> &pairLists();
HandleSet<RealOperation> &realOperations();

// Starts a named service in the device's open session; the framework's code on failure.
AMDError startLockdownService(RealDevice *device, const char *name, uint16_t &port, bool &ssl);

} // namespace mobiledevice::real
