// QuillonHelper: started with the login session while the user wants Quillon launched when a
// device is attached. It waits for a device to come over USB, starts Quillon unless this
// user's Quillon runs already, and exits. When Quillon has been removed it takes itself out
// of the login session and deletes itself.
//
// Plain C++ on one thread: device notifications wait in the device library until this
// program pumps them (poll on the run-loop source's descriptor, then perform), so every
// callback runs here. Every path that ends exits with status 0.

#include "DeviceBinding.h"
#include "HelperLock.h"
#include "HelperLog.h"
#include "HelperPaths.h"
#include "HelperRemoval.h"
#include "QuillonLaunch.h"
#include "QuillonLocator.h"
#include "UserProcesses.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

using namespace HelperDevice;

namespace {

// Devices announced this soon after subscribing were attached before the helper started
// (a fresh subscription hears of every attached device): they do not start Quillon.
constexpr std::chrono::milliseconds kSettleTime{2000};

std::chrono::steady_clock::time_point gStartTime;
AMDeviceNotificationRef gSubscription = nullptr;
std::string gQuillonName;

[[noreturn]] void finish()
{
    std::fflush(nullptr);
    // The device library's threads still run: leave without running static destructors
    // under them.
    _exit(0);
}

std::string deviceName(AMDeviceRef device)
{
    plist_t value = AMDeviceCopyValue(device, nullptr, "DeviceName");
    std::string name;
    if (value && plist_get_node_type(value) == PLIST_STRING) {
        char *text = nullptr;
        plist_get_string_val(value, &text);
        if (text)
            name = text;
        std::free(text);
    }
    if (value)
        plist_free(value);
    return name;
}

void helper_device_callback(const AMDeviceNotificationCallbackInfo *info, void *)
{
    if (!info || info->message != kAMDeviceAttached)
        return;
    if (std::chrono::steady_clock::now() - gStartTime < kSettleTime)
        return;
    if (userProcessRuns(gQuillonName)) {
        helperLog("a device was attached; Quillon runs already");
        return;
    }
    AMDeviceRef device = info->device;
    if (const AMDError error = AMDeviceConnect(device); error != kAMDSuccess) {
        helperLog("can't connect to the attached device (0x%x)", unsigned(error));
        return;
    }
    const bool session = AMDeviceStartSession(device) == kAMDSuccess;
    if (session && AMDeviceGetInterfaceType && AMDeviceGetInterfaceType(device) != kAMDInterfaceUSB) {
        AMDeviceStopSession(device);
        AMDeviceDisconnect(device);
        helperLog("a device was attached, not over USB");
        return;
    }
    const std::string name = deviceName(device);
    if (session)
        AMDeviceStopSession(device);
    AMDeviceDisconnect(device);
    if (name.empty()) {
        helperLog("the attached device gives no name");
        return;
    }
    const QuillonLocation quillon = locateQuillon();
    if (quillon.result != QuillonLocation::Result::Found) {
        helperLog("can't find Quillon: %s", quillon.reason.c_str());
        return;
    }
    if (launchQuillon(quillon.program))
        finish();
}

} // namespace

int main()
{
    if (acquireHelperLock() == HelperLockResult::HeldByAnother)
        finish();

    const QuillonLocation quillon = locateQuillon();
    if (quillon.result == QuillonLocation::Result::Missing) {
        helperLog("Quillon is gone (%s): removing the helper", quillon.reason.c_str());
        removeHelper();
        finish();
    }
    if (quillon.result == QuillonLocation::Result::Unreadable) {
        // Not a sign that Quillon is gone: keep the user's choice and try at the next login.
        helperLog("can't tell where Quillon is (%s)", quillon.reason.c_str());
        finish();
    }
    gQuillonName = HelperPaths::fileName(quillon.program);

    if (!bind(libraryPathFor(quillon.program)))
        finish();

    gStartTime = std::chrono::steady_clock::now();
    if (AMDeviceNotificationSubscribe(helper_device_callback, 0, 0, nullptr, &gSubscription) != kAMDSuccess) {
        helperLog("can't subscribe to device notifications");
        finish();
    }
    const int descriptor = AMDRunLoopSourceGetDescriptor();
    if (descriptor < 0) {
        helperLog("the device library gives no run-loop descriptor");
        finish();
    }
    bool settled = false;
    for (;;) {
        int timeoutMs = -1;
        if (!settled) {
            const auto left = kSettleTime - (std::chrono::steady_clock::now() - gStartTime);
            timeoutMs = int(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
            if (timeoutMs <= 0) {
                settled = true;
                helperLog("waiting for a device");
                timeoutMs = -1;
            }
        }
        pollfd source{descriptor, POLLIN, 0};
        const int ready = poll(&source, 1, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            helperLog("can't wait for devices: %s", std::strerror(errno));
            finish();
        }
        if (ready > 0)
            AMDRunLoopSourcePerform();
    }
}
