// File connections, folders, item and device information, removal, renames and the
// modification-time operation.

#include "Backend.h"
#include "AFCSupport.h"
#include "DeviceRegistry.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mobiledevice {

HandleSet<AFCConnectionOpaque> &fileConnections()
{
    static auto *set = new HandleSet<AFCConnectionOpaque>();
    return *set;
}

HandleSet<AFCDirectoryOpaque> &directories()
{
    static auto *set = new HandleSet<AFCDirectoryOpaque>();
    return *set;
}

HandleSet<AFCDictionaryOpaque> &dictionaries()
{
    static auto *set = new HandleSet<AFCDictionaryOpaque>();
    return *set;
}

HandleSet<AFCOperationOpaque> &operations()
{
    static auto *set = new HandleSet<AFCOperationOpaque>();
    return *set;
}

AFCConnectionOpaque *enterFileConnection(AFCConnectionRef ref, const char *entryPoint, AFCError &error)
{
    error = kAFCSuccess;
    if (!fileConnections().contains(ref)) {
        error = kAFCInvalidArgumentError;
        return nullptr;
    }
    SimDevice *device = ref->service->device;
    if (auto fault = device->fault(entryPoint))
        error = *fault;
    else if (device->gone())
        error = kAMDNotConnectedError;
    else if (ref->service->secure && !ref->secureContextSet)
        error = kAMDNotConnectedError;
    return ref;
}

} // namespace mobiledevice

using namespace mobiledevice;

namespace mobiledevice::sim {

namespace {

// Closes a descriptor when leaving scope.
struct Fd
{
    int fd = -1;
    ~Fd() { if (fd >= 0) ::close(fd); }
};

const char *typeName(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFDIR: return "S_IFDIR";
    case S_IFLNK: return "S_IFLNK";
    case S_IFCHR: return "S_IFCHR";
    case S_IFBLK: return "S_IFBLK";
    case S_IFIFO: return "S_IFIFO";
    case S_IFSOCK: return "S_IFSOCK";
    default: return "S_IFREG";
    }
}

uint64_t nanoseconds(const statx_timestamp &time)
{
    return static_cast<uint64_t>(time.tv_sec) * 1000000000ULL + time.tv_nsec;
}

AFCDictionaryRef newDictionary(SimDevice *device, std::vector<std::pair<std::string, std::string>> pairs)
{
    auto *info = new AFCDictionaryOpaque();
    info->device = device;
    info->pairs = std::move(pairs);
    dictionaries().add(info);
    return info;
}

} // namespace

AFCError AFCConnectionOpen(AMDServiceConnectionRef service, uint32_t, AFCConnectionRef *connection)
{
    if (!connection || !serviceConnections().contains(service))
        return kAFCInvalidArgumentError;
    *connection = nullptr;
    if (auto fault = service->device->fault("AFCConnectionOpen"))
        return *fault;
    if (service->device->gone())
        return kAMDNotConnectedError;
    // Two threads opening over one service must not both take it: it would be freed twice.
    if (service->kind != AMDServiceConnectionOpaque::Kind::FileService || service->ownedByFileConnection.exchange(true))
        return kAFCInvalidArgumentError;
    auto *result = new AFCConnectionOpaque();
    result->service = service;
    fileConnections().add(result);
    *connection = result;
    return kAFCSuccess;
}

AFCError AFCConnectionClose(AFCConnectionRef ref)
{
    if (!fileConnections().remove(ref))
        return kAFCInvalidArgumentError;
    const auto fault = ref->service->device->fault("AFCConnectionClose");
    {
        std::lock_guard lock(ref->mutex);
        for (auto &[number, file] : ref->files)
            ::close(file.fd);
        ref->files.clear();
    }
    serviceConnections().remove(ref->service);
    delete ref->service;
    delete ref;
    return fault ? *fault : kAFCSuccess;
}

AFCError AFCConnectionSetSecureContext(AFCConnectionRef ref, AMDSecureIOContextRef context)
{
    if (!fileConnections().contains(ref))
        return kAFCInvalidArgumentError;
    if (auto fault = ref->service->device->fault("AFCConnectionSetSecureContext"))
        return *fault;
    if (!context)
        return kAFCSuccess;
    if (context != &ref->service->context)
        return kAFCInvalidArgumentError;
    ref->secureContextSet = true;
    return kAFCSuccess;
}

