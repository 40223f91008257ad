#pragma once
// Encrypts short strings (transmission target tokens) with AES-256-CBC, PKCS#7 padding and
// an all-zero IV under one random key per installation, kept in the keychain under
// "kVUEncryptionKeyTag" as base64 text. Ciphertexts travel as base64 text.
//
// Every call uses a cipher context of its own, so ciphertexts decrypt in any order and
// from any thread. A key is created only from the secure random source: when it fails, no
// key is made or stored and the call answers nothing (the next call tries again).
//
// Thread-safe: the key is loaded once under the object's lock.

#include <QByteArray>
#include <QString>

#include <mutex>
#include <optional>

class VUEncrypter
{
public:
    static inline const QString kVUEncryptionKeyTag = QStringLiteral("kVUEncryptionKeyTag");

    VUEncrypter() = default;
    explicit VUEncrypter(const QString &keyTag);

    std::optional<QString> encryptString(const QString &string);
    std::optional<QString> decryptString(const QString &string);

    static bool deleteKeyWithTag(const QString &tag);
    static std::optional<QByteArray> loadKeyFromKeychainWithTag(const QString &tag);
    static std::optional<QByteArray> generateKeyWithTag(const QString &tag);

    bool cryptorCreated() const;

private:
    bool createCryptorContexts(const QString &tag);

    mutable std::mutex mLock;
    std::optional<QByteArray> mKey;
};
