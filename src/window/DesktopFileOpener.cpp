#include "window/DesktopFileOpener.h"

#include "shell/VarnekLogger.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace {

const QString kFileManagerService = QStringLiteral("org.freedesktop.FileManager1");

bool showItems(const QStringList &paths)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    // A service that is neither running nor activatable would only time out.
    const QStringList activatable = bus.interface()->activatableServiceNames().value();
    if (!bus.interface()->isServiceRegistered(kFileManagerService).value() && !activatable.contains(kFileManagerService))
        return false;
    QStringList uris;
    for (const QString &path : paths)
        uris << QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded);
    QDBusMessage call = QDBusMessage::createMethodCall(kFileManagerService, QStringLiteral("/org/freedesktop/FileManager1"),
                                                       kFileManagerService, QStringLiteral("ShowItems"));
    call << uris << QString();
    // Not waited for: the file manager may take its time to start, and the window must not.
    return bus.send(call);
}

} // namespace

void DesktopFileOpener::openFile(const QString &path)
{
    if (!isViewable(path)) {
        revealFiles({path});
        return;
    }
    VarnekLog("open file %s", qUtf8Printable(path));
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        revealFiles({path});
}

void DesktopFileOpener::revealFiles(const QStringList &paths)
{
    if (paths.isEmpty())
        return;
    VarnekLog("revealing: %s", qUtf8Printable(paths.first()));
    const QString folder = QFileInfo(paths.first()).absolutePath();
    QStringList inFolder;
    for (const QString &path : paths) {
        if (QFileInfo(path).absolutePath() == folder)
            inFolder << path;
    }
    if (!showItems(inFolder))
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void DesktopFileOpener::previewFiles(const QStringList &paths)
{
    QStringList others;
    for (const QString &path : paths) {
        if (isViewable(path))
            QDesktopServices::openUrl(QUrl::fromLocalFile(path));
        else
            others << path;
    }
    if (!others.isEmpty())
        revealFiles(others);
}
