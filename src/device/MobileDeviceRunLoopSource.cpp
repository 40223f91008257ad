#include "device/MobileDeviceRunLoopSource.h"

#include "device/MobileDeviceFramework.h"

#include <QSocketNotifier>

MobileDeviceRunLoopSource::MobileDeviceRunLoopSource(QObject *parent)
    : QObject(parent)
{
    if (!AMDRunLoopSourceGetDescriptor || !AMDRunLoopSourcePerform)
        return;
    const int fd = AMDRunLoopSourceGetDescriptor();
    if (fd < 0)
        return;
    mNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(mNotifier, &QSocketNotifier::activated, this, [this] { perform(); });
}

int MobileDeviceRunLoopSource::perform()
{
    return AMDRunLoopSourcePerform ? AMDRunLoopSourcePerform() : 0;
}
