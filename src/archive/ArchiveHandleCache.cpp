#include "archive/ArchiveHandleCache.h"

#include "shell/DataLocks.h"

ArchiveDBPtr ArchiveHandleCache::get(const QString &key, const Opener &open, int *error)
{
    std::shared_ptr<Slot> slot;
    {
        std::lock_guard lock(dbArrayLock);
        auto &entry = mSlots[key];
        if (!entry)
            entry = std::make_shared<Slot>();
        else if (entry->db)
            return entry->db;
        slot = entry;
    }
    std::lock_guard opening(slot->openGuard);
    {
        std::lock_guard lock(dbArrayLock);
        if (slot->db)
            return slot->db; // another thread opened it while this one waited
    }
    ArchiveDBPtr db = open(error);
    if (!db)
        return nullptr;
    std::lock_guard lock(dbArrayLock);
    slot->db = db;
    // A slot that takeAll() removed while the open ran is not put back: the handle serves
    // this caller and closes after it.
    return db;
}

ArchiveDBPtr ArchiveHandleCache::find(const QString &key) const
{
    std::lock_guard lock(dbArrayLock);
    const auto it = mSlots.find(key);
    return it == mSlots.end() ? nullptr : it->second->db;
}

std::vector<ArchiveDBPtr> ArchiveHandleCache::takeAll()
{
    std::vector<ArchiveDBPtr> handles;
    std::lock_guard lock(dbArrayLock);
    for (auto &[key, slot] : mSlots) {
        if (slot->db)
            handles.push_back(std::move(slot->db));
    }
    mSlots.clear();
    return handles;
}

ArchiveDBPtr ArchiveHandleCache::take(const QString &key)
{
    std::lock_guard lock(dbArrayLock);
    const auto it = mSlots.find(key);
    if (it == mSlots.end())
        return nullptr;
    ArchiveDBPtr db = std::move(it->second->db);
    mSlots.erase(it);
    return db;
}

size_t ArchiveHandleCache::size() const
{
    std::lock_guard lock(dbArrayLock);
    size_t count = 0;
    for (const auto &[key, slot] : mSlots)
        count += slot->db ? 1 : 0;
    return count;
}
