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

int AppController::recurseDirectories(const QString &path, int depth)
{
    std::lock_guard lock(mLock);
    if (const int error = makeConnection())
        return error;
    const AFCConnectionRef connection = getAfc();
    if (!connection)
        return kFileNoConnection;
    const QString folder = DevicePath::normalized(path);

    AFCDirectoryRef directory = nullptr;
    const AFCError result = AFCDirectoryOpen(connection, utf8(folder).constData(), &directory);
    if (result == kAFCNotADirectoryError) {
        mPaths.insert(folder, isSymLink(folder, connection) ? kKindLink : kKindFile);
        return 0;
    }
    if (result || !directory) {
        // Kept to this listing: the next refresh reports it, and nothing else is blocked.
        VarnekLog("AFCDirectoryOpen err: %d (%s)", result, qUtf8Printable(folder));
        mListingError.store(kFileListing);
        return kFileListing;
    }
    if (folder != DevicePath::normalized(getStartDir(connection)))
        mPaths.insert(folder, kKindFolder);
    if (depth != 0) {
        AFCDirectoryClose(connection, directory);
        return 0;
    }

    VarnekLog("loading directory %s", qUtf8Printable(folder));
    mLoadedPaths.insert(folder, 1);
    QStringList children;
    char *name = nullptr;
    while (AFCDirectoryRead(connection, directory, &name) == 0 && name) {
        const QString entry = QString::fromUtf8(name);
        if (FileAccess::isVisibleName(entry))
            children << entry;
    }
    AFCDirectoryClose(connection, directory);
    _fetchAttributesForPath(folder);
    int error = 0;
    for (const QString &child : std::as_const(children)) {
        const int childError = recurseDirectories(DevicePath::join(folder, child), 1);
        if (childError && !error)
            error = childError;
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
        for (auto it = mPaths.cbegin(); it != mPaths.cend(); ++it) {
            const QString &key = it.key();
            if (key.size() > prefix.size() && key.startsWith(prefix) && key.indexOf(QLatin1Char('/'), prefix.size()) < 0)
                paths << key;
        }
    }
    std::sort(paths.begin(), paths.end(), [](const QString &a, const QString &b) {
        return a.compare(b, Qt::CaseInsensitive) < 0;
    });
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
    AFCDirectoryRef directory = nullptr;
    if (AFCDirectoryOpen(connection, utf8(folder).constData(), &directory) || !directory)
        return std::nullopt;
    QStringList paths;
    char *name = nullptr;
    while (AFCDirectoryRead(connection, directory, &name) == 0 && name) {
        const QString entry = QString::fromUtf8(name);
        if (entry != QLatin1String(".") && entry != QLatin1String(".."))
            paths << DevicePath::join(folder, entry);
    }
    AFCDirectoryClose(connection, directory);
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
