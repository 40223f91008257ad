#include "DeviceBinding.h"

#include "HelperLog.h"
#include "HelperPaths.h"

#include <climits>
#include <cstdlib>
#include <dlfcn.h>
#include <type_traits>
#include <unistd.h>

namespace HelperDevice {

AMDeviceNotificationSubscribe_f *AMDeviceNotificationSubscribe = nullptr;
AMDRunLoopSourceGetDescriptor_f *AMDRunLoopSourceGetDescriptor = nullptr;
AMDRunLoopSourcePerform_f *AMDRunLoopSourcePerform = nullptr;
AMDeviceConnect_f *AMDeviceConnect = nullptr;
AMDeviceDisconnect_f *AMDeviceDisconnect = nullptr;
AMDeviceStartSession_f *AMDeviceStartSession = nullptr;
AMDeviceStopSession_f *AMDeviceStopSession = nullptr;
AMDeviceCopyValue_f *AMDeviceCopyValue = nullptr;
AMDeviceGetInterfaceType_f *AMDeviceGetInterfaceType = nullptr;

std::string libraryPathFor(const std::string &quillonProgram)
{
    if (const char *overridden = std::getenv("QUILLON_MOBILEDEVICE_LIBRARY"); overridden && overridden[0])
        return overridden;
    // The layout is the installed program's, not that of a link to it.
    char resolved[PATH_MAX];
    const std::string program = realpath(quillonProgram.c_str(), resolved) ? std::string(resolved) : quillonProgram;
    const std::string beside = HelperPaths::folderOf(HelperPaths::folderOf(program)) + "/lib/libmobiledevice.so";
    if (access(beside.c_str(), F_OK) == 0)
        return beside;
    return "libmobiledevice.so";
}

bool bind(const std::string &libraryPath)
{
    void *image = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!image) {
        const char *error = dlerror();
        helperLog("can't open the device library %s: %s", libraryPath.c_str(), error ? error : "unknown error");
        return false;
    }
    bool complete = true;
    auto required = [&](auto *&pointer, const char *name) {
        pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(dlsym(image, name));
        if (!pointer) {
            helperLog("the device library lacks %s", name);
            complete = false;
        }
    };
    required(AMDeviceNotificationSubscribe, "AMDeviceNotificationSubscribe");
    required(AMDRunLoopSourceGetDescriptor, "AMDRunLoopSourceGetDescriptor");
    required(AMDRunLoopSourcePerform, "AMDRunLoopSourcePerform");
    required(AMDeviceConnect, "AMDeviceConnect");
    required(AMDeviceDisconnect, "AMDeviceDisconnect");
    required(AMDeviceStartSession, "AMDeviceStartSession");
    required(AMDeviceStopSession, "AMDeviceStopSession");
    required(AMDeviceCopyValue, "AMDeviceCopyValue");
    AMDeviceGetInterfaceType =
        reinterpret_cast<AMDeviceGetInterfaceType_f *>(dlsym(image, "AMDeviceGetInterfaceType"));
    // The library stays open for the life of the process.
    return complete;
}

} // namespace HelperDevice
