// Copying files from this computer onto the device: drops from the file manager on the
// browser or the sidebar's Disk row, and files handed to a running Quillon. The checks run on
// the main thread; the copy runs on one worker with the status sheet (Cancel ends it, and the
// file being written is removed from the device). Every upload reached through a drop posts
// "DragMoveFinished", whatever its outcome, so drops are taken again.

#include "FRWindow.h"

#include "device/AppController.h"
#include "device/DeviceNames.h"
#include "device/DevicePath.h"
#include "platform/NotificationCenter.h"
#include "shell/VarnekLogger.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <thread>

namespace {

// Each entry counts its size, but at least 4,096 bytes; folders count everything below them.
uint64_t sizeOnThisComputer(const QString &path)
{
    auto counted = [](qint64 size) { return uint64_t(std::max<qint64>(size, 4096)); };
    const QFileInfo info(path);
    if (!info.isDir())
        return counted(info.size());
    uint64_t total = counted(info.size());
    QDirIterator it(path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += counted(it.fileInfo().size());
    }
    return total;
}

} // namespace

bool FRWindow::uploadFromPasteboard(const QStringList &files, const QString &destPath)
{
    QStringList local;
    for (const QString &file : files) {
        if (!file.isEmpty())
            local << file;
    }
    if (!local.isEmpty())
        uploadFiles(local, destPath);
    NotificationCenter::defaultCenter().postNotificationName(NotificationNames::DragMoveFinished, this);
    return !local.isEmpty();
}

int FRWindow::uploadFiles(const QStringList &files, const QString &folder)
{
    if (!mDevice || files.isEmpty() || running())
        return 0;
    // The browser of the window's own mode shows the result (never the row under a drop).
    selectSourceListMode(isFileSharingMode() ? QStringLiteral("FILESHARING") : QStringLiteral("FILE"));
    uint64_t free = mDevice->getFreeBytes();
    if (free == 0)
        free = mDevice->doGetFreeDeviceBytes(mDevice->afc2Mode());
    const QString device = mDevice->deviceClassNoConfusion();
    if (free <= 1048576) {
        reportError(tr("Copy To %1").arg(device), tr("The %1 has no space available for uploading.").arg(device), 0);
        return 0;
    }
    uint64_t total = 0;
    for (const QString &file : files) {
        const QString name = DeviceNames::fixSlashesAndColonsIn(QFileInfo(file).fileName()).value_or(QString());
        if (name.isEmpty())
            continue;
        if (mDevice->fileExistsOniPhone(DevicePath::join(folder, name))) {
            VarnekLog("File exists on iPhone");
            askReplace(tr("Copy To %1").arg(device),
                       tr("An item named \"%1\" already exists in this location. Do you want to replace it with the one you are copying?")
                           .arg(QFileInfo(file).fileName()),
                       {tr("Stop"), tr("Skip")}, [this, files, file, folder](int button) {
                           if (button != 1)
                               return;
                           VarnekLog("Skipping %s", qUtf8Printable(file));
                           QStringList others = files;
                           others.removeAll(file);
                           QTimer::singleShot(250, this, [this, others, folder] { uploadFiles(others, folder); });
                       });
            return 0;
        }
        total += sizeOnThisComputer(file);
    }
    if (total > free) {
        reportError(tr("Copy To %1").arg(device),
                    tr("The %1 does not have enough space available to upload the selected files.").arg(mDevice->deviceClass()), 0);
        return 0;
    }
    mTransferMaximum = double(total / 65536);
    mThreadRunning.store(true);
    startTransferProgress(tr("Copying to %1...").arg(device));
    AppController *controller = mDevice;
    FRWindow *self = this; // lives as long as the program
    try {
        std::thread([controller, self, files, folder] {
            VarnekLog("Thread starting");
            controller->resetCopyOperation();
            int code = 0;
            QString remote;
            for (const QString &file : files) {
                const QString name = DeviceNames::fixSlashesAndColonsIn(QFileInfo(file).fileName()).value_or(QString());
                if (name.isEmpty())
                    continue;
                remote = DevicePath::join(folder, name);
                code = controller->uploadFile(file, remote);
                if (code == AppController::kFileStopped)
                    controller->trashFile(remote);
                if (code)
                    break;
            }
            const bool readOnlyArea = controller->afc2Mode()
                && (folder.startsWith(QLatin1String("/dev")) || folder.startsWith(QLatin1String("/Developer")));
            QMetaObject::invokeMethod(self, [self, code, readOnlyArea, folder, remote] {
                if (code && code != AppController::kFileStopped) {
                    if (readOnlyArea)
                        self->reportError(tr("Not Writable"), tr("Unable to write the file. This directory is not writable."), 0);
                    else if (code == 10)
                        self->reportError(tr("Copy To Device"), tr("An error occurred copying your files to the device. The destination folder may be read-only."), 10);
                    else
                        self->reportError(tr("Copy To Device"), tr("An error occurred copying your files to the device."), code);
                }
                self->refreshPath(folder.isEmpty() ? QStringLiteral("/") : folder, remote);
            }, Qt::QueuedConnection);
            VarnekLog("Thread finished");
            self->setThreadRunning(false);
        }).detach();
    } catch (const std::system_error &error) {
        VarnekLog("upload: no thread (%s)", error.what());
        mThreadRunning.store(false);
        reportError(tr("Copy To Device"), tr("An error occurred copying your files to the device."), 0);
    }
    return 0;
}
