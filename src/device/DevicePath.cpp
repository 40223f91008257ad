#include "device/DevicePath.h"

#include <QStringList>

namespace DevicePath {

QString normalized(const QString &path)
{
    QString result;
    result.reserve(path.size() + 1);
    result += QLatin1Char('/');
    for (const QChar c : path) {
        if (c == QLatin1Char('/') && result.endsWith(QLatin1Char('/')))
            continue;
        result += c;
    }
    if (result.size() > 1 && result.endsWith(QLatin1Char('/')))
        result.chop(1);
    if (!result.contains(QLatin1String("/.")))
        return result;
    // "." and ".." components are resolved, so no comparison of folders is fooled by them
    // ("/Fernlow/../DCIM" is "/DCIM"); ".." at the root stays at the root.
    QStringList kept;
    const QStringList components = result.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &component : components) {
        if (component == QLatin1String("."))
            continue;
        if (component == QLatin1String("..")) {
            if (!kept.isEmpty())
                kept.removeLast();
            continue;
        }
        kept << component;
    }
    return QLatin1Char('/') + kept.join(QLatin1Char('/'));
}

QString join(const QString &folder, const QString &name)
{
    return normalized(folder + QLatin1Char('/') + name);
}

QString parent(const QString &path)
{
    const QString normal = normalized(path);
    const qsizetype slash = normal.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : normal.left(slash);
}

QString lastComponent(const QString &path)
{
    const QString normal = normalized(path);
    return normal.mid(normal.lastIndexOf(QLatin1Char('/')) + 1);
}

bool isBelow(const QString &path, const QString &folder)
{
    const QString normalPath = normalized(path);
    QString normalFolder = normalized(folder);
    if (normalPath == normalFolder)
        return false;
    if (!normalFolder.endsWith(QLatin1Char('/')))
        normalFolder += QLatin1Char('/');
    return normalPath.startsWith(normalFolder);
}

bool hasFolderPrefix(const QString &path, const QString &prefix)
{
    QString normal = normalized(path);
    if (!normal.endsWith(QLatin1Char('/')))
        normal += QLatin1Char('/');
    return normal.startsWith(prefix);
}

} // namespace DevicePath
