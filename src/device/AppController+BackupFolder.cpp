// The device controller's side of the backups on this computer: the list (`backups`), kept
// in step with the backup folder through its watch, the hand-over of a finished backup, the
// exclusion of our own folders from backups, and the help shown when the backup folder may
// not be read.

#include "device/AppController.h"

#include "backup/DeviceBackup.h"
#include "device/BackupFolderWatch.h"
#include "interfaces/FRWindowHub.h"
#include "platform/ExtendedAttributes.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "shell/VarnekLogger.h"

#include <QPointer>

namespace {
// Backup tools that follow the shared extended-attribute convention skip marked folders (the
// telemetry folder carries the same mark).
const QString kBackupMark = QStringLiteral("user.xdg.robots.backup");
} // namespace

void AppController::loadBackupsOnThread()
{
    QPointer<QObject> alive = mMainContext.get();
    DeviceBackup::loadBackupsOnThread([this, alive](QList<DeviceBackupPtr> list) {
        if (!alive)
            return;
        backups = list;
        VarnekLog("%lld backups on this computer", static_cast<long long>(list.size()));
        if (mWindow)
            mWindow->refreshBackupWindows();
    });
}

void AppController::startPollingBackupFolder()
{
    if (mEventStream)
        return;
    mEventStream = new BackupFolderWatch(mMainContext.get());
    mEventStream->start(Paths::backupFolder());
    VarnekLog("Watching the backup folder %s", qUtf8Printable(Paths::backupFolder()));
}

void AppController::stopPollingBackupFolder()
{
    delete mEventStream;
    mEventStream = nullptr;
}

void AppController::observeBackupFolder()
{
    NotificationCenter &center = NotificationCenter::defaultCenter();
    center.removeObserver(mMainContext.get(), NotificationNames::BackupFolderUpdated);
    center.removeObserver(mMainContext.get(), NotificationNames::BackupUpdated);
    center.addObserver(mMainContext.get(), NotificationNames::BackupFolderUpdated, nullptr,
                       [this](const Notification &) { reloadOnDevicesOnMain(); });
    center.addObserver(mMainContext.get(), NotificationNames::BackupUpdated, nullptr,
                       [this](const Notification &note) {
                           loadBackupFromMain(note.userInfo.value(QStringLiteral("path")).toString());
                       });
}

void AppController::reloadOnDevicesOnMain()
{
    VarnekLog("Detected iTunes backup window changed");
    onMain([this] { refreshDevices(); });
}

void AppController::refreshDevices()
{
    loadBackupsOnThread();
}

void AppController::loadBackupFromMain(const QString &backupPath)
{
    if (backupPath.isEmpty())
        return;
    // The voicemail, calls and messages list controllers process a finished backup on their
    // own threads; they attach here once they exist.
    VarnekLog("backup finished: %s", qUtf8Printable(backupPath));
}

void AppController::updateDeviceItem(const DeviceBackupPtr &backup)
{
    if (!backup)
        return;
    for (const DeviceBackupPtr &listed : std::as_const(backups)) {
        if (listed && listed->backupPath() == backup->backupPath()) {
            listed->setKeybag(backup->keybag());
            return;
        }
    }
}

void AppController::excludeFromBackupOnThread(const QString &path, bool exclude)
{
    VarnekLog("%s %s from backup", exclude ? "Excluding" : "Unexcluding", qUtf8Printable(path));
    mDeviceThreads.detach([path, exclude] { doExcludeFromBackupOnThread(path, exclude); });
}

bool AppController::doExcludeFromBackupOnThread(const QString &path, bool exclude)
{
    // The mark sits on the folder itself, so it follows the folder when it moves.
    QString error;
    const bool ok = exclude ? ExtendedAttributes::set(path, kBackupMark, "false", &error)
                            : (ExtendedAttributes::remove(path, kBackupMark, &error)
                               || !ExtendedAttributes::get(path, kBackupMark));
    VarnekLog("%s %s from backup: %d", exclude ? "Excluded" : "Unexcluded", qUtf8Printable(path), ok ? 0 : -1);
    return ok;
}

void AppController::showBackupsMessage()
{
    onMain([this] {
        if (gBackupsBlocked && mWindow)
            mWindow->showBackupsAccessHelp();
    });
}
