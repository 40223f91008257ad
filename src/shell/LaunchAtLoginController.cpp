#include "LaunchAtLoginController.h"

#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSaveFile>

namespace {

// Two paths name the same program when they resolve to the same file; a program that
// does not exist yet is compared by its cleaned absolute path.
QString resolved(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(path).absoluteFilePath()) : canonical;
}

// The desktop-entry string escapes (\s \n \t \r \\), applied before Exec's own quoting.
QString unescapeValue(const QString &value)
{
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value.at(++i);
        switch (next.unicode()) {
        case 's': out += QLatin1Char(' '); break;
        case 'n': out += QLatin1Char('\n'); break;
        case 't': out += QLatin1Char('\t'); break;
        case 'r': out += QLatin1Char('\r'); break;
        default: out += next; break;
        }
    }
    return out;
}

// The first argument of an Exec value: quoted with backslash escapes, or up to a space.
QString firstArgument(const QString &exec)
{
    const QString value = exec.trimmed();
    QString out;
    if (value.startsWith(QLatin1Char('"'))) {
        for (qsizetype i = 1; i < value.size(); ++i) {
            const QChar c = value.at(i);
            if (c == QLatin1Char('"'))
                return out.replace(QLatin1String("%%"), QLatin1String("%"));
            if (c == QLatin1Char('\\') && i + 1 < value.size())
                out += value.at(++i);
            else
                out += c;
        }
        return {}; // no closing quote
    }
    out = value.section(QLatin1Char(' '), 0, 0);
    return out.replace(QLatin1String("%%"), QLatin1String("%"));
}

} // namespace

LaunchAtLoginController::LaunchAtLoginController(QObject *parent)
    : QObject(parent)
    , mLoginItems(Paths::autostartFolder())
{
    watch();
}

LaunchAtLoginController::~LaunchAtLoginController() = default;

void LaunchAtLoginController::setLoginItems(const QString &folder)
{
    mLoginItems = folder;
    watch();
}

void LaunchAtLoginController::watch()
{
    delete mWatcher;
    mWatcher = new QFileSystemWatcher(this);
    // The folder may not exist until the first entry is written; then it is watched.
    if (QFileInfo(mLoginItems).isDir())
        mWatcher->addPath(mLoginItems);
    connect(mWatcher, &QFileSystemWatcher::directoryChanged, this,
            &LaunchAtLoginController::sharedFileListDidChange);
}

void LaunchAtLoginController::sharedFileListDidChange()
{
    emit launchAtLoginWillChange();
    emit launchAtLoginChanged();
}

QByteArray LaunchAtLoginController::desktopEntry(const QString &program)
{
    // Exec quoting: a backslash before " ` $ \ inside the quotes, "%%" for a percent sign;
    // then the string escape doubles every backslash.
    QString quoted;
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    // A line break in the path must not end the Exec line (it would start a key of its own).
    quoted.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    quoted.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    quoted.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    QString name = QFileInfo(program).fileName();
    name.replace(QLatin1Char('\n'), QLatin1Char(' '));
    QString text = QStringLiteral("[Desktop Entry]\n"
                                  "Type=Application\n"
                                  "Name=%1\n"
                                  "Exec=\"%2\"\n"
                                  "Terminal=false\n"
                                  "NoDisplay=true\n"
                                  "X-GNOME-Autostart-enabled=true\n")
                       .arg(name, quoted);
    return text.toUtf8();
}

QString LaunchAtLoginController::programOfEntry(const QByteArray &entry)
{
    bool inMainGroup = false;
    QString exec;
    bool hidden = false;
    for (const QByteArray &rawLine : entry.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Exec"))
            exec = unescapeValue(value);
        else if (key == QLatin1String("Hidden"))
            hidden = value == QLatin1String("true");
    }
    if (hidden || exec.isEmpty())
        return {};
    // %-codes other than %% stand for files or URLs the launcher fills in.
    return firstArgument(exec);
}

QString LaunchAtLoginController::findItemWithURL(const QUrl &url, const QString &inFileList)
{
    if (!url.isValid() || !url.isLocalFile() || inFileList.isEmpty())
        return {};
    const QString wanted = resolved(url.toLocalFile());
    const QDir folder(inFileList);
    const QStringList entries = folder.entryList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name);
    for (const QString &name : entries) {
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString program = programOfEntry(file.read(64 * 1024));
        if (!program.isEmpty() && resolved(program) == wanted)
            return file.fileName();
    }
    return {};
}

bool LaunchAtLoginController::willLaunchAtLogin(const QUrl &url) const
{
    return !findItemWithURL(url, mLoginItems).isEmpty();
}

bool LaunchAtLoginController::setLaunchAtLogin(bool enabled, const QUrl &forURL)
{
    if (!forURL.isLocalFile())
        return false;
    QString existing = findItemWithURL(forURL, mLoginItems);
    if (enabled) {
        if (!existing.isEmpty())
            return true;
        if (!QDir().mkpath(mLoginItems))
            return false;
        // An entry of the same name for another program is left alone.
        const QString base = QFileInfo(forURL.toLocalFile()).completeBaseName();
        QString path = mLoginItems + QLatin1Char('/') + base + QStringLiteral(".desktop");
        for (int n = 2; QFileInfo::exists(path); ++n)
            path = mLoginItems + QLatin1Char('/') + base + QStringLiteral("-%1.desktop").arg(n);
        QSaveFile file(path);
        const QByteArray text = desktopEntry(forURL.toLocalFile());
        const bool written = file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
        if (written && mWatcher && !mWatcher->directories().contains(mLoginItems))
            mWatcher->addPath(mLoginItems);
        return written;
    }
    // Every entry for the program goes, so off means off even when duplicates were made.
    while (!existing.isEmpty()) {
        if (!QFile::remove(existing))
            return false;
        existing = findItemWithURL(forURL, mLoginItems);
    }
    return true;
}

QUrl LaunchAtLoginController::appURL()
{
    return QUrl::fromLocalFile(Paths::applicationSupport() + QStringLiteral("/QuillonHelper"));
}

void LaunchAtLoginController::setLaunchAtLogin(bool enabled)
{
    emit launchAtLoginWillChange();
    setLaunchAtLogin(enabled, appURL());
    emit launchAtLoginChanged();
}

bool LaunchAtLoginController::launchAtLogin() const
{
    return willLaunchAtLogin(appURL());
}
