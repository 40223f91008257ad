#pragma once
// Small helpers shared by the device controller's file-access sources.

#include "device/AppController.h"
#include "device/FileNameBytes.h"
#include "interfaces/DeviceFilesWindow.h"
#include "interfaces/FRWindowHub.h"

#include <QByteArray>
#include <QString>

namespace FileAccess {

// A device path as the framework takes it: UTF-8, with the bytes of names that are not UTF-8
// given back as they came (FileNameBytes).
inline QByteArray utf8(const QString &path)
{
    return FileNameBytes::encode(path);
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

// Every name in a device folder but "." and ".." (decoded with FileNameBytes, so no name is
// lost or changed), in the device's order. A read that fails is the listing's error, never
// its end: `names` is then emptied. The folder's open error is returned as it came (4: not
// a folder). The caller holds mLock.
AFCError listDeviceFolder(AFCConnectionRef connection, const QString &path, QStringList &names);

// Reads `length` bytes at `offset` of a device file (fewer at its end), looping over short
// reads. The caller holds mLock. On failure `data` is emptied and the code returned.
AFCError readDeviceRange(AFCConnectionRef connection, const QString &path, uint64_t offset,
                         uint64_t length, QByteArray &data);

} // namespace FileAccess
