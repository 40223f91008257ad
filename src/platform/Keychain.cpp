#include "Keychain.h"

#include "KeychainBackends.h"

#include <atomic>
#include <mutex>

namespace {

using KeychainBackends::Result;
namespace FileStore = KeychainBackends::FileKeychainStore;
namespace SecretService = KeychainBackends::SecretServiceStore;

std::mutex gKeychainMutex;
// Set once the Secret Service was found not to answer, so later calls do not wait on the
// bus again.
std::atomic<bool> gSecretServiceAbsent{false};

bool useFileStore()
{
    return qEnvironmentVariable("QUILLON_KEYCHAIN") == QLatin1String("file")
           || qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") || gSecretServiceAbsent.load();
}

Keychain::Status toStatus(Result r)
{
    switch (r) {
    case Result::Success:
        return Keychain::Status::Success;
    case Result::NotFound:
        return Keychain::Status::NotFound;
    case Result::Unavailable:
    case Result::NoBus:
        break;
    }
    return Keychain::Status::Unavailable;
}

// Runs `secretCall` against the Secret Service, or `fileCall` when there is none.
template<typename SecretCall, typename FileCall>
Keychain::Status dispatch(SecretCall secretCall, FileCall fileCall)
{
    std::lock_guard lock(gKeychainMutex);
    if (!useFileStore()) {
        const Result r = secretCall();
        if (r != Result::NoBus)
            return toStatus(r);
        gSecretServiceAbsent.store(true);
    }
    return fileCall();
}

} // namespace

namespace Keychain {

Status find(const QString &service, const QString &account, QByteArray *secret)
{
    QByteArray value;
    const Status status = dispatch([&] { return SecretService::find(service, account, &value); },
                                   [&] { return FileStore::find(service, account, &value); });
    if (secret)
        *secret = status == Status::Success ? value : QByteArray();
    return status;
}

Status store(const QString &service, const QString &account, const QByteArray &secret, const QString &label)
{
    const QString itemLabel = label.isEmpty() ? service : label;
    return dispatch([&] { return SecretService::store(service, account, secret, itemLabel); },
                    [&] { return FileStore::store(service, account, secret, itemLabel); });
}

Status remove(const QString &service, const QString &account)
{
    return dispatch([&] { return SecretService::remove(service, account); },
                    [&] { return FileStore::remove(service, account); });
}

} // namespace Keychain
