#include "telemetry/core/VUUtility.h"

#include "platform/Paths.h"
#include "telemetry/core/VULogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <mutex>

#include <sys/xattr.h>
#include <cerrno>
#include <cstring>

namespace {

// The design's class-wide monitor: the file operations below never interleave.
std::recursive_mutex &fileLock()
{
    static std::recursive_mutex lock;
    return lock;
}

const char kDataFolderName[] = "org.quillon.telemetry";

std::optional<QString> resolved(const std::optional<QString> &pathComponent)
{
    if (!pathComponent)
        return std::nullopt;
    if (!VUUtility::isSafePathComponent(*pathComponent)) {
        VULogError(VULogTag(), "Refusing path outside the data folder: %s", qUtf8Printable(*pathComponent));
        return std::nullopt;
    }
    return VUUtility::fullURLForPathComponent(pathComponent);
}

} // namespace

bool VUUtility::isSafePathComponent(const QString &pathComponent)
{
    if (pathComponent.startsWith(QLatin1Char('/')))
        return false;
    const QStringList parts = pathComponent.split(QLatin1Char('/'));
    return !parts.contains(QStringLiteral(".."));
}

QString VUUtility::vovUdezirDirectoryURL()
{
    // Computed per call because HOME may change between tests; the folder is made when
    // missing, which the design does once per process.
    const QString path = Paths::applicationSupportRoot() + QLatin1Char('/') + mainBundleIdentifier() +
                         QLatin1Char('/') + QLatin1String(kDataFolderName);
    if (!QFileInfo::exists(path))
        createDirectoryAtURL(path);
    return path;
}

std::optional<QString> VUUtility::fullURLForPathComponent(const std::optional<QString> &pathComponent)
{
    if (!pathComponent)
        return std::nullopt;
    if (!isSafePathComponent(*pathComponent))
        return std::nullopt;
    return vovUdezirDirectoryURL() + QLatin1Char('/') + *pathComponent;
}

bool VUUtility::fileExistsForPathComponent(const std::optional<QString> &pathComponent)
{
    const auto path = resolved(pathComponent);
    return path && QFileInfo::exists(*path);
}

std::optional<QString> VUUtility::createFileAtPathComponent(const std::optional<QString> &pathComponent,
                                                           const QByteArray &data, bool atomically,
                                                           bool forceOverwrite)
{
    std::lock_guard guard(fileLock());
    const auto path = resolved(pathComponent);
    if (!path)
        return std::nullopt;
    if (!forceOverwrite && QFileInfo::exists(*path))
        return path;
    createDirectoryAtURL(QFileInfo(*path).absolutePath());
    bool written = false;
    if (atomically) {
        QSaveFile file(*path);
        written = file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit();
    } else {
        QFile file(*path);
        written = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
    }
    if (!written) {
        VULogError(VULogTag(), "Couldn't create new file at path %s", qUtf8Printable(*path));
        return std::nullopt;
    }
    return path;
}

bool VUUtility::deleteFileAtURL(const std::optional<QString> &path)
{
    std::lock_guard guard(fileLock());
    if (!path)
        return false;
    const QFileInfo info(*path);
    bool removed = false;
    if (info.isDir() && !info.isSymLink())
        removed = QDir(*path).removeRecursively();
    else
        removed = QFile::remove(*path);
    if (!removed)
        VULogDebug(VULogTag(), "Couldn't remove item at %s: %s", qUtf8Printable(*path),
                   info.exists() || info.isSymLink() ? "permission denied" : "no such file or directory");
    return removed;
}

bool VUUtility::deleteItemForPathComponent(const std::optional<QString> &pathComponent)
{
    std::lock_guard guard(fileLock());
    const auto path = resolved(pathComponent);
    if (!path)
        return false;
    // "", "." and the like name the data folder itself, "Logs.sqlite" and all.
    if (QDir::cleanPath(*path) == QDir::cleanPath(vovUdezirDirectoryURL())) {
        VULogError(VULogTag(), "Refusing to delete the data folder itself: \"%s\"", qUtf8Printable(*pathComponent));
        return false;
    }
    return deleteFileAtURL(path);
}

std::optional<QString> VUUtility::createDirectoryForPathComponent(const std::optional<QString> &pathComponent)
{
    std::lock_guard guard(fileLock());
    const auto path = resolved(pathComponent);
    if (!path || !createDirectoryAtURL(path))
        return std::nullopt;
    return path;
}

std::optional<QByteArray> VUUtility::loadDataForPathComponent(const std::optional<QString> &pathComponent)
{
    std::lock_guard guard(fileLock());
    const auto path = resolved(pathComponent);
    if (!path)
        return std::nullopt;
    QFile file(*path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

std::optional<QStringList> VUUtility::contentsOfDirectory(const std::optional<QString> &pathComponent)
{
    std::lock_guard guard(fileLock());
    if (!pathComponent || pathComponent->isEmpty())
        return std::nullopt;
    const auto path = resolved(pathComponent);
    if (!path)
        return std::nullopt;
    const QDir dir(*path);
    if (!dir.exists()) {
        VULogDebug(VULogTag(), "Couldn't get files in the directory \"%s\": %s", qUtf8Printable(*path),
                   "no such directory");
        return std::nullopt;
    }
    QStringList entries;
    for (const QString &name : dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        entries.append(dir.filePath(name));
    return entries;
}

bool VUUtility::createDirectoryAtURL(const std::optional<QString> &path)
{
    if (!path)
        return false;
    if (!QDir().mkpath(*path)) {
        VULogError(VULogTag(), "Couldn't create directory at %s: %s", qUtf8Printable(*path), "mkpath failed");
        return false;
    }
    disableBackupForDirectoryURL(path);
    return true;
}

bool VUUtility::disableBackupForDirectoryURL(const std::optional<QString> &path)
{
    // Backup tools that follow the shared extended-attribute convention skip such folders.
    static const char name[] = "user.xdg.robots.backup";
    static const char value[] = "false";
    if (path && setxattr(QFile::encodeName(*path).constData(), name, value, sizeof value - 1, 0) == 0)
        return true;
    VULogError(VULogTag(), "Error excluding %s from iCloud backup %s", path ? qUtf8Printable(*path) : "(nil)",
               path ? std::strerror(errno) : "no path");
    return false;
}
