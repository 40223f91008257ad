#pragma once
// The remembered backup passwords and derived backup keys in the keychain, and the read of
// the password the host's own backup application may have stored.
//
// Items: service "Quillon iPhone Password" (the password, UTF-8) and "Quillon iPhone Key"
// (Base64 of the 32-byte derived key), account = the device identifier for a live session or
// "BACKUP" + folder name for a backup on this computer; "iPhone Backup" is only read.
//
// Callable from any thread. Whether the keychain may interact with the user is passed per
// call; there is no process-wide switch for threads to race on.

#include "platform/Keychain.h"

#include <QByteArray>
#include <QString>

namespace BackupKeychain {

inline const QString kPasswordService = QStringLiteral("Quillon iPhone Password");
inline const QString kKeyService = QStringLiteral("Quillon iPhone Key");
inline const QString kHostBackupService = QStringLiteral("iPhone Backup");
// Account prefix of backups on this computer.
inline const QString kBackupAccountPrefix = QStringLiteral("BACKUP");

// The stored text, or a null string (logged) when there is none. `status` (when given)
// tells "no such item" apart from "the keychain could not be asked".
QString getPasswordFromKeychainForService(const QString &service, const QString &account,
                                          Keychain::Status *status = nullptr);
// The host backup application's password for `account`, read with interaction allowed.
QString getiTunesBackupPasswordForDevice(const QString &account);
// Our remembered password / derived key for `account`; null / empty when absent.
QString getOurBackupPassword(bool allowInteraction, const QString &account,
                             Keychain::Status *status = nullptr);
QByteArray getOurBackupKey(bool allowInteraction, const QString &account,
                           Keychain::Status *status = nullptr);

// Stores the password and, when given, the derived key (changing existing items rather
// than adding duplicates). Write failures are logged and otherwise ignored.
void rememberPassword(const QString &password, const QByteArray &key, const QString &account);
// Replaces an existing item's text; false when there is no such item or the change fails.
bool changePasswordForService(const QString &service, const QString &account, const QString &password);
// Deletes the key item and the password item, each on its own: a missing key item does
// not keep a stale password. True when the password item was deleted.
bool deletePasswordForAccount(const QString &account);

} // namespace BackupKeychain
