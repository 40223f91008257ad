#pragma once
// Backup passwords and derived keys remembered in memory for this run, by backup folder
// name (or device identifier), so a backup unlocked once is unlocked again without the slow
// password derivation. The table is the device controller's gCredentials; gCredentialsLock is
// taken only around each read or write.
//
// Callable from any thread.

#include <QByteArray>
#include <QString>

namespace BackupCredentials {

struct Entry
{
    QString password;   // null when none is cached
    QByteArray key;     // the 32-byte derived key, or empty
};

Entry lookup(const QString &name);
void store(const QString &name, const QString &password, const QByteArray &key);
void forget(const QString &name);
// Drops everything (tests, and a "forget passwords" at quit).
void clear();

} // namespace BackupCredentials
