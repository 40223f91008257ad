// The exported entry points: each forwards to the backend chosen for this process (see
// Backend.h); the run-loop source is the same for both.

#include "Backend.h"
#include "CallbackQueue.h"

#include <cstdlib>

namespace mobiledevice {

bool simulatedBackendChosen()
{
    static const bool simulated = [] {
        const char *folder = std::getenv("QUILLON_SIM_DEVICES");
        return folder && *folder;
    }();
    return simulated;
}

const Backend &backend()
{
    static const Backend &chosen = simulatedBackendChosen() ? simulatedBackend() : realBackend();
    return chosen;
}

const Backend &simulatedBackend()
{
    static const Backend table = [] {
        Backend b;
#define MOBILEDEVICE_BACKEND_FILL(name) b.name = &sim::name;
        MOBILEDEVICE_BACKEND_ENTRY_POINTS(MOBILEDEVICE_BACKEND_FILL)
#undef MOBILEDEVICE_BACKEND_FILL
        return b;
    }();
    return table;
}

const Backend &realBackend()
{
    static const Backend table = [] {
        Backend b;
#define MOBILEDEVICE_BACKEND_FILL(name) b.name = &real::name;
        MOBILEDEVICE_BACKEND_ENTRY_POINTS(MOBILEDEVICE_BACKEND_FILL)
#undef MOBILEDEVICE_BACKEND_FILL
        return b;
    }();
    return table;
}

} // namespace mobiledevice

using mobiledevice::backend;

extern "C" int AMDRunLoopSourceGetDescriptor(void)
{
    return mobiledevice::CallbackQueue::instance().descriptor();
}

extern "C" int AMDRunLoopSourcePerform(void)
{
    return mobiledevice::CallbackQueue::instance().perform();
}

extern "C" AMDError AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, uint32_t unused0, uint32_t unused1, void *context, AMDeviceNotificationRef *subscription)
{
    return backend().AMDeviceNotificationSubscribe(callback, unused0, unused1, context, subscription);
}

extern "C" AMDError AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef subscription)
{
    return backend().AMDeviceNotificationUnsubscribe(subscription);
}

extern "C" AMDError AMDeviceConnect(AMDeviceRef device)
{
    return backend().AMDeviceConnect(device);
}

extern "C" AMDError AMDeviceDisconnect(AMDeviceRef device)
{
    return backend().AMDeviceDisconnect(device);
}

extern "C" int AMDeviceIsPaired(AMDeviceRef device)
{
    return backend().AMDeviceIsPaired(device);
}

extern "C" AMDError AMDeviceValidatePairing(AMDeviceRef device)
{
    return backend().AMDeviceValidatePairing(device);
}

extern "C" AMDError AMDevicePair(AMDeviceRef device)
{
    return backend().AMDevicePair(device);
}

extern "C" AMDError AMDevicePairWithOptions(AMDeviceRef device, plist_t options)
{
    return backend().AMDevicePairWithOptions(device, options);
}

extern "C" AMDError AMDeviceStartSession(AMDeviceRef device)
{
    return backend().AMDeviceStartSession(device);
}

extern "C" AMDError AMDeviceStopSession(AMDeviceRef device)
{
    return backend().AMDeviceStopSession(device);
}

extern "C" AMDError AMDeviceStartService(AMDeviceRef device, const char *serviceName, AMDServiceConnectionRef *service)
{
    return backend().AMDeviceStartService(device, serviceName, service);
}

extern "C" AMDError AMDeviceSecureStartService(AMDeviceRef device, const char *serviceName, plist_t options, AMDServiceConnectionRef *service)
{
    return backend().AMDeviceSecureStartService(device, serviceName, options, service);
}

extern "C" AMDError AMDeviceStartHouseArrestService(AMDeviceRef device, const char *bundleId, plist_t options, AMDServiceConnectionRef *service)
{
    return backend().AMDeviceStartHouseArrestService(device, bundleId, options, service);
}

extern "C" AMDError AMDeviceLookupApplications(AMDeviceRef device, plist_t options, plist_t *apps)
{
    return backend().AMDeviceLookupApplications(device, options, apps);
}

extern "C" plist_t AMDeviceCopyValue(AMDeviceRef device, const char *domain, const char *key)
{
    return backend().AMDeviceCopyValue(device, domain, key);
}