AFCError AFCDirectoryOpen(AFCConnectionRef ref, const char *path, AFCDirectoryRef *directory)
{
    AFCError error;
    AFCConnectionOpaque *connection = enterFileConnection(ref, "AFCDirectoryOpen", error);
    if (error)
        return error;
    if (!directory)
        return kAFCInvalidArgumentError;
    *directory = nullptr;
    const FileArea &area = *connection->service->area;
    FileArea::Location location;
    if ((error = area.locate(path, location)))
        return error;
    Fd folder;
    error = area.open(location, O_RDONLY | O_DIRECTORY, 0, folder.fd);
    if (error == kAFCObjectNotFoundError || error == kAFCPermissionError) {
        // A file, a link to a file, or a link that leads nowhere or out of the area is "not a
        // folder"; anything else keeps its error.
        Fd parent;
        std::string leaf;
        struct stat st {};
        if (!location.relative.empty() && area.openParent(location, parent.fd, leaf) == kAFCSuccess
            && ::fstatat(parent.fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
            return kAFCNotADirectoryError;
        return error;
    }
    if (error)
        return error;
    DIR *dir = ::fdopendir(folder.fd);
    if (!dir)
        return afcErrorFromErrno(errno);
    folder.fd = -1; // the DIR owns it now
    auto *result = new AFCDirectoryOpaque();
    while (dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!area.hides(location.devicePath, name))
            result->names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string &name : area.mountedNamesIn(location.devicePath))
        if (std::find(result->names.begin(), result->names.end(), name) == result->names.end())
            result->names.push_back(name);
    directories().add(result);
    *directory = result;
    return kAFCSuccess;
}

AFCError AFCDirectoryRead(AFCConnectionRef ref, AFCDirectoryRef directory, char **name)
{
    AFCError error;
    enterFileConnection(ref, "AFCDirectoryRead", error);
    if (error)
        return error;
    if (!name || !directories().contains(directory))
        return kAFCInvalidArgumentError;
    if (directory->next >= directory->names.size()) {
        *name = nullptr;
        return kAFCSuccess;
    }
    *name = directory->names[directory->next++].data();
    return kAFCSuccess;
}

AFCError AFCDirectoryClose(AFCConnectionRef ref, AFCDirectoryRef directory)
{
    if (!directories().remove(directory))
        return kAFCInvalidArgumentError;
    delete directory;
    AFCError error;
    enterFileConnection(ref, "AFCDirectoryClose", error);
    return error == kAFCInvalidArgumentError ? kAFCSuccess : error;
}

AFCError AFCDirectoryCreate(AFCConnectionRef ref, const char *path)
{
    AFCError error;
    AFCConnectionOpaque *connection = enterFileConnection(ref, "AFCDirectoryCreate", error);
    if (error)
        return error;
    const FileArea &area = *connection->service->area;
    FileArea::Location location;
    if ((error = area.locate(path, location)))
        return error;
    // Like mkdir -p: each missing folder on the way is made.
    std::string built;
    size_t start = 0;
    while (start < location.relative.size()) {
        size_t slash = location.relative.find('/', start);
        if (slash == std::string::npos)
            slash = location.relative.size();
        built = location.relative.substr(0, slash);
        start = slash + 1;
        FileArea::Location step = location;
        step.relative = built;
        Fd parent;
        std::string leaf;
        if ((error = area.openParent(step, parent.fd, leaf)))
            return error;
        if (::mkdirat(parent.fd, leaf.c_str(), 0755) == 0)
            continue;
        if (errno != EEXIST)
            return afcErrorFromErrno(errno);
        // Something is there: fine when it is (or leads to) a folder inside the area.
        Fd existing;
        const AFCError existingError = area.open(step, O_PATH | O_DIRECTORY, 0, existing.fd);
        if (existingError == kAFCObjectNotFoundError)
            return kAFCObjectExistsError;
        if (existingError)
            return existingError;
    }
    return kAFCSuccess;
}

AFCError AFCFileInfoOpen(AFCConnectionRef ref, const char *path, AFCDictionaryRef *info)
{
    AFCError error;
    AFCConnectionOpaque *connection = enterFileConnection(ref, "AFCFileInfoOpen", error);
    if (error)
        return error;
    if (!info)
        return kAFCInvalidArgumentError;
    *info = nullptr;
    const FileArea &area = *connection->service->area;
    FileArea::Location location;
    if ((error = area.locate(path, location)))
        return error;
    Fd parent;
    std::string leaf;
    struct statx st {};
    int result = 0;
    if (location.relative.empty()) {
        result = ::statx(location.rootFd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &st);
    } else {
        if ((error = area.openParent(location, parent.fd, leaf)))
            return error;
        result = ::statx(parent.fd, leaf.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st);
    }
    if (result != 0)
        return afcErrorFromErrno(errno);
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"st_size", std::to_string(st.stx_size)},
        {"st_blocks", std::to_string(st.stx_blocks)},
        {"st_nlink", std::to_string(st.stx_nlink)},
        {"st_ifmt", typeName(st.stx_mode)},
        {"st_mtime", std::to_string(nanoseconds(st.stx_mtime))},
        {"st_birthtime", std::to_string(nanoseconds((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime))},
    };
    if (S_ISLNK(st.stx_mode)) {
        char target[4096];
        const ssize_t length = ::readlinkat(parent.fd, leaf.c_str(), target, sizeof target - 1);
        if (length >= 0)
            pairs.emplace_back("LinkTarget", std::string(target, static_cast<size_t>(length)));
    }
    *info = newDictionary(connection->service->device, std::move(pairs));
    return kAFCSuccess;
}

