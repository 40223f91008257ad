#pragma once
// Small helpers shared by the device controller's file-access sources.

#include "device/AppController.h"
#include "interfaces/DeviceFilesWindow.h"
#include "interfaces/FRWindowHub.h"

#include <QByteArray>
#include <QString>

namespace FileAccess {

inline QByteArray utf8(const QString &path)
{
    return path.toUtf8();
}

inline DeviceFilesWindow *filesWindow(const AppController &controller)
{
    return dynamic_cast<DeviceFilesWindow *>(controller.window());
}

inline DeviceFilesWindow::Mode windowMode(const AppController &controller)
{
    const DeviceFilesWindow *window = filesWindow(controller);
    return window ? window->windowMode() : DeviceFilesWindow::Mode::Other;
}

// Whether a listing shows `name` (the sidecar, companions, "." and ".." stay hidden).
bool isVisibleName(const QString &name);
bool isCompanionName(const QString &name);

} // namespace FileAccess

namespace FileAccess {

// Reads `length` bytes at `offset` of a device file (fewer at its end), looping over short
// reads. The caller holds mLock. On failure `data` is emptied and the code returned.
AFCError readDeviceRange(AFCConnectionRef connection, const QString &path, uint64_t offset,
                         uint64_t length, QByteArray &data);

} // namespace FileAccess
