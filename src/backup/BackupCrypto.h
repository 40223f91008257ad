#pragma once
// The cryptographic primitives of encrypted device backups, over OpenSSL 3: SHA-1, PBKDF2
// with HMAC-SHA1 and HMAC-SHA256, RFC 3394 AES key wrap and unwrap, and AES-CBC with PKCS#7
// padding, one-shot or streamed through AesCbcStream.
//
// Stateless free functions, callable from any thread. Failures come back as an empty
// result or false; nothing here logs (callers decide what may be logged, and key material
// never is).

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <memory>

#include "backup/MBFileRecordIV.h"

// kMBFileRecordIV as bytes.
QByteArray mbFileRecordIV();

// The 20-byte SHA-1 digest of `data`.
QByteArray SHA1Data(const QByteArray &data);
// The 40 lowercase hex digits of the SHA-1 of `text`'s UTF-8 bytes, or of `data`: the form
// of a backup's file identifiers ("<domain>-<relative path>").
QString SHA1String(const QString &text);
QString SHA1String(const QByteArray &data);

namespace BackupCrypto {

// PBKDF2 status codes; 0 is success.
enum : int {
    kDeriveOk = 0,
    kDeriveBadParameter = -4300,  // zero iterations or output length
    kDeriveFailed = -4301,        // the library refused
};

// PBKDF2 with HMAC-SHA1 / HMAC-SHA256 into `outLength` bytes. Returns a status above.
int pbkdf2HmacSha1(const QByteArray &password, const QByteArray &salt, quint32 iterations,
                   int outLength, QByteArray *out);
int pbkdf2HmacSha256(const QByteArray &password, const QByteArray &salt, quint32 iterations,
                     int outLength, QByteArray *out);

// RFC 3394 with the default initial value (eight bytes 0xA6). The key-encryption key is
// 16, 24 or 32 bytes; the wrapped data is a multiple of 8 bytes, at least 24 for unwrap
// (16 for wrap). Empty on any error, including an integrity-check failure.
QByteArray aesKeyUnwrap(const QByteArray &wrapped, const QByteArray &kek);
QByteArray aesKeyWrap(const QByteArray &plainKey, const QByteArray &kek);

// AES-CBC with PKCS#7 padding; the key length (16, 24, 32) picks AES-128/192/256. An empty
// IV means sixteen zero bytes. `ok` (when given) tells an error apart from empty output.
QByteArray aesCbc(bool encrypt, const QByteArray &key, const QByteArray &iv,
                  const QByteArray &input, bool *ok = nullptr);

// A streamed AES-CBC with PKCS#7 padding, for whole files fed in large chunks.
// update() writes at most inLength + 16 bytes; final() at most 16.
class AesCbcStream
{
public:
    AesCbcStream();
    ~AesCbcStream();
    AesCbcStream(const AesCbcStream &) = delete;
    AesCbcStream &operator=(const AesCbcStream &) = delete;

    // False when the key length is not an AES key length or the library refuses. Without
    // `padding` the stream neither adds nor strips PKCS#7 padding (the caller checks it).
    bool init(bool encrypt, const QByteArray &key, const QByteArray &iv = {}, bool padding = true);
    bool update(const unsigned char *in, size_t inLength, unsigned char *out, size_t *outLength);
    bool final(unsigned char *out, size_t *outLength);

private:
    struct Context;
    std::unique_ptr<Context> mContext;
};

// The PKCS#7 padding length (1..16) that the final 16-byte block `block` carries, or 0 when
// its padding is invalid.
int pkcs7PaddingLength(const unsigned char *block);

// Whether `length` bytes that begin with `header` (at least the first 100 bytes) form a
// whole SQLite database file: the magic text, a valid page size, and a page count in the
// header that agrees with the length. Some devices store databases whose last encrypted
// block has no padding; their plain text is kept whole when it passes this check.
bool isWholeSQLiteFile(const QByteArray &header, qint64 length);

} // namespace BackupCrypto
