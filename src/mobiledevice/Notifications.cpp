// Device notifications of the simulated devices.

#include "Backend.h"
#include "DeviceRegistry.h"

using namespace mobiledevice;

namespace mobiledevice::sim {

AMDError AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, uint32_t, uint32_t,
                                                  void *context, AMDeviceNotificationRef *subscription)
{
    return DeviceRegistry::instance().subscribe(callback, context, subscription);
}

AMDError AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef subscription)
{
    return DeviceRegistry::instance().unsubscribe(subscription);
}

} // namespace mobiledevice::sim
