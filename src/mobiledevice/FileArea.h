#pragma once
// One file service's view of a device folder: the host folder that is its "/", folders
// mounted into it (the whole filesystem shows the media area at /private/var/mobile/Media),
// and an optional restriction to one subtree (an app's Documents only).
//
// Device paths are untrusted. They are normalised lexically ("a//b/./c" is "/a/b/c"; ".."
// is refused outright), and every host lookup is resolved beneath the area's root with
// openat2(RESOLVE_BENEATH): a symbolic link may point anywhere inside the area but never out
// of it, absolute links included. Without openat2 no link is followed at all.
//
// Immutable after construction apart from its open root descriptors; safe on any thread.

#include <mobiledevice/MobileDevice.h>

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mobiledevice {

AFCError afcErrorFromErrno(int error);

class FileArea
{
public:
    struct Mount
    {
        std::string devicePath; // normalised, e.g. "/private/var/mobile/Media"
        std::string hostRoot;
    };

    FileArea(const std::string &hostRoot, std::vector<Mount> mounts = {}, std::string onlyBelow = {});
    ~FileArea();
    FileArea(const FileArea &) = delete;
    FileArea &operator=(const FileArea &) = delete;

    // A device path turned into the host folder that holds it and the path below that folder.
    struct Location
    {
        int rootFd = -1;          // borrowed
        std::string relative;     // "" for the root itself
        std::string devicePath;   // normalised
    };
    static AFCError normalize(const char *path, std::string &normalized);
    AFCError locate(const char *path, Location &location) const;

    // Opens the item (links inside the area are followed). `flags` as for open(2).
    AFCError open(const Location &location, int flags, mode_t mode, int &fd) const;
    // Opens the folder that holds the item, for *at() calls on `leaf` (empty for the root).
    AFCError openParent(const Location &location, int &parentFd, std::string &leaf) const;
    // Names to add to a listing of `devicePath` (mount points) and whether to hide `name`.
    std::vector<std::string> mountedNamesIn(const std::string &devicePath) const;
    bool hides(const std::string &devicePath, const std::string &name) const;

    // Sum of the sizes of the area's files (mounted folders included).
    uint64_t usedBytes() const;

private:
    int mRootFd = -1;
    std::vector<Mount> mMounts;
    std::vector<int> mMountFds;
    std::string mOnlyBelow;
};

} // namespace mobiledevice
