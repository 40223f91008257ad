#pragma once
// Strings kept in the keychain for the telemetry component: account = key, service = the
// application's identifier followed by ".VovUdezir". storeString adds or replaces an item:
// a key stored again holds the new value (the encryption key is written once, so nothing
// relies on the old add-only refusal).
//
// Thread-safe (the keychain is; the list of keys stored in this run has its own lock).

#include "platform/Keychain.h"

#include <QString>

#include <optional>

class VUKeychainUtil
{
public:
    static QString serviceName();
    static bool storeString(const QString &string, const QString &key);
    // `status` tells a missing item (NotFound) from a keychain that could not be asked.
    static std::optional<QString> stringForKey(const QString &key, Keychain::Status *status = nullptr);
    static bool deleteStringForKey(const QString &key);
    // Removes the items this run stored, except the encryption key, without which every
    // stored target token would become unreadable. (The keychain cannot list items, so
    // items of earlier runs are left.)
    static bool clear();
};
