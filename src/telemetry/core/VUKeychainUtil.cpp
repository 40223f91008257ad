#include "telemetry/core/VUKeychainUtil.h"

#include "platform/Keychain.h"
#include "telemetry/core/VUUtility.h"

QString VUKeychainUtil::serviceName()
{
    return VUUtility::mainBundleIdentifier() + QStringLiteral(".VovUdezir");
}

bool VUKeychainUtil::storeString(const QString &string, const QString &key)
{
    return Keychain::store(serviceName(), key, string.toUtf8()) == Keychain::Status::Success;
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
