#pragma once
// Shared first steps of the entry points: turn a handle into its live object, count the
// call for the device's fault file, and refuse calls on a device that went away.

#include "DeviceRegistry.h"
#include "Handles.h"

namespace mobiledevice {

// The device behind `ref`, with `error` set when the call must fail (unknown handle, a
// fault asked for this call, the device gone). Null only for an unknown handle.
inline SimDevice *enterDevice(AMDeviceRef ref, const char *entryPoint, AMDError &error)
{
    error = kAMDSuccess;
    SimDevice *device = DeviceRegistry::instance().find(ref);
    if (!device) {
        error = kAMDInvalidArgumentError;
        return nullptr;
    }
    if (auto fault = device->fault(entryPoint))
        error = *fault;
    else if (device->gone())
        error = kAMDNotConnectedError;
    return device;
}

} // namespace mobiledevice
