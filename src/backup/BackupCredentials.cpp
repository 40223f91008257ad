#include "backup/BackupCredentials.h"

#include "device/AppController.h"

namespace BackupCredentials {

namespace {

// The device controller's table keeps the password under the name and the derived key
// under the name + "daKey".
const QString kKeySuffix = QStringLiteral("daKey");

} // namespace

Entry lookup(const QString &name)
{
    std::lock_guard lock(gCredentialsLock);
    Entry entry;
    const auto password = gCredentials.constFind(name);
    if (password != gCredentials.cend()) {
        entry.password = password->toString();
        if (entry.password.isNull())
            entry.password = QStringLiteral("");
    }
    entry.key = gCredentials.value(name + kKeySuffix).toByteArray();
    return entry;
}

void store(const QString &name, const QString &password, const QByteArray &key)
{
    std::lock_guard lock(gCredentialsLock);
    gCredentials.insert(name, password);
    if (!key.isEmpty())
        gCredentials.insert(name + kKeySuffix, key);
}

void forget(const QString &name)
{
    std::lock_guard lock(gCredentialsLock);
    gCredentials.remove(name);
    gCredentials.remove(name + kKeySuffix);
}

void clear()
{
    std::lock_guard lock(gCredentialsLock);
    gCredentials.clear();
}

} // namespace BackupCredentials
