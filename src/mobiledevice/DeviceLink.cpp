// The device-link entry points: connections to a device's backup services.
//
// A connection's events (the device's messages, file data, progress, failures) wait in the
// connection's own queue until the program's thread takes them with DLWaitForMessage, which
// runs the matching callback on that thread. No callback ever runs on a library thread, and
// none runs inside DLProcessMessage or DLSendFile; only a failing DLConnect reports its
// failure (slot 3) at once, on the caller's thread, before it returns. The queue holds at
// most kMaxQueuedBytes of file data: a device streaming faster than the host takes it waits.

#include "Backend.h"
#include "BackupPeer.h"
#include "BoundedQueue.h"
#include "DeviceRegistry.h"
#include "EntryPointSupport.h"
#include "LinkEvent.h"

#include <mobiledevice/MobileDevice.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

using namespace mobiledevice;

namespace {
// File data a connection holds for the host at most (16 of the older protocol's chunks).
constexpr size_t kMaxQueuedBytes = size_t(4) << 20;
} // namespace

struct DLConnectionOpaque
{
    DLCallbackTable table{};
    void *context = nullptr;
    // Closed once the connection is lost: nothing more will arrive.
    BoundedQueue<LinkEvent> events{kMaxQueuedBytes};
    SimDevice *device = nullptr;
    bool older = false;
    std::unique_ptr<BackupPeer> peer;
};

struct DLDeviceListenerOpaque
{
    int unused = 0;
};

