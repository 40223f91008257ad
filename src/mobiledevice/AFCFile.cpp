// File references: open, read, write, seek, close. The fast path is one read(2) or
// write(2) per call; the fault file can cut, fail or slow a transfer, or unplug the device
// in the middle of one.

#include "Backend.h"
#include "AFCSupport.h"
#include "DeviceRegistry.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace mobiledevice;

namespace mobiledevice::sim {

namespace {

std::atomic<AFCFileRef> gNextFile{0};

bool flagsForMode(uint64_t mode, int &flags)
{
    switch (mode) {
    case kAFCFileModeRead: flags = O_RDONLY; return true;
    case kAFCFileModeReadWrite: flags = O_RDWR | O_CREAT; return true;
    case kAFCFileModeWrite: flags = O_WRONLY | O_CREAT | O_TRUNC; return true;
    case kAFCFileModeReadWriteCreate: flags = O_RDWR | O_CREAT | O_TRUNC; return true;
    case kAFCFileModeAppend: flags = O_WRONLY | O_CREAT | O_APPEND; return true;
    case kAFCFileModeReadAppend: flags = O_RDWR | O_CREAT | O_APPEND; return true;
    default: return false;
    }
}

} // namespace

AFCError AFCFileRefOpen(AFCConnectionRef ref, const char *path, uint64_t mode, AFCFileRef *file)
{
    AFCError error;
    AFCConnectionOpaque *connection = enterFileConnection(ref, "AFCFileRefOpen", error);
    if (error)
        return error;
    int flags = 0;
    if (!file || !flagsForMode(mode, flags))
        return kAFCInvalidArgumentError;
    *file = 0;
    const FileArea &area = *connection->service->area;
    FileArea::Location location;
    if ((error = area.locate(path, location)))
        return error;
    if (location.relative.empty())
        return kAFCIsADirectoryError;
    // Non-blocking while opening: a pipe planted in the folder must not hang the caller.
    int fd = -1;
    if ((error = area.open(location, flags | O_NONBLOCK, 0644, fd)))
        return error;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return S_ISDIR(st.st_mode) ? kAFCIsADirectoryError : kAFCPermissionError;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    AFCConnectionOpaque::OpenFile open;
    open.fd = fd;
    open.path = location.devicePath;
    open.canRead = (flags & O_ACCMODE) != O_WRONLY;
    open.canWrite = (flags & O_ACCMODE) != O_RDONLY;
    const AFCFileRef number = ++gNextFile;
    std::lock_guard lock(connection->mutex);
    connection->files[number] = open;
    *file = number;
    return kAFCSuccess;
}

AFCError AFCFileRefRead(AFCConnectionRef ref, AFCFileRef file, void *buffer, uint32_t *length)
{
    AFCError error;
    AFCConnectionOpaque *connection = enterFileConnection(ref, "AFCFileRefRead", error);
    if (error)
        return error;
    if (!buffer || !length)
        return kAFCInvalidArgumentError;
    SimDevice *device = connection->service->device;
    std::unique_lock lock(connection->mutex);
    auto it = connection->files.find(file);
    if (it == connection->files.end())
        return kAFCBadHandleError;
    if (!it->second.canRead)
        return kAFCPermissionError;
    const int fd = it->second.fd;
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    const FaultPlan::Transfer cut = device->faults().transfer(it->second.path, static_cast<uint64_t>(position), *length, true);
    if (cut.error) {
        *length = 0;
        return *cut.error;
    }
    uint32_t done = 0;
    while (done < cut.length) {
        const ssize_t n = ::read(fd, static_cast<char *>(buffer) + done, cut.length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *length = done;
            return kAFCReadError;
        }
        if (n == 0)
            break;
        done += static_cast<uint32_t>(n);
    }
    *length = done;
    lock.unlock();
    device->faults().throttle(done);
    if (cut.unplug) {
        DeviceRegistry::instance().unplug(device);
        if (done == 0)
            return kAMDNotConnectedError;
    }
    return kAFCSuccess;
}

AFCError AFCFileRefWrite(AFCConnectionRef ref, AFCFileRef file, const void *buffer, uint32_t length)
{
    AFCError error;
    AFCConnectionOpaque *connection = enterFileConnection(ref, "AFCFileRefWrite", error);
    if (error)
        return error;
    if (!buffer && length > 0)
        return kAFCInvalidArgumentError;
    SimDevice *device = connection->service->device;
    std::unique_lock lock(connection->mutex);
    auto it = connection->files.find(file);
    if (it == connection->files.end())
        return kAFCBadHandleError;
    if (!it->second.canWrite)
        return kAFCPermissionError;
    const int fd = it->second.fd;
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    const FaultPlan::Transfer cut = device->faults().transfer(it->second.path, static_cast<uint64_t>(position), length, false);
    uint32_t done = 0;
    while (done < cut.length) {
        const ssize_t n = ::write(fd, static_cast<const char *>(buffer) + done, cut.length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == ENOSPC || errno == EDQUOT ? kAFCNoSpaceError : kAFCWriteError;
        done += static_cast<uint32_t>(n);
    }
    lock.unlock();
    device->faults().throttle(done);
    if (cut.unplug) {
        DeviceRegistry::instance().unplug(device);
        return kAMDNotConnectedError;
    }
    return kAFCSuccess;
}

AFCError AFCFileRefSeek(AFCConnectionRef ref, AFCFileRef file, int64_t offset, uint64_t whence)
{
    AFCError error;
    AFCConnectionOpaque *connection = enterFileConnection(ref, "AFCFileRefSeek", error);
    if (error)
        return error;
    int origin = SEEK_SET;
    switch (whence) {
    case kAFCSeekSet: origin = SEEK_SET; break;
    case kAFCSeekCurrent: origin = SEEK_CUR; break;
    case kAFCSeekEnd: origin = SEEK_END; break;
    default: return kAFCInvalidArgumentError;
    }
    std::lock_guard lock(connection->mutex);
    auto it = connection->files.find(file);
    if (it == connection->files.end())
        return kAFCBadHandleError;
    if (::lseek(it->second.fd, offset, origin) < 0)
        return kAFCInvalidArgumentError;
    return kAFCSuccess;
}

AFCError AFCFileRefClose(AFCConnectionRef ref, AFCFileRef file)
{
    AFCError error;
    AFCConnectionOpaque *connection = enterFileConnection(ref, "AFCFileRefClose", error);
    if (!connection)
        return error;
    {
        // The file is closed whatever else goes wrong: a descriptor must never leak.
        std::lock_guard lock(connection->mutex);
        auto it = connection->files.find(file);
        if (it == connection->files.end())
            return error ? error : kAFCBadHandleError;
        ::close(it->second.fd);
        connection->files.erase(it);
    }
    return error;
}

} // namespace mobiledevice::sim
