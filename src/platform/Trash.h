#pragma once
// The freedesktop Trash: files the user deletes go where the desktop's Trash shows them and
// can be put back. Any thread.

#include <QString>

namespace Trash {

// Moves `path` (a file or a folder) to the Trash. On failure returns false and sets *error;
// the item stays where it was. *pathInTrash receives where it went.
bool moveToTrash(const QString &path, QString *error = nullptr, QString *pathInTrash = nullptr);

} // namespace Trash