AFCError AFCDeviceInfoOpen(AFCConnectionRef ref, AFCDictionaryRef *info)
{
    AFCError error;
    AFCConnectionOpaque *connection = enterFileConnection(ref, "AFCDeviceInfoOpen", error);
    if (error)
        return error;
    if (!info)
        return kAFCInvalidArgumentError;
    SimDevice *device = connection->service->device;
    const uint64_t total = device->totalBytes(connection->service->wholeFilesystem);
    const uint64_t used = connection->service->area->usedBytes();
    std::string model;
    if (plist_t value = device->copyValue(nullptr, "ProductType")) {
        char *text = nullptr;
        if (plist_get_node_type(value) == PLIST_STRING)
            plist_get_string_val(value, &text);
        model = text ? text : "";
        std::free(text);
        plist_free(value);
    }
    *info = newDictionary(device, {
        {"Model", model},
        {"FSTotalBytes", std::to_string(total)},
        {"FSFreeBytes", std::to_string(total > used ? total - used : 0)},
        {"FSBlockSize", "4096"},
    });
    return kAFCSuccess;
}

AFCError AFCKeyValueRead(AFCDictionaryRef info, char **key, char **value)
{
    if (!key || !value || !dictionaries().contains(info))
        return kAFCInvalidArgumentError;
    *key = nullptr;
    *value = nullptr;
    if (auto fault = info->device->fault("AFCKeyValueRead"))
        return *fault;
    if (info->next >= info->pairs.size())
        return kAFCSuccess;
    auto &pair = info->pairs[info->next++];
    *key = pair.first.data();
    *value = pair.second.data();
    return kAFCSuccess;
}

AFCError AFCKeyValueClose(AFCDictionaryRef info)
{
    if (!dictionaries().remove(info))
        return kAFCInvalidArgumentError;
    delete info;
    return kAFCSuccess;
}

AFCError AFCRemovePath(AFCConnectionRef ref, const char *path)
{
    AFCError error;
    AFCConnectionOpaque *connection = enterFileConnection(ref, "AFCRemovePath", error);
    if (error)
        return error;
    const FileArea &area = *connection->service->area;
    FileArea::Location location;
    if ((error = area.locate(path, location)))
        return error;
    if (location.relative.empty())
        return kAFCPermissionError; // the area's root, or a mounted area
    Fd parent;
    std::string leaf;
    if ((error = area.openParent(location, parent.fd, leaf)))
        return error;
    struct stat st {};
    if (::fstatat(parent.fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return afcErrorFromErrno(errno);
    if (::unlinkat(parent.fd, leaf.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0)
        return afcErrorFromErrno(errno);
    return kAFCSuccess;
}

AFCError AFCRenamePath(AFCConnectionRef ref, const char *from, const char *to)
{
    AFCError error;
    AFCConnectionOpaque *connection = enterFileConnection(ref, "AFCRenamePath", error);
    if (error)
        return error;
    const FileArea &area = *connection->service->area;
    FileArea::Location source, target;
    if ((error = area.locate(from, source)) || (error = area.locate(to, target)))
        return error;
    if (source.relative.empty() || target.relative.empty())
        return kAFCPermissionError;
    Fd sourceParent, targetParent;
    std::string sourceLeaf, targetLeaf;
    if ((error = area.openParent(source, sourceParent.fd, sourceLeaf)) || (error = area.openParent(target, targetParent.fd, targetLeaf)))
        return error;
    if (::renameat(sourceParent.fd, sourceLeaf.c_str(), targetParent.fd, targetLeaf.c_str()) != 0)
        return afcErrorFromErrno(errno);
    return kAFCSuccess;
}

AFCOperationRef AFCOperationCreateSetModTime(const char *path, uint64_t nanoseconds)
{
    if (!path)
        return nullptr;
    auto *operation = new AFCOperationOpaque();
    operation->path = path;
    operation->nanoseconds = nanoseconds;
    operations().add(operation);
    return operation;
}

void AFCOperationRelease(AFCOperationRef operation)
{
    if (operations().remove(operation))
        delete operation;
}

AFCError AFCConnectionProcessOperation(AFCConnectionRef ref, AFCOperationRef operation, double)
{
    AFCError error;
    AFCConnectionOpaque *connection = enterFileConnection(ref, "AFCConnectionProcessOperation", error);
    if (error)
        return error;
    if (!operations().contains(operation))
        return kAFCInvalidArgumentError;
    const FileArea &area = *connection->service->area;
    FileArea::Location location;
    if ((error = area.locate(operation->path.c_str(), location)))
        return error;
    if (location.relative.empty())
        return kAFCPermissionError;
    Fd parent;
    std::string leaf;
    if ((error = area.openParent(location, parent.fd, leaf)))
        return error;
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(operation->nanoseconds / 1000000000ULL);
    times[1].tv_nsec = static_cast<long>(operation->nanoseconds % 1000000000ULL);
    if (::utimensat(parent.fd, leaf.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return afcErrorFromErrno(errno);
    return kAFCSuccess;
}

} // namespace mobiledevice::sim
