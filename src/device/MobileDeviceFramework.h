#pragma once
// Run-time binding of the mobile-device framework (libmobiledevice).
//
// The program never links the library: bindMobileDeviceFramework() opens it and looks every
// entry point up by name into a global pointer named like the entry point, so device code
// reads `AMDeviceConnect(dev)` as if it were linked. A pointer is null while unbound and
// when the library lacks that entry point.
//
// Required entry points (one missing means "no framework": the subscription pointer
// AMDeviceNotificationSubscribe is cleared and the caller takes the no-framework path): the
// file entry points except the secure context and the modification-time operation; subscribe,
// the run-loop source, connect, disconnect, paired test, validate, plain pair, session start
// and stop, plain service start, value copy, release. Every other entry point is optional and
// callers test its pointer before calling it (interface type, pair with options, secure
// start, secure contexts, app containers, application lookup, modification time, message
// pairs, power assertions, wake-up tokens, serialisation, device link).
//
// Threads: bind once at start-up on the main thread, before any device thread starts; the
// pointers are read-only afterwards. The library is found at <bin>/../lib/libmobiledevice.so
// (the install layout; the build tree has the same shape), else by the system's library
// search; the environment variable QUILLON_MOBILEDEVICE_LIBRARY names another file.

#include <mobiledevice/MobileDevice.h>

#include <QString>

#define QUILLON_MOBILEDEVICE_POINTER(name) extern name##_f *name;
#define QUILLON_MOBILEDEVICE_ENTRY_POINTS(X)                                                   \
    X(AMDeviceNotificationSubscribe) X(AMDeviceNotificationUnsubscribe)                       \
    X(AMDRunLoopSourceGetDescriptor) X(AMDRunLoopSourcePerform)                               \
    X(AMDeviceConnect) X(AMDeviceDisconnect) X(AMDeviceIsPaired) X(AMDeviceValidatePairing)  \
    X(AMDevicePair) X(AMDevicePairWithOptions) X(AMDeviceStartSession) X(AMDeviceStopSession) \
    X(AMDeviceStartService) X(AMDeviceSecureStartService) X(AMDeviceStartHouseArrestService) \
    X(AMDeviceLookupApplications) X(AMDeviceCopyValue) X(AMDeviceGetInterfaceType)           \
    X(AMDevicePowerAssertionCreate) X(AMDeviceCreateWakeupToken) X(AMDeviceWakeupUsingToken) \
    X(AMDeviceSendMessage) X(AMDeviceReceiveMessage) X(AMDeviceRelease) X(AMDeviceSerialize) \
    X(AMDeviceCopyDeviceIdentifier)                                                           \
    X(AMDServiceConnectionGetSecureIOContext) X(AMDServiceConnectionSendMessage)              \
    X(AMDServiceConnectionReceiveMessage) X(AMDServiceConnectionInvalidate)                   \
    X(AFCConnectionOpen) X(AFCConnectionClose) X(AFCConnectionSetSecureContext)               \
    X(AFCConnectionProcessOperation) X(AFCOperationCreateSetModTime) X(AFCOperationRelease)  \
    X(AFCDirectoryOpen) X(AFCDirectoryRead) X(AFCDirectoryClose) X(AFCDirectoryCreate)        \
    X(AFCFileInfoOpen) X(AFCDeviceInfoOpen) X(AFCKeyValueRead) X(AFCKeyValueClose)            \
    X(AFCFileRefOpen) X(AFCFileRefRead) X(AFCFileRefWrite) X(AFCFileRefSeek)                  \
    X(AFCFileRefClose) X(AFCRemovePath) X(AFCRenamePath)                                      \
    X(DLCreateDeviceLinkConnectionForComputer) X(DLConnect) X(DLSetRootDirectory)             \
    X(DLProcessMessage) X(DLWaitForMessage) X(DLSendFile) X(DLDisconnect)                     \
    X(DLDeleteDeviceLinkConnection) X(DLDeviceListenerCreate)                                 \
    X(DLDeviceWaitForAttachedDevice) X(DLDeviceCopyAMDValue)

QUILLON_MOBILEDEVICE_ENTRY_POINTS(QUILLON_MOBILEDEVICE_POINTER)

// Opens the library on first use (a failure is remembered until the next bind) and returns
// the address of `name`, or null.
void *LoadProcPointer(const char *name);

// Binds every entry point from `libraryPath` (empty: mobileDeviceLibraryPath()). Every
// pointer is set anew, so a second call rebinds from another file. Returns whether the
// framework is usable; false leaves AMDeviceNotificationSubscribe null.
bool bindMobileDeviceFramework(const QString &libraryPath = {});

// The file the next bind opens when given no path.
QString mobileDeviceLibraryPath();

// The required entry point the last bind missed ("" when none, or when the library itself
// could not be opened), for the log.
QString missingMobileDeviceEntryPoint();
