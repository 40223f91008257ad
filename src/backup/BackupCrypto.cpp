#include "backup/BackupCrypto.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <climits>

QByteArray mbFileRecordIV()
{
    return QByteArray(reinterpret_cast<const char *>(kMBFileRecordIV), sizeof kMBFileRecordIV);
}

QByteArray SHA1Data(const QByteArray &data)
{
    QByteArray digest(SHA_DIGEST_LENGTH, Qt::Uninitialized);
    SHA1(reinterpret_cast<const unsigned char *>(data.constData()), size_t(data.size()),
         reinterpret_cast<unsigned char *>(digest.data()));
    return digest;
}

QString SHA1String(const QByteArray &data)
{
    return QString::fromLatin1(SHA1Data(data).toHex());
}

QString SHA1String(const QString &text)
{
    return SHA1String(text.toUtf8());
}

namespace BackupCrypto {

namespace {

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherCtx newCtx()
{
    return CipherCtx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
}

const EVP_CIPHER *cbcCipherFor(qsizetype keyLength)
{
    switch (keyLength) {
    case 16: return EVP_aes_128_cbc();
    case 24: return EVP_aes_192_cbc();
    case 32: return EVP_aes_256_cbc();
    default: return nullptr;
    }
}

const EVP_CIPHER *wrapCipherFor(qsizetype keyLength)
{
    switch (keyLength) {
    case 16: return EVP_aes_128_wrap();
    case 24: return EVP_aes_192_wrap();
    case 32: return EVP_aes_256_wrap();
    default: return nullptr;
    }
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

int pbkdf2(const EVP_MD *md, const QByteArray &password, const QByteArray &salt,
           quint32 iterations, int outLength, QByteArray *out)
{
    out->clear();
    if (iterations == 0 || outLength <= 0 || iterations > quint32(INT_MAX))
        return kDeriveBadParameter;
    QByteArray result(outLength, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()), bytes(salt), int(salt.size()),
                          int(iterations), md, outLength,
                          reinterpret_cast<unsigned char *>(result.data())) != 1)
        return kDeriveFailed;
    *out = result;
    return kDeriveOk;
}

QByteArray keyWrapOp(bool wrap, const QByteArray &input, const QByteArray &kek)
{
    const EVP_CIPHER *cipher = wrapCipherFor(kek.size());
    if (!cipher || input.size() % 8 != 0 || input.size() < (wrap ? 16 : 24) || input.size() > 1 << 20)
        return {};
    CipherCtx ctx = newCtx();
    if (!ctx)
        return {};
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, bytes(kek), nullptr, wrap ? 1 : 0) != 1)
        return {};
    QByteArray out(input.size() + 8, Qt::Uninitialized);
    int produced = 0;
    if (EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char *>(out.data()), &produced,
                         bytes(input), int(input.size())) != 1
        || produced <= 0)
        return {};
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(out.data()) + produced,
                           &tail) != 1)
        return {};
    out.truncate(produced + tail);
    return out;
}

} // namespace

int pbkdf2HmacSha1(const QByteArray &password, const QByteArray &salt, quint32 iterations,
                   int outLength, QByteArray *out)
{
    return pbkdf2(EVP_sha1(), password, salt, iterations, outLength, out);
}

int pbkdf2HmacSha256(const QByteArray &password, const QByteArray &salt, quint32 iterations,
                     int outLength, QByteArray *out)
{
    return pbkdf2(EVP_sha256(), password, salt, iterations, outLength, out);
}

QByteArray aesKeyUnwrap(const QByteArray &wrapped, const QByteArray &kek)
{
    return keyWrapOp(false, wrapped, kek);
}

QByteArray aesKeyWrap(const QByteArray &plainKey, const QByteArray &kek)
{
    return keyWrapOp(true, plainKey, kek);
}

QByteArray aesCbc(bool encrypt, const QByteArray &key, const QByteArray &iv,
                  const QByteArray &input, bool *ok)
{
    if (ok)
        *ok = false;
    AesCbcStream stream;
    if (!stream.init(encrypt, key, iv) || input.size() > INT_MAX - 32)
        return {};
    QByteArray out(input.size() + 32, Qt::Uninitialized);
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    size_t produced = 0, tail = 0;
    if (!stream.update(bytes(input), size_t(input.size()), o, &produced)
        || !stream.final(o + produced, &tail))
        return {};
    out.truncate(qsizetype(produced + tail));
    if (ok)
        *ok = true;
    return out;
}

struct AesCbcStream::Context
{
    CipherCtx ctx = newCtx();
};

AesCbcStream::AesCbcStream() : mContext(std::make_unique<Context>()) {}
AesCbcStream::~AesCbcStream() = default;

bool AesCbcStream::init(bool encrypt, const QByteArray &key, const QByteArray &iv, bool padding)
{
    const EVP_CIPHER *cipher = cbcCipherFor(key.size());
    if (!cipher || !mContext->ctx || (!iv.isEmpty() && iv.size() != 16))
        return false;
    static const unsigned char zeroIV[16] = {};
    if (EVP_CipherInit_ex(mContext->ctx.get(), cipher, nullptr, bytes(key),
                          iv.isEmpty() ? zeroIV : bytes(iv), encrypt ? 1 : 0)
        != 1)
        return false;
    return EVP_CIPHER_CTX_set_padding(mContext->ctx.get(), padding ? 1 : 0) == 1;
}

bool AesCbcStream::update(const unsigned char *in, size_t inLength, unsigned char *out,
                          size_t *outLength)
{
    *outLength = 0;
    if (inLength > size_t(INT_MAX - 32))
        return false;
    int produced = 0;
    if (EVP_CipherUpdate(mContext->ctx.get(), out, &produced, in, int(inLength)) != 1)
        return false;
    *outLength = size_t(produced);
    return true;
}

bool AesCbcStream::final(unsigned char *out, size_t *outLength)
{
    *outLength = 0;
    int produced = 0;
    if (EVP_CipherFinal_ex(mContext->ctx.get(), out, &produced) != 1)
        return false;
    *outLength = size_t(produced);
    return true;
}

int pkcs7PaddingLength(const unsigned char *block)
{
    const int pad = block[15];
    if (pad < 1 || pad > 16)
        return 0;
    for (int i = 16 - pad; i < 16; ++i) {
        if (block[i] != pad)
            return 0;
    }
    return pad;
}

bool isWholeSQLiteFile(const QByteArray &header, qint64 length)
{
    static const char kMagic[] = "SQLite format 3";
    if (header.size() < 100 || !header.startsWith(QByteArray(kMagic, sizeof kMagic)))
        return false;
    const auto *h = reinterpret_cast<const unsigned char *>(header.constData());
    qint64 pageSize = (qint64(h[16]) << 8) | h[17];
    if (pageSize == 1)
        pageSize = 65536;
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0)
        return false;
    const qint64 pages = (qint64(h[28]) << 24) | (qint64(h[29]) << 16) | (qint64(h[30]) << 8) | h[31];
    return length > 0 && length % pageSize == 0 && pages * pageSize == length;
}

} // namespace BackupCrypto
