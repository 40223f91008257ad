#include "device/LocalFileMetadata.h"

#include "device/FileNameBytes.h"

#include <cerrno>

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace LocalFileMetadata {
namespace {

constexpr char kCreator[] = "user.quillon.creator";
constexpr char kType[] = "user.quillon.type";
constexpr char kBundle[] = "user.quillon.bundle";
constexpr char kResourceFork[] = "user.quillon.resource_fork";

QByteArray readAttribute(const QString &path, const char *name)
{
    const QByteArray local = FileNameBytes::encode(path);
    const ssize_t size = lgetxattr(local.constData(), name, nullptr, 0);
    if (size <= 0)
        return {};
    QByteArray value(size, Qt::Uninitialized);
    const ssize_t read = lgetxattr(local.constData(), name, value.data(), value.size());
    if (read < 0)
        return {};
    value.truncate(read);
    return value;
}

bool writeAttribute(const QString &path, const char *name, const QByteArray &value)
{
    return lsetxattr(FileNameBytes::encode(path).constData(), name, value.constData(), value.size(), 0) == 0;
}

uint32_t readCode(const QString &path, const char *name)
{
    bool ok = false;
    const uint32_t code = readAttribute(path, name).toUInt(&ok);
    return ok ? code : 0;
}

} // namespace

uint32_t creatorCode(const QString &path) { return readCode(path, kCreator); }
uint32_t typeCode(const QString &path) { return readCode(path, kType); }

bool setCreatorAndType(const QString &path, uint32_t creator, uint32_t type)
{
    bool ok = true;
    if (creator)
        ok = writeAttribute(path, kCreator, QByteArray::number(creator)) && ok;
    if (type)
        ok = writeAttribute(path, kType, QByteArray::number(type)) && ok;
    return ok;
}

bool setBundleMarker(const QString &path) { return writeAttribute(path, kBundle, "1"); }
bool clearBundleMarker(const QString &path)
{
    return lremovexattr(FileNameBytes::encode(path).constData(), kBundle) == 0 || errno == ENODATA;
}
bool hasBundleMarker(const QString &path) { return readAttribute(path, kBundle) == "1"; }

QByteArray resourceFork(const QString &path) { return readAttribute(path, kResourceFork); }
bool setResourceFork(const QString &path, const QByteArray &data)
{
    return writeAttribute(path, kResourceFork, data);
}

QDateTime modificationDate(const QString &path)
{
    struct stat info {};
    if (lstat(FileNameBytes::encode(path).constData(), &info) != 0)
        return {};
    return QDateTime::fromSecsSinceEpoch(info.st_mtim.tv_sec);
}

QDateTime creationDate(const QString &path)
{
    struct statx info {};
    if (statx(AT_FDCWD, FileNameBytes::encode(path).constData(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &info) != 0
        || !(info.stx_mask & STATX_BTIME))
        return {};
    return QDateTime::fromSecsSinceEpoch(info.stx_btime.tv_sec);
}

bool setModificationDate(const QString &path, const QDateTime &date)
{
    if (!date.isValid())
        return false;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = date.toSecsSinceEpoch();
    times[1].tv_nsec = 0;
    return utimensat(AT_FDCWD, FileNameBytes::encode(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace LocalFileMetadata
