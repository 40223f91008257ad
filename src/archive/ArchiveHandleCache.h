#pragma once
// The open archive database handles of the process, one per key (AppController's
// mBackupDBs). Replaces a dictionary of raw pointers: a handle is opened once per key even
// when several threads ask for it at the same moment, and the cache hands out counted
// references, so closing the cache never closes a handle under a thread that still uses it.
//
// Threads: any. The map is guarded by dbArrayLock; the opening of one key is serialised by
// that key's own guard, taken without dbArrayLock held, so a slow open of one database never
// blocks lookups of another. Lock order: localLock, then a key's guard, then dbArrayLock.

#include "archive/ArchiveDB.h"

#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class ArchiveHandleCache
{
public:
    // Opens a database; null with `*error` set on failure.
    using Opener = std::function<ArchiveDBPtr(int *error)>;

    // The cached handle of `key`, or the one `open` makes (cached when not null). A second
    // caller of the same key waits for the first caller's open and gets its handle.
    ArchiveDBPtr get(const QString &key, const Opener &open, int *error);
    // The cached handle, or null; never opens.
    ArchiveDBPtr find(const QString &key) const;
    // Empties the cache and returns what it held; each handle closes when its last holder
    // lets go.
    std::vector<ArchiveDBPtr> takeAll();
    // Removes one key's handle and returns it (null when none was open).
    ArchiveDBPtr take(const QString &key);
    size_t size() const;

private:
    struct Slot
    {
        std::mutex openGuard;
        ArchiveDBPtr db; // written under openGuard and dbArrayLock
    };
    std::map<QString, std::shared_ptr<Slot>> mSlots; // dbArrayLock
};
