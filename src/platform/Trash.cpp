#include "Trash.h"

#include "Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <cstdio>

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
    // When the home Trash cannot be made (its name taken by a file, say), Qt moves the item
    // into "files" under the working folder instead. An item of the home's file system
    // goes to the home Trash or nowhere.
    struct stat item {}, home {};
    const QString homeTrash = Paths::dataHome() + QStringLiteral("/Trash");
    if (::lstat(QFile::encodeName(path).constData(), &item) == 0
        && ::stat(QFile::encodeName(Paths::dataHome()).constData(), &home) == 0 && item.st_dev == home.st_dev
        && !(QDir().mkpath(homeTrash + QStringLiteral("/files")) && QDir().mkpath(homeTrash + QStringLiteral("/info")))) {
        if (error)
            *error = QStringLiteral("the Trash at %1 cannot be used").arg(homeTrash);
        return false;
    }
    QString where;
    if (!QFile::moveToTrash(path, &where)) {
        if (error)
            *error = QStringLiteral("cannot move %1 to the Trash").arg(path);
        return false;
    }
    if (!QDir::isAbsolutePath(where)) {
        // Not a Trash at all: put it back.
        const QFileInfo moved(where);
        std::rename(QFile::encodeName(where).constData(), QFile::encodeName(path).constData());
        QFile::remove(moved.absolutePath() + QStringLiteral("/../info/") + moved.fileName()
                      + QStringLiteral(".trashinfo"));
        if (error)
            *error = QStringLiteral("no Trash can take %1").arg(path);
        return false;
    }
    if (pathInTrash)
        *pathInTrash = where;
    return true;
}

} // namespace Trash
