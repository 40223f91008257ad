#pragma once
// The two stores behind Keychain (internal to the platform layer).
//
// SecretServiceStore talks to the Secret Service over the session bus through libsecret;
// it reports NoBus when the bus or the service does not answer at all, so Keychain can use
// the file store instead. FileKeychainStore keeps items in one JSON file under the data
// home, readable only by the user. Neither locks: Keychain serialises every call.

#include "Keychain.h"

#include <QByteArray>
#include <QString>

namespace KeychainBackends {

enum class Result { Success, NotFound, Unavailable, NoBus };

namespace SecretServiceStore {
Result find(const QString &service, const QString &account, QByteArray *secret);
Result store(const QString &service, const QString &account, const QByteArray &secret, const QString &label);
Result remove(const QString &service, const QString &account);
} // namespace SecretServiceStore

namespace FileKeychainStore {
// The folder (mode 0700) and the file (mode 0600) that hold the items.
QString folder();
QString filePath();
Keychain::Status find(const QString &service, const QString &account, QByteArray *secret);
Keychain::Status store(const QString &service, const QString &account, const QByteArray &secret,
                       const QString &label);
Keychain::Status remove(const QString &service, const QString &account);
} // namespace FileKeychainStore

} // namespace KeychainBackends
