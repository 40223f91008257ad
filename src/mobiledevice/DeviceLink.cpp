// The device-link entry points. Backups are not simulated yet: every call answers
// kAMDUnsupportedError and hands nothing out, so a caller's failure path runs cleanly.

#include <mobiledevice/MobileDevice.h>

#include <cstdlib>
#include <cstring>

namespace {

AMDError unsupported(char **errorDescription)
{
    if (errorDescription)
        *errorDescription = strdup("The device link is not supported by this device library.");
    return kAMDUnsupportedError;
}

} // namespace

extern "C" AMDError DLCreateDeviceLinkConnectionForComputer(const DLCallbackTable *, void *, DLConnectionRef *connection)
{
    if (connection)
        *connection = nullptr;
    return kAMDUnsupportedError;
}

extern "C" AMDError DLConnect(DLConnectionRef, plist_t, char **errorDescription)
{
    return unsupported(errorDescription);
}

extern "C" AMDError DLSetRootDirectory(DLConnectionRef, const char *)
{
    return kAMDUnsupportedError;
}

extern "C" AMDError DLProcessMessage(DLConnectionRef, plist_t, char **errorDescription)
{
    return unsupported(errorDescription);
}

extern "C" AMDError DLWaitForMessage(DLConnectionRef, double, char **errorDescription)
{
    return unsupported(errorDescription);
}

extern "C" AMDError DLSendFile(DLConnectionRef, const char *, plist_t, char **errorDescription)
{
    return unsupported(errorDescription);
}

extern "C" AMDError DLDisconnect(DLConnectionRef, const char *)
{
    return kAMDUnsupportedError;
}

extern "C" AMDError DLDeleteDeviceLinkConnection(DLConnectionRef)
{
    return kAMDUnsupportedError;
}

extern "C" AMDError DLDeviceListenerCreate(DLDeviceListenerRef *listener)
{
    if (listener)
        *listener = nullptr;
    return kAMDUnsupportedError;
}

extern "C" AMDError DLDeviceWaitForAttachedDevice(DLDeviceListenerRef, const char *, double, DLDeviceRef *device)
{
    if (device)
        *device = nullptr;
    return kAMDUnsupportedError;
}

extern "C" plist_t DLDeviceCopyAMDValue(DLDeviceRef, const char *, const char *, AMDError *error)
{
    if (error)
        *error = kAMDUnsupportedError;
    return nullptr;
}
