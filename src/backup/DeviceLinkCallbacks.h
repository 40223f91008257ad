#pragma once
// Small pieces both backup protocols' device-link callbacks share.

#include "device/MobileDeviceFramework.h"

#include <QString>

#include <cstdlib>

namespace DeviceLinkCallbacks {

// The text a device-link call handed back (malloc'd, may be null), freed once read.
inline QString describe(char *text)
{
    const QString value = text ? QString::fromUtf8(text) : QString();
    std::free(text);
    return value;
}

// A callback whose event needs no answer.
inline int logOnly(DLConnectionRef, void *, void *, void *, void *)
{
    return 0;
}

} // namespace DeviceLinkCallbacks
