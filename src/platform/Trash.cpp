#include "Trash.h"

#include "Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Trash {

bool moveToTrash(const QString &path, QString *error, QString *pathInTrash)
{
    const QFileInfo info(path);
    if (path.isEmpty() || (!info.exists() && !info.isSymLink())) {
        if (error)
            *error = QStringLiteral("%1 does not exist").arg(path);
        return false;
    }
    // Qt makes the home Trash only inside an existing data home, which a fresh account may
    // not have yet.
    QDir().mkpath(Paths::dataHome());
    QString where;
    if (!QFile::moveToTrash(path, &where)) {
        if (error)
            *error = QStringLiteral("cannot move %1 to the Trash").arg(path);
        return false;
    }
    if (pathInTrash)
        *pathInTrash = where;
    return true;
}

} // namespace Trash
