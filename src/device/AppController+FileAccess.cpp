// Device file access: which connection and start folder an operation uses, the path rules
// of the media area, the user area and the program's own folder, and the attribute queries
// (type, existence, size, date) every other file operation builds on.

#include "device/AppController.h"

#include "device/DevicePath.h"
#include "device/FileAccessSupport.h"
#include "device/MetadataSidecar.h"
#include "device/MobileDeviceFramework.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <cstring>

using FileAccess::utf8;
using Mode = DeviceFilesWindow::Mode;

namespace {

// The handle this thread last took from getAfc or getNormalAfc, and the connection
// generation at that moment.
struct PickedConnection
{
    AFCConnectionRef connection = nullptr;
    uint64_t generation = 0;
};
thread_local PickedConnection tPicked;

const QStringList &mediaPrefixes()
{
    static const QStringList prefixes{QStringLiteral("/User/Media/"), QStringLiteral("/var/mobile/Media/"),
                                      QStringLiteral("/private/var/mobile/Media/")};
    return prefixes;
}

} // namespace

bool FileAccess::isCompanionName(const QString &name)
{
    return name.endsWith(QLatin1String(MetadataSidecar::kCompanionSuffix));
}

bool FileAccess::isVisibleName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && name != QLatin1String(MetadataSidecar::kFileName) && !isCompanionName(name);
}

AFCError FileAccess::listDeviceFolder(AFCConnectionRef connection, const QString &path, QStringList &names)
{
    names.clear();
    AFCDirectoryRef directory = nullptr;
    const AFCError opened = AFCDirectoryOpen(connection, utf8(path).constData(), &directory);
    if (opened || !directory)
        return opened ? opened : kAFCUnknownError;
    AFCError error = kAFCSuccess;
    for (;;) {
        char *name = nullptr;
        error = AFCDirectoryRead(connection, directory, &name);
        if (error || !name)
            break;
        const qsizetype length = qsizetype(std::strlen(name));
        if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.'))
            continue;
        names << FileNameBytes::decode(name, length);
    }
    AFCDirectoryClose(connection, directory);
    if (error) {
        VarnekLog("AFCDirectoryRead err: %d (%s)", error, qUtf8Printable(path));
        names.clear();
    }
    return error;
}

// --- Connections and folders -------------------------------------------------------------

bool AppController::afc2Mode()
{
    return mAfc2.load() && FileAccess::windowMode(*this) == Mode::Files
        && preferenceBool(QStringLiteral("ADVANCED_MODE"));
}

AFCConnectionRef AppController::getAfc()
{
    const Mode mode = FileAccess::windowMode(*this);
    std::lock_guard lock(mLock);
    AFCConnectionRef connection = mConn;
    if (mode == Mode::FileSharing)
        connection = mAppConn;
    else if (afc2Mode() && mConn2)
        connection = mConn2;
    tPicked = {connection, mConnectionGeneration.load()};
    return connection;
}

AFCConnectionRef AppController::getNormalAfc()
{
    std::lock_guard lock(mLock);
    tPicked = {mConn, mConnectionGeneration.load()};
    return mConn;
}

bool AppController::connectionIsOpen(AFCConnectionRef connection) const
{
    if (!connection)
        return false;
    uint64_t opened = 0;
    if (connection == mConn)
        opened = mConnOpened;
    else if (connection == mConn2)
        opened = mConn2Opened;
    else if (connection == mAppConn)
        opened = mAppConnOpened;
    else
        return false;
    return !(tPicked.connection == connection && tPicked.generation < opened);
}

QString AppController::getStartDir(AFCConnectionRef connection)
{
    bool appConnection = false;
    {
        std::lock_guard lock(mLock);
        appConnection = connection && connection == mAppConn;
    }
    if (appConnection) {
        const bool documentsOnly = !hasAllAppsCapability() && !preferenceBool(QStringLiteral("DEV_ALL_APPS_MODE"));
        if (!documentsOnly && preferenceBool(QStringLiteral("ALL_APPS_MODE")))
            return QStringLiteral("/");
        return QStringLiteral("/Documents/");
    }
    return preferenceBool(QStringLiteral("ADVANCED_MODE")) ? QStringLiteral("/") : QStringLiteral("/Fernlow/");
}

QString AppController::getStartDir()
{
    return getStartDir(getAfc());
}

QString AppController::translatePath(const QString &path)
{
    QString tested = path;
    if (!tested.endsWith(QLatin1Char('/')))
        tested += QLatin1Char('/');
    for (const QString &prefix : mediaPrefixes()) {
        if (tested.startsWith(prefix))
            return DevicePath::normalized(path.mid(prefix.size() - 1));
    }
    return path;
}

bool AppController::pathIsInMediaFolder(const QString &path)
{
    if (!currentAppID().isEmpty())
        return false;
    if (!afc2Mode())
        return true;
    for (const QString &prefix : mediaPrefixes()) {
        if (DevicePath::hasFolderPrefix(path, prefix))
            return true;
    }
    return false;
}

bool AppController::pathIsInUserArea(const QString &path)
{
    for (const char *prefix : {"/User/", "/tmp/", "/var/", "/private/var/"}) {
        if (DevicePath::hasFolderPrefix(path, QLatin1String(prefix)))
            return true;
    }
    return false;
}

