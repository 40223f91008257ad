#include "HelperLock.h"

#include "HelperLog.h"
#include "HelperPaths.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

HelperLockResult acquireHelperLock()
{
    const std::string path = HelperPaths::lockFile();
    // Never through a link, and only a file of this user's: in a shared /tmp another user
    // could otherwise hold the lock for us.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        helperLog("can't open the lock %s: %s", path.c_str(), std::strerror(errno));
        return HelperLockResult::Unavailable;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != getuid()) {
        helperLog("the lock %s is not this user's file", path.c_str());
        close(fd);
        return HelperLockResult::Unavailable;
    }
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK)
            return HelperLockResult::HeldByAnother;
        helperLog("can't lock %s: %s", path.c_str(), std::strerror(error));
        return HelperLockResult::Unavailable;
    }
    // Held until the process ends: the descriptor is deliberately never closed.
    return HelperLockResult::Acquired;
}
