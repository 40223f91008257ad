#pragma once
// The watch on the folder of device backups, which other programs write. Changes are gathered
// for a short latency (DeviceTimings::backupWatchLatencyMs) and then turned into at most one
// notification per batch:
//   - the folder itself changed (a backup appeared or went): "BackupFolderUpdated", no object;
//   - otherwise, a backup's "Snapshot" folder vanished, which is the moment a backup finishes:
//     "BackupUpdated" with userInfo {"path": that backup's folder}.
// The watch covers the folder and each backup folder in it (inotify does not recurse); while
// the folder does not exist yet, its nearest existing parent is watched, and the folder's
// appearance counts as a change of it.
//
// Main thread only: created, started and stopped there; notifications are posted there.

#include <QObject>
#include <QSet>
#include <QString>

class QFileSystemWatcher;
class QTimer;

class BackupFolderWatch : public QObject
{
public:
    explicit BackupFolderWatch(QObject *parent = nullptr);
    ~BackupFolderWatch() override;

    // Starts watching `folder`; a second call while running does nothing.
    void start(const QString &folder);
    void stop();
    bool running() const { return mWatcher != nullptr; }

private:
    void changed(const QString &path);
    void flush();
    void watchTree();
    bool hasSnapshot(const QString &backup) const;

    QString mFolder;
    QFileSystemWatcher *mWatcher = nullptr;
    QTimer *mLatency = nullptr;
    QStringList mPending;           // changed paths of this batch, in order
    QSet<QString> mWithSnapshot;    // backup folders that hold a "Snapshot" folder
};