namespace mobiledevice::sim {

namespace {

HandleSet<DLConnectionOpaque> &connections()
{
    static HandleSet<DLConnectionOpaque> set;
    return set;
}

HandleSet<DLDeviceListenerOpaque> &listeners()
{
    static HandleSet<DLDeviceListenerOpaque> set;
    return set;
}

void describe(char **errorDescription, const std::string &text)
{
    if (errorDescription)
        *errorDescription = strdup(text.c_str());
}

void post(DLConnectionOpaque *connection, LinkEvent event)
{
    const size_t bytes = event.bytes;
    const bool last = event.slot == kSlotConnectionLost;
    connection->events.push(std::move(event), bytes, last);
}

// Stops the device's side and waits for it; a device thread waiting for room in the queue
// is let through first, since this thread is the one that would make the room.
void stopPeer(DLConnectionOpaque *connection)
{
    connection->events.unbound();
    if (connection->peer)
        connection->peer->stop();
}

int call(DLConnectionOpaque *connection, int slot, void *a = nullptr, void *b = nullptr)
{
    DLCallback callback = connection->table.callbacks[slot - 1];
    return callback ? callback(connection, a, b, nullptr, nullptr) : 0;
}

// The device a connection dictionary names: a device reference from the listener
// ("DLInfoMobileDeviceRefKey", checked against the references the library handed out), or
// a serialized description ("DLInfoMobileDeviceKey") by its identifier.
SimDevice *deviceFor(plist_t info)
{
    if (plist_t ref = plist_dict_get_item(info, "DLInfoMobileDeviceRefKey")) {
        uint64_t value = 0;
        if (plist_get_node_type(ref) == PLIST_UINT)
            plist_get_uint_val(ref, &value);
        return DeviceRegistry::instance().find(reinterpret_cast<AMDeviceRef>(static_cast<uintptr_t>(value)));
    }
    if (plist_t description = plistDict(info, "DLInfoMobileDeviceKey"))
        return DeviceRegistry::instance().findAttached(plistString(description, "UniqueDeviceID"));
    return nullptr;
}

std::string stringValue(plist_t node)
{
    char *text = nullptr;
    plist_get_string_val(node, &text);
    std::string value = text ? text : "";
    std::free(text);
    return value;
}

} // namespace

AMDError DLCreateDeviceLinkConnectionForComputer(const DLCallbackTable *callbacks, void *context,
                                                            DLConnectionRef *connection)
{
    if (!connection)
        return kAMDInvalidArgumentError;
    *connection = nullptr;
    auto *made = new DLConnectionOpaque;
    if (callbacks)
        made->table = *callbacks;
    made->context = context;
    connections().add(made);
    *connection = made;
    return kAMDSuccess;
}

AMDError DLConnect(DLConnectionRef connection, plist_t connectionInfo, char **errorDescription)
{
    if (!connections().contains(connection) || !connectionInfo || plist_get_node_type(connectionInfo) != PLIST_DICT) {
        describe(errorDescription, "The connection dictionary is invalid");
        return kAMDInvalidArgumentError;
    }
    auto fail = [&](AMDError code, const std::string &text) {
        describe(errorDescription, text);
        call(connection, kSlotConnectionFailed, const_cast<char *>(text.c_str()));
        return code;
    };
    const std::string service = plistString(connectionInfo, "DLInfoServiceNameKey");
    SimDevice *device = deviceFor(connectionInfo);
    if (service.empty() || !device)
        return fail(kAMDInvalidArgumentError, "DLConnect: the connection dictionary is invalid");
    AMDError error = kAMDSuccess;
    enterDevice(reinterpret_cast<AMDeviceRef>(device), "DLConnect", error);
    if (error != kAMDSuccess)
        return fail(error, "SocketStreamHandlerConnect: Cannot connect to the device");
    if (device->passcodeLocked())
        return fail(kAMDDeviceLockedError, "Could not start the backup service: DLErrorConnectingLocked");
    plist_t version = device->copyValue("com.apple.mobile.backup", "Version");
    double number = 0;
    if (version && plist_get_node_type(version) == PLIST_STRING)
        number = std::atof(stringValue(version).c_str());
    else if (version && plist_get_node_type(version) == PLIST_REAL)
        plist_get_real_val(version, &number);
    if (version)
        plist_free(version);
    const bool current = service == "com.apple.mobilebackup2";
    if ((!current && service != "com.apple.mobilebackup") || (current && number < 2.0))
        return fail(kAMDInvalidServiceError, "The device does not offer " + service);
    connection->device = device;
    connection->older = !current;
    connection->peer = std::make_unique<BackupPeer>(device, !current,
                                                    [connection](LinkEvent event) { post(connection, std::move(event)); });
    post(connection, LinkEvent{kSlotConnectionMade, {}, {}, {}, 0});
    return kAMDSuccess;
}

AMDError DLSetRootDirectory(DLConnectionRef connection, const char *path)
{
    if (!connections().contains(connection) || !connection->peer || !path)
        return kAMDInvalidArgumentError;
    connection->peer->setRoot(path);
    return kAMDSuccess;
}

AMDError DLProcessMessage(DLConnectionRef connection, plist_t message, char **errorDescription)
{
    if (!connections().contains(connection) || !connection->peer) {
        describe(errorDescription, "Not connected");
        return kAMDNotConnectedError;
    }
    if (connection->events.closed()) {
        describe(errorDescription, "The connection was lost");
        return kAMDNotConnectedError;
    }
    if (connection->device->gone()) {
        describe(errorDescription, "The device went away");
        return kAMDNotConnectedError;
    }
    AMDError error = kAMDSuccess;
    enterDevice(reinterpret_cast<AMDeviceRef>(connection->device), "DLProcessMessage", error);
    if (error == kAMDSuccess)
        error = connection->peer->handle(message);
    if (error != kAMDSuccess)
        describe(errorDescription, "The device did not take the message");
    return error;
}

AMDError DLWaitForMessage(DLConnectionRef connection, double timeout, char **errorDescription)
{
    if (!connections().contains(connection))
        return kAMDInvalidArgumentError;
    LinkEvent event;
    const double bounded = timeout > 0 && timeout < 86400 ? timeout : 0;
    const auto wait = std::chrono::microseconds(static_cast<long long>(bounded * 1e6));
    switch (connection->events.pop(event, wait)) {
    case BoundedQueue<LinkEvent>::Result::Closed:
        describe(errorDescription, "The connection was lost");
        return kAMDNotConnectedError;
    case BoundedQueue<LinkEvent>::Result::Empty:
        describe(errorDescription, "No message");
        return kAMDNoMessageError;
    case BoundedQueue<LinkEvent>::Result::Item:
        break;
    }
    switch (event.slot) {
    case kSlotConnectionFailed:
        call(connection, event.slot, const_cast<char *>(event.text.c_str()));
        break;
    case kSlotProcessMessage:
        call(connection, event.slot, event.message.get());
        break;
    case kSlotFileData:
        // The older protocol asks first whether the host wants to stop.
        if (call(connection, 11) != 0) {
            stopPeer(connection);
            break;
        }
        call(connection, event.slot, event.message.get(), event.info.get());
        break;
    case kSlotProgress:
        call(connection, event.slot, &event.number);
        break;
    default:
        call(connection, event.slot);
        break;
    }
    return kAMDSuccess;
}

AMDError DLSendFile(DLConnectionRef connection, const char *path, plist_t options, char **errorDescription)
{
    if (!connections().contains(connection) || !connection->peer) {
        describe(errorDescription, "Not connected");
        return kAMDNotConnectedError;
    }
    const AMDError error = connection->peer->receiveFile(path, options);
    if (error != kAMDSuccess)
        describe(errorDescription, "The device did not take the file");
    return error;
}

AMDError DLDisconnect(DLConnectionRef connection, const char *)
{
    if (!connections().contains(connection))
        return kAMDInvalidArgumentError;
    stopPeer(connection);
    return kAMDSuccess;
}

AMDError DLDeleteDeviceLinkConnection(DLConnectionRef connection)
{
    if (!connections().remove(connection))
        return kAMDInvalidArgumentError;
    stopPeer(connection);
    delete connection;
    return kAMDSuccess;
}

AMDError DLDeviceListenerCreate(DLDeviceListenerRef *listener)
{
    if (!listener)
        return kAMDInvalidArgumentError;
    auto *made = new DLDeviceListenerOpaque;
    listeners().add(made);
    *listener = made;
    return kAMDSuccess;
}

AMDError DLDeviceWaitForAttachedDevice(DLDeviceListenerRef listener, const char *deviceIdentifier,
                                                  double timeout, DLDeviceRef *device)
{
    if (device)
        *device = nullptr;
    if (!listeners().contains(listener) || !deviceIdentifier || !device)
        return kAMDInvalidArgumentError;
    const double bounded = timeout > 0 && timeout < 86400 ? timeout : 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(static_cast<long long>(bounded * 1e6));
    for (;;) {
        if (SimDevice *found = DeviceRegistry::instance().findAttached(deviceIdentifier)) {
            *device = reinterpret_cast<DLDeviceRef>(found);
            return kAMDSuccess;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return kAMDNotConnectedError;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

plist_t DLDeviceCopyAMDValue(DLDeviceRef ref, const char *domain, const char *key, AMDError *error)
{
    AMDError status = kAMDSuccess;
    SimDevice *device = enterDevice(reinterpret_cast<AMDeviceRef>(ref), "DLDeviceCopyAMDValue", status);
    plist_t value = status == kAMDSuccess && device ? device->copyValue(domain, key) : nullptr;
    if (status == kAMDSuccess && !value)
        status = kAMDUndefinedError;
    if (error)
        *error = status;
    return value;
}

} // namespace mobiledevice::sim
