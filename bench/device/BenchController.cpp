#include "BenchController.h"

#include "device/AppController.h"
#include "device/MobileDeviceFramework.h"

#include <cstdlib>
#include <poll.h>

namespace BenchDevice {
namespace {

void rememberAttached(const AMDeviceNotificationCallbackInfo *info, void *context)
{
    if (info->message == kAMDeviceAttached)
        *static_cast<AMDeviceRef *>(context) = info->device;
}

} // namespace

std::unique_ptr<AppController> connectedController()
{
    if (!bindMobileDeviceFramework())
        std::abort();
    AMDeviceRef device = nullptr;
    AMDeviceNotificationRef subscription = nullptr;
    AMDeviceNotificationSubscribe(&rememberAttached, 0, 0, &device, &subscription);
    for (int i = 0; i < 100 && !device; ++i) {
        pollfd fd{AMDRunLoopSourceGetDescriptor(), POLLIN, 0};
        ::poll(&fd, 1, 50);
        AMDRunLoopSourcePerform();
    }
    AMDeviceNotificationUnsubscribe(subscription);
    if (!device)
        std::abort();
    auto controller = std::make_unique<AppController>();
    controller->mDev.store(device);
    controller->mStatus.store(AppController::kStatusConnected);
    if (controller->makeConnection())
        std::abort();
    return controller;
}

} // namespace BenchDevice