extern "C" uint32_t AMDeviceGetInterfaceType(AMDeviceRef device)
{
    return backend().AMDeviceGetInterfaceType(device);
}

extern "C" uint32_t AMDevicePowerAssertionCreate(AMDeviceRef device, const char *type, const char *name, plist_t details, double seconds, AMDError *error)
{
    return backend().AMDevicePowerAssertionCreate(device, type, name, details, seconds, error);
}

extern "C" AMDError AMDeviceCreateWakeupToken(AMDeviceRef device, plist_t options, plist_t *token)
{
    return backend().AMDeviceCreateWakeupToken(device, options, token);
}

extern "C" AMDError AMDeviceWakeupUsingToken(plist_t token)
{
    return backend().AMDeviceWakeupUsingToken(token);
}

extern "C" AMDError AMDeviceSendMessage(AMDServiceConnectionRef service, plist_t message)
{
    return backend().AMDeviceSendMessage(service, message);
}

extern "C" AMDError AMDeviceReceiveMessage(AMDServiceConnectionRef service, plist_t *message)
{
    return backend().AMDeviceReceiveMessage(service, message);
}

extern "C" void AMDeviceRelease(AMDeviceRef device)
{
    backend().AMDeviceRelease(device);
}

extern "C" plist_t AMDeviceSerialize(AMDeviceRef device)
{
    return backend().AMDeviceSerialize(device);
}

extern "C" char * AMDeviceCopyDeviceIdentifier(AMDeviceRef device)
{
    return backend().AMDeviceCopyDeviceIdentifier(device);
}

extern "C" AMDSecureIOContextRef AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef service)
{
    return backend().AMDServiceConnectionGetSecureIOContext(service);
}

extern "C" AMDError AMDServiceConnectionSendMessage(AMDServiceConnectionRef service, plist_t message, uint32_t format)
{
    return backend().AMDServiceConnectionSendMessage(service, message, format);
}

extern "C" AMDError AMDServiceConnectionReceiveMessage(AMDServiceConnectionRef service, plist_t *message, uint32_t *format)
{
    return backend().AMDServiceConnectionReceiveMessage(service, message, format);
}

extern "C" AMDError AMDServiceConnectionInvalidate(AMDServiceConnectionRef service)
{
    return backend().AMDServiceConnectionInvalidate(service);
}

extern "C" AFCError AFCConnectionOpen(AMDServiceConnectionRef service, uint32_t ioTimeout, AFCConnectionRef *connection)
{
    return backend().AFCConnectionOpen(service, ioTimeout, connection);
}

extern "C" AFCError AFCConnectionClose(AFCConnectionRef connection)
{
    return backend().AFCConnectionClose(connection);
}

extern "C" AFCError AFCConnectionSetSecureContext(AFCConnectionRef connection, AMDSecureIOContextRef context)
{
    return backend().AFCConnectionSetSecureContext(connection, context);
}

extern "C" AFCError AFCConnectionProcessOperation(AFCConnectionRef connection, AFCOperationRef operation, double timeout)
{
    return backend().AFCConnectionProcessOperation(connection, operation, timeout);
}

extern "C" AFCOperationRef AFCOperationCreateSetModTime(const char *path, uint64_t nanoseconds)
{
    return backend().AFCOperationCreateSetModTime(path, nanoseconds);
}

extern "C" void AFCOperationRelease(AFCOperationRef operation)
{
    backend().AFCOperationRelease(operation);
}

extern "C" AFCError AFCDirectoryOpen(AFCConnectionRef connection, const char *path, AFCDirectoryRef *directory)
{
    return backend().AFCDirectoryOpen(connection, path, directory);
}

extern "C" AFCError AFCDirectoryRead(AFCConnectionRef connection, AFCDirectoryRef directory, char **name)
{
    return backend().AFCDirectoryRead(connection, directory, name);
}

extern "C" AFCError AFCDirectoryClose(AFCConnectionRef connection, AFCDirectoryRef directory)
{
    return backend().AFCDirectoryClose(connection, directory);
}

extern "C" AFCError AFCDirectoryCreate(AFCConnectionRef connection, const char *path)
{
    return backend().AFCDirectoryCreate(connection, path);
}

