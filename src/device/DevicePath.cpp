#include "device/DevicePath.h"

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
    return result;
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
