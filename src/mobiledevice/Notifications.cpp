// Device notifications and the run-loop source that delivers them.

#include "CallbackQueue.h"
#include "DeviceRegistry.h"

using namespace mobiledevice;

extern "C" AMDError AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, uint32_t, uint32_t,
                                                  void *context, AMDeviceNotificationRef *subscription)
{
    return DeviceRegistry::instance().subscribe(callback, context, subscription);
}

extern "C" AMDError AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef subscription)
{
    return DeviceRegistry::instance().unsubscribe(subscription);
}

extern "C" int AMDRunLoopSourceGetDescriptor(void)
{
    return CallbackQueue::instance().descriptor();
}

extern "C" int AMDRunLoopSourcePerform(void)
{
    return CallbackQueue::instance().perform();
}
