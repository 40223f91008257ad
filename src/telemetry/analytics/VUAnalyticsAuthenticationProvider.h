#pragma once
// Supplied by the host application when its transmission targets need a ticket: the
// targets attach the current ticket key to each of their common-schema logs. How tickets
// are obtained, hashed and refreshed is the host's own business. Called from any thread.

#include <QString>

class VUAnalyticsAuthenticationProvider
{
public:
    virtual ~VUAnalyticsAuthenticationProvider() = default;
    // Start obtaining a ticket.
    virtual void acquireTokenAsync() = 0;
    // The current ticket key.
    virtual QString ticketKeyHash() = 0;
    // Refresh the ticket when it is about to expire.
    virtual void checkTokenExpiry() = 0;
};
