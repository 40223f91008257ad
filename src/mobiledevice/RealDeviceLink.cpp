// The device link of real devices. Live backups of real devices are not served yet: every
// device-link call answers kAMDUnsupportedError and says so once in the log, so a backup
// session ends with a clear error instead of waiting.

#include "Backend.h"
#include "RealDevices.h"

#include <mutex>

namespace mobiledevice::real {

namespace {

AMDError unsupported()
{
    static std::once_flag said;
    std::call_once(said, [] { logLine("live backups of real devices are not supported by this build"); });
    return kAMDUnsupportedError;
}

} // namespace

AMDError DLCreateDeviceLinkConnectionForComputer(const DLCallbackTable */*callbacks*/, void */*context*/, DLConnectionRef */*connection*/)
{
    return unsupported();
}

AMDError DLConnect(DLConnectionRef /*connection*/, plist_t /*connectionInfo*/, char **/*errorDescription*/)
{
    return unsupported();
}

AMDError DLSetRootDirectory(DLConnectionRef /*connection*/, const char */*path*/)
{
    return unsupported();
}

AMDError DLProcessMessage(DLConnectionRef /*connection*/, plist_t /*message*/, char **/*errorDescription*/)
{
    return unsupported();
}

AMDError DLWaitForMessage(DLConnectionRef /*connection*/, double /*timeout*/, char **/*errorDescription*/)
{
    return unsupported();
}

AMDError DLSendFile(DLConnectionRef /*connection*/, const char */*path*/, plist_t /*options*/, char **/*errorDescription*/)
{
    return unsupported();
}

AMDError DLDisconnect(DLConnectionRef /*connection*/, const char */*reason*/)
{
    return unsupported();
}

AMDError DLDeleteDeviceLinkConnection(DLConnectionRef /*connection*/)
{
    return unsupported();
}

AMDError DLDeviceListenerCreate(DLDeviceListenerRef */*listener*/)
{
    return unsupported();
}

AMDError DLDeviceWaitForAttachedDevice(DLDeviceListenerRef /*listener*/, const char */*deviceIdentifier*/, double /*timeout*/, DLDeviceRef */*device*/)
{
    return unsupported();
}

plist_t DLDeviceCopyAMDValue(DLDeviceRef /*device*/, const char */*domain*/, const char */*key*/, AMDError *error)
{
    if (error)
        *error = unsupported();
    return nullptr;
}

} // namespace mobiledevice::real
