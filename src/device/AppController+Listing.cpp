// Listing device folders for the file browser: one level at a time, with only the kinds of
// the children, cached until the next re-list or tear-down.

#include "device/AppController.h"

#include "device/DevicePath.h"
#include "device/FileAccessSupport.h"
#include "device/MobileDeviceFramework.h"
#include "interfaces/FRWindowHub.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

using FileAccess::utf8;

namespace {

constexpr int kKindFile = 0;
constexpr int kKindFolder = 1;
constexpr int kKindLink = 3;

// Codes that mean the device went away or locked; the refresh says nothing about them.
bool isQuietListingCode(int code)
{
    return code == int(kAMDNotConnectedError) || code == int(0xe800005c) || code == int(0xe8000084);
}

} // namespace

int AppController::getDirectories(bool load)
{
    {
        std::lock_guard lock(mLock);
        mPaths.clear();
        mLoadedPaths.clear();
        mLoadedPathAttributes.clear();
    }
    return load ? doGetDirectories() : 0;
}

int AppController::doGetDirectories()
{
    std::lock_guard lock(mLock);
    if (const int error = makeConnection())
        return error;
    return recurseDirectories(getStartDir(), 0);
}

// The kind of one item for the browser, from its information alone: a folder's children
// are read only when the folder itself is listed. A link counts as a folder when it leads
// to one. The caller holds mLock.
int AppController::itemKind(const QString &path, AFCConnectionRef connection, AFCError &error)
{
    AFCDictionaryRef info = nullptr;
    error = AFCFileInfoOpen(connection, utf8(path).constData(), &info);
    if (error || !info) {
        error = error ? error : kAFCUnknownError;
        return -1;
    }
    int kind = kKindFile;
    for (;;) {
        char *key = nullptr;
        char *value = nullptr;
        if (AFCKeyValueRead(info, &key, &value) || !key || !value)
            break;
        if (std::strcmp(key, "st_ifmt") != 0)
            continue;
        if (std::strcmp(value, "S_IFDIR") == 0)
            kind = kKindFolder;
        else if (std::strcmp(value, "S_IFLNK") == 0)
            kind = kKindLink;
        break;
    }
    AFCKeyValueClose(info);
    if (kind == kKindLink) {
        AFCDirectoryRef directory = nullptr;
        if (AFCDirectoryOpen(connection, utf8(path).constData(), &directory) == 0 && directory) {
            AFCDirectoryClose(connection, directory);
            kind = kKindFolder;
        }
    }
    return kind;
}

int AppController::recurseDirectories(const QString &path, int depth)
{
    std::lock_guard lock(mLock);
    if (const int error = makeConnection())
        return error;
    const AFCConnectionRef connection = getAfc();
    if (!connection)
        return kFileNoConnection;
    const QString folder = DevicePath::normalized(path);
    const QString start = DevicePath::normalized(getStartDir(connection));

    if (depth != 0) {
        AFCError error = 0;
        const int kind = itemKind(folder, connection, error);
        if (kind < 0) {
            VarnekLog("AFCFileInfoOpen err: %d (%s)", error, qUtf8Printable(folder));
            mListingError.store(kFileListing);
            return kFileListing;
        }
        if (folder != start)
            mPaths.insert(folder, kind);
        return 0;
    }

    QStringList names;
    const AFCError result = FileAccess::listDeviceFolder(connection, folder, names);
    if (result == kAFCNotADirectoryError) {
        mPaths.insert(folder, isSymLink(folder, connection) ? kKindLink : kKindFile);
        return 0;
    }
    if (result) {
        // Kept to this listing: the next refresh reports it, and nothing else is blocked.
        VarnekLog("AFCDirectoryOpen err: %d (%s)", result, qUtf8Printable(folder));
        mListingError.store(kFileListing);
        return kFileListing;
    }
    if (folder != start)
        mPaths.insert(folder, kKindFolder);

    VarnekLog("loading directory %s", qUtf8Printable(folder));
    mLoadedPaths.insert(folder, 1);
    _fetchAttributesForPath(folder);
    // Each child's kind from its information: one query per child, not a listing of it.
    const QString prefix = folder == QLatin1String("/") ? folder : folder + QLatin1Char('/');
    int error = 0;
    for (const QString &child : std::as_const(names)) {
        if (!FileAccess::isVisibleName(child) || child.contains(QLatin1Char('/')))
            continue;
        const QString childPath = prefix + child;
        AFCError childError = 0;
        const int kind = itemKind(childPath, connection, childError);
        if (kind < 0) {
            VarnekLog("AFCFileInfoOpen err: %d (%s)", childError, qUtf8Printable(childPath));
            mListingError.store(kFileListing);
            if (!error)
                error = kFileListing;
            continue;
        }
        mPaths.insert(childPath, kind);
    }
    return error;
}

