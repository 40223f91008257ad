#include "telemetry/core/VUEncrypter.h"

#include "telemetry/core/VUKeychainUtil.h"
#include "telemetry/core/VULogger.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

namespace {

constexpr int kKeySize = 32;

struct ContextDeleter
{
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter>;

// One pass of AES-256-CBC with a fresh context; nothing on failure.
std::optional<QByteArray> runCipher(const QByteArray &key, const QByteArray &input, bool encrypt)
{
    static const unsigned char zeroIv[16] = {};
    Context context(EVP_CIPHER_CTX_new());
    if (!context ||
        EVP_CipherInit_ex(context.get(), EVP_aes_256_cbc(), nullptr,
                          reinterpret_cast<const unsigned char *>(key.constData()), zeroIv, encrypt ? 1 : 0) != 1)
        return std::nullopt;
    QByteArray output(input.size() + EVP_CIPHER_block_size(EVP_aes_256_cbc()), Qt::Uninitialized);
    int written = 0;
    int finalWritten = 0;
    if (EVP_CipherUpdate(context.get(), reinterpret_cast<unsigned char *>(output.data()), &written,
                         reinterpret_cast<const unsigned char *>(input.constData()), int(input.size())) != 1 ||
        EVP_CipherFinal_ex(context.get(), reinterpret_cast<unsigned char *>(output.data()) + written,
                           &finalWritten) != 1)
        return std::nullopt;
    output.truncate(written + finalWritten);
    return output;
}

} // namespace

VUEncrypter::VUEncrypter(const QString &keyTag)
{
    createCryptorContexts(keyTag);
}

bool VUEncrypter::cryptorCreated() const
{
    std::lock_guard guard(mLock);
    return mKey.has_value();
}

bool VUEncrypter::createCryptorContexts(const QString &tag)
{
    std::lock_guard guard(mLock);
    if (mKey)
        return true;
    auto key = loadKeyFromKeychainWithTag(tag);
    if (!key) {
        Keychain::Status status = Keychain::Status::NotFound;
        VUKeychainUtil::stringForKey(tag, &status);
        // A keychain that cannot be asked may still hold the key: replacing it would make
        // every earlier ciphertext unreadable.
        if (status == Keychain::Status::Unavailable) {
            VULogError(VULogTag(), "Could not create cryptor object.");
            return false;
        }
        key = generateKeyWithTag(tag);
    }
    if (!key || key->size() != kKeySize) {
        VULogError(VULogTag(), "Could not create cryptor object.");
        return false;
    }
    mKey = key;
    return true;
}

std::optional<QString> VUEncrypter::encryptString(const QString &string)
{
    if (!createCryptorContexts(kVUEncryptionKeyTag)) {
        VULogError(VULogTag(), "Could not perform encryption. Encryption key is missing.");
        return std::nullopt;
    }
    QByteArray key;
    {
        std::lock_guard guard(mLock);
        key = *mKey;
    }
    const auto cipherText = runCipher(key, string.toUtf8(), true);
    if (!cipherText) {
        VULogError(VULogTag(), "Error performing encryption.");
        return std::nullopt;
    }
    return QString::fromLatin1(cipherText->toBase64());
}

std::optional<QString> VUEncrypter::decryptString(const QString &string)
{
    if (!createCryptorContexts(kVUEncryptionKeyTag)) {
        VULogError(VULogTag(), "Could not perform decryption. Encryption key is missing.");
        return std::nullopt;
    }
    QByteArray key;
    {
        std::lock_guard guard(mLock);
        key = *mKey;
    }
    const auto decoded = QByteArray::fromBase64Encoding(string.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || string.isEmpty()) {
        VULogWarning(VULogTag(), "Conversion of encrypted string to NSData failed.");
        return std::nullopt;
    }
    const auto plain = runCipher(key, *decoded, false);
    if (!plain) {
        VULogError(VULogTag(), "Error performing decryption with CCCryptorStatus: %d.", int(ERR_get_error()));
        return std::nullopt;
    }
    const QString text = QString::fromUtf8(*plain);
    if (text.toUtf8() != *plain) {
        VULogWarning(VULogTag(), "Converting decrypted NSData to NSString failed.");
        return std::nullopt;
    }
    return text;
}

bool VUEncrypter::deleteKeyWithTag(const QString &tag)
{
    return VUKeychainUtil::deleteStringForKey(tag);
}

std::optional<QByteArray> VUEncrypter::loadKeyFromKeychainWithTag(const QString &tag)
{
    const auto text = VUKeychainUtil::stringForKey(tag);
    if (!text)
        return std::nullopt;
    const auto key = QByteArray::fromBase64Encoding(text->toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!key || key.decoded.isEmpty())
        return std::nullopt;
    return key.decoded;
}

std::optional<QByteArray> VUEncrypter::generateKeyWithTag(const QString &tag)
{
    QByteArray key(kKeySize, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(key.data()), kKeySize) != 1) {
        // A key that is not random protects nothing: make none and store none.
        VULogError(VULogTag(), "Error generating encryption key. Error code: %d", int(ERR_get_error()));
        return std::nullopt;
    }
    if (!VUKeychainUtil::storeString(QString::fromLatin1(key.toBase64()), tag))
        VULogError(VULogTag(), "Could not store the encryption key in the keychain.");
    return key;
}