bool AppController::pathIsInFernlowArea(const QString &path)
{
    if (afc2Mode()) {
        for (const QString &prefix : mediaPrefixes()) {
            if (DevicePath::hasFolderPrefix(path, prefix + QStringLiteral("Fernlow/")))
                return true;
        }
        return false;
    }
    return DevicePath::hasFolderPrefix(path, QStringLiteral("/Fernlow/"));
}

// --- Attributes and tests -----------------------------------------------------------------

QString AppController::getFileAttribute(const char *key, const QString &path, AFCConnectionRef connection)
{
    if (mStopFindingSize.load() || !connection || !AFCFileInfoOpen)
        return {};
    std::lock_guard lock(mLock);
    if (!connectionIsOpen(connection))
        return {};
    AFCDictionaryRef info = nullptr;
    const AFCError error = AFCFileInfoOpen(connection, utf8(path).constData(), &info);
    if (error || !info) {
        if (error != kAFCObjectNotFoundError)
            VarnekLog("AFCFileInfoOpen err: %d (%s) \n", error, qUtf8Printable(path));
        return {};
    }
    QString value;
    for (;;) {
        char *name = nullptr;
        char *text = nullptr;
        if (AFCKeyValueRead(info, &name, &text) || !name || !text)
            break;
        if (std::strcmp(name, key) == 0) {
            value = QString::fromUtf8(text);
            break;
        }
    }
    AFCKeyValueClose(info);
    return value;
}

QString AppController::getFileType(const QString &path, AFCConnectionRef connection)
{
    return getFileAttribute("st_ifmt", path, connection);
}

bool AppController::isDirectory(const QString &path)
{
    return isDirectory(path, getAfc());
}

bool AppController::isDirectory(const QString &path, AFCConnectionRef connection)
{
    mStopFindingSize.store(false);
    return getFileType(path, connection) == QLatin1String("S_IFDIR");
}

bool AppController::isSymLink(const QString &path)
{
    return isSymLink(path, getAfc());
}

bool AppController::isSymLink(const QString &path, AFCConnectionRef connection)
{
    mStopFindingSize.store(false);
    return getFileType(path, connection) == QLatin1String("S_IFLNK");
}

bool AppController::_fileExistsOniPhone(const QString &path, bool *isDirectory, AFCConnectionRef connection)
{
    mStopFindingSize.store(false);
    const QString type = getFileType(path, connection);
    if (isDirectory)
        *isDirectory = type == QLatin1String("S_IFDIR");
    return !type.isNull();
}

bool AppController::_fileExistsOniPhone(const QString &path, bool *isDirectory)
{
    return _fileExistsOniPhone(path, isDirectory, getAfc());
}

bool AppController::fileExistsOniPhone(const QString &relativePath, bool *isDirectory)
{
    return _fileExistsOniPhone(DevicePath::join(getStartDir(), relativePath), isDirectory);
}

uint64_t AppController::_getFileSize(const QString &path, AFCConnectionRef connection)
{
    if (mStopFindingSize.load())
        return 0;
    if (getFileType(path, connection) == QLatin1String("S_IFDIR"))
        return _getDirectorySize(path);
    const uint64_t size = getFileAttribute("st_size", path, connection).toULongLong();
    const QString companion = getFileAttribute("st_size", path + QLatin1String(MetadataSidecar::kCompanionSuffix), connection);
    return size + companion.toULongLong();
}

uint64_t AppController::_getDirectorySize(const QString &path)
{
    const AFCConnectionRef connection = getAfc();
    if (!connection)
        return 0;
    QStringList names;
    {
        std::lock_guard lock(mLock);
        if (!connectionIsOpen(connection))
            return 0;
        QStringList all;
        if (FileAccess::listDeviceFolder(connection, path, all))
            return 0;
        for (const QString &entry : std::as_const(all)) {
            // Companions are counted with their files.
            if (FileAccess::isVisibleName(entry) || entry == QLatin1String(MetadataSidecar::kFileName))
                names << entry;
        }
    }
    uint64_t total = 0;
    for (const QString &name : names) {
        if (mStopFindingSize.load())
            return 0;
        total += _getFileSize(DevicePath::join(path, name), connection);
    }
    return total;
}

uint64_t AppController::getFileSize(const QString &path, bool atRoot)
{
    return getFileSize(path, atRoot, getAfc());
}

uint64_t AppController::getFileSize(const QString &path, bool atRoot, AFCConnectionRef connection)
{
    mStopFindingSize.store(false);
    return _getFileSize(atRoot ? path : DevicePath::join(getStartDir(connection), path), connection);
}

QDateTime AppController::_getFileDate(const QString &path, AFCConnectionRef connection)
{
    if (mStopFindingSize.load())
        return {};
    bool ok = false;
    const qulonglong nanoseconds = getFileAttribute("st_mtime", path, connection).toULongLong(&ok);
    if (!ok)
        return {};
    return QDateTime::fromSecsSinceEpoch(qint64(nanoseconds / 1000000000ull));
}

QDateTime AppController::getFileDate(const QString &path, bool atRoot)
{
    return getFileDate(path, atRoot, getAfc());
}

QDateTime AppController::getFileDate(const QString &path, bool atRoot, AFCConnectionRef connection)
{
    mStopFindingSize.store(false);
    return _getFileDate(atRoot ? path : DevicePath::join(getStartDir(connection), path), connection);
}
