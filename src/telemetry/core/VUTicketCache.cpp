#include "telemetry/core/VUTicketCache.h"

std::shared_ptr<VUTicketCache> VUTicketCache::sharedInstance()
{
    static const auto instance = std::make_shared<VUTicketCache>();
    return instance;
}

std::optional<QString> VUTicketCache::ticketFor(const QString &key) const
{
    std::lock_guard guard(mLock);
    const auto it = mTickets.constFind(key);
    if (it == mTickets.cend())
        return std::nullopt;
    return *it;
}

void VUTicketCache::setTicket(const std::optional<QString> &ticket, const QString &key)
{
    std::lock_guard guard(mLock);
    if (ticket)
        mTickets.insert(key, *ticket);
    else
        mTickets.remove(key);
}

void VUTicketCache::clearCache()
{
    std::lock_guard guard(mLock);
    mTickets.clear();
}
