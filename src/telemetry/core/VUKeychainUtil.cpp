#include "telemetry/core/VUKeychainUtil.h"

#include "platform/Keychain.h"
#include "telemetry/core/VUEncrypter.h"
#include "telemetry/core/VUUtility.h"

#include <QSet>

#include <mutex>

namespace {

std::mutex gStoredKeysLock;
QSet<QString> gStoredKeys;

} // namespace

QString VUKeychainUtil::serviceName()
{
    return VUUtility::mainBundleIdentifier() + QStringLiteral(".VovUdezir");
}

bool VUKeychainUtil::storeString(const QString &string, const QString &key)
{
    const bool stored = Keychain::store(serviceName(), key, string.toUtf8()) == Keychain::Status::Success;
    if (stored) {
        std::lock_guard guard(gStoredKeysLock);
        gStoredKeys.insert(key);
    }
    return stored;
}

std::optional<QString> VUKeychainUtil::stringForKey(const QString &key, Keychain::Status *status)
{
    QByteArray secret;
    const Keychain::Status result = Keychain::find(serviceName(), key, &secret);
    if (status)
        *status = result;
    if (result != Keychain::Status::Success)
        return std::nullopt;
    return QString::fromUtf8(secret);
}

bool VUKeychainUtil::deleteStringForKey(const QString &key)
{
    return Keychain::remove(serviceName(), key) == Keychain::Status::Success;
}

bool VUKeychainUtil::clear()
{
    QSet<QString> keys;
    {
        std::lock_guard guard(gStoredKeysLock);
        keys.swap(gStoredKeys);
        if (keys.remove(VUEncrypter::kVUEncryptionKeyTag))
            gStoredKeys.insert(VUEncrypter::kVUEncryptionKeyTag);
    }
    bool cleared = true;
    for (const QString &key : std::as_const(keys)) {
        const Keychain::Status status = Keychain::remove(serviceName(), key);
        cleared = cleared && (status == Keychain::Status::Success || status == Keychain::Status::NotFound);
    }
    return cleared;
}
