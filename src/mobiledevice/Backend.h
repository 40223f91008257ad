#pragma once
// The library's two backends behind its one C interface: the simulated devices
// (QUILLON_SIM_DEVICES, docs/simulated-device.md) and real devices through the system's
// usbmuxd. Each backend is a table holding one function for every entry point that touches a
// device; the exported entry points forward to the table chosen once, at the first call:
// simulated when QUILLON_SIM_DEVICES is set and not empty, real otherwise. The run-loop source
// is shared: both backends post their callbacks to the one CallbackQueue.
//
// A handle made by one backend is never seen by the other, since only one serves a process.

#include <mobiledevice/MobileDevice.h>

// Every entry point a backend serves.
#define MOBILEDEVICE_BACKEND_ENTRY_POINTS(X) \
    X(AMDeviceNotificationSubscribe) \
    X(AMDeviceNotificationUnsubscribe) \
    X(AMDeviceConnect) \
    X(AMDeviceDisconnect) \
    X(AMDeviceIsPaired) \
    X(AMDeviceValidatePairing) \
    X(AMDevicePair) \
    X(AMDevicePairWithOptions) \
    X(AMDeviceStartSession) \
    X(AMDeviceStopSession) \
    X(AMDeviceStartService) \
    X(AMDeviceSecureStartService) \
    X(AMDeviceStartHouseArrestService) \
    X(AMDeviceLookupApplications) \
    X(AMDeviceCopyValue) \
    X(AMDeviceGetInterfaceType) \
    X(AMDevicePowerAssertionCreate) \
    X(AMDeviceCreateWakeupToken) \
    X(AMDeviceWakeupUsingToken) \
    X(AMDeviceSendMessage) \
    X(AMDeviceReceiveMessage) \
    X(AMDeviceRelease) \
    X(AMDeviceSerialize) \
    X(AMDeviceCopyDeviceIdentifier) \
    X(AMDServiceConnectionGetSecureIOContext) \
    X(AMDServiceConnectionSendMessage) \
    X(AMDServiceConnectionReceiveMessage) \
    X(AMDServiceConnectionInvalidate) \
    X(AFCConnectionOpen) \
    X(AFCConnectionClose) \
    X(AFCConnectionSetSecureContext) \
    X(AFCConnectionProcessOperation) \
    X(AFCOperationCreateSetModTime) \
    X(AFCOperationRelease) \
    X(AFCDirectoryOpen) \
    X(AFCDirectoryRead) \
    X(AFCDirectoryClose) \
    X(AFCDirectoryCreate) \
    X(AFCFileInfoOpen) \
    X(AFCDeviceInfoOpen) \
    X(AFCKeyValueRead) \
    X(AFCKeyValueClose) \
    X(AFCFileRefOpen) \
    X(AFCFileRefRead) \
    X(AFCFileRefWrite) \
    X(AFCFileRefSeek) \
    X(AFCFileRefClose) \
    X(AFCRemovePath) \
    X(AFCRenamePath) \
    X(DLCreateDeviceLinkConnectionForComputer) \
    X(DLConnect) \
    X(DLSetRootDirectory) \
    X(DLProcessMessage) \
    X(DLWaitForMessage) \
    X(DLSendFile) \
    X(DLDisconnect) \
    X(DLDeleteDeviceLinkConnection) \
    X(DLDeviceListenerCreate) \
    X(DLDeviceWaitForAttachedDevice) \
    X(DLDeviceCopyAMDValue)

namespace mobiledevice {

struct Backend
{
#define MOBILEDEVICE_BACKEND_MEMBER(name) name##_f *name = nullptr;
    MOBILEDEVICE_BACKEND_ENTRY_POINTS(MOBILEDEVICE_BACKEND_MEMBER)
#undef MOBILEDEVICE_BACKEND_MEMBER
};

// The backend this process uses.
const Backend &backend();
// True when the simulated devices serve this process.
bool simulatedBackendChosen();

const Backend &simulatedBackend();
const Backend &realBackend();

// Each backend's own entry points, defined in its files.
#define MOBILEDEVICE_BACKEND_DECLARE(name) name##_f name;
namespace sim {
MOBILEDEVICE_BACKEND_ENTRY_POINTS(MOBILEDEVICE_BACKEND_DECLARE)
}
namespace real {
MOBILEDEVICE_BACKEND_ENTRY_POINTS(MOBILEDEVICE_BACKEND_DECLARE)
}
#undef MOBILEDEVICE_BACKEND_DECLARE

} // namespace mobiledevice
