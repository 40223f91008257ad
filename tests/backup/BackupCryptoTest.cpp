#include "backup/Base64Decode.h"
#include "backup/BackupCrypto.h"

#include <gtest/gtest.h>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray counting(int n)
{
    QByteArray out(n, '\0');
    for (int i = 0; i < n; ++i)
        out[i] = char(i);
    return out;
}

struct WrapCase
{
    const char *name;
    int kekLength;
    const char *keyData;
    const char *wrapped;
};

// RFC 3394 section 4, all six vectors: wrap reproduces them, unwrap inverts them, and any
// flipped bit is caught by the integrity check.
TEST(BackupCryptoTest, Rfc3394KeyWrapVectors)
{
    const WrapCase cases[] = {
        {"4.1 128-bit data, 128-bit KEK", 16, "00112233445566778899AABBCCDDEEFF",
         "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5"},
        {"4.2 128-bit data, 192-bit KEK", 24, "00112233445566778899AABBCCDDEEFF",
         "96778B25AE6CA435F92B5B97C050AED2468AB8A17AD84E5D"},
        {"4.3 128-bit data, 256-bit KEK", 32, "00112233445566778899AABBCCDDEEFF",
         "64E8C3F9CE0F5BA263E9777905818A2A93C8191E7D6E8AE7"},
        {"4.4 192-bit data, 192-bit KEK", 24, "00112233445566778899AABBCCDDEEFF0001020304050607",
         "031D33264E15D33268F24EC260743EDCE1C6C7DDEE725A936BA814915C6762D2"},
        {"4.5 192-bit data, 256-bit KEK", 32, "00112233445566778899AABBCCDDEEFF0001020304050607",
         "A8F9BC1612C68B3FF6E6F4FBE30E71E4769C8B80A32CB8958CD5D17D6B254DA1"},
        {"4.6 256-bit data, 256-bit KEK", 32,
         "00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F",
         "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21"},
    };
    for (const WrapCase &c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray kek = counting(c.kekLength);
        EXPECT_EQ(BackupCrypto::aesKeyWrap(hex(c.keyData), kek).toHex(), hex(c.wrapped).toHex());
        EXPECT_EQ(BackupCrypto::aesKeyUnwrap(hex(c.wrapped), kek).toHex(), hex(c.keyData).toHex());
        QByteArray tampered = hex(c.wrapped);
        tampered[5] = char(tampered[5] ^ 0x01);
        EXPECT_TRUE(BackupCrypto::aesKeyUnwrap(tampered, kek).isEmpty());
    }
}

TEST(BackupCryptoTest, KeyUnwrapRefusesBadSizes)
{
    const QByteArray wrapped = hex("64E8C3F9CE0F5BA263E9777905818A2A93C8191E7D6E8AE7");
    EXPECT_TRUE(BackupCrypto::aesKeyUnwrap(wrapped, counting(31)).isEmpty());
    EXPECT_TRUE(BackupCrypto::aesKeyUnwrap(wrapped.left(23), counting(32)).isEmpty());
    EXPECT_TRUE(BackupCrypto::aesKeyUnwrap(wrapped.left(16), counting(32)).isEmpty());
    EXPECT_TRUE(BackupCrypto::aesKeyUnwrap({}, counting(32)).isEmpty());
}

struct DeriveCase
{
    const char *name;
    bool sha256;
    QByteArray password;
    QByteArray salt;
    quint32 iterations;
    const char *expected;
};

// RFC 6070 for HMAC-SHA1 (without the 16,777,216-round case) and the widely published
// PBKDF2-HMAC-SHA256 vectors (including RFC 7914's 64-byte one).
TEST(BackupCryptoTest, Pbkdf2Vectors)
{
    const DeriveCase cases[] = {
        {"sha1 c=1", false, "password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {"sha1 c=2", false, "password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {"sha1 c=4096", false, "password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        {"sha1 long", false, "passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {"sha1 embedded zero", false, QByteArray("pass\0word", 9), QByteArray("sa\0lt", 5), 4096,
         "56fa6aa75548099dcc37d7f03425e0c3"},
        {"sha256 c=1", true, "password", "salt", 1,
         "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
        {"sha256 c=4096", true, "password", "salt", 4096,
         "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
        {"sha256 64 bytes", true, "passwd", "salt", 1,
         "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
         "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
    };
    for (const DeriveCase &c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray expected = hex(c.expected);
        QByteArray out;
        const int status = c.sha256
            ? BackupCrypto::pbkdf2HmacSha256(c.password, c.salt, c.iterations, int(expected.size()), &out)
            : BackupCrypto::pbkdf2HmacSha1(c.password, c.salt, c.iterations, int(expected.size()), &out);
        EXPECT_EQ(status, BackupCrypto::kDeriveOk);
        EXPECT_EQ(out.toHex(), expected.toHex());
    }
    QByteArray out;
    EXPECT_EQ(BackupCrypto::pbkdf2HmacSha1("p", "s", 0, 32, &out), BackupCrypto::kDeriveBadParameter);
    EXPECT_TRUE(out.isEmpty());
}

TEST(BackupCryptoTest, Sha1AndAesCbc)
{
    EXPECT_EQ(SHA1Data("abc").toHex(), QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d"));

    // NIST SP 800-38A F.2.5 (CBC-AES256), first block.
    const QByteArray key = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const QByteArray iv = hex("000102030405060708090a0b0c0d0e0f");
    bool ok = false;
    const QByteArray cipher =
        BackupCrypto::aesCbc(true, key, iv, hex("6bc1bee22e409f96e93d7e117393172a"), &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(cipher.size(), 32);  // one block plus a whole block of padding
    EXPECT_EQ(cipher.left(16).toHex(), QByteArray("f58c4c04d6e5f1ba779eabfb5f7bfbd6"));
    EXPECT_EQ(BackupCrypto::aesCbc(false, key, iv, cipher, &ok).toHex(),
              QByteArray("6bc1bee22e409f96e93d7e117393172a"));
    EXPECT_TRUE(ok);

    // Bad padding and truncated ciphertext are errors, not empty plaintext.
    BackupCrypto::aesCbc(false, key, iv, cipher.left(16), &ok);
    EXPECT_FALSE(ok);
    BackupCrypto::aesCbc(false, key, iv, cipher.left(20), &ok);
    EXPECT_FALSE(ok);
    BackupCrypto::aesCbc(true, key.left(20), iv, "x", &ok);
    EXPECT_FALSE(ok);
}

TEST(BackupCryptoTest, Base64DecodeIsLenient)
{
    const struct
    {
        const char *name;
        QByteArray input;
        QByteArray expected;
    } cases[] = {
        {"plain", "aGVsbG8gd29ybGQ=", "hello world"},
        {"no padding", "aGVsbG8", "hello"},
        {"whitespace and junk skipped", "aGVs\r\n bG8*gd2\t9y#bGQ=", "hello world"},
        {"stops at first =", "aGk=aGVsbG8=", "hi"},
        {"empty", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Base64Decode(c.input), c.expected);
    }
    EXPECT_EQ(EstimateBas64DecodedDataSize(5), size_t(1006));
    const QByteArray random = SHA1Data("x") + SHA1Data("y");
    EXPECT_EQ(Base64Decode(random.toBase64()), random);
}

} // namespace