extern "C" AFCError AFCFileInfoOpen(AFCConnectionRef connection, const char *path, AFCDictionaryRef *info)
{
    return backend().AFCFileInfoOpen(connection, path, info);
}

extern "C" AFCError AFCDeviceInfoOpen(AFCConnectionRef connection, AFCDictionaryRef *info)
{
    return backend().AFCDeviceInfoOpen(connection, info);
}

extern "C" AFCError AFCKeyValueRead(AFCDictionaryRef info, char **key, char **value)
{
    return backend().AFCKeyValueRead(info, key, value);
}

extern "C" AFCError AFCKeyValueClose(AFCDictionaryRef info)
{
    return backend().AFCKeyValueClose(info);
}

extern "C" AFCError AFCFileRefOpen(AFCConnectionRef connection, const char *path, uint64_t mode, AFCFileRef *file)
{
    return backend().AFCFileRefOpen(connection, path, mode, file);
}

extern "C" AFCError AFCFileRefRead(AFCConnectionRef connection, AFCFileRef file, void *buffer, uint32_t *length)
{
    return backend().AFCFileRefRead(connection, file, buffer, length);
}

extern "C" AFCError AFCFileRefWrite(AFCConnectionRef connection, AFCFileRef file, const void *buffer, uint32_t length)
{
    return backend().AFCFileRefWrite(connection, file, buffer, length);
}

extern "C" AFCError AFCFileRefSeek(AFCConnectionRef connection, AFCFileRef file, int64_t offset, uint64_t whence)
{
    return backend().AFCFileRefSeek(connection, file, offset, whence);
}

extern "C" AFCError AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file)
{
    return backend().AFCFileRefClose(connection, file);
}

extern "C" AFCError AFCRemovePath(AFCConnectionRef connection, const char *path)
{
    return backend().AFCRemovePath(connection, path);
}

extern "C" AFCError AFCRenamePath(AFCConnectionRef connection, const char *from, const char *to)
{
    return backend().AFCRenamePath(connection, from, to);
}

extern "C" AMDError DLCreateDeviceLinkConnectionForComputer(const DLCallbackTable *callbacks, void *context, DLConnectionRef *connection)
{
    return backend().DLCreateDeviceLinkConnectionForComputer(callbacks, context, connection);
}

extern "C" AMDError DLConnect(DLConnectionRef connection, plist_t connectionInfo, char **errorDescription)
{
    return backend().DLConnect(connection, connectionInfo, errorDescription);
}

extern "C" AMDError DLSetRootDirectory(DLConnectionRef connection, const char *path)
{
    return backend().DLSetRootDirectory(connection, path);
}

extern "C" AMDError DLProcessMessage(DLConnectionRef connection, plist_t message, char **errorDescription)
{
    return backend().DLProcessMessage(connection, message, errorDescription);
}

extern "C" AMDError DLWaitForMessage(DLConnectionRef connection, double timeout, char **errorDescription)
{
    return backend().DLWaitForMessage(connection, timeout, errorDescription);
}

extern "C" AMDError DLSendFile(DLConnectionRef connection, const char *path, plist_t options, char **errorDescription)
{
    return backend().DLSendFile(connection, path, options, errorDescription);
}

extern "C" AMDError DLDisconnect(DLConnectionRef connection, const char *reason)
{
    return backend().DLDisconnect(connection, reason);
}

extern "C" AMDError DLDeleteDeviceLinkConnection(DLConnectionRef connection)
{
    return backend().DLDeleteDeviceLinkConnection(connection);
}

extern "C" AMDError DLDeviceListenerCreate(DLDeviceListenerRef *listener)
{
    return backend().DLDeviceListenerCreate(listener);
}

extern "C" AMDError DLDeviceWaitForAttachedDevice(DLDeviceListenerRef listener, const char *deviceIdentifier, double timeout, DLDeviceRef *device)
{
    return backend().DLDeviceWaitForAttachedDevice(listener, deviceIdentifier, timeout, device);
}

extern "C" plist_t DLDeviceCopyAMDValue(DLDeviceRef device, const char *domain, const char *key, AMDError *error)
{
    return backend().DLDeviceCopyAMDValue(device, domain, key, error);
}
