#include "Paths.h"

#include <QDir>
#include <QFile>
#include <QtGlobal>

namespace {

QString xdgFolder(const char *variable, const char *fallbackUnderHome)
{
    const QString value = qEnvironmentVariable(variable);
    // The XDG rules ignore relative values.
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::cleanPath(Paths::home() + QLatin1Char('/') + QLatin1String(fallbackUnderHome));
}

} // namespace

namespace Paths {

QString home()
{
    const QString value = qEnvironmentVariable("HOME");
    return value.isEmpty() ? QDir::homePath() : QDir::cleanPath(value);
}

QString dataHome() { return xdgFolder("XDG_DATA_HOME", ".local/share"); }
QString configHome() { return xdgFolder("XDG_CONFIG_HOME", ".config"); }
QString stateHome() { return xdgFolder("XDG_STATE_HOME", ".local/state"); }
QString cacheHome() { return xdgFolder("XDG_CACHE_HOME", ".cache"); }

QString applicationSupportRoot() { return dataHome(); }
QString applicationSupport() { return dataHome() + QStringLiteral("/Quillon"); }
QString logsRoot() { return stateHome() + QStringLiteral("/Logs"); }
QString caches() { return cacheHome(); }
QString backupFolder() { return dataHome() + QStringLiteral("/MobileSync/Backup"); }
QString temporaryRoot() { return QDir::cleanPath(QDir::tempPath()); }
QString autostartFolder() { return configHome() + QStringLiteral("/autostart"); }

QString desktop()
{
    const QString fallback = home() + QStringLiteral("/Desktop");
    QFile file(configHome() + QStringLiteral("/user-dirs.dirs"));
    // The file is a few lines; anything larger is not one the desktop wrote.
    if (!file.open(QIODevice::ReadOnly) || file.size() > 65536)
        return fallback;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (!line.startsWith("XDG_DESKTOP_DIR="))
            continue;
        QString value = QString::fromUtf8(line.mid(int(qstrlen("XDG_DESKTOP_DIR="))));
        if (value.size() < 2 || !value.startsWith(QLatin1Char('"')) || !value.endsWith(QLatin1Char('"')))
            return fallback;
        value = value.mid(1, value.size() - 2);
        // The format allows only "$HOME/..." or an absolute path.
        if (value == QLatin1String("$HOME") || value == QLatin1String("$HOME/"))
            return fallback; // a desktop that is home itself means no desktop folder
        if (value.startsWith(QLatin1String("$HOME/")))
            return QDir::cleanPath(home() + value.mid(5));
        if (QDir::isAbsolutePath(value) && value != QLatin1String("/"))
            return QDir::cleanPath(value);
        return fallback;
    }
    return fallback;
}

QString resolveUserPath(const QString &path)
{
    if (path == QLatin1String("~"))
        return home();
    if (!path.startsWith(QLatin1String("~/")))
        return path;

    struct Mapping {
        QLatin1String macFolder;
        QString (*here)();
    };
    static const Mapping mappings[] = {
        {QLatin1String("~/Library/Application Support"), &applicationSupportRoot},
        {QLatin1String("~/Library/Logs"), &logsRoot},
        {QLatin1String("~/Library/Caches"), &caches},
    };
    for (const Mapping &m : mappings) {
        if (path == m.macFolder)
            return m.here();
        if (path.startsWith(m.macFolder) && path.at(m.macFolder.size()) == QLatin1Char('/'))
            return QDir::cleanPath(m.here() + path.mid(m.macFolder.size()));
    }
    return QDir::cleanPath(home() + path.mid(1));
}

} // namespace Paths
