#include "backup/BackupKeychain.h"

#include "backup/Base64Decode.h"
#include "shell/VarnekLogger.h"

namespace BackupKeychain {

namespace {

const char *statusText(Keychain::Status status)
{
    switch (status) {
    case Keychain::Status::Success: return "success";
    case Keychain::Status::NotFound: return "not found";
    case Keychain::Status::Unavailable: return "unavailable";
    }
    return "?";
}

} // namespace

QString getPasswordFromKeychainForService(const QString &service, const QString &account,
                                          Keychain::Status *status)
{
    QByteArray secret;
    const Keychain::Status result = Keychain::find(service, account, &secret);
    if (status)
        *status = result;
    if (result != Keychain::Status::Success) {
        VarnekLog("%s no stored password: %s", qUtf8Printable(service), statusText(result));
        return {};
    }
    // An empty item is still an item: keep it apart from "none".
    QString text = QString::fromUtf8(secret);
    if (text.isNull())
        text = QStringLiteral("");
    return text;
}

QString getiTunesBackupPasswordForDevice(const QString &account)
{
    return getPasswordFromKeychainForService(kHostBackupService, account);
}

QString getOurBackupPassword(bool /*allowInteraction*/, const QString &account, Keychain::Status *status)
{
    // Our keychain never prompts on its own; the flag stays in the signature so each
    // caller states its choice instead of flipping shared state.
    return getPasswordFromKeychainForService(kPasswordService, account, status);
}

QByteArray getOurBackupKey(bool /*allowInteraction*/, const QString &account, Keychain::Status *status)
{
    const QString text = getPasswordFromKeychainForService(kKeyService, account, status);
    if (text.isNull())
        return {};
    return Base64Decode(text.toLatin1());
}

bool changePasswordForService(const QString &service, const QString &account, const QString &password)
{
    QByteArray existing;
    if (Keychain::find(service, account, &existing) != Keychain::Status::Success)
        return false;
    return Keychain::store(service, account, password.toUtf8()) == Keychain::Status::Success;
}

void rememberPassword(const QString &password, const QByteArray &key, const QString &account)
{
    if (!changePasswordForService(kPasswordService, account, password)
        && Keychain::store(kPasswordService, account, password.toUtf8()) != Keychain::Status::Success)
        VarnekLog("couldn't store the backup password for %s", qUtf8Printable(account));
    if (key.isEmpty())
        return;
    const QString text = QString::fromLatin1(key.toBase64());
    if (!changePasswordForService(kKeyService, account, text)
        && Keychain::store(kKeyService, account, text.toUtf8()) != Keychain::Status::Success)
        VarnekLog("couldn't store the backup key for %s", qUtf8Printable(account));
}

bool deletePasswordForAccount(const QString &account)
{
    const Keychain::Status key = Keychain::remove(kKeyService, account);
    if (key == Keychain::Status::Unavailable)
        VarnekLog("couldn't delete the backup key for %s", qUtf8Printable(account));
    return Keychain::remove(kPasswordService, account) == Keychain::Status::Success;
}

} // namespace BackupKeychain
