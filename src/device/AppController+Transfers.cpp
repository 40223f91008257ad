// Transfers between the device and this computer: downloads of files and folders, uploads
// of files, folders and data, ranged reads, and their progress and stop.
//
// Every copy either completes or leaves nothing under its target's name: a download goes to a
// temporary name beside its target and an upload to a hidden temporary name beside its
// device target, each renamed into place only when every byte arrived (and the file closed
// cleanly). A lost connection or a kill mid-copy leaves no short file that looks whole, and
// a retry never meets a stale target that blocks it.
//
// Names are kept as bytes both ways (FileNameBytes): a name that is not UTF-8 is copied under
// the same bytes, never dropped. Uploads take regular files and folders only; a pipe, socket
// or device node is opened without blocking, recognised and skipped with a log line.

#include "device/AppController.h"

#include "device/DevicePath.h"
#include "device/FileAccessSupport.h"
#include "device/FileNameBytes.h"
#include "device/FileNameShortener.h"
#include "device/LocalFileMetadata.h"
#include "device/MetadataSidecar.h"
#include "device/MobileDeviceFramework.h"
#include "platform/PropertyList.h"
#include "shell/OwnTemporaries.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using FileAccess::utf8;

namespace {

const QString kCompanionSuffix = QLatin1String(MetadataSidecar::kCompanionSuffix);

bool writeAll(int fd, const char *data, size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= size_t(written);
    }
    return true;
}

