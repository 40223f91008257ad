#include "FileArea.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace mobiledevice {

namespace {

bool startsWithPath(const std::string &path, const std::string &prefix)
{
    if (prefix == "/")
        return true;
    return path == prefix || (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 && path[prefix.size()] == '/');
}

// Opens `relative` below `dirFd` without ever leaving it.
int openBeneath(int dirFd, const std::string &relative, int flags, mode_t mode)
{
    const char *path = relative.empty() ? "." : relative.c_str();
    static std::atomic<bool> noOpenat2{false};
    if (!noOpenat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const long fd = syscall(SYS_openat2, dirFd, path, &how, sizeof how);
        if (fd >= 0 || errno != ENOSYS)
            return static_cast<int>(fd);
        noOpenat2.store(true, std::memory_order_relaxed);
    }
    // Without openat2: walk component by component and follow no link at all.
    std::vector<std::string> components;
    for (size_t begin = 0; begin <= relative.size() && !relative.empty();) {
        size_t slash = relative.find('/', begin);
        if (slash == std::string::npos)
            slash = relative.size();
        components.push_back(relative.substr(begin, slash - begin));
        begin = slash + 1;
    }
    int current = ::dup(dirFd);
    if (current < 0)
        return -1;
    if (components.empty()) {
        const int fd = ::openat(current, ".", flags | O_CLOEXEC, mode);
        const int saved = errno;
        ::close(current);
        errno = saved;
        return fd;
    }
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        const int next = ::openat(current, components[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        ::close(current);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        current = next;
    }
    const int fd = ::openat(current, components.back().c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode);
    const int saved = errno;
    ::close(current);
    errno = saved;
    return fd;
}

uint64_t sumSizes(int dirFd, int depth)
{
    if (depth > 64)
        return 0;
    const int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return 0;
    }
    uint64_t total = 0;
    while (dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(st.st_mode)) {
            total += static_cast<uint64_t>(st.st_size);
        } else if (S_ISDIR(st.st_mode)) {
            const int child = ::openat(::dirfd(dir), entry->d_name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0) {
                total += sumSizes(child, depth + 1);
                ::close(child);
            }
        }
    }
    ::closedir(dir);
    return total;
}

} // namespace

AFCError afcErrorFromErrno(int error)
{
    switch (error) {
    case 0: return kAFCSuccess;
    case ENOENT:
    case ENOTDIR: return kAFCObjectNotFoundError;
    case EISDIR: return kAFCIsADirectoryError;
    case EACCES:
    case EPERM:
    case EXDEV:
    case ELOOP:
    case EROFS: return kAFCPermissionError;
    case EEXIST: return kAFCObjectExistsError;
    case ENOTEMPTY: return kAFCNotEmptyError;
    case ENOSPC:
    case EDQUOT: return kAFCNoSpaceError;
    case ENAMETOOLONG:
    case EINVAL: return kAFCInvalidArgumentError;
    default: return kAFCUnknownError;
    }
}

FileArea::FileArea(const std::string &hostRoot, std::vector<Mount> mounts, std::string onlyBelow)
    : mMounts(std::move(mounts)), mOnlyBelow(std::move(onlyBelow))
{
    mRootFd = ::open(hostRoot.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (const Mount &mount : mMounts)
        mMountFds.push_back(::open(mount.hostRoot.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

FileArea::~FileArea()
{
    if (mRootFd >= 0)
        ::close(mRootFd);
    for (int fd : mMountFds)
        if (fd >= 0)
            ::close(fd);
}

AFCError FileArea::normalize(const char *path, std::string &normalized)
{
    if (!path || !*path)
        return kAFCInvalidArgumentError;
    normalized.clear();
    const std::string text = path;
    size_t start = 0;
    while (start <= text.size()) {
        size_t slash = text.find('/', start);
        if (slash == std::string::npos)
            slash = text.size();
        const std::string component = text.substr(start, slash - start);
        start = slash + 1;
        if (component.empty() || component == ".")
            continue;
        if (component == "..")
            return kAFCInvalidArgumentError;
        normalized += '/';
        normalized += component;
    }
    if (normalized.empty())
        normalized.assign(1, '/');
    return kAFCSuccess;
}

AFCError FileArea::locate(const char *path, Location &location) const
{
    std::string normalized;
    if (const AFCError error = normalize(path, normalized))
        return error;
    if (!mOnlyBelow.empty() && normalized != "/" && !startsWithPath(normalized, mOnlyBelow))
        return kAFCPermissionError;
    location.devicePath = normalized;
    size_t best = std::string::npos;
    for (size_t i = 0; i < mMounts.size(); ++i)
        if (startsWithPath(normalized, mMounts[i].devicePath)
            && (best == std::string::npos || mMounts[i].devicePath.size() > mMounts[best].devicePath.size()))
            best = i;
    std::string relative;
    if (best != std::string::npos) {
        location.rootFd = mMountFds[best];
        relative = normalized.substr(mMounts[best].devicePath.size());
    } else {
        location.rootFd = mRootFd;
        relative = normalized;
    }
    if (!relative.empty() && relative[0] == '/')
        relative.erase(0, 1);
    location.relative = relative;
    if (location.rootFd < 0)
        return kAFCObjectNotFoundError;
    return kAFCSuccess;
}

AFCError FileArea::open(const Location &location, int flags, mode_t mode, int &fd) const
{
    fd = openBeneath(location.rootFd, location.relative, flags, mode);
    return fd >= 0 ? kAFCSuccess : afcErrorFromErrno(errno);
}

AFCError FileArea::openParent(const Location &location, int &parentFd, std::string &leaf) const
{
    const size_t slash = location.relative.rfind('/');
    const std::string parent = slash == std::string::npos ? std::string() : location.relative.substr(0, slash);
    leaf = slash == std::string::npos ? location.relative : location.relative.substr(slash + 1);
    parentFd = openBeneath(location.rootFd, parent, O_PATH | O_DIRECTORY, 0);
    return parentFd >= 0 ? kAFCSuccess : afcErrorFromErrno(errno);
}

std::vector<std::string> FileArea::mountedNamesIn(const std::string &devicePath) const
{
    std::vector<std::string> names;
    for (const Mount &mount : mMounts) {
        const size_t slash = mount.devicePath.rfind('/');
        const std::string parent = slash == 0 ? "/" : mount.devicePath.substr(0, slash);
        if (parent == devicePath)
            names.push_back(mount.devicePath.substr(slash + 1));
    }
    return names;
}

bool FileArea::hides(const std::string &devicePath, const std::string &name) const
{
    if (mOnlyBelow.empty() || devicePath != "/" || name == "." || name == "..")
        return false;
    return "/" + name != mOnlyBelow;
}

uint64_t FileArea::usedBytes() const
{
    uint64_t total = mRootFd >= 0 ? sumSizes(mRootFd, 0) : 0;
    // One host folder may be mounted at several device paths (the media area is at three):
    // its files take up space once.
    std::vector<std::pair<dev_t, ino_t>> counted;
    for (int fd : mMountFds) {
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0)
            continue;
        const std::pair<dev_t, ino_t> identity{st.st_dev, st.st_ino};
        if (std::find(counted.begin(), counted.end(), identity) != counted.end())
            continue;
        counted.push_back(identity);
        total += sumSizes(fd, 0);
    }
    return total;
}

} // namespace mobiledevice
