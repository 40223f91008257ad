#include "LaunchAtLoginController.h"

#include "platform/DesktopEntryReader.h"
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
    // QuillonHelper reads Quillon's own entry by the same rule.
    return QString::fromStdString(
        DesktopEntryReader::programOfEntry(std::string_view(entry.constData(), size_t(entry.size()))));
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