ssize_t readSome(int fd, char *data, size_t length)
{
    for (;;) {
        const ssize_t got = ::read(fd, data, length);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

// A local path as the bytes the file system takes.
QByteArray localBytes(const QString &path)
{
    return FileNameBytes::encode(path);
}

// A new, empty temporary file beside `target`; its path goes to `temporary`. Made 0600 by
// mkostemp and opened up only once it is renamed into place.
int createTemporaryBeside(const QString &target, QString &temporary)
{
    const qsizetype slash = target.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash > 0 ? target.left(slash) : slash == 0 ? QStringLiteral("/") : QStringLiteral(".");
    QByteArray pattern = localBytes(folder) + "/.quillon-download-XXXXXX";
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0)
        temporary = FileNameBytes::decode(pattern);
    return fd;
}

// A hidden name for an upload in progress beside `path` on the device. It ends like a
// resource-fork companion, so listings hide it and deleting its folder takes it along.
QString partialUploadPath(const QString &path)
{
    static thread_local std::mt19937 random{std::random_device{}()};
    const QString tag = QString::number(random() & 0xffffffffu, 16);
    return DevicePath::join(DevicePath::parent(path), QStringLiteral(".quillon-upload-") + tag + kCompanionSuffix);
}

// What a local item is, without following a last link unless asked: S_IFREG, S_IFDIR, ...,
// or 0 when it cannot be read.
mode_t localType(const QString &path, bool followLink)
{
    struct stat status {};
    const QByteArray bytes = localBytes(path);
    const int result = followLink ? ::stat(bytes.constData(), &status) : ::lstat(bytes.constData(), &status);
    return result == 0 ? (status.st_mode & S_IFMT) : 0;
}

// The names in a local folder (as bytes, decoded), "." and ".." left out, sorted.
std::optional<QStringList> localFolderNames(const QString &path)
{
    DIR *dir = ::opendir(localBytes(path).constData());
    if (!dir)
        return std::nullopt;
    QStringList names;
    while (const dirent *entry = ::readdir(dir)) {
        const qsizetype length = qsizetype(std::strlen(entry->d_name));
        if ((length == 1 && entry->d_name[0] == '.') || (length == 2 && entry->d_name[0] == '.' && entry->d_name[1] == '.'))
            continue;
        names << FileNameBytes::decode(entry->d_name, length);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// A local name for a device item that no earlier item of the same folder download took:
// "-N" goes before the extension, and the base gives way so the name still fits.
QString uniqueLocalName(const QString &shortened, const QString &folder, const QSet<QString> &taken)
{
    if (!taken.contains(shortened))
        return shortened;
    const qsizetype dot = shortened.lastIndexOf(QLatin1Char('.'));
    QString base = dot > 0 ? shortened.left(dot) : shortened;
    const QString extension = dot > 0 ? shortened.mid(dot) : QString();
    for (int counter = 1;; ++counter) {
        const QString suffix = QStringLiteral("-%1").arg(counter) + extension;
        QString candidate = base + suffix;
        while (!base.isEmpty() && shortenedFileName(candidate) != candidate) {
            base.chop(base.size() >= 2 && base.at(base.size() - 1).isLowSurrogate() ? 2 : 1);
            candidate = base + suffix;
        }
        if (!taken.contains(candidate) && localType(folder + QLatin1Char('/') + candidate, false) == 0)
            return candidate;
    }
}

const QStringList &bundleTypes()
{
    static const QStringList types{
        QStringLiteral("app"), QStringLiteral("pkg"), QStringLiteral("nib"), QStringLiteral("bundle"),
        QStringLiteral("plugin"), QStringLiteral("component"), QStringLiteral("rtfd"), QStringLiteral("dict"),
        QStringLiteral("sparsebundle"), QStringLiteral("kext"), QStringLiteral("menu"), QStringLiteral("prefPane"),
        QStringLiteral("help"), QStringLiteral("saver"), QStringLiteral("widgetplugin"), QStringLiteral("wdgt"),
        QStringLiteral("qtx"), QStringLiteral("pages"), QStringLiteral("key"), QStringLiteral("numbers")};
    return types;
}

} // namespace

AFCError FileAccess::readDeviceRange(AFCConnectionRef connection, const QString &path, uint64_t offset,
                                     uint64_t length, QByteArray &data)
{
    data.clear();
    AFCFileRef file = 0;
    AFCError error = AFCFileRefOpen(connection, utf8(path).constData(), kAFCFileModeRead, &file);
    if (error || !file) {
        VarnekLog("AFCFileRefOpen (3) err: %d %s", error, qUtf8Printable(path));
        return error ? error : kAFCUnknownError;
    }
    error = AFCFileRefSeek(connection, file, int64_t(offset), kAFCSeekSet);
    if (error) {
        VarnekLog("AFCFileRefSeek err: %d", error);
        AFCFileRefClose(connection, file);
        return error;
    }
    data.resize(qsizetype(length));
    uint64_t got = 0;
    while (got < length) {
        uint32_t chunk = uint32_t(std::min<uint64_t>(length - got, AppController::kTransferBufferSize));
        error = AFCFileRefRead(connection, file, data.data() + got, &chunk);
        if (error) {
            VarnekLog("AFCFileRefRead err: %d", error);
            break;
        }
        if (chunk == 0)
            break;
        got += chunk;
    }
    AFCFileRefClose(connection, file);
    if (error) {
        data.clear();
        return error;
    }
    data.truncate(qsizetype(got));
    return 0;
}

// --- Progress ------------------------------------------------------------------------------

void AppController::resetCopyOperation()
{
    mBytesTransferred.store(0);
    setCurrentFile(QStringLiteral(""));
    mStop.store(false);
}

QString AppController::currentFile()
{
    std::lock_guard lock(mCurrentFileLock);
    return mCurrentFile;
}

void AppController::setCurrentFile(const QString &name)
{
    std::lock_guard lock(mCurrentFileLock);
    mCurrentFile = name;
}

void AppController::cancelOperation()
{
    VarnekLog("cancelOperation");
    mStop.store(true);
}

// --- Downloads -----------------------------------------------------------------------------

int AppController::downloadFile(const QString &path, const QString &localPath, bool createStub, bool atRoot)
{
    // Connected before the connection is chosen: closed connections (a Wi-Fi device that came
    // back) are opened again here, not reported as missing.
    if (!createStub && !path.isEmpty() && !localPath.isEmpty() && !mStop.load()) {
        if (const int error = makeConnection())
            return error;
    }
    const AFCConnectionRef connection = getAfc();
    const QString source = atRoot || path.isEmpty() ? path : DevicePath::join(getStartDir(connection), path);
    return _downloadFile(source, localPath, createStub, connection);
}

int AppController::_downloadFile(const QString &path, const QString &localPath, bool createStub)
{
    return _downloadFile(path, localPath, createStub, getNormalAfc());
}

int AppController::_downloadFile(const QString &path, const QString &localPath, bool createStub,
                                 AFCConnectionRef connection)
{
    if (path.isEmpty() || localPath.isEmpty())
        return kFileMissingArgument;
    if (mStop.load())
        return kFileStopped;
    VarnekLog("AppController: Downloading: %s to %s", qUtf8Printable(path), qUtf8Printable(localPath));

    QString target = localPath;
    while (target.size() > 1 && target.endsWith(QLatin1Char('/')))
        target.chop(1);
    const qsizetype slash = target.lastIndexOf(QLatin1Char('/'));
    target = target.left(slash + 1) + shortenedFileName(target.mid(slash + 1));
    setCurrentFile(target.mid(target.lastIndexOf(QLatin1Char('/')) + 1));

    if (createStub) {
        const bool relative = !path.startsWith(QLatin1Char('/'));
        if (!relative && connection && isDirectory(path, connection))
            return QDir().mkpath(target) ? 0 : kFileNoConnection;
        QFile stub(target);
        return stub.open(QIODevice::WriteOnly | QIODevice::Truncate) ? 0 : kFileLocalOpen;
    }

    if (const int error = makeConnection())
        return error;
    {
        std::lock_guard lock(mLock);
        if (!connectionIsOpen(connection))
            return kFileNoConnection;
    }
    mStopFindingSize.store(false);
    const QString type = getFileType(path, connection);
    if (type.isNull())
        return kFileNotFound;
    if (type == QLatin1String("S_IFLNK"))
        return 0;
    if (type == QLatin1String("S_IFDIR")) {
        const int error = downloadDirectory(path, target, connection);
        if (error)
            return error;
        checkForAndFixBundle(target);
        return 0;
    }
    const uint64_t expected = getFileAttribute("st_size", path, connection).toULongLong();

    int result = 0;
    bool stopped = false;
    QString temporary;
    {
        std::lock_guard lock(mLock);
        if (!connectionIsOpen(connection))
            return kFileNoConnection;
        AFCFileRef file = 0;
        const AFCError opened = AFCFileRefOpen(connection, utf8(path).constData(), kAFCFileModeRead, &file);
        if (opened || !file) {
            VarnekLog("AFCFileRefOpen err: %d (%s)\n", opened, qUtf8Printable(path));
            return opened ? opened : kAFCUnknownError;
        }
        const int fd = createTemporaryBeside(target, temporary);
        if (fd < 0) {
            VarnekLog("fopen (%s) fails\n", qUtf8Printable(target));
            AFCFileRefClose(connection, file);
            return kFileLocalOpen;
        }
        const OwnTemporaries::Noted noted(temporary);
        char *buffer = transferBuffer();
        std::unique_ptr<char[]> ownBuffer;
        uint64_t size = transferBufferSize();
        if (!buffer) {
            size = kTransferBufferSize;
            ownBuffer.reset(new char[size]);
            buffer = ownBuffer.get();
        }
        uint64_t copied = 0;
        for (;;) {
            if (mStop.load()) {
                stopped = true;
                break;
            }
            if (mTransferAbort.load() > 0) {
                result = kFileNoConnection;
                break;
            }
            uint32_t length = uint32_t(size);
            const AFCError error = AFCFileRefRead(connection, file, buffer, &length);
            if (error) {
                VarnekLog("AFCFileRefRead err: %d", error);
                result = error;
                break;
            }
            if (length == 0)
                break;
            if (!writeAll(fd, buffer, length)) {
                result = kFileLocalWrite;
                break;
            }
            copied += length;
            addBytesTransferred(length);
        }
        AFCFileRefClose(connection, file);
        if (::close(fd) != 0 && !result)
            result = kFileLocalWrite;
        // The device said "end of file" before the size it gave: never a truncated success.
        if (!result && !stopped && copied < expected) {
            VarnekLog("AFCFileRefRead err: %d (%llu of %llu bytes)", int(kAFCReadError),
                      static_cast<unsigned long long>(copied), static_cast<unsigned long long>(expected));
            result = kAFCReadError;
        }
        if (result || stopped) {
            ::unlink(localBytes(temporary).constData());
        } else {
            const QString companion = path + kCompanionSuffix;
            bool ok = false;
            const uint64_t forkSize = getFileAttribute("st_size", companion, connection).toULongLong(&ok);
            if (ok && forkSize > kMaxCompanionRead) {
                VarnekLog("resource fork of %s too large (%llu bytes), not kept", qUtf8Printable(target),
                          static_cast<unsigned long long>(forkSize));
            } else if (ok && forkSize > 0) {
                QByteArray fork;
                if (FileAccess::readDeviceRange(connection, companion, 0, forkSize, fork) == 0
                    && !LocalFileMetadata::setResourceFork(temporary, fork))
                    VarnekLog("resource fork not kept for %s", qUtf8Printable(target));
            }
            // Readable as a plain new file only once it is whole.
            ::chmod(localBytes(temporary).constData(), 0644);
            if (::rename(localBytes(temporary).constData(), localBytes(target).constData()) != 0) {
                VarnekLog("fopen (%s) fails\n", qUtf8Printable(target));
                ::unlink(localBytes(temporary).constData());
                result = kFileLocalWrite;
            }
        }
    }
    if (result)
        return result;
    if (stopped)
        return kFileStopped;
    copyAttributesToPath(target, path);
    return 0;
}

int AppController::downloadDirectory(const QString &path, const QString &localPath)
{
    makeConnection(); // a failure leaves no connection, which the download reports
    return downloadDirectory(path, localPath, getAfc());
}

int AppController::downloadDirectory(const QString &path, const QString &localPath, AFCConnectionRef connection)
{
    VarnekLog("downloadDir: %s", qUtf8Printable(path));
    const mode_t existing = localType(localPath, true);
    if (existing && existing != S_IFDIR) {
        VarnekLog("exists and isn't dir");
        return kFileExists;
    }
    if (!existing && ::mkdir(localBytes(localPath).constData(), 0777) != 0 && !QDir().mkpath(localPath))
        return kFileNoConnection;
    if (!connection)
        return kFileNoConnection;

    QStringList names;
    {
        std::lock_guard lock(mLock);
        if (!connectionIsOpen(connection))
            return kFileNoConnection;
        QStringList all;
        // An unreadable folder, or one whose listing broke off, is a failed download, not an
        // empty or a shorter one.
        if (const AFCError error = FileAccess::listDeviceFolder(connection, path, all)) {
            VarnekLog("AFCDirectoryOpen err: %d (%s)", error, qUtf8Printable(path));
            return error;
        }
        for (const QString &entry : std::as_const(all)) {
            if (FileAccess::isVisibleName(entry) && entry != QLatin1String("Snapshots"))
                names << entry;
        }
    }
    int result = 0;
    // Long names are shortened to fit the local file system; two that shorten alike must not
    // land on one file.
    QSet<QString> taken;
    for (const QString &name : std::as_const(names)) {
        // Device names never step out of the target folder.
        if (name.contains(QLatin1Char('/')))
            continue;
        const QString local = uniqueLocalName(shortenedFileName(name), localPath, taken);
        taken.insert(local);
        result = _downloadFile(DevicePath::join(path, name), localPath + QLatin1Char('/') + local, false, connection);
        if (result)
            break;
    }
    copyAttributesToPath(localPath, path);
    return result;
}

void AppController::checkForAndFixBundle(const QString &localPath)
{
    const QFileInfo info(localPath);
    if (!info.isDir() || info.isSymLink())
        return;
    for (const QString &layout : {QStringLiteral("/Contents/Info.plist"), QStringLiteral("/Info.plist")}) {
        const auto plist = PropertyList::fromFile(localPath + layout);
        if (!plist)
            continue;
        const QString executable = plist->toMap().value(QStringLiteral("CFBundleExecutable")).toString();
        // The name comes from the device: a plain name inside the bundle, nothing else.
        if (executable.isEmpty() || executable.contains(QLatin1Char('/')) || executable == QLatin1String(".")
            || executable == QLatin1String(".."))
            break;
        const QString folder = layout.startsWith(QLatin1String("/Contents/")) ? QStringLiteral("/Contents/MacOS/")
                                                                              : QStringLiteral("/");
        const QByteArray file = QFile::encodeName(localPath + folder + executable);
        struct stat status {};
        if (::lstat(file.constData(), &status) == 0 && S_ISREG(status.st_mode))
            ::chmod(file.constData(), (status.st_mode & 07777) | S_IXUSR | S_IXGRP | S_IXOTH);
        break;
    }
    if (bundleTypes().contains(info.suffix()))
        setBundleBit(localPath);
}

bool AppController::setBundleBit(const QString &localPath)
{
    return LocalFileMetadata::setBundleMarker(localPath);
}

// --- Uploads -------------------------------------------------------------------------------

AFCConnectionRef AppController::writeConnectionFor(QString &path)
{
    if (afc2Mode() && pathIsInMediaFolder(path)) {
        path = translatePath(path);
        return getNormalAfc();
    }
    return getAfc();
}

int AppController::uploadFile(const QString &localPath, const QString &relativePath)
{
    const QString path = DevicePath::join(getStartDir(), relativePath);
    updateModificationDate(DevicePath::parent(path));
    return _uploadFile(localPath, path);
}

int AppController::_uploadFile(const QString &localPath, const QString &path)
{
    if (mStop.load())
        return kFileStopped;
    VarnekLog("AppController: Uploading %s to %s", qUtf8Printable(localPath), qUtf8Printable(path));
    setCurrentFile(localPath.mid(localPath.lastIndexOf(QLatin1Char('/')) + 1));
    if (const int error = makeConnection())
        return error;
    QString devicePath = path;
    const AFCConnectionRef connection = writeConnectionFor(devicePath);
    if (!connection)
        return kFileNoConnection;
    if (_fileExistsOniPhone(devicePath, nullptr, connection))
        return kFileExists;
    const mode_t type = localType(localPath, false);
    const mode_t target = type == S_IFLNK ? localType(localPath, true) : type;
    if (target == S_IFDIR) {
        // A linked folder may lead back up the tree; it is not followed.
        if (type == S_IFLNK) {
            VarnekLog("AppController: not uploading the linked folder %s", qUtf8Printable(localPath));
            return 0;
        }
        return uploadDir(localPath, path);
    }
    if (target != S_IFREG) {
        // A pipe, socket or device node has no end to copy to (or never answers at all).
        if (target == 0) {
            VarnekLog("fopen (%s) fails", qUtf8Printable(localPath));
            return kFileLocalOpen;
        }
        VarnekLog("AppController: not uploading %s: not a regular file", qUtf8Printable(localPath));
        return 0;
    }

    if (const int error = _writeFile(localPath, devicePath, connection, false))
        return error == kFileNotRegular ? 0 : error;
    if (pathIsInFernlowArea(path)) {
        const QByteArray fork = LocalFileMetadata::resourceFork(localPath);
        if (!fork.isEmpty()) {
            if (const int error = _writeData(fork, devicePath + kCompanionSuffix, connection))
                VarnekLog("resource fork not written: %d", error);
        }
    }
    copyAttributesFromPath(localPath, path);
    return mStop.load() ? kFileStopped : 0;
}

int AppController::uploadDir(const QString &localPath, const QString &path)
{
    if (const int error = _newFolder(path)) {
        VarnekLog("newFolder failed: %d", error);
        return error;
    }
    const std::optional<QStringList> entries = localFolderNames(localPath);
    if (!entries) {
        VarnekLog("opendir (%s) fails", qUtf8Printable(localPath));
        return kFileLocalOpen;
    }
    int result = 0;
    for (const QString &entry : *entries) {
        result = _uploadFile(localPath + QLatin1Char('/') + entry, DevicePath::join(path, entry));
        if (result)
            break;
    }
    copyAttributesFromPath(localPath, path);
    _writeMetadataFileForPath(path);
    return result;
}

int AppController::_writeFile(const QString &localPath, const QString &path, AFCConnectionRef connection, bool isRsrc)
{
    const QByteArray local = localBytes(localPath);
    // Never blocks on open (a pipe with no writer would wait for good); what is not a regular
    // file is left alone.
    const int fd = ::open(local.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        VarnekLog("fopen (%s) fails", local.constData());
        return kFileLocalOpen;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        VarnekLog("AppController: not uploading %s: not a regular file", local.constData());
        ::close(fd);
        return kFileNotRegular;
    }
    if (isRsrc && status.st_size == 0) {
        ::close(fd);
        return 0;
    }
    if (!connection) {
        ::close(fd);
        return kFileNoConnection;
    }
    std::lock_guard lock(mLock);
    if (!connectionIsOpen(connection)) {
        ::close(fd);
        return kFileNoConnection;
    }
    AFCFileRef file = 0;
    const QByteArray device = utf8(path);
    const QByteArray partial = utf8(partialUploadPath(path));
    const AFCError opened = AFCFileRefOpen(connection, partial.constData(), kAFCFileModeWrite, &file);
    if (opened || !file) {
        VarnekLog("AFCFileRefOpen (2) err: %d (%s)", opened, device.constData());
        ::close(fd);
        return opened ? opened : kAFCUnknownError;
    }
    std::unique_ptr<char[]> buffer(new char[kTransferBufferSize]);
    int result = 0;
    bool stopped = false;
    for (;;) {
        if (mStop.load()) {
            stopped = true;
            break;
        }
        if (mTransferAbort.load() > 0) {
            result = kFileNoConnection;
            break;
        }
        const ssize_t got = readSome(fd, buffer.get(), kTransferBufferSize);
        if (got < 0) {
            VarnekLog("fread (%s) fails", local.constData());
            result = kFileLocalOpen;
            break;
        }
        if (got == 0)
            break;
        const AFCError error = AFCFileRefWrite(connection, file, buffer.get(), uint32_t(got));
        if (error) {
            VarnekLog("AFCFileRefWrite err: %d", error);
            result = error;
            break;
        }
        addBytesTransferred(uint64_t(got));
    }
    ::close(fd);
    // The device may keep the last bytes until the close: a close that fails is a failed copy.
    const AFCError closed = AFCFileRefClose(connection, file);
    if (closed && !result && !stopped) {
        VarnekLog("AFCFileRefClose err: %d (%s)", closed, device.constData());
        result = closed;
    }
    if (!result && !stopped) {
        const AFCError moved = AFCRenamePath(connection, partial.constData(), device.constData());
        if (moved) {
            VarnekLog("AFCRenamePath (upload) err: %d (%s)", moved, device.constData());
            result = moved;
        }
    }
    // Only the hidden partial file is ever left to remove; the target is never written short.
    if (result || stopped)
        AFCRemovePath(connection, partial.constData());
    return result ? result : stopped ? kFileStopped : 0;
}

int AppController::_writeData(const QByteArray &data, const QString &path, AFCConnectionRef connection)
{
    if (!connection)
        return kFileNoConnection;
    std::lock_guard lock(mLock);
    if (!connectionIsOpen(connection))
        return kFileNoConnection;
    const QByteArray device = utf8(path);
    AFCFileRef file = 0;
    const AFCError opened = AFCFileRefOpen(connection, device.constData(), kAFCFileModeWrite, &file);
    if (opened || !file) {
        VarnekLog("AFCFileRefOpen (4) err: %d (%s)", opened, device.constData());
        return kFileNoConnection;
    }
    int result = 0;
    for (qsizetype offset = 0; offset < data.size();) {
        const uint32_t chunk = uint32_t(std::min<qsizetype>(data.size() - offset, qsizetype(kTransferBufferSize)));
        const AFCError error = AFCFileRefWrite(connection, file, data.constData() + offset, chunk);
        if (error) {
            VarnekLog("AFCFileRefWrite err: %d", error);
            result = error;
            break;
        }
        offset += chunk;
    }
    const AFCError closed = AFCFileRefClose(connection, file);
    if (closed && !result) {
        VarnekLog("AFCFileRefClose err: %d (%s)", closed, device.constData());
        result = closed;
    }
    if (result)
        AFCRemovePath(connection, device.constData());
    return result;
}

int AppController::_uploadData(const QByteArray &data, const QString &path)
{
    VarnekLog("AppController: Uploading data to %s", qUtf8Printable(path));
    QString devicePath = path;
    const AFCConnectionRef connection = writeConnectionFor(devicePath);
    if (!connection)
        return kFileNoConnection;
    return _writeData(data, devicePath, connection);
}

QByteArray AppController::getDataFromFile(const QString &path, uint64_t offset, uint64_t length, const QString &name)
{
    return getDataFromFile(path, offset, length, name, getNormalAfc());
}

QByteArray AppController::getDataFromFile(const QString &path, uint64_t offset, uint64_t length, const QString &name,
                                          AFCConnectionRef connection)
{
    if (length == 0 || mStop.load())
        return {};
    QByteArray data("");
    if (!name.isEmpty())
        setCurrentFile(name);
    if (!connection)
        return data;
    std::lock_guard lock(mLock);
    if (!connectionIsOpen(connection))
        return data;
    mStopFindingSize.store(false);
    bool ok = false;
    const uint64_t size = getFileAttribute("st_size", path, connection).toULongLong(&ok);
    if (!ok || offset >= size)
        return data;
    // Never allocate more than the file holds, nor more than one read may hand out.
    const uint64_t wanted = std::min({length, size - offset, kMaxRangedRead});
    QByteArray read;
    if (FileAccess::readDeviceRange(connection, path, offset, wanted, read))
        return data;
    addBytesTransferred(uint64_t(read.size()));
    return read.isNull() ? data : read;
}
