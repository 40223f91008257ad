#pragma once
// Tickets by ticket key, in memory only, for the common-schema request's "Tickets" header.
// Thread-safe (one lock); starts empty at every launch.

#include <QMap>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

class VUTicketCache
{
public:
    static std::shared_ptr<VUTicketCache> sharedInstance();

    std::optional<QString> ticketFor(const QString &key) const;
    // No ticket removes the key.
    void setTicket(const std::optional<QString> &ticket, const QString &key);
    void clearCache();

private:
    mutable std::mutex mLock;
    QMap<QString, QString> mTickets;
};
