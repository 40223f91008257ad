#include "device/BackupFolderWatch.h"

#include "device/DeviceTimings.h"
#include "platform/NotificationCenter.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

namespace {
const QString kSnapshot = QStringLiteral("Snapshot");
} // namespace

BackupFolderWatch::BackupFolderWatch(QObject *parent) : QObject(parent) {}

BackupFolderWatch::~BackupFolderWatch() = default;

void BackupFolderWatch::start(const QString &folder)
{
    if (mWatcher)
        return;
    mFolder = QDir::cleanPath(folder);
    mWatcher = new QFileSystemWatcher(this);
    connect(mWatcher, &QFileSystemWatcher::directoryChanged, this, &BackupFolderWatch::changed);
    mLatency = new QTimer(this);
    mLatency->setSingleShot(true);
    connect(mLatency, &QTimer::timeout, this, &BackupFolderWatch::flush);
    watchTree();
}

void BackupFolderWatch::stop()
{
    delete mWatcher;
    mWatcher = nullptr;
    delete mLatency;
    mLatency = nullptr;
    mPending.clear();
    mWithSnapshot.clear();
}

bool BackupFolderWatch::hasSnapshot(const QString &backup) const
{
    return QFileInfo(backup + QLatin1Char('/') + kSnapshot).isDir();
}

// Watches the folder and every backup folder in it, and notes which of them hold a snapshot;
// while the folder is missing, its nearest existing parent stands in.
void BackupFolderWatch::watchTree()
{
    const QStringList watched = mWatcher->directories();
    if (!watched.isEmpty())
        mWatcher->removePaths(watched);
    if (!QFileInfo(mFolder).isDir()) {
        QString parent = mFolder;
        do {
            parent = QFileInfo(parent).path();
        } while (!QFileInfo(parent).isDir() && parent != QLatin1String("/"));
        mWatcher->addPath(parent);
        return;
    }
    QStringList paths{mFolder};
    QSet<QString> withSnapshot;
    const QStringList names = QDir(mFolder).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString backup = mFolder + QLatin1Char('/') + name;
        paths << backup;
        if (hasSnapshot(backup))
            withSnapshot.insert(backup);
    }
    mWatcher->addPaths(paths);
    mWithSnapshot = withSnapshot;
}

void BackupFolderWatch::changed(const QString &path)
{
    mPending.append(QDir::cleanPath(path));
    if (!mLatency->isActive())
        mLatency->start(deviceTimings().backupWatchLatencyMs.load());
}

void BackupFolderWatch::flush()
{
    const QStringList paths = mPending;
    mPending.clear();
    const bool folderWasMissing = !mWatcher->directories().contains(mFolder);
    for (const QString &path : paths) {
        if (path == mFolder || (folderWasMissing && QFileInfo(mFolder).isDir())) {
            watchTree();
            NotificationCenter::defaultCenter().postNotificationName(NotificationNames::BackupFolderUpdated);
            return;
        }
        if (mWithSnapshot.contains(path) && !hasSnapshot(path)) {
            mWithSnapshot.remove(path);
            VarnekLog("eventPath changed: %s", qUtf8Printable(kSnapshot));
            NotificationCenter::defaultCenter().postNotificationName(NotificationNames::BackupUpdated, nullptr,
                                                                     {{QStringLiteral("path"), path}});
            return;
        }
        if (hasSnapshot(path))
            mWithSnapshot.insert(path);
    }
}
