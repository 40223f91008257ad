#pragma once
// Small readers between the device framework's C values and Quillon's Qt values, shared by
// the device controller's source files. Each needs a bound framework and is called with
// mLock held, like every framework call.

#include <mobiledevice/MobileDevice.h>

#include <QString>
#include <QVariant>

// The device's own value `key` as text; empty when missing or not text.
QString copyDeviceString(AMDeviceRef device, const char *key);
// The connection's interface: 1 USB, 2 Wi-Fi; 1 when the framework cannot tell.
int deviceInterfaceType(AMDeviceRef device);
// The framework's own identity of the device (its identifier), or the reference itself
// when the framework offers none: what tells two unpaired devices apart.
QString deviceIdentity(AMDeviceRef device);

// Property-list values to and from QVariant (null / invalid when not convertible).
QVariant variantFromPlist(plist_t node);
plist_t plistFromVariant(const QVariant &value);
