#pragma once
// Which drops into the file browser would do nothing or harm: a device item moved into the
// folder it already lies in, or a folder moved into itself or one of its own subfolders.
// Paths are compared by whole components ("/d/a.txt" is not a prefix of "/d/a.txt.old").
// Pure functions; any thread.

#include <QList>
#include <QStringList>
#include <QUrl>

namespace DropTargets {

// The property-list type of device paths that moves inside the browser carry.
inline constexpr const char *kMoveFilesType = "FRMoveFilesPboardType";

// Whether moving `movedPaths` into `targetFolder` would move something into itself, below
// itself, or into the folder that already holds it.
bool draggingIntoSelf(const QStringList &movedPaths, const QString &targetFolder);

// The local files of a "text/uri-list" drop; anything not a local file is left out.
QStringList localFiles(const QList<QUrl> &urls);

// The move list as the browser's drags carry it (an XML property-list array), and back
// (empty for anything that is not such an array of strings).
QByteArray encodeMoveList(const QStringList &paths);
QStringList decodeMoveList(const QByteArray &data);

} // namespace DropTargets
