#pragma once
// One file or folder of the device as the file browser shows it. A node holds no device data
// of its own: it answers from the device controller's listing tables (getPathsForDir,
// getNode, the sidecar attributes), which listing a folder fills. Paths here are browser
// paths: below the file service's start folder, beginning with "/".
//
// A value type; copies share nothing mutable. Device calls may block on the device lock, so
// the model asks on its worker; the inspector's questions (dates, kind, size) are cheap once
// the folder is listed. sizeString() never walks on the calling thread: it starts the size
// worker (FolderSizer) and answers "Calculating...", and the size comes back in the
// notification "UpdateStatusTextWithSize". Any thread.

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

class AppController;

class FSNodeInfo
{
public:
    static constexpr int kKindFile = 0;
    static constexpr int kKindFolder = 1;
    static constexpr int kKindLink = 3;

    FSNodeInfo(AppController &device, const QString &absolutePath);
    // A child of `parent` (or, without one, the node of `relativePath` itself).
    static FSNodeInfo nodeWithParent(const FSNodeInfo *parent, const QString &relativePath, AppController &device);

    QString absolutePath() const { return mPath; }
    QString lastPathComponent() const;
    // The last component with every ":" shown as "/".
    QString displayName() const;
    QString description() const { return mPath; }

    // Children in the listing's order (the folder is listed first when it was not).
    QList<FSNodeInfo> subNodes() const;
    QList<FSNodeInfo> visibleSubNodes() const;
    // Dot files are shown only in whole-disk mode ("ADVANCED_MODE").
    bool isVisible() const;
    bool isDirectory() const { return kind() == kKindFolder; }
    bool isSymLink() const { return kind() == kKindLink; }
    bool exists() const { return kind() >= 0; }
    bool isReadable() const { return true; }
    // The listing's kind code, or -1 when the path is not in the table.
    int kind() const;

    static QStringList getBundleTypes();
    // "" for 0, else the date in the short date style.
    static QString formatDate(const QVariant &secondsSince1970);
    QString createDateString() const;
    QString modDateString() const;
    // "Folder", "Symbolic Link", the kind of the extension, else "File".
    QString fsType() const;
    // A freedesktop icon name for the node ("folder", the type's icon, "text-x-generic").
    QString iconName() const;
    // The size text of a file or folder, computed on the size worker.
    QString sizeString() const;

    // Stops a running size walk at once (its result is dropped); never waits.
    static void stopSizeThread(AppController &device);

private:
    AppController *mDevice;
    QString mPath;
};
