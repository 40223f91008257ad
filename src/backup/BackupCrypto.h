#pragma once
// The cryptographic primitives of encrypted device backups, over OpenSSL 3: SHA-1, PBKDF2
// with HMAC-SHA1 and HMAC-SHA256, RFC 3394 AES key wrap and unwrap, and AES-CBC with PKCS#7
// padding, one-shot or streamed through AesCbcStream.
//
// Stateless free functions, callable from any thread. Failures come back as an empty
// result or false; nothing here logs (callers decide what may be logged, and key material
// never is).

#include <QByteArray>

#include <cstddef>
#include <memory>

// The fixed initialisation vector of encrypted manifest file records. Records carry no IV of
// their own, so every writer and reader of such records must use exactly these 16 bytes.
inline constexpr unsigned char kMBFileRecordIV[16] = {
    0x51, 0x75, 0x69, 0x6c, 0x6c, 0x6f, 0x6e, 0x2d, 0x4d, 0x42, 0x46, 0x69, 0x6c, 0x65, 0x49, 0x56};
QByteArray mbFileRecordIV();

// The 20-byte SHA-1 digest of `data`.
QByteArray SHA1Data(const QByteArray &data);

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

    // False when the key length is not an AES key length or the library refuses.
    bool init(bool encrypt, const QByteArray &key, const QByteArray &iv = {});
    bool update(const unsigned char *in, size_t inLength, unsigned char *out, size_t *outLength);
    bool final(unsigned char *out, size_t *outLength);

private:
    struct Context;
    std::unique_ptr<Context> mContext;
};

} // namespace BackupCrypto