QStringList AppController::getPathsForDir(const QString &browserPath)
{
    if (mStatus.load() == kStatusAway) {
        if (mShowMessage.exchange(false)) {
            onMain([this] {
                if (mWindow)
                    mWindow->showErrorOnMain();
            });
        }
        return {};
    }
    if (!getNormalAfc())
        return {};

    const QString folder = DevicePath::join(getStartDir(), browserPath.mid(1));
    QStringList paths;
    {
        std::lock_guard lock(mLock);
        if (!mLoadedPaths.contains(folder)) {
            recurseDirectories(folder, 0);
            if (!mLoadedPaths.contains(folder))
                VarnekLog("getNode path not found: %s", qUtf8Printable(folder));
        }
        const QString prefix = folder == QLatin1String("/") ? folder : folder + QLatin1Char('/');
        // The cache is ordered by path: the folder's children follow the prefix in one run.
        for (auto it = mPaths.lowerBound(prefix); it != mPaths.cend() && it.key().startsWith(prefix); ++it) {
            const QString &key = it.key();
            if (key.size() > prefix.size() && key.indexOf(QLatin1Char('/'), prefix.size()) < 0)
                paths << key;
        }
    }
    // Case-insensitive order, from each path's folded form made once rather than folded
    // again in every comparison.
    std::vector<std::pair<QString, QString>> keyed;
    keyed.reserve(size_t(paths.size()));
    for (QString &path : paths)
        keyed.emplace_back(path.toCaseFolded(), std::move(path));
    std::sort(keyed.begin(), keyed.end(), [](const auto &a, const auto &b) {
        const int order = QString::compare(a.first, b.first, Qt::CaseSensitive);
        return order < 0 || (order == 0 && a.second < b.second);
    });
    paths.clear();
    for (auto &entry : keyed)
        paths << std::move(entry.second);
    return paths;
}

QVariant AppController::getNode(const QString &relativePath)
{
    const QString path = DevicePath::join(getStartDir(), relativePath);
    std::lock_guard lock(mLock);
    return mPaths.value(path);
}

std::optional<QStringList> AppController::getPhotoDirectory(const QString &folder)
{
    std::lock_guard lock(mLock);
    const AFCConnectionRef connection = mConn;
    if (!connection)
        return std::nullopt;
    QStringList names;
    if (FileAccess::listDeviceFolder(connection, folder, names))
        return std::nullopt;
    QStringList paths;
    paths.reserve(names.size());
    for (const QString &entry : std::as_const(names))
        paths << DevicePath::join(folder, entry);
    return paths;
}

void AppController::refreshDirectories()
{
    DeviceFilesWindow *window = FileAccess::filesWindow(*this);
    if (dev() && connectedStatus()) {
        updateStatusMessage();
        const int listingError = mListingError.exchange(0);
        const int error = mErrorCode.load() ? mErrorCode.load() : listingError;
        if (error) {
            VarnekLog("mErrorCode on refreshDirectories: %d", error);
            if (error == int(kAMDPasswordProtectedError) || error == int(kAMDDeviceLockedError)) {
                if (mWindow)
                    mWindow->reportPassCodeError(error);
            } else if (!isQuietListingCode(error) && window) {
                window->reportCantGetDirectoriesError(error);
            }
            return;
        }
        if (getStartDir() == QLatin1String("/Fernlow/") && !_fileExistsOniPhone(QStringLiteral("/Fernlow/"))) {
            _newFolder(QStringLiteral("/Fernlow/"));
            // The manual ships beside the program where the install has it.
            const QString manual = QCoreApplication::applicationDirPath()
                + QStringLiteral("/../share/quillon/Quillon Manual.pdf");
            if (QFileInfo::exists(manual)) {
                const QString name = QCoreApplication::translate("AppController", "/Welcome To Quillon.pdf");
                _uploadFile(manual, DevicePath::join(QStringLiteral("/Fernlow/"), name));
            }
        }
        const int listed = getDirectories(true);
        mListingError.store(0);
        if (listed && window)
            window->reportCantGetDirectoriesError(listed);
    }
    if (window)
        window->reloadData();
}
