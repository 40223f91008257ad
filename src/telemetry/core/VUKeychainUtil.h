#pragma once
// Strings kept in the keychain for the telemetry component: account = key, service = the
// application's identifier followed by ".VovUdezir". Thread-safe (the keychain is).

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
};
