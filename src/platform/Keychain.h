#pragma once
// Secrets kept for the user: backup passwords and keys, the telemetry encryption key.
//
// Items are identified by service and account, like the host's generic passwords. The
// Secret Service (libsecret) holds them when a session bus answers; otherwise a file store
// under the data home, readable only by the user (mode 0600 in a 0700 folder). The
// environment variable QUILLON_KEYCHAIN=file forces the file store (tests use it).
//
// Thread-safe. Every call is synchronous and may block briefly on the session bus.

#include <QByteArray>
#include <QString>

namespace Keychain {

enum class Status {
    Success,
    NotFound,     // the store answered: no such item
    Unavailable,  // the store could not be asked (locked, no bus, unreadable file)
};

// Reads an item's secret. On anything but Success, *secret is left empty.
Status find(const QString &service, const QString &account, QByteArray *secret);
// Adds or replaces an item.
Status store(const QString &service, const QString &account, const QByteArray &secret,
             const QString &label = {});
// Removes an item; NotFound when there was none.
Status remove(const QString &service, const QString &account);

} // namespace Keychain
